# patchkit run as a process (Linux; the Windows build runs it under Wine in
# the patcher scenarios).
if(NOT WIN32)
  vask_test(patchkit_test ${CMAKE_CURRENT_LIST_DIR}/patchkit_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/release_patch_test.cpp)
  target_compile_definitions(patchkit_test PRIVATE
    VASKPATCH_BIN="$<TARGET_FILE:vaskpatch>"
    PATCHKIT_BIN="$<TARGET_FILE:patchkit>"
    VASK_DEMO_INI="${PROJECT_SOURCE_DIR}/scripts/demo/Patch.ini")
  add_dependencies(patchkit_test vaskpatch patchkit)
endif()

# The installed toolkit and its Debian package (Linux).
if(NOT WIN32)
  add_test(NAME install_test
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/install-test ${PROJECT_SOURCE_DIR}/scripts/demo
                   "${VASK_WINDOWS_STUB}")
  set_tests_properties(install_test PROPERTIES TIMEOUT 300)
endif()
