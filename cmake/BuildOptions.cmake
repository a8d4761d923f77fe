# The compile and link options every program of the project shares: its
# warnings, sections that the linker can drop, small code in release builds,
# and a static link. Every target links stub_build_options.
option(STUB_WARNINGS_AS_ERRORS "Make the project's warnings errors" OFF)
set(STUB_WARNINGS -Wall -Wextra -Wno-unknown-pragmas -Wno-cast-function-type)
if(STUB_WARNINGS_AS_ERRORS)
  list(APPEND STUB_WARNINGS -Werror)
endif()
add_library(stub_build_options INTERFACE)
target_compile_options(stub_build_options INTERFACE
  $<$<COMPILE_LANGUAGE:C,CXX>:${STUB_WARNINGS}>
  # With --gc-sections on the executable, unused functions and data are dropped.
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffunction-sections -fdata-sections>
  # Small rather than fast: the stub's time goes to the network. GCC's -Os
  # keeps the CRC-32's inner loop at its speed; clang's smallest setting is
  # -Oz, and the CRC-32 is compiled for speed there (STUB_SPEED_OPTIONS).
  # (Comes after the build type's own -O flag, so it wins.)
  $<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release>>:$<IF:$<CXX_COMPILER_ID:Clang>,-Oz,-Os>>
  # The C++ library defines type_info's comparison out of line; at -Oz clang
  # keeps the header's inline copy as a function of its own, which lld refuses
  # beside the library's: the header is told to declare it only.
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:Clang>>:-D__GXX_TYPEINFO_EQUALITY_INLINE=0>)
# Source files whose loops are the stub's own hot spots (the CRC-32) take
# these on top, as their last word.
set(STUB_SPEED_OPTIONS $<$<AND:$<CONFIG:Release>,$<CXX_COMPILER_ID:Clang>>:-O2>)
# Everything is linked statically so that the programs import system DLLs only.
target_link_options(stub_build_options INTERFACE -static -static-libgcc -static-libstdc++)

# Link-time optimisation of release builds: the project's own code, the
# configuration reader and the log library are optimised as one program, which
# drops what no path reaches and shares what the templates repeat.
option(STUB_LTO "Link-time optimisation in release builds" ON)
if(STUB_LTO)
  include(CheckIPOSupported)
  check_ipo_supported(RESULT STUB_LTO_SUPPORTED OUTPUT STUB_LTO_ERROR LANGUAGES C CXX)
  if(NOT STUB_LTO_SUPPORTED)
    message(FATAL_ERROR "Link-time optimisation does not work with this compiler (configure with -DSTUB_LTO=OFF):\n${STUB_LTO_ERROR}")
  endif()
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE ON)
  # GoogleTest's own CMake files predate the policy that honours the setting.
  set(CMAKE_POLICY_DEFAULT_CMP0069 NEW)
  # The link optimises for size as the compiles did. GCC 12 for MinGW stops
  # with an internal error when the program is split into partitions
  # (binds_to_current_def_p): one partition is a link of a few seconds more.
  target_link_options(stub_build_options INTERFACE $<$<CONFIG:Release>:$<IF:$<CXX_COMPILER_ID:Clang>,-Oz,-Os>>
    $<$<AND:$<CONFIG:Release>,$<CXX_COMPILER_ID:GNU>>:-flto-partition=one>)
endif()
