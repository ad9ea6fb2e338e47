# Cross build of ZEL_863_DLL.dll for 32-bit Windows (x86) with Debian's MinGW-w64; the __stdcall
# exports keep their undecorated names through src/api/ZEL_863_DLL.def:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake && cmake --build build-win32
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZEL_MINGW_TRIPLE i686-w64-mingw32)

# The win32 thread model needs no winpthread DLL; the library starts no threads.
find_program(CMAKE_C_COMPILER NAMES ${ZEL_MINGW_TRIPLE}-gcc-win32 ${ZEL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZEL_MINGW_TRIPLE}-g++-win32 ${ZEL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
