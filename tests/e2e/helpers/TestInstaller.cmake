# stub_add_test_installer(<target> [SIGNED]) builds the stand-in installer; the
# 64-bit build and the 32-bit one (subfolder x86) make it the same way. SIGNED
# signs it after each link with the test signer of STUB_TEST_CERTS, as the
# stub of the test and demo builds is signed.
function(stub_add_test_installer target)
  cmake_parse_arguments(I "SIGNED" "" "" ${ARGN})
  add_executable(${target} WIN32 ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/test_installer.cpp)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0602)
  target_link_libraries(${target} PRIVATE stub_build_options shell32 user32)
  target_link_options(${target} PRIVATE -municode -mwindows)
  if(I_SIGNED)
    stub_sign_after_link(${target} KEY ${STUB_TEST_CERTS}/signer.key CERTS ${STUB_TEST_CERTS}/signer.pem
      CA_FILE ${STUB_TEST_CERTS}/signer.pem DESCRIPTION "Tessaloom test installer")
  endif()
endfunction()
