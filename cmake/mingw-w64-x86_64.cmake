# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 GCC.
#
# The compilers are named with their "-posix" suffix on purpose: the unsuffixed names follow the
# Debian alternative, which defaults to the win32 thread model, and that model lacks the
# std::thread/std::mutex support that Qt needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(UPDATER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
