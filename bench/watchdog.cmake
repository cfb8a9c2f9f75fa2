# Watchdog checks: one pass over many watched servers whose DLGPs answer, some
# of them silent, and how long the pass holds the request loop.
telmo_add_bench(watchdog_bench ${CMAKE_CURRENT_LIST_DIR}/watchdog_bench.cpp LIBS telmo_requests)
