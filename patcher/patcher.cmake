# The patcher's logic as a library, and the patcher executable: vaskpatch on
# Linux, VaskPatch.exe on Windows.
add_library(vask_patcher STATIC
  ${CMAKE_CURRENT_LIST_DIR}/driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/checks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/copy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/finish.cpp
)
target_link_libraries(vask_patcher PUBLIC vask_archive_open vask_all)

add_executable(vaskpatch ${CMAKE_CURRENT_LIST_DIR}/main_${VASK_PLATFORM}.cpp)
target_link_libraries(vaskpatch PRIVATE vask_patcher vask_platform)
if(WIN32)
  set_target_properties(vaskpatch PROPERTIES OUTPUT_NAME VaskPatch)
endif()
