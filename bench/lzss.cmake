# LZSS codec and file throughput against memcpy and zlib.
add_executable(lzss_bench
  ${CMAKE_CURRENT_LIST_DIR}/lzss_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/corpus.cpp
)
target_link_libraries(lzss_bench PRIVATE vask_lzss benchmark::benchmark ZLIB::ZLIB)
