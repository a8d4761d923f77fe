# Shared part of the MinGW-w64 toolchain files. Expects STUB_MINGW_TRIPLE
# (x86_64-w64-mingw32 or i686-w64-mingw32) and STUB_MINGW_PACKAGE (the Debian
# name of that target, x86-64 or i686). The C and C++ compilers are set by the
# including file; the binary tools, the resource compiler and the MinGW root
# folder (headers and import libraries) are found here.
include(${CMAKE_CURRENT_LIST_DIR}/FindTool.cmake)

set(CMAKE_SYSTEM_NAME Windows)

stub_find_program(STUB_MINGW_WINDRES binutils-mingw-w64-${STUB_MINGW_PACKAGE} ${STUB_MINGW_TRIPLE}-windres)
stub_find_program(STUB_MINGW_NM binutils-mingw-w64-${STUB_MINGW_PACKAGE} ${STUB_MINGW_TRIPLE}-nm)
stub_find_program(STUB_MINGW_DLLTOOL binutils-mingw-w64-${STUB_MINGW_PACKAGE} ${STUB_MINGW_TRIPLE}-dlltool)
set(CMAKE_RC_COMPILER ${STUB_MINGW_WINDRES})

# The import libraries of the target; their parent folder is the root under
# which CMake looks for the target's headers and libraries.
find_path(STUB_MINGW_LIBRARY_DIR NAMES libkernel32.a
  HINTS /usr/${STUB_MINGW_TRIPLE}/lib /usr/${STUB_MINGW_TRIPLE}/sys-root/mingw/lib
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT STUB_MINGW_LIBRARY_DIR)
  message(FATAL_ERROR "The MinGW-w64 import libraries (libkernel32.a) for ${STUB_MINGW_TRIPLE} were not found: "
                      "install the Debian package mingw-w64-${STUB_MINGW_PACKAGE}-dev (scripts/install-deps.sh)")
endif()
get_filename_component(STUB_MINGW_ROOT ${STUB_MINGW_LIBRARY_DIR} DIRECTORY)

set(CMAKE_FIND_ROOT_PATH ${STUB_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under Wine in a private prefix of the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
