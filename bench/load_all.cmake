# Start-up load of the server files: ./bench/load_all_bench
telmo_add_bench(load_all_bench ${CMAKE_CURRENT_LIST_DIR}/load_all_bench.cpp LIBS telmo_config)
