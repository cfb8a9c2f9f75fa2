# Process supervision: the periodic check over started servers, starting
# components, and the time from a component's death to its new process.
telmo_add_bench(supervision_bench ${CMAKE_CURRENT_LIST_DIR}/supervision_bench.cpp LIBS telmo_requests)
