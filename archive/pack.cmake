# The pack archive: its directory index, the file system over it and the
# writer that builds packs.
add_library(vask_pack STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pack_index.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pack_fs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pack_writer.cpp
)
target_link_libraries(vask_pack PUBLIC vask)
