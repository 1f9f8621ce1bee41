# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit ARM Linux (Debian arm64); see cmake/debian-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MORVEK_TRIPLET aarch64-linux-gnu)
set(MORVEK_QEMU_USER qemu-aarch64)
set(MORVEK_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
