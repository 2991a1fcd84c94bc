# Building patch executables (used by patchkit).
add_library(vask_builder STATIC ${CMAKE_CURRENT_LIST_DIR}/patch_builder.cpp)
target_link_libraries(vask_builder PUBLIC vask_archive_open vask_pack vask_lzss)
