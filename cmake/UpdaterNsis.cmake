# Windows installers made with NSIS when the build is made, as publishers make theirs. makensis is
# a program of the build machine (Debian: package nsis), in the cross build too.
#
# updater_nsis_installer(<output> <script> [DEFINES <NAME=VALUE>...] [DEPENDS <file-or-target>...])
#
# Makes <output> (relative: to the current binary directory) from the NSIS script <script>
# (relative: to the current source directory). Each DEFINES entry reaches the script as
# -D<NAME=VALUE>, which takes the place of the script's own !ifndef default; a value may hold
# blanks and non-ASCII characters, but no ';' (a CMake list separator) and, where the script puts it
# into a string, no '"'. DEPENDS names further files or targets that the installer is made from
# (the script itself always is one). <output> replaces the script's own OutFile, so one script
# makes several variants.
#
# makensis runs without the machine's nsisconf.nsh and with warnings as errors, so that what this
# machine has configured never changes an installer and a mistyped command never goes unnoticed.
function(updater_nsis_installer output script)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DEFINES;DEPENDS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "updater_nsis_installer: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()

    find_program(UPDATER_MAKENSIS makensis)
    if(NOT UPDATER_MAKENSIS)
        message(FATAL_ERROR "makensis not found: the Windows build makes its installers with NSIS "
            "(Debian: apt-get install nsis, or scripts/install-deps.sh)")
    endif()

    get_filename_component(script "${script}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(output "${output}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    get_filename_component(output_directory "${output}" DIRECTORY)
    # The output path reaches makensis inside a script command, where '"' would end the string
    # and '$' start a variable.
    if(output MATCHES "[\"$]")
        message(FATAL_ERROR "updater_nsis_installer: '\"' or '$' in the output path ${output}")
    endif()

    set(defines)
    foreach(define IN LISTS arg_DEFINES)
        if(NOT define MATCHES "^[A-Za-z_][A-Za-z0-9_]*=")
            message(FATAL_ERROR "updater_nsis_installer: ${define} is not NAME=VALUE")
        endif()
        list(APPEND defines "-D${define}")
    endforeach()

    # -X after the script runs after it: its OutFile is the last one and wins.
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_directory}"
        COMMAND "${CMAKE_COMMAND}" -E rm -f "${output}"
        COMMAND "${UPDATER_MAKENSIS}" -V2 -NOCONFIG -WX -INPUTCHARSET UTF8 ${defines} "${script}"
            "-XOutFile \"${output}\""
        DEPENDS "${script}" ${arg_DEPENDS}
        COMMENT "Making ${output} with NSIS"
        VERBATIM)
endfunction()
