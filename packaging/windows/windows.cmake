# SPDX-License-Identifier: MIT
# The Windows exe's resources (version information, application manifest) and the zip for
# users: `cpack -G ZIP` in the build folder, or scripts/package-windows. Included from the
# top-level CMakeLists.txt on Windows, after the install rule of the binary.

enable_language(RC)

# Windows' version numbers have four parts; VERSION gives two or three.
foreach(part MAJOR MINOR PATCH TWEAK)
    set(MORVEK_VERSION_${part} ${PROJECT_VERSION_${part}})
    if(NOT MORVEK_VERSION_${part})
        set(MORVEK_VERSION_${part} 0)
    endif()
endforeach()
set(MORVEK_VERSION_QUAD
    ${MORVEK_VERSION_MAJOR}.${MORVEK_VERSION_MINOR}.${MORVEK_VERSION_PATCH}.${MORVEK_VERSION_TWEAK})
string(REPLACE . , MORVEK_VERSION_COMMAS ${MORVEK_VERSION_QUAD})

set(manifest ${CMAKE_CURRENT_BINARY_DIR}/morvek.exe.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/morvek.exe.manifest.in ${manifest} @ONLY)
# MSVC's linker writes a manifest of its own and merges the given one into it; with MinGW
# the resource script embeds it.
if(MSVC)
    target_sources(morvek PRIVATE ${manifest})
    set(MORVEK_RC_MANIFEST "")
else()
    set(MORVEK_RC_MANIFEST "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${manifest}\"")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/morvek.rc.in ${CMAKE_CURRENT_BINARY_DIR}/morvek.rc @ONLY)
target_sources(morvek PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/morvek.rc)
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/morvek.rc APPEND PROPERTY OBJECT_DEPENDS ${manifest})

# The zip: morvek.exe, README.txt (for Windows), the users' README.md, CHANGELOG.txt and
# LICENSE.txt at the top; the Qt licence texts and where the Qt source is in licences\. Text
# for Notepad has CR LF line ends; README.md and CHANGELOG.md are copied without substitutions.
set(MORVEK_SOURCE_ARCHIVE morvek-${PROJECT_VERSION}-source.tar.gz)
set(zip_text ${CMAKE_CURRENT_BINARY_DIR}/zip)
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt ${zip_text}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${zip_text}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
# README.md keeps its name, so that README.txt can point to it; CHANGELOG.md opens in Notepad.
foreach(text README.md:README.md CHANGELOG.md:CHANGELOG.txt)
    string(REPLACE ":" ";" text ${text})
    list(GET text 0 from)
    list(GET text 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} content)
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${zip_text}/${to} "${content}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${from})
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/QT-SOURCE.txt ${zip_text}/QT-SOURCE.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${zip_text}/README.txt ${zip_text}/README.md ${zip_text}/CHANGELOG.txt
              ${zip_text}/LICENSE.txt ${PROJECT_SOURCE_DIR}/docs/morvek.schema.json DESTINATION .)
install(FILES ${zip_text}/QT-SOURCE.txt DESTINATION licences)
# The kit that scripts/build-qt-kit windows makes keeps the licence texts of what it links in.
get_filename_component(qt_prefix "${Qt${QT_VERSION_MAJOR}Core_DIR}/../../.." ABSOLUTE)
set(MORVEK_QT_LICENCES "${qt_prefix}/licences" CACHE PATH
    "Folder with the licence texts of the Qt linked into the exe, for the zip")
if(EXISTS ${MORVEK_QT_LICENCES})
    install(DIRECTORY ${MORVEK_QT_LICENCES}/ DESTINATION licences)
else()
    message(STATUS "No Qt licence texts at ${MORVEK_QT_LICENCES}: the zip will lack them")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME morvek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME morvek-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
# CPack gives every entry the time SOURCE_DATE_EPOCH when that is set (scripts/package-windows
# sets it from the last commit), so the same inputs give the same zip.
include(CPack)
