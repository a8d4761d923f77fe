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
  # Small rather than fast: the stub's time goes to the network, and the
  # CRC-32's inner loop keeps its speed at -Os. (Comes after the build type's
  # own -O flag, so it wins.)
  $<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release>>:-Os>)
# Everything is linked statically so that the programs import system DLLs only.
target_link_options(stub_build_options INTERFACE -static -static-libgcc -static-libstdc++)
