# The same cross build for 64-bit Windows with clang and lld: MinGW-w64's
# headers and import libraries, and the C++ library and runtime of the MinGW
# GCC (posix thread model). A second compiler keeps the code free of what only
# GCC accepts.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(STUB_MINGW_TRIPLE x86_64-w64-mingw32)
set(STUB_MINGW_PACKAGE x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/FindTool.cmake)
stub_find_program(CMAKE_C_COMPILER clang clang)
stub_find_program(CMAKE_CXX_COMPILER clang clang++)
set(CMAKE_C_COMPILER_TARGET ${STUB_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${STUB_MINGW_TRIPLE})
stub_find_program(STUB_MINGW_GXX g++-mingw-w64-x86-64-posix ${STUB_MINGW_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

# clang finds the MinGW GCC's files only in folders named for a plain version,
# and Debian's is named "12-posix": the C++ headers and the runtime folder are
# asked from that g++ itself.
execute_process(COMMAND ${STUB_MINGW_GXX} -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(STUB_MINGW_GCC_DIR "${libgcc}" DIRECTORY)
execute_process(COMMAND ${STUB_MINGW_GXX} -x c++ -E -v - INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search)
string(REGEX MATCHALL "\n [^\n]*/include/c\\+\\+[^\n]*" cxx_dirs "${search}")
if(NOT EXISTS "${STUB_MINGW_GCC_DIR}/libstdc++.a" OR NOT cxx_dirs)
  message(FATAL_ERROR "The C++ library of ${STUB_MINGW_GXX} was not found: install the Debian package g++-mingw-w64-x86-64-posix (scripts/install-deps.sh)")
endif()
set(cxx_includes "")
foreach(dir ${cxx_dirs})
  string(STRIP "${dir}" dir)
  string(APPEND cxx_includes " -isystem ${dir}")
endforeach()

# The sysroot keeps the build machine's own /usr/include out of the search.
set(CMAKE_C_FLAGS_INIT "--sysroot=${STUB_MINGW_ROOT}")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${STUB_MINGW_ROOT}${cxx_includes}")
# winpthreads is what the posix GCC's libstdc++ builds its threads on.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${STUB_MINGW_GCC_DIR} -lpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${STUB_MINGW_GCC_DIR} -lpthread")
set(CMAKE_RC_FLAGS_INIT "")
