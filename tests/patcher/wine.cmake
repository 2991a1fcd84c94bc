# Windows build only: the platform layer's tests and the patcher's end-to-end
# scenarios, on a Wine desktop (Xvfb) made and removed by each test run
# through tests/wine/wine_session.sh, in a prefix under the build folder.
if(WIN32)
  set(_vask_wine_dir ${CMAKE_CURRENT_LIST_DIR}/../wine)
  set(_vask_wine_state ${CMAKE_BINARY_DIR}/wine-gui)

  # Finds a dialog by caption, prints its texts and presses a button.
  add_executable(vask_clicker ${_vask_wine_dir}/clicker.cpp)
  target_include_directories(vask_clicker PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(vask_clicker PRIVATE user32)

  add_executable(platform_win32_test ${CMAKE_CURRENT_LIST_DIR}/platform_win32_test.cpp)
  if(TARGET vask_platform)
    target_link_libraries(platform_win32_test PRIVATE vask_platform)
  else()
    target_sources(platform_win32_test PRIVATE ${PROJECT_SOURCE_DIR}/patcher/platform_win32.cpp)
    target_link_libraries(platform_win32_test PRIVATE advapi32 user32 shell32 ole32 uuid)
  endif()
  target_link_libraries(platform_win32_test PRIVATE vask_resources vask_test_support)
  add_dependencies(platform_win32_test vask_clicker)

  add_test(NAME platform_win32_test
           COMMAND bash ${_vask_wine_dir}/wine_session.sh ${_vask_wine_state}
                   wine $<TARGET_FILE:platform_win32_test>)
  set_tests_properties(platform_win32_test PROPERTIES TIMEOUT 600 RESOURCE_LOCK vask_wine_gui)
endif()

# The real patcher, built into patches by patchkit (both run under Wine),
# answered box by box. Screenshots land in wine-screenshots/.
if(WIN32 AND TARGET vaskpatch AND TARGET patchkit)
  add_executable(vask_link_info ${_vask_wine_dir}/link_info.cpp)
  target_include_directories(vask_link_info PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(vask_link_info PRIVATE ole32 uuid)

  set(VASK_NATIVE_BUILD "" CACHE PATH
      "A native build configured with VASK_WINDOWS_STUB naming this build's VaskPatch.exe; its install is tested here")
  set(_vask_scenarios complete declined wrong_version mutex_held copy_ignore
                      copy_abort bare broken no_checksums)
  if(VASK_NATIVE_BUILD)
    list(APPEND _vask_scenarios installed signed)
  endif()
  foreach(_scenario ${_vask_scenarios})
    add_test(NAME wine_patcher_${_scenario}
             COMMAND bash ${_vask_wine_dir}/wine_session.sh ${_vask_wine_state}
                     env VASK_PATCHER=$<TARGET_FILE:vaskpatch>
                         VASK_PATCHKIT=$<TARGET_FILE:patchkit>
                         VASK_CLICKER=$<TARGET_FILE:vask_clicker>
                         VASK_LINK_INFO=$<TARGET_FILE:vask_link_info>
                         VASK_WORK=${CMAKE_BINARY_DIR}/wine-scenarios
                         VASK_SHOTS=${CMAKE_BINARY_DIR}/wine-screenshots
                         VASK_NATIVE_BUILD=${VASK_NATIVE_BUILD}
                     bash ${_vask_wine_dir}/patcher_scenarios.sh ${_scenario})
    set_tests_properties(wine_patcher_${_scenario} PROPERTIES
      TIMEOUT 600 RESOURCE_LOCK vask_wine_gui)
  endforeach()
endif()

# The patcher needs no DLL beside it and has no console.
if(WIN32 AND TARGET vaskpatch)
  add_test(NAME vaskpatch_imports_only_system_dlls
           COMMAND bash ${_vask_wine_dir}/check_imports.sh ${CMAKE_OBJDUMP}
                   $<TARGET_FILE:vaskpatch> gui)
endif()
