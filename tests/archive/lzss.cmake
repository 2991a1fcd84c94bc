vask_test(lzss_test ${CMAKE_CURRENT_LIST_DIR}/lzss_test.cpp)
target_link_libraries(lzss_test PRIVATE vask_lzss)
