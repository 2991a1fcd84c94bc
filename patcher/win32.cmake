# The Windows side of the patcher: the system libraries of the platform layer,
# and the resources (progress dialog, icon, version block, manifest) of
# VaskPatch.exe, a GUI program without console.
if(WIN32)
  if(TARGET vask_platform)
    target_link_libraries(vask_platform PUBLIC advapi32 user32 shell32 ole32 uuid comctl32)
  endif()

  # The icon is drawn by a small program built with the build machine's own
  # compiler (the cross compiler's programs would need Wine to run).
  find_program(VASK_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(_vask_res_src ${CMAKE_CURRENT_LIST_DIR}/resources)
  set(_vask_res_bin ${CMAKE_CURRENT_BINARY_DIR}/resources)
  file(MAKE_DIRECTORY ${_vask_res_bin})
  add_custom_command(
    OUTPUT ${_vask_res_bin}/make_icon
    COMMAND ${VASK_HOST_CXX} -std=c++17 -O1 -o ${_vask_res_bin}/make_icon
            ${_vask_res_src}/make_icon.cpp
    DEPENDS ${_vask_res_src}/make_icon.cpp
    COMMENT "Building the icon generator with the host compiler")
  add_custom_command(
    OUTPUT ${_vask_res_bin}/vaskpatch.ico
    COMMAND ${_vask_res_bin}/make_icon ${_vask_res_bin}/vaskpatch.ico
    DEPENDS ${_vask_res_bin}/make_icon
    COMMENT "Drawing vaskpatch.ico")

  # The compiled resources, linked into the patcher and into the tests that
  # need the progress dialog.
  add_library(vask_resources OBJECT ${_vask_res_src}/vaskpatch.rc)
  target_include_directories(vask_resources PRIVATE ${_vask_res_bin} ${_vask_res_src})
  set_source_files_properties(${_vask_res_src}/vaskpatch.rc PROPERTIES
    OBJECT_DEPENDS "${_vask_res_bin}/vaskpatch.ico;${_vask_res_src}/vaskpatch.manifest")

  if(TARGET vaskpatch)
    target_link_libraries(vaskpatch PRIVATE vask_resources)
    target_link_options(vaskpatch PRIVATE -mwindows)
  endif()
endif()
