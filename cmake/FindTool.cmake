# stub_find_program(<variable> <Debian package> <name>...) finds a program (the
# Debian location first) and stops the configuration with the package to
# install when it is missing.
function(stub_find_program variable package)
  find_program(${variable} NAMES ${ARGN} HINTS /usr/bin NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${variable})
    list(GET ARGN 0 name)
    message(FATAL_ERROR "${name} not found: install the Debian package ${package} (scripts/install-deps.sh)")
  endif()
endfunction()

# stub_find_host_path(<variable> <Debian package> <file> <Debian folder>) finds the
# folder of a file on the build machine (not under the MinGW root), the Debian
# folder first, and stops the configuration when it is missing.
function(stub_find_host_path variable package file debian_folder)
  find_path(${variable} NAMES ${file} HINTS ${debian_folder} NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${variable})
    message(FATAL_ERROR "${file} not found: install the Debian package ${package} (scripts/install-deps.sh)")
  endif()
endfunction()
