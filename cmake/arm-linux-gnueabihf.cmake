# SPDX-License-Identifier: MIT
# Cross-compiling for 32-bit ARM Linux (Debian armhf: ARMv7 with hard float, Raspberry Pi 2
# and later); see cmake/debian-cross.cmake. Debian's compiler defaults to ARMv7-A, Thumb-2
# and VFPv3-D16, the architecture's baseline.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MORVEK_TRIPLET arm-linux-gnueabihf)
set(MORVEK_QEMU_USER qemu-arm)
set(MORVEK_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
