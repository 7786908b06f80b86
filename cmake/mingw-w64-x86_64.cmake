# Cross-builds for 64-bit Windows with MinGW-w64 (Debian packages
# g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUB_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZUB_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUB_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUB_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZUB_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine where it is installed (Debian's wine
# package names its launcher "wine"; older ones "wine64").
find_program(ZUB_WINE NAMES wine64 wine)
if(ZUB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUB_WINE})
endif()
