# Cross build of ZEL_863_DLL.dll for 32-bit Windows (x86) with Debian's MinGW-w64; the __stdcall
# exports keep their undecorated names through src/api/ZEL_863_DLL.def:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake && cmake --build build-win32
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
