# Listings, whole-node status and the collaborative walk against the request loop.
add_executable(listing_load ${CMAKE_CURRENT_LIST_DIR}/listing_load.cpp)
target_link_libraries(listing_load PRIVATE telmo_requests)
