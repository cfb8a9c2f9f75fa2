# Messaging library: frame codec and request round trips over loopback.
telmo_add_bench(transport_bench ${CMAKE_CURRENT_LIST_DIR}/transport_bench.cpp LIBS telmo)
