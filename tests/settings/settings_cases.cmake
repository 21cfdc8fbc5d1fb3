# Runs cmake/UpdaterSettings.cmake on one setting at a time, as the configuration does, and
# checks that what the program would refuse fails there with a message naming the fault, and that
# well-formed values pass (the release preset's empty pins among them).
set(a "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef")
set(b "FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210")
function(expect setting value outcome)
    execute_process(COMMAND "${CMAKE_COMMAND}" "-D${setting}=${value}" -P "${SETTINGS_MODULE}"
        RESULT_VARIABLE result ERROR_VARIABLE output)
    string(REGEX REPLACE "[ \n]+" " " output "${output}")
    if((outcome STREQUAL "pass" AND NOT result EQUAL 0) OR
       (NOT outcome STREQUAL "pass" AND (result EQUAL 0 OR NOT output MATCHES "${outcome}")))
        message(SEND_ERROR "${setting}=[${value}]: expected '${outcome}', got ${result}: ${output}")
    endif()
endfunction()
expect(UPDATER_PUBLISHER_THUMBPRINT "${a}; ${b}" "entry 2, . ${b}")
expect(UPDATER_PUBLISHER_KEY_PINS "${a};" "entry 2, ..,")
expect(UPDATER_PUBLISHER_THUMBPRINT "0123456789abcdef0123456789abcdef01234567" "SHA-1")
expect(UPDATER_PUBLISHER_KEY_PINS "g123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
    "entry 1")
expect(UPDATER_INSTALLER_SUCCESS_CODES "3010;1641" "does not hold 0")
expect(UPDATER_INSTALLER_SUCCESS_CODES "0;3010x" "3010x. is not an exit code")
expect(UPDATER_VERSION "1.0.0-beta" "is not a version")
expect(UPDATER_MAX_INSTALLER_BYTES "1000000000000000000" "below 10.18")
expect(UPDATER_MAX_INSTALLER_BYTES "999999999999999999" pass)
expect(UPDATER_PUBLISHER_THUMBPRINT "${a};${b}" pass)
expect(UPDATER_PUBLISHER_THUMBPRINT "" pass)
