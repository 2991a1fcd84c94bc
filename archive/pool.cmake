# The pool file (CBFHP), the pool file system (CHPFS) and pool images.
add_library(vask_pool STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pool_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool_fs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool_image.cpp
)
target_link_libraries(vask_pool PUBLIC vask)
