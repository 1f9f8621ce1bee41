# SPDX-License-Identifier: MIT
# The Debian package: `cpack -G DEB` in the build folder, or scripts/package-deb.
# Included from the top-level CMakeLists.txt on Linux, after the install rules of the
# binary and the udev rule.

# The man page is made from the program's own --help and --version, so it cannot drift from
# them. It is off by default: building and testing the program must not need help2man.
option(MORVEK_MAN_PAGE "Generate the man page with help2man (the Debian package needs it)" OFF)
if(MORVEK_MAN_PAGE)
    find_program(MORVEK_HELP2MAN help2man)
    if(NOT MORVEK_HELP2MAN)
        message(FATAL_ERROR "MORVEK_MAN_PAGE needs help2man: apt-get install help2man")
    endif()
    set(man_page ${CMAKE_CURRENT_BINARY_DIR}/morvek.1)
    # The sections that --help cannot give (exit status, files, examples, see also) come
    # from morvek.h2m; the date from SOURCE_DATE_EPOCH when that is set.
    set(man_include ${CMAKE_CURRENT_LIST_DIR}/morvek.h2m)
    # help2man runs the program through the shell: a cross-built one runs in the emulator.
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " man_emulator)
    string(STRIP "${man_emulator} $<TARGET_FILE:morvek>" man_program)
    add_custom_command(OUTPUT ${man_page}.gz
        COMMAND ${MORVEK_HELP2MAN} --no-info --section=1
                --name "query USB measuring devices over their serial lines"
                --include=${man_include} --output=${man_page} ${man_program}
        # -n leaves the name and time out of the gzip header, so rebuilds are identical.
        COMMAND gzip -9nf ${man_page}
        DEPENDS morvek ${man_include}
        VERBATIM)
    add_custom_target(morvek_man_page ALL DEPENDS ${man_page}.gz)
    install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# A native package (no Debian revision), so its changelog is changelog.gz, made from
# CHANGELOG.md; it fails when that names another version first.
set(MORVEK_DEB_MAINTAINER "morvek developers <dev@morvek.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_command(OUTPUT ${changelog}.gz
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh ${PROJECT_SOURCE_DIR}/CHANGELOG.md
            ${PROJECT_VERSION} ${MORVEK_DEB_MAINTAINER} > ${changelog}
    COMMAND gzip -9nf ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh
    VERBATIM)
# Docs above 4 kB are compressed (Debian policy 12.3); copyright never is. The README is the
# users' one; the contributors' documents (docs/) are not shipped.
set(readme ${CMAKE_CURRENT_BINARY_DIR}/README.md)
add_custom_command(OUTPUT ${readme}.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/README.md > ${readme}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md
    VERBATIM)
add_custom_target(morvek_docs ALL DEPENDS ${changelog}.gz ${readme}.gz)
install(FILES ${readme}.gz ${CMAKE_CURRENT_LIST_DIR}/copyright ${changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What --json prints, for the programs that read it: data, not documentation.
install(FILES ${PROJECT_SOURCE_DIR}/docs/morvek.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/morvek)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/morvek.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME morvek)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "query USB measuring devices over their serial lines")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
morvek finds up to two USB measuring devices (USB id 04d8:000a, CDC-ACM
serial ports), sends each the command ATCD over its serial line and prints
the readings as one line, for lab software that calls it as a console tool.

The package includes a udev rule that gives the logged-in user access to
the devices and keeps ModemManager from probing them.]=])
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVEK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories in the package are 0755 whatever the umask of the one who builds it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The package's architecture: this machine's, or the one a cross build's toolchain file
# names (cmake/aarch64-linux-gnu.cmake: arm64, cmake/arm-linux-gnueabihf.cmake: armhf).
find_program(MORVEK_DPKG dpkg)
if(MORVEK_DPKG AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    execute_process(COMMAND ${MORVEK_DPKG} --print-architecture
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(CMAKE_CROSSCOMPILING)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cross-shlibdeps.cmake)
endif()
# The package's file name, for the test that installs it.
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    set(MORVEK_DEB_FILE
        ${CMAKE_BINARY_DIR}/morvek_${PROJECT_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb)
endif()

# Without the man page, stop cpack before it makes a package that lacks one.
if(NOT MORVEK_MAN_PAGE)
    set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/no-man-page.cmake)
endif()

include(CPack)
