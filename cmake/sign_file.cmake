# Signs FILE with osslsigncode and verifies the result (cmake -P; see
# Signing.cmake). The key is PKCS12 with PASSWORD_FILE, or KEY with CERTS (PEM,
# for test signers). The signed file replaces FILE, or goes to OUTPUT when
# given. On failure FILE is removed, so that the next build links and signs
# again instead of taking an unsigned file for up to date.
set(target "${FILE}")
if(OUTPUT)
  set(target "${OUTPUT}")
endif()
set(signed "${target}.signing")

function(fail message)
  file(REMOVE "${signed}")
  if(NOT OUTPUT)
    file(REMOVE "${FILE}")
  endif()
  message(FATAL_ERROR "${message}")
endfunction()

if(PKCS12)
  if(NOT EXISTS "${PKCS12}")
    fail("signing: the PKCS#12 file ${PKCS12} does not exist")
  endif()
  if(NOT PASSWORD_FILE OR NOT EXISTS "${PASSWORD_FILE}")
    fail("signing: STUB_SIGNING_PASSWORD_FILE must name the file that holds the password of ${PKCS12}")
  endif()
  set(key -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}")
else()
  set(key -certs "${CERTS}" -key "${KEY}")
endif()
set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
if(NOT DESCRIPTION)
  set(DESCRIPTION "Tessaloom Setup")
endif()

file(REMOVE "${signed}")
execute_process(COMMAND "${OSSLSIGNCODE}" sign ${key} -h sha256 -n "${DESCRIPTION}" ${timestamp}
                        -in "${FILE}" -out "${signed}"
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
  fail("signing ${FILE} failed:\n${out}")
endif()
if(VERIFY)
  set(roots)
  if(CA_FILE)
    set(roots -CAfile "${CA_FILE}")
  endif()
  execute_process(COMMAND "${OSSLSIGNCODE}" verify ${roots} -in "${signed}"
                  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed)
    fail("the signature of ${signed} does not verify:\n${out}")
  endif()
endif()
file(RENAME "${signed}" "${target}")
