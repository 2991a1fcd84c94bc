vask_test(config_test ${CMAKE_CURRENT_LIST_DIR}/config_test.cpp)
target_link_libraries(config_test PRIVATE vask_config)
