# Opening any archive as a file service (pool, pack, LZSS-wrapped, or
# appended to a patch executable) and walking its files.
add_library(vask_archive_open STATIC ${CMAKE_CURRENT_LIST_DIR}/archive_open.cpp)
target_link_libraries(vask_archive_open PUBLIC vask_lzss vask_pack vask_pool)
