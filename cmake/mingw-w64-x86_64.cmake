# Cross build for 64-bit Windows with MinGW-w64 (posix thread model, so that
# std::thread and std::mutex exist).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(STUB_MINGW_TRIPLE x86_64-w64-mingw32)
set(STUB_MINGW_PACKAGE x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/FindTool.cmake)
stub_find_program(CMAKE_C_COMPILER gcc-mingw-w64-x86-64-posix x86_64-w64-mingw32-gcc-posix)
stub_find_program(CMAKE_CXX_COMPILER g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
