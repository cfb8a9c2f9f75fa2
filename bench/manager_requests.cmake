# Request round trips against the manager's own request loop (GET_MGMT_PARAMS).
add_executable(manager_request_load ${CMAKE_CURRENT_LIST_DIR}/manager_request_load.cpp)
target_link_libraries(manager_request_load PRIVATE telmo_requests)
