# The files that changed from one release to the next (used by patchkit).
add_library(vask_release_diff STATIC ${CMAKE_CURRENT_LIST_DIR}/release_diff.cpp)
target_link_libraries(vask_release_diff PUBLIC vask_archive_open)
