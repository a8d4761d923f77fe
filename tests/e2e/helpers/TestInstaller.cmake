# stub_add_test_installer(<target>) builds the stand-in installer; the 64-bit
# build and the 32-bit one (subfolder x86) make it the same way.
function(stub_add_test_installer target)
  add_executable(${target} WIN32 ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/test_installer.cpp)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0602)
  target_link_libraries(${target} PRIVATE stub_build_options shell32 user32)
  target_link_options(${target} PRIVATE -municode -mwindows)
endfunction()
