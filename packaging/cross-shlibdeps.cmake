# SPDX-License-Identifier: MIT
# Read by cpack in a cross build (CPACK_PROJECT_CONFIG_FILE). dpkg-shlibdeps takes the
# architecture of the binaries from DEB_HOST_ARCH: it then reads them with that
# architecture's objdump (aarch64-linux-gnu-objdump, arm-linux-gnueabihf-objdump) and finds
# their libraries in its multiarch folders (/usr/lib/aarch64-linux-gnu, ...), whose packages
# name the dependencies.
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
