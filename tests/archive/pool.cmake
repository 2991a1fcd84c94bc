vask_test(pool_test ${CMAKE_CURRENT_LIST_DIR}/pool_test.cpp)
target_link_libraries(pool_test PRIVATE vask_pool)
