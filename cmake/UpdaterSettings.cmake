# The updater's build-time settings: declared, checked and written into a program.
#
# A setting that the program would refuse at run time (a pin with a blank in it, a trailing ';', a
# 40-digit SHA-1) fails the configuration with a message instead of building an updater that then
# refuses every installer. An empty pin set stays allowed: the release preset starts without pins
# and its program refuses everything until the publisher gives them.
#
# As a script, it checks the values given on its command line and nothing else:
#   cmake -DUPDATER_PUBLISHER_THUMBPRINT="..." -P cmake/UpdaterSettings.cmake
if(CMAKE_SCRIPT_MODE_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()

# Every entry of a ';'-separated list of SHA-256 pins: exactly 64 hexadecimal digits.
function(updater_check_pins name value)
    if(value STREQUAL "")
        return()
    endif()
    set(index 0)
    foreach(entry IN LISTS value)
        math(EXPR index "${index} + 1")
        string(LENGTH "${entry}" length)
        if(NOT length EQUAL 64 OR NOT entry MATCHES "^[0-9A-Fa-f]+$")
            message(FATAL_ERROR "${name}: entry ${index}, \"${entry}\", is not a SHA-256 pin. "
                "Every entry must be exactly 64 hexadecimal digits, entries separated by ';' "
                "without blanks and without an empty entry (no ';' at either end). "
                "A 40-digit value is a SHA-1 thumbprint, which the updater does not take.")
        endif()
    endforeach()
endfunction()

# Installer exit codes that count as success: decimal numbers of 32 bits, 0 among them.
function(updater_check_success_codes value)
    if(NOT "0" IN_LIST value)
        message(FATAL_ERROR "UPDATER_INSTALLER_SUCCESS_CODES: \"${value}\" does not hold 0, "
            "which every installer returns for success.")
    endif()
    foreach(code IN LISTS value)
        string(LENGTH "${code}" length)
        if(NOT code MATCHES "^[0-9]+$" OR length GREATER 10 OR code GREATER 4294967295)
            message(FATAL_ERROR "UPDATER_INSTALLER_SUCCESS_CODES: \"${code}\" is not an exit "
                "code; give decimal numbers from 0 to 4294967295 separated by ';', such as "
                "\"0;3010;1641\".")
        endif()
    endforeach()
endfunction()

# The updater's version, compared with the version resource of each installer: one to four
# numbers from 0 to 65535, separated by dots.
function(updater_check_version value)
    if(NOT value MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "UPDATER_VERSION: \"${value}\" is not a version such as 1.0.0.")
    endif()
    string(REPLACE "." ";" parts "${value}")
    foreach(part IN LISTS parts)
        if(part GREATER 65535)
            message(FATAL_ERROR "UPDATER_VERSION: \"${value}\": each number must be 65535 or less.")
        endif()
    endforeach()
endfunction()

function(updater_check_settings)
    updater_check_pins(UPDATER_PUBLISHER_THUMBPRINT "${UPDATER_PUBLISHER_THUMBPRINT}")
    updater_check_pins(UPDATER_PUBLISHER_KEY_PINS "${UPDATER_PUBLISHER_KEY_PINS}")
    if(DEFINED UPDATER_INSTALLER_SUCCESS_CODES)
        updater_check_success_codes("${UPDATER_INSTALLER_SUCCESS_CODES}")
    endif()
    if(DEFINED UPDATER_VERSION)
        updater_check_version("${UPDATER_VERSION}")
    endif()
    # A number of bytes that a signed 64-bit integer holds (at most 18 digits: below 10^18).
    if(DEFINED UPDATER_MAX_INSTALLER_BYTES AND
       NOT UPDATER_MAX_INSTALLER_BYTES MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
        message(FATAL_ERROR "UPDATER_MAX_INSTALLER_BYTES: \"${UPDATER_MAX_INSTALLER_BYTES}\" is "
            "not a number of bytes below 10^18.")
    endif()
    if(UPDATER_PRODUCT_NAME MATCHES "[\"\\\\]")
        message(FATAL_ERROR "UPDATER_PRODUCT_NAME may not hold '\"' or '\\'.")
    endif()
endfunction()

# updater_build_settings_source(<output> [WITHOUT_PRODUCT_BINDING] [SUCCESS_CODES <code>...]):
# writes the build_settings.cpp of one program, from the cache values with the given ones in their
# place (a test program built as another publisher would build it).
function(updater_build_settings_source output)
    cmake_parse_arguments(PARSE_ARGV 1 setting "WITHOUT_PRODUCT_BINDING" "" "SUCCESS_CODES")
    if(setting_WITHOUT_PRODUCT_BINDING)
        set(UPDATER_PRODUCT_NAME "")
    endif()
    if(setting_SUCCESS_CODES)
        set(UPDATER_INSTALLER_SUCCESS_CODES "${setting_SUCCESS_CODES}")
    endif()
    updater_check_settings()
    configure_file("${PROJECT_SOURCE_DIR}/src/build_settings.cpp.in" "${output}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    updater_check_settings()
endif()
