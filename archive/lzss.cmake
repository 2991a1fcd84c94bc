# The LZSS codec, the block-compressed file and the LZSS container.
add_library(vask_lzss STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lzss.cpp
)
target_link_libraries(vask_lzss PUBLIC vask)
