# Cross-compiles the Windows programs with Debian's mingw-w64 (win32 thread model).
# TELVARIN_ARCH picks the flavour: x86 (the shipped product, i686) or x64 (x86_64).
if(NOT TELVARIN_ARCH)
    set(TELVARIN_ARCH x86)
endif()
# try_compile projects read this file again: hand the choice on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TELVARIN_ARCH)

if(TELVARIN_ARCH STREQUAL "x86")
    set(CMAKE_SYSTEM_PROCESSOR x86)
    set(TOOLCHAIN_PREFIX i686-w64-mingw32)
elseif(TELVARIN_ARCH STREQUAL "x64")
    set(CMAKE_SYSTEM_PROCESSOR AMD64)
    set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
else()
    message(FATAL_ERROR "TELVARIN_ARCH must be x86 or x64, not '${TELVARIN_ARCH}'")
endif()
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_MC_COMPILER ${TOOLCHAIN_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine, each flavour through its own loader: the 64-bit loader given a
# 32-bit program starts it in another process (exit code and signals then miss it), and Debian's
# /usr/bin/wine takes the 32-bit loader for everything, which a host without 32-bit support lacks.
if(TELVARIN_ARCH STREQUAL "x86")
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
