# The pack archive: its directory index, the file system over it, the writer
# that builds packs, and the checksum record that proves a patch's pack whole
# (CRC-32 from zlib, linked statically into the Windows programs).
add_library(vask_pack STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pack_index.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pack_fs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pack_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/patch_sums.cpp
)
if(WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)
target_link_libraries(vask_pack PUBLIC vask PRIVATE ZLIB::ZLIB)
