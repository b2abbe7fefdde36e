# Authenticode signing (SHA-256, with Debian's osslsigncode) of everything the
# product ships, when the build is configured with a certificate:
#
#   -DSIGN_PKCS12=FILE         the code-signing certificate and its private key
#   -DSIGN_PASSWORD_FILE=FILE  the PKCS#12 file's password, alone on one line
#   -DSIGN_TIMESTAMP_URL=URL   optional: an RFC 3161 time-stamping service
#
# Without SIGN_PKCS12 the build is the same as without this file. The password
# is only ever named by its file: a command line can be read by every user of
# the machine, and build logs are kept. docs/release.md, "Signing", says what
# is signed and how to verify it.
#
# Run as a script (cmake -DSIGN_FILE=FILE ... -P signing.cmake), it signs FILE
# in place; the functions below write those commands.

# A tool's output indented, so that CMake shows its lines as they are.
macro(sign_indent var)
  string(STRIP "${${var}}" ${var})
  string(REPLACE "\n" "\n  " ${var} "  ${${var}}")
endmacro()

if(CMAKE_SCRIPT_MODE_FILE)
  set(arguments sign -pkcs12 ${SIGN_PKCS12} -readpass ${SIGN_PASSWORD_FILE} -h sha256
                -n Lumenquill)
  if(SIGN_TIMESTAMP_URL)
    list(APPEND arguments -ts ${SIGN_TIMESTAMP_URL})
  endif()
  # osslsigncode writes a new file; it will not overwrite its input.
  execute_process(COMMAND ${OSSLSIGNCODE} ${arguments} -in ${SIGN_FILE} -out ${SIGN_FILE}.signed
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    # An unsigned file must not look built: the next build makes it again.
    file(REMOVE ${SIGN_FILE} ${SIGN_FILE}.signed)
    sign_indent(output)
    message(FATAL_ERROR "Could not sign ${SIGN_FILE}. osslsigncode:\n${output}")
  endif()
  file(RENAME ${SIGN_FILE}.signed ${SIGN_FILE})
  return()
endif()

set(SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and its key (empty: nothing is signed)")
set(SIGN_PASSWORD_FILE "" CACHE FILEPATH "File that holds the password of SIGN_PKCS12")
set(SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service (optional)")

if(SIGN_PKCS12)
  foreach(setting SIGN_PKCS12 SIGN_PASSWORD_FILE)
    if(NOT ${setting})
      message(FATAL_ERROR "SIGN_PKCS12 needs SIGN_PASSWORD_FILE, a file that holds its password")
    elseif(NOT EXISTS ${${setting}} OR IS_DIRECTORY ${${setting}})
      message(FATAL_ERROR "${setting}: there is no file ${${setting}}")
    endif()
  endforeach()
  # osslsigncode reads the whole file less its line end, openssl the first
  # line: on a line of its own, both read the same password. Read byte by
  # byte in hexadecimal (as text, file(READ) drops carriage returns); the
  # value is never expanded, so that not even cmake --trace-expand shows it.
  file(READ ${SIGN_PASSWORD_FILE} password HEX)
  if(NOT password MATCHES "^(0[0-9bcef]|[1-9a-f][0-9a-f])+(0a)?$")
    message(FATAL_ERROR "SIGN_PASSWORD_FILE (${SIGN_PASSWORD_FILE}) must hold the password on one "
                        "line of its own, with no carriage return")
  endif()
  unset(password)
  find_program(OSSLSIGNCODE osslsigncode)
  find_program(OPENSSL openssl)
  if(NOT OSSLSIGNCODE OR NOT OPENSSL)
    message(FATAL_ERROR "Signing needs osslsigncode and openssl (Debian packages of these names)")
  endif()
  # The password is checked now rather than at the first signature, after
  # minutes of building. -legacy also opens files that older tools export
  # (RC2, 3DES), which osslsigncode reads too.
  execute_process(
    COMMAND ${OPENSSL} pkcs12 -legacy -noout -info -in ${SIGN_PKCS12}
            -passin file:${SIGN_PASSWORD_FILE}
    RESULT_VARIABLE failed OUTPUT_VARIABLE contents ERROR_VARIABLE contents)
  if(failed)
    sign_indent(contents)
    message(FATAL_ERROR "SIGN_PASSWORD_FILE (${SIGN_PASSWORD_FILE}) does not open SIGN_PKCS12 "
                        "(${SIGN_PKCS12}): wrong password, or not a PKCS#12 file. "
                        "openssl:\n${contents}")
  elseif(NOT contents MATCHES "Certificate bag" OR NOT contents MATCHES "Key ?bag")
    message(FATAL_ERROR "SIGN_PKCS12 (${SIGN_PKCS12}) must hold the certificate and its key")
  endif()
  execute_process(COMMAND stat -L -c %a ${SIGN_PASSWORD_FILE} OUTPUT_VARIABLE mode
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(mode MATCHES "[4-7].$|[4-7]$")
    message(WARNING "SIGN_PASSWORD_FILE (${SIGN_PASSWORD_FILE}) can be read by other users "
                    "(mode ${mode})")
  endif()
  # A new certificate in the same file runs the configuration again, and its
  # digest in every signing command has everything signed anew.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${SIGN_PKCS12} ${SIGN_PASSWORD_FILE})
  file(SHA256 ${SIGN_PKCS12} sign_pkcs12_digest)
  set(sign_script ${CMAKE_CURRENT_LIST_FILE})
elseif(SIGN_PASSWORD_FILE OR SIGN_TIMESTAMP_URL)
  message(FATAL_ERROR "SIGN_PASSWORD_FILE and SIGN_TIMESTAMP_URL need SIGN_PKCS12, "
                      "the certificate to sign with")
endif()

# sign_file_command(VAR FILE): in VAR, "COMMAND ..." that signs FILE in place,
# to put into add_custom_command() after the step that writes FILE; nothing
# when the build does not sign.
function(sign_file_command var file)
  set(command)
  if(SIGN_PKCS12)
    set(command COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE}
                -DSIGN_PKCS12=${SIGN_PKCS12} -DSIGN_PKCS12_SHA256=${sign_pkcs12_digest}
                -DSIGN_PASSWORD_FILE=${SIGN_PASSWORD_FILE}
                -DSIGN_TIMESTAMP_URL=${SIGN_TIMESTAMP_URL} -DSIGN_FILE=${file} -P ${sign_script})
  endif()
  set(${var} ${command} PARENT_SCOPE)
endfunction()

# sign_binary(TARGET): the target's file is signed once it is built. The step
# is added when the calling directory is done, so it follows every other
# post-build step there (load_config.py rewrites the image; the signature must
# cover the result).
function(sign_binary target)
  if(SIGN_PKCS12)
    # A deferred call reads its arguments when it runs: the name goes in now.
    cmake_language(EVAL CODE "cmake_language(DEFER CALL sign_binary_now [[${target}]])")
  endif()
endfunction()
function(sign_binary_now target)
  sign_file_command(command $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD ${command} VERBATIM)
endfunction()

# sign_nsis_defines(VAR): in VAR, the makensis define SIGN_COMMAND, which the
# script hands to !finalize and !uninstfinalize (makensis puts the file in for
# %1; the command runs in a shell); nothing when the build does not sign.
function(sign_nsis_defines var)
  set(defines)
  if(SIGN_PKCS12)
    sign_file_command(command %1)
    list(POP_FRONT command)  # COMMAND
    list(TRANSFORM command REPLACE "(.+)" "\"\\1\"")
    list(JOIN command " " joined)
    set(defines "-DSIGN_COMMAND=${joined}")
  endif()
  set(${var} ${defines} PARENT_SCOPE)
endfunction()
