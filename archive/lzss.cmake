# The LZSS codec, the block-compressed file, the LZSS container and the
# whole-file converters.
add_library(vask_lzss STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lzss.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzss_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_classes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compressed_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzss_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzss_writer.cpp
)
target_link_libraries(vask_lzss PUBLIC vask)
