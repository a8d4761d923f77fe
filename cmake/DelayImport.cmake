# Delay-import libraries for DLLs that are not among the system's known DLLs.
# Such a DLL is loaded on first use, after the stub has restricted the DLL
# search to the system folder, so a file of the same name planted beside the
# stub (in a Downloads folder, say) is never loaded in its place.
#
# stub_delay_import(<target> <dll> <import library>) makes an INTERFACE
# library <target> that links a delay-import library generated at configure
# time from the exports of MinGW's regular import library (with clang, an
# import library that lld delay-loads).
function(stub_delay_import target dll import_library)
  find_file(regular_${target} ${import_library} PATHS ${STUB_MINGW_LIBRARY_DIR} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT regular_${target})
    message(FATAL_ERROR "${import_library} is missing from ${STUB_MINGW_LIBRARY_DIR}: install the MinGW-w64 development package (scripts/install-deps.sh)")
  endif()
  set(out_dir ${PROJECT_BINARY_DIR}/delayimp)
  file(MAKE_DIRECTORY ${out_dir})
  set(def ${out_dir}/${target}.def)
  set(lib ${out_dir}/lib${target}.a)
  execute_process(COMMAND ${STUB_MINGW_NM} -g --defined-only ${regular_${target}}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the exports of ${regular_${target}}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z_][A-Za-z0-9_@]*" functions "${symbols}")
  set(text "LIBRARY ${dll}\nEXPORTS\n")
  foreach(entry ${functions})
    string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${entry}")
    string(APPEND text "  ${name}\n")
  endforeach()
  file(WRITE ${def} "${text}")
  # lld builds the delay-import tables itself, with their address table in a
  # writable section, from a plain import library of LLVM's kind. The tables
  # of GNU dlltool's delay-import libraries lie in .idata, which lld makes
  # read-only: the first call through one would fault where the helper writes
  # the function's address.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    stub_find_program(STUB_LLVM_DLLTOOL llvm llvm-dlltool)
    set(command ${STUB_LLVM_DLLTOOL} -m i386:x86-64 -d ${def} -l ${lib})
  else()
    set(command ${STUB_MINGW_DLLTOOL} --input-def ${def} --dllname ${dll} --output-delaylib ${lib})
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot make the delay-import library for ${dll}")
  endif()
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${lib})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${target} INTERFACE -Wl,--delayload=${dll})
  endif()
endfunction()
