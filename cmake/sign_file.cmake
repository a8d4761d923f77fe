# Signs FILE with osslsigncode and verifies the result (cmake -P; see
# Signing.cmake). The key is PKCS12 with PASSWORD_FILE, a token's key (its
# pkcs11: URI in PKCS11_KEY_FILE) through PKCS11_MODULE with its certificate chain in CERTS and
# its PIN in PIN_FILE, or KEY with CERTS (PEM, for test signers). The signed file replaces FILE, or goes to OUTPUT when
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
elseif(PKCS11_MODULE)
  if(NOT EXISTS "${PKCS11_MODULE}")
    fail("signing: the PKCS#11 module ${PKCS11_MODULE} does not exist")
  endif()
  if(NOT CERTS OR NOT EXISTS "${CERTS}")
    fail("signing: STUB_SIGNING_CERTIFICATE must name the PEM file of the token key's certificate chain")
  endif()
  # osslsigncode reaches the token through OpenSSL's PKCS#11 engine (libp11);
  # the PIN is read from its file, like a password.
  if(NOT PKCS11_KEY_FILE OR NOT EXISTS "${PKCS11_KEY_FILE}")
    fail("signing: no PKCS#11 URI of the key (STUB_SIGNING_PKCS11_KEY)")
  endif()
  file(READ "${PKCS11_KEY_FILE}" token_key)
  string(STRIP "${token_key}" token_key)
  set(key -pkcs11module "${PKCS11_MODULE}" -certs "${CERTS}")
  if(PIN_FILE)
    if(NOT EXISTS "${PIN_FILE}")
      fail("signing: the PIN file ${PIN_FILE} does not exist")
    endif()
    list(APPEND key -readpass "${PIN_FILE}")
  endif()
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
if(PKCS11_MODULE)
  # Quoted on its own: the URI's semicolons must not split it.
  execute_process(COMMAND "${OSSLSIGNCODE}" sign ${key} -key "${token_key}" -h sha256 -n "${DESCRIPTION}"
                          ${timestamp} -in "${FILE}" -out "${signed}"
                  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
else()
  execute_process(COMMAND "${OSSLSIGNCODE}" sign ${key} -h sha256 -n "${DESCRIPTION}" ${timestamp}
                          -in "${FILE}" -out "${signed}"
                  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
endif()
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
