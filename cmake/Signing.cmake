# Authenticode signing of the built stub (and of the test programs) with
# osslsigncode, SHA-256 digest. The key is a PKCS#12 file, or a key on a token
# or HSM reached through its PKCS#11 module (code-signing keys from a CA now
# live on hardware). A password or PIN is read by osslsigncode itself from its
# file (-readpass): it never appears on a command line, in the cache or in the
# build's output.
#
# stub_sign_after_link(<target> PKCS12 <file> PASSWORD_FILE <file>
#                      [TIMESTAMP_URL <url>] [CA_FILE <pem>] [DESCRIPTION <text>])
# stub_sign_after_link(<target> PKCS11_MODULE <module> PKCS11_KEY_FILE <file> CERTS <pem>
#                      [PIN_FILE <file>] [TIMESTAMP_URL <url>] [CA_FILE <pem>] [DESCRIPTION <text>])
# signs the target's file after each link, verifies the signature (against
# CA_FILE, else the system's trusted roots) and fails the build, removing the
# unsigned file, when either step fails. For test signers, KEY and CERTS (PEM)
# take the place of the PKCS#12 file, OUTPUT writes a signed copy instead, and
# NO_VERIFY skips the verification (of a certificate made to fail it).
# PKCS11_KEY_FILE holds the key's PKCS#11 URI: its attributes are separated by
# semicolons, which a CMake argument can't carry.
#
# stub_sign_with_build_key(<target> DESCRIPTION <text>) signs the target with
# the build's own key (the STUB_SIGNING_* settings) when STUB_SIGNS is on.
set(STUB_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)

function(stub_sign_after_link target)
  cmake_parse_arguments(S "NO_VERIFY"
    "PKCS12;PASSWORD_FILE;PKCS11_MODULE;PKCS11_KEY_FILE;PIN_FILE;TIMESTAMP_URL;CA_FILE;DESCRIPTION;KEY;CERTS;OUTPUT" "" ${ARGN})
  stub_find_program(OSSLSIGNCODE osslsigncode osslsigncode)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DFILE=$<TARGET_FILE:${target}>
            "-DOUTPUT=${S_OUTPUT}" "-DPKCS12=${S_PKCS12}" "-DPASSWORD_FILE=${S_PASSWORD_FILE}"
            "-DPKCS11_MODULE=${S_PKCS11_MODULE}" "-DPKCS11_KEY_FILE=${S_PKCS11_KEY_FILE}" "-DPIN_FILE=${S_PIN_FILE}"
            "-DKEY=${S_KEY}" "-DCERTS=${S_CERTS}"
            "-DTIMESTAMP_URL=${S_TIMESTAMP_URL}" "-DCA_FILE=${S_CA_FILE}" "-DDESCRIPTION=${S_DESCRIPTION}" -DVERIFY=$<NOT:$<BOOL:${S_NO_VERIFY}>>
            -P ${STUB_SIGN_SCRIPT}
    VERBATIM)
  # The signature is made after each link: a new key or certificate links the
  # target again, so that it is signed again.
  set(signing_files ${S_PKCS12} ${S_KEY} ${S_CERTS})
  if(signing_files)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${signing_files})
  endif()
endfunction()

# Which key the build signs with, if any.
if(STUB_SIGNING_PKCS12 AND STUB_SIGNING_PKCS11_MODULE)
  message(FATAL_ERROR "signing: set STUB_SIGNING_PKCS12 or STUB_SIGNING_PKCS11_MODULE, not both")
endif()
set(STUB_SIGNS OFF)
if(STUB_SIGNING_PKCS12)
  set(STUB_SIGNS ON)
elseif(STUB_SIGNING_PKCS11_MODULE)
  if(NOT STUB_SIGNING_PKCS11_KEY OR NOT STUB_SIGNING_CERTIFICATE)
    message(FATAL_ERROR "signing through PKCS#11: STUB_SIGNING_PKCS11_KEY must name the key (a pkcs11: URI) and "
                        "STUB_SIGNING_CERTIFICATE the PEM file of its certificate chain")
  endif()
  set(STUB_SIGNS ON)
endif()

# A release vouches for the installer by more than its CRC-32: the stub
# requires a signer (its own, or STUB_INSTALLER_SIGNER) and the document's
# "sha256". A signature without a time stamp stops verifying when the
# certificate expires, and every stub in the field with it.
option(STUB_RELEASE
  "Release packaging: the installer's signer and the document's \"sha256\" are required, a signed build must be time-stamped (STUB_TIMESTAMP_URL)"
  OFF)
if(STUB_RELEASE AND NOT STUB_SIGNS AND STUB_INSTALLER_SIGNER STREQUAL "")
  message(FATAL_ERROR
    "STUB_RELEASE: this build would require no signer of the installer, so it would run any file that matches the "
    "document's digests. Sign the stub (STUB_SIGNING_PKCS12 with STUB_SIGNING_PASSWORD_FILE, or "
    "STUB_SIGNING_PKCS11_MODULE with STUB_SIGNING_PKCS11_KEY and STUB_SIGNING_CERTIFICATE): the installer must then "
    "carry the stub's own signer; or set STUB_INSTALLER_SIGNER to the name the installer is signed with.")
endif()
if(STUB_SIGNS AND STUB_TIMESTAMP_URL STREQUAL "")
  set(timestamp_warning
    "the stub is signed without a time stamp (STUB_TIMESTAMP_URL is empty): its signature stops verifying when "
    "the signing certificate expires, and every stub in the field with it. Set STUB_TIMESTAMP_URL to your CA's "
    "RFC 3161 time-stamping server.")
  if(STUB_RELEASE)
    message(FATAL_ERROR "signing (STUB_RELEASE): " ${timestamp_warning})
  else()
    message(WARNING "signing: " ${timestamp_warning})
  endif()
endif()

function(stub_sign_with_build_key target)
  cmake_parse_arguments(S "" "DESCRIPTION" "" ${ARGN})
  if(STUB_SIGNING_PKCS12)
    stub_sign_after_link(${target} PKCS12 ${STUB_SIGNING_PKCS12} PASSWORD_FILE "${STUB_SIGNING_PASSWORD_FILE}"
      TIMESTAMP_URL "${STUB_TIMESTAMP_URL}" CA_FILE "${STUB_SIGNING_CA_FILE}" DESCRIPTION "${S_DESCRIPTION}")
  elseif(STUB_SIGNING_PKCS11_MODULE)
    set(key_file ${PROJECT_BINARY_DIR}/signing/${target}.pkcs11-key)
    file(WRITE ${key_file} "${STUB_SIGNING_PKCS11_KEY}")
    stub_sign_after_link(${target} PKCS11_MODULE ${STUB_SIGNING_PKCS11_MODULE} PKCS11_KEY_FILE ${key_file}
      CERTS "${STUB_SIGNING_CERTIFICATE}" PIN_FILE "${STUB_SIGNING_PIN_FILE}"
      TIMESTAMP_URL "${STUB_TIMESTAMP_URL}" CA_FILE "${STUB_SIGNING_CA_FILE}" DESCRIPTION "${S_DESCRIPTION}")
  endif()
endfunction()
