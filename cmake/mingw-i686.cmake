# Cross-build for 32-bit Windows, the patcher's real target.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VASK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
