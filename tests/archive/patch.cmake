vask_test(patch_test
  ${CMAKE_CURRENT_LIST_DIR}/patch_test.cpp
)
target_link_libraries(patch_test PRIVATE vask_builder)
