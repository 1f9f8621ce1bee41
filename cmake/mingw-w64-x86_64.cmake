# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads) toolchain.
# Pass the Qt kit with -DCMAKE_PREFIX_PATH=<kit>; scripts/build windows does.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORVEK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORVEK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVEK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVEK_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MORVEK_MINGW})
# Host programs (moc of the kit) run here; libraries and headers come from the target
# root or from the prefixes given on the command line.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# One self-contained exe: the C++ runtime and winpthreads are linked in, not shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
