vask_test(regedit4_test ${CMAKE_CURRENT_LIST_DIR}/regedit4_test.cpp)
target_link_libraries(regedit4_test PRIVATE vask_platform)

if(NOT WIN32)
  vask_test(platform_test ${CMAKE_CURRENT_LIST_DIR}/platform_test.cpp)
  target_link_libraries(platform_test PRIVATE vask_platform)
endif()
