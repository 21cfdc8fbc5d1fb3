# Script mode: fills the deployment folder of the Windows build. Every file is copied; with an
# objcopy that knows the format (MinGW), its debug information and symbols are first kept in
# SYMBOLS_DIR/<name>.debug for the publisher's symbol server, and the deployed file is stripped of
# them and names that file (.gnu_debuglink), so that a debugger given SYMBOLS_DIR finds it.
#
#   cmake -DDEPLOY_DIR=<dir> -DSYMBOLS_DIR=<dir> [-DOBJCOPY=<objcopy>] -DFILES=<a|b|...>
#         -P UpdaterDeploy.cmake
# FILES is separated by "|" (the file list goes through one command-line argument).

string(REPLACE "|" ";" files "${FILES}")
file(REMOVE_RECURSE "${DEPLOY_DIR}")
file(MAKE_DIRECTORY "${DEPLOY_DIR}" "${SYMBOLS_DIR}")
foreach(source IN LISTS files)
    get_filename_component(name "${source}" NAME)
    if(NOT OBJCOPY)
        file(COPY "${source}" DESTINATION "${DEPLOY_DIR}")
        continue()
    endif()
    set(symbols "${SYMBOLS_DIR}/${name}.debug")
    execute_process(COMMAND "${OBJCOPY}" --only-keep-debug "${source}" "${symbols}"
        COMMAND_ERROR_IS_FATAL ANY)
    # objcopy names the symbols file by its file name alone, and so runs where it lies.
    execute_process(COMMAND "${OBJCOPY}" --strip-all "--add-gnu-debuglink=${name}.debug"
            "${source}" "${DEPLOY_DIR}/${name}"
        WORKING_DIRECTORY "${SYMBOLS_DIR}"
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
