# Authenticode signing of the built stub (and of the test programs) with
# osslsigncode, SHA-256 digest. The password of the PKCS#12 file is read by
# osslsigncode itself from its file (-readpass): it never appears on a command
# line, in the cache or in the build's output.
#
# stub_sign_after_link(<target> PKCS12 <file> PASSWORD_FILE <file>
#                      [TIMESTAMP_URL <url>] [CA_FILE <pem>] [DESCRIPTION <text>])
# signs the target's file after each link, verifies the signature (against
# CA_FILE, else the system's trusted roots) and fails the build, removing the
# unsigned file, when either step fails. For test signers, KEY and CERTS (PEM)
# take the place of the PKCS#12 file, OUTPUT writes a signed copy instead, and
# NO_VERIFY skips the verification (of a certificate made to fail it).
set(STUB_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)

function(stub_sign_after_link target)
  cmake_parse_arguments(S "NO_VERIFY" "PKCS12;PASSWORD_FILE;TIMESTAMP_URL;CA_FILE;DESCRIPTION;KEY;CERTS;OUTPUT" "" ${ARGN})
  stub_find_program(OSSLSIGNCODE osslsigncode osslsigncode)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DFILE=$<TARGET_FILE:${target}>
            "-DOUTPUT=${S_OUTPUT}" "-DPKCS12=${S_PKCS12}" "-DPASSWORD_FILE=${S_PASSWORD_FILE}"
            "-DKEY=${S_KEY}" "-DCERTS=${S_CERTS}"
            "-DTIMESTAMP_URL=${S_TIMESTAMP_URL}" "-DCA_FILE=${S_CA_FILE}" "-DDESCRIPTION=${S_DESCRIPTION}" -DVERIFY=$<NOT:$<BOOL:${S_NO_VERIFY}>>
            -P ${STUB_SIGN_SCRIPT}
    VERBATIM)
endfunction()
