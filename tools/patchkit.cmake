file(GLOB _patchkit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
# Platform twins: only this platform's.
list(FILTER _patchkit_sources EXCLUDE REGEX "_(posix|win32)\\.cpp$")
list(APPEND _patchkit_sources
     ${CMAKE_CURRENT_LIST_DIR}/exec_mode_${VASK_PLATFORM}.cpp
     ${CMAKE_CURRENT_LIST_DIR}/terminal_${VASK_PLATFORM}.cpp
     ${CMAKE_CURRENT_LIST_DIR}/run_program_${VASK_PLATFORM}.cpp)
add_executable(patchkit ${_patchkit_sources})
# The patcher's platform layer tells patchkit where its own file is, and so
# where its stubs are.
target_link_libraries(patchkit PRIVATE vask_all vask_ini_check vask_release_diff
                      vask_platform)
