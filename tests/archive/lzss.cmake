vask_test(lzss_test
  ${CMAKE_CURRENT_LIST_DIR}/lzss_codec_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzss_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzss_reference_encoder_test.cpp)
target_link_libraries(lzss_test PRIVATE vask_lzss)
