# The stop of a whole node, end to end: telmo_manager in service mode with N
# servers, SIGTERM, time to its end and to the end of every component.
add_executable(node_stop_bench ${CMAKE_CURRENT_LIST_DIR}/node_stop_bench.cpp)
target_link_libraries(node_stop_bench PRIVATE telmo_platform)
