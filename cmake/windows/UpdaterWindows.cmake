# Windows-only build settings of the updater: where the programs land, which runtime libraries
# ship beside Updater.exe, the program's resources and system libraries, and the deployment folder.
# Included from the top-level CMakeLists.txt when building for Windows.

# Every program of the build (Updater.exe and the test programs) lands in one directory, with the
# runtime libraries copied beside it: that is where Windows looks for a program's DLLs first, so the
# tests run the same way the deployed updater does, without PATH settings.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

option(UPDATER_STATIC_RUNTIME
    "MinGW: link libgcc, libstdc++ and winpthread into every program of the build (Qt6Core.dll must be built the same way)"
    OFF)

# With the runtime linked in, every program of the build links it the same way, not only the
# updater: the demo programs and the helper programs that the tests start run from the same
# directory, where no libstdc++-6.dll or libgcc_s_seh-1.dll lies (Windows would refuse to start them
# and report only exit code 53, "path not found", for the missing DLL).
if(MINGW AND UPDATER_STATIC_RUNTIME)
    add_link_options(-static)
endif()

# The libraries that Updater.exe loads from its own directory, and so the ones that the temporary
# copy takes along. Qt6Core.dll always; a MinGW build whose compiler runtime is not linked in also
# needs the three runtime DLLs of the compiler. The MSVC runtime is a system component (the Visual
# C++ redistributable), not a file of the updater.
set(UPDATER_DEFAULT_RUNTIME_LIBRARIES Qt6Core.dll)
if(MINGW AND NOT UPDATER_STATIC_RUNTIME)
    list(APPEND UPDATER_DEFAULT_RUNTIME_LIBRARIES
        libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
endif()

# Resolves each name of UPDATER_RUNTIME_LIBRARIES to a file: Qt6Core.dll from the Qt in use, the
# rest from the compiler's own directories (where MinGW keeps its runtime DLLs) or the Qt bin
# directory. Sets <out_var> to a list of generator expressions and paths.
function(updater_runtime_library_files out_var)
    set(files)
    foreach(name IN LISTS UPDATER_RUNTIME_LIBRARIES)
        if(name STREQUAL "Qt6Core.dll")
            list(APPEND files "$<TARGET_FILE:Qt6::Core>")
            continue()
        endif()
        set(found "")
        if(NOT MSVC)
            execute_process(COMMAND "${CMAKE_CXX_COMPILER}" "-print-file-name=${name}"
                OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        endif()
        if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
            get_target_property(qt_core_location Qt6::Core IMPORTED_LOCATION_RELEASE)
            get_filename_component(qt_bin_dir "${qt_core_location}" DIRECTORY)
            find_file(UPDATER_RUNTIME_FILE_${name} "${name}"
                HINTS "${qt_bin_dir}" NO_CMAKE_FIND_ROOT_PATH)
            set(found "${UPDATER_RUNTIME_FILE_${name}}")
        endif()
        if(NOT EXISTS "${found}")
            message(FATAL_ERROR "Runtime library ${name} (UPDATER_RUNTIME_LIBRARIES) not found")
        endif()
        list(APPEND files "${found}")
    endforeach()
    set(${out_var} "${files}" PARENT_SCOPE)
endfunction()

# The program's resources: its version information and its manifest (asInvoker: the updater
# never raises a UAC prompt itself).
function(updater_windows_resources target)
    set(UPDATER_MANIFEST_PATH "${PROJECT_SOURCE_DIR}/src/windows/updater.manifest")
    string(REPLACE "." ";" version_parts "${UPDATER_VERSION}.0.0.0")
    list(SUBLIST version_parts 0 4 version_parts)
    string(REPLACE ";" "," UPDATER_VERSION_COMMAS "${version_parts}")
    set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
    configure_file("${PROJECT_SOURCE_DIR}/src/windows/updater.rc.in" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
    if(MSVC)
        # The MSVC linker embeds a manifest given as a source file.
        target_sources(${target} PRIVATE "${UPDATER_MANIFEST_PATH}")
    else()
        set_property(SOURCE "${rc}" APPEND PROPERTY COMPILE_DEFINITIONS UPDATER_EMBED_MANIFEST)
        set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS "${UPDATER_MANIFEST_PATH}")
    endif()
endfunction()

# Copies the DLLs of the imported libraries that target links (Qt) beside it after each build.
function(updater_runtime_dlls_beside target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_RUNTIME_DLLS:${target}>
            "$<TARGET_FILE_DIR:${target}>"
        COMMAND_EXPAND_LISTS VERBATIM)
endfunction()

# The Windows parts of the program target: resources, the runtime libraries beside it in the build
# tree, and the deployment folder "<build>/deploy" (also made by
# "cmake --install <build> --prefix <folder>").
function(updater_windows_program target)
    updater_windows_resources(${target})
    updater_runtime_dlls_beside(${target})
    updater_runtime_library_files(runtime_files)
    # The compiler's runtime libraries too (libstdc++ and the like, when the runtime is not linked
    # in), which no imported target names: every program of the build finds them there.
    if(runtime_files)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND "${CMAKE_COMMAND}" -E copy_if_different ${runtime_files}
                "$<TARGET_FILE_DIR:${target}>"
            VERBATIM)
    endif()

    # The deployment folder: the program and its runtime libraries, stripped, with their debug
    # information in "<build>/symbols" (cmake/windows/UpdaterDeploy.cmake). An MSVC build keeps its
    # debug information in PDB files anyway and is copied as it is.
    set(deploy_dir "${CMAKE_BINARY_DIR}/deploy")
    set(objcopy "")
    if(NOT MSVC AND CMAKE_OBJCOPY)
        set(objcopy "${CMAKE_OBJCOPY}")
    endif()
    string(JOIN "|" deployed "$<TARGET_FILE:${target}>" ${runtime_files})
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/deploy.stamp"
        COMMAND "${CMAKE_COMMAND}" "-DDEPLOY_DIR=${deploy_dir}"
            "-DSYMBOLS_DIR=${CMAKE_BINARY_DIR}/symbols" "-DOBJCOPY=${objcopy}"
            "-DFILES=${deployed}" -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/UpdaterDeploy.cmake"
        COMMAND "${CMAKE_COMMAND}" -E touch "${CMAKE_BINARY_DIR}/deploy.stamp"
        DEPENDS ${target} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/UpdaterDeploy.cmake"
        COMMENT "Deployment folder: ${deploy_dir}, debug information in ${CMAKE_BINARY_DIR}/symbols"
        VERBATIM)
    add_custom_target(deploy ALL DEPENDS "${CMAKE_BINARY_DIR}/deploy.stamp")

    # "cmake --install <build> --prefix <folder>" installs the deployment folder as it is.
    install(DIRECTORY "${deploy_dir}/" DESTINATION . USE_SOURCE_PERMISSIONS)
endfunction()

# The system libraries of the Win32 calls in the update logic: WinVerifyTrust (wintrust), the
# certificate names and public keys (crypt32), the elevated start (shell32, with COM from ole32)
# and the hashing (bcrypt).
function(updater_windows_core target)
    target_link_libraries(${target} PUBLIC wintrust crypt32 shell32 ole32 bcrypt ntdll user32
        advapi32)
endfunction()
