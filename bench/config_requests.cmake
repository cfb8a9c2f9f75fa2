# ADD_SERVER and REMOVE_SERVER requests against the manager's own request loop.
add_executable(config_requests_load ${CMAKE_CURRENT_LIST_DIR}/config_requests_load.cpp)
target_link_libraries(config_requests_load PRIVATE telmo_requests)
