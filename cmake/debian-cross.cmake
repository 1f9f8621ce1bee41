# SPDX-License-Identifier: MIT
# Cross-compiling for a Debian architecture with Debian's cross toolchain
# (g++-${MORVEK_TRIPLET}) against the multiarch Qt of the build machine (qtbase5-dev:ARCH
# libqt5serialport5-dev:ARCH); scripts/build-arm installs both. Included by the toolchain
# files of each target (cmake/aarch64-linux-gnu.cmake, cmake/arm-linux-gnueabihf.cmake),
# which set MORVEK_TRIPLET, CMAKE_SYSTEM_PROCESSOR, MORVEK_QEMU_USER and MORVEK_DEB_ARCH.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${MORVEK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MORVEK_TRIPLET}-g++)
# The multiarch libraries live in /usr/lib/${MORVEK_TRIPLET} of this machine's own root, so
# there is no sysroot: with the library architecture named, find_package() looks in
# /usr/lib/${MORVEK_TRIPLET}/cmake and never at the amd64 Qt in /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${MORVEK_TRIPLET})
# Qt's CMake files of every architecture name /usr/lib/qt5/bin/moc (Qt 6:
# /usr/lib/qt6/libexec/moc), which is the build machine's own moc (qtbase5-dev-tools,
# qt6-base-dev-tools serve every architecture), so AUTOMOC runs natively.

# Test programs and help2man run the target's binaries through qemu-user. The target's libc6,
# which its Qt pulls in, puts its dynamic loader in /lib, so no -L prefix is needed: the
# loader and every library come from the multiarch folders.
find_program(MORVEK_QEMU ${MORVEK_QEMU_USER})
if(MORVEK_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVEK_QEMU})
endif()

# For dpkg-shlibdeps and CPack: what the package is built for.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MORVEK_DEB_ARCH})
