vask_test(pool_test
  ${CMAKE_CURRENT_LIST_DIR}/pool_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool_fs_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool_model_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool_image_test.cpp
)
target_link_libraries(pool_test PRIVATE vask_pool)
