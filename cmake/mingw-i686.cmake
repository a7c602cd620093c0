# Cross-build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# builds QEL32.dll, its import library libQEL32.dll.a and the Windows test
# programs, which run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QEL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${QEL_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${QEL_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built here run under Wine when CTest starts them.
find_program(QEL_WINE wine)
if(QEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_WINE})
endif()
