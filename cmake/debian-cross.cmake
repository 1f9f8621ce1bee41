# SPDX-License-Identifier: MIT
# Cross-compiling for a Debian architecture with Debian's cross toolchain
# (g++-${MORVEK_TRIPLET}) against that architecture's Qt, unpacked into a root of its own
# (MORVEK_SYSROOT: scripts/install-deps ARCH makes it, scripts/build ARCH passes it). Nothing
# of the target is installed on the build machine. Included by the toolchain files of each
# target (cmake/aarch64-linux-gnu.cmake, cmake/arm-linux-gnueabihf.cmake), which set
# MORVEK_TRIPLET, CMAKE_SYSTEM_PROCESSOR, MORVEK_QEMU_USER and MORVEK_DEB_ARCH.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${MORVEK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MORVEK_TRIPLET}-g++)

if(NOT MORVEK_SYSROOT)
    set(MORVEK_SYSROOT "$ENV{MORVEK_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${MORVEK_SYSROOT}/usr/lib/${MORVEK_TRIPLET}")
    message(FATAL_ERROR "MORVEK_SYSROOT (${MORVEK_SYSROOT}) holds no ${MORVEK_DEB_ARCH} libraries: "
                        "scripts/install-deps ${MORVEK_DEB_ARCH} makes the root, scripts/build ARCH uses it")
endif()
set(MORVEK_SYSROOT "${MORVEK_SYSROOT}" CACHE PATH "The root of the target's Debian packages")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVEK_SYSROOT)

# The compiler keeps its own C library (the cross toolchain's); Qt and what it links come
# from the root. With the library architecture named, find_package() looks in
# ROOT/usr/lib/${MORVEK_TRIPLET}/cmake and never at the build machine's own Qt.
set(CMAKE_LIBRARY_ARCHITECTURE ${MORVEK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH "${MORVEK_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
# Qt's libraries name theirs (ICU, zlib, GLib, ...), which the linker finds in the root. A link
# option, not CMAKE_EXE_LINKER_FLAGS_INIT: the Debian package's build sets the linker flags.
add_link_options("LINKER:-rpath-link,${MORVEK_SYSROOT}/usr/lib/${MORVEK_TRIPLET}:${MORVEK_SYSROOT}/lib/${MORVEK_TRIPLET}")
# Qt's CMake files name its tools under the root (ROOT/usr/lib/qt5/bin/moc,
# ROOT/usr/lib/TRIPLET/qt5/bin/qmake): there the build machine's own ones are linked in,
# which serve every architecture (qtbase5-dev-tools, qt5-qmake-bin), so AUTOMOC runs natively.
foreach(tools "lib/qt5/bin" "lib/x86_64-linux-gnu/qt5/bin")
    string(REPLACE "x86_64-linux-gnu" "${MORVEK_TRIPLET}" target_dir "${MORVEK_SYSROOT}/usr/${tools}")
    file(GLOB host_tools "/usr/${tools}/*")
    foreach(tool IN LISTS host_tools)
        get_filename_component(name "${tool}" NAME)
        if(NOT EXISTS "${target_dir}/${name}")
            file(MAKE_DIRECTORY "${target_dir}")
            file(CREATE_LINK "${tool}" "${target_dir}/${name}" SYMBOLIC)
        endif()
    endforeach()
endforeach()

# Test programs and help2man run the target's binaries through qemu-user, whose loader and
# libraries come from the root (QEMU's -L): one wrapper, so that every caller runs it alike.
find_program(MORVEK_QEMU ${MORVEK_QEMU_USER})
if(MORVEK_QEMU)
    set(emulator "${CMAKE_BINARY_DIR}/${MORVEK_QEMU_USER}-root")
    file(WRITE "${emulator}" "#!/bin/sh\nexec ${MORVEK_QEMU} -L ${MORVEK_SYSROOT} \"$@\"\n")
    file(CHMOD "${emulator}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${emulator}")
endif()

# For dpkg-shlibdeps and CPack: what the package is built for.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MORVEK_DEB_ARCH})
