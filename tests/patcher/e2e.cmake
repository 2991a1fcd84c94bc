# End-to-end runs of the real patcher and patchkit (Linux; the Windows
# program is exercised under Wine by the Wine harness).
if(NOT WIN32)
  vask_test(patcher_e2e_test ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp)
  target_compile_definitions(patcher_e2e_test PRIVATE
    VASKPATCH_BIN="$<TARGET_FILE:vaskpatch>"
    PATCHKIT_BIN="$<TARGET_FILE:patchkit>"
    VASK_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/data")
  add_dependencies(patcher_e2e_test vaskpatch patchkit)
endif()
