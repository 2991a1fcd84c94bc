file(GLOB _patchkit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(patchkit ${_patchkit_sources})
target_link_libraries(patchkit PRIVATE vask_all)
