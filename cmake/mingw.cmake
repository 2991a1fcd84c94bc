# Cross-build for Windows with mingw-w64 for the target VASK_MINGW_TRIPLE (the
# POSIX thread model, which the C++ standard threads and GoogleTest need;
# linked statically). Included by the toolchain file of each target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VASK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VASK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VASK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VASK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of this build run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
