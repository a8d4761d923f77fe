# Cross build for 32-bit Windows with MinGW-w64 (posix thread model), for the
# helper programs that stand for the 32-bit installers publishers ship.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(STUB_MINGW_TRIPLE i686-w64-mingw32)
set(STUB_MINGW_PACKAGE i686)
include(${CMAKE_CURRENT_LIST_DIR}/FindTool.cmake)
stub_find_program(CMAKE_C_COMPILER gcc-mingw-w64-i686-posix i686-w64-mingw32-gcc-posix)
stub_find_program(CMAKE_CXX_COMPILER g++-mingw-w64-i686-posix i686-w64-mingw32-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
