# The patcher's operating-system layer: one implementation per platform,
# and the portable registry-export text that the POSIX one keeps its
# registry in.
add_library(vask_platform STATIC ${CMAKE_CURRENT_LIST_DIR}/regedit4.cpp)
if(WIN32)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/platform_win32.cpp)
    target_sources(vask_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_win32.cpp)
  endif()
  target_link_libraries(vask_platform PUBLIC user32 advapi32 shell32 ole32 uuid comctl32)
else()
  target_sources(vask_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_posix.cpp)
endif()
target_link_libraries(vask_platform PUBLIC vask vask_config)
