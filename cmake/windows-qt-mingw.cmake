# Toolchain of the Windows preset: Debian's MinGW-w64 compilers and the Qt for Windows that
# scripts/windows/build-qt.sh builds into its cache. The prefix of that Qt comes from the
# environment variable UPDATER_QT_WINDOWS_PREFIX (scripts/test-windows.sh sets it from the
# script's output); without it, the script's default cache location for root is used.
if(DEFINED ENV{UPDATER_QT_WINDOWS_PREFIX})
    set(UPDATER_QT_WINDOWS_PREFIX "$ENV{UPDATER_QT_WINDOWS_PREFIX}")
else()
    set(UPDATER_QT_WINDOWS_PREFIX
        "/var/cache/quindlebrookware-updater/qt-6.4.2-mingw-w64-x86_64-posix-gcc12")
endif()

set(qt_toolchain "${UPDATER_QT_WINDOWS_PREFIX}/lib/cmake/Qt6/qt.toolchain.cmake")
if(NOT EXISTS "${qt_toolchain}")
    message(FATAL_ERROR "No Qt for Windows in ${UPDATER_QT_WINDOWS_PREFIX}: run "
        "scripts/windows/build-qt.sh and set UPDATER_QT_WINDOWS_PREFIX to the prefix it prints")
endif()

# Qt's toolchain file loads the compiler toolchain that Qt was built with, by the path it had on
# the machine that built it; this checkout's copy of the same file is the one to use.
set(QT_CHAINLOAD_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake")
include("${qt_toolchain}")
