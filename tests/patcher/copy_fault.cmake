# The copy engine under fault injection and hostile archive names, with a
# platform double instead of vask_platform (POSIX: the game folder is a
# temporary folder reached through the host file service).
if(NOT WIN32 AND TARGET vask_patcher)
  vask_test(copy_fault_test
    ${CMAKE_CURRENT_LIST_DIR}/copy_fault_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/fault_file.cpp)
  target_link_libraries(copy_fault_test PRIVATE vask_patcher)
endif()
