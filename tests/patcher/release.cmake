# A patch from one release to the next, built by patchkit and applied by the
# real patcher (Linux).
if(NOT WIN32)
  vask_test(release_patch_test ${CMAKE_CURRENT_LIST_DIR}/release_patch_test.cpp)
  target_compile_definitions(release_patch_test PRIVATE
    VASKPATCH_BIN="$<TARGET_FILE:vaskpatch>"
    PATCHKIT_BIN="$<TARGET_FILE:patchkit>"
    VASK_DEMO_INI="${PROJECT_SOURCE_DIR}/scripts/demo/Patch.ini")
  add_dependencies(release_patch_test vaskpatch patchkit)
endif()
