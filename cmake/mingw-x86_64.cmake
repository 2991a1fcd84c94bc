# Cross-build for 64-bit Windows: the same sources, for testing under a Wine
# that can only run 64-bit programs (a machine without 32-bit support).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VASK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
