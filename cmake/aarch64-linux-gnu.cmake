# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit ARM Linux (Debian arm64) with Debian's cross toolchain
# (g++-aarch64-linux-gnu) against the multiarch Qt of the build machine
# (qtbase5-dev:arm64 libqt5serialport5-dev:arm64); scripts/build-arm64 installs both.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MORVEK_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MORVEK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MORVEK_TRIPLET}-g++)
# The multiarch libraries live in /usr/lib/aarch64-linux-gnu of this machine's own root, so
# there is no sysroot: with the library architecture named, find_package() looks in
# /usr/lib/aarch64-linux-gnu/cmake and never at the amd64 Qt in /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${MORVEK_TRIPLET})
# Qt's arm64 CMake files name /usr/lib/qt5/bin/moc (Qt 6: /usr/lib/qt6/libexec/moc), which
# is the build machine's own moc (qtbase5-dev-tools, qt6-base-dev-tools serve every
# architecture), so AUTOMOC runs natively.

# Test programs and help2man run the arm64 binaries through qemu-user. libc6:arm64, which
# the arm64 Qt pulls in, puts the arm64 dynamic loader at /lib/ld-linux-aarch64.so.1, so no
# -L prefix is needed: the loader and every library come from the multiarch folders.
find_program(MORVEK_QEMU_AARCH64 qemu-aarch64)
if(MORVEK_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVEK_QEMU_AARCH64})
endif()

# For dpkg-shlibdeps and CPack: what the package is built for.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
