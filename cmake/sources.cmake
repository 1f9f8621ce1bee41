# SPDX-License-Identifier: MIT
# The program's sources, listed once: CMakeLists.txt builds them, and tests/CMakeLists.txt
# compiles the Windows ones against the Windows SDK headers and Qt 6's.
#
# Each system's own code lives in a folder of its own: platform/linux and platform/windows
# implement the same headers of platform/, and platform/standin stands in for SetupAPI
# everywhere but on Windows.

# Built everywhere.
set(MORVEK_CORE_SOURCES
    app/commandline.cpp
    app/devicechoice.cpp
    app/devicelist.cpp
    app/devicewait.cpp
    app/escaping.cpp
    app/ignoredarguments.cpp
    app/morvek.cpp
    app/readingrules.cpp
    app/runreport.cpp
    app/startup.cpp
    app/trace.cpp
    discovery/devicediscovery.cpp
    discovery/propertyconversion.cpp
    discovery/propertyreader.cpp
    serial/serialport.cpp
)
# The program's entry, which tells the version. The rest of start-up is core, shared with
# the tests' controller harness.
set(MORVEK_MAIN_SOURCES app/main.cpp)
# The headers that each system implements in a folder of its own. Listed for the build,
# whose moc finds a header only beside its source or in the target.
set(MORVEK_PLATFORM_HEADERS
    platform/devicepath.h
    platform/endsignals.h
    platform/helpconventions.h
    platform/portlock.h
    platform/processservices.h
    platform/setupapi.h
    platform/ttyline.h
)
# Everywhere but on Windows, where the program runs on Linux (with glibc).
set(MORVEK_LINUX_SOURCES
    platform/linux/devicepath.cpp
    platform/linux/endsignals.cpp
    platform/linux/helpconventions.cpp
    platform/linux/portlock.cpp
    platform/linux/processservices.cpp
    platform/linux/ttyline.cpp
)
# What the port lock on Linux is made of, beside its sequence (portlock.cpp): Windows has
# nothing of the kind.
set(MORVEK_LINUX_LOCK_SOURCES
    platform/linux/holdermessages.cpp
    platform/linux/lockfilerules.cpp
    platform/linux/lockfiles.cpp
    platform/linux/processholders.cpp
    platform/linux/smallfile.cpp
)
set(MORVEK_STANDIN_SOURCES
    platform/standin/setupapi_standin.cpp
    platform/standin/usbdevicetree.cpp
)
# The fully static single-file Linux binary only (MORVEK_SINGLE_FILE).
set(MORVEK_SINGLE_FILE_SOURCES platform/linux/staticnss.cpp)
# On Windows only.
set(MORVEK_WINDOWS_SOURCES
    platform/windows/devicepath.cpp
    platform/windows/endsignals.cpp
    platform/windows/helpconventions.cpp
    platform/windows/portlock.cpp
    platform/windows/processservices.cpp
    platform/windows/ttyline.cpp
)

# Every source of the program's folders is in exactly one list above, so that none that
# builds here can be missing from another system's build.
# A build looks again whenever a source is added or removed.
get_filename_component(morvek_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(morvek_glob_options "")
if(NOT CMAKE_SCRIPT_MODE_FILE)
    set(morvek_glob_options CONFIGURE_DEPENDS)
endif()
file(GLOB_RECURSE morvek_found_sources ${morvek_glob_options} RELATIVE "${morvek_source_root}"
     "${morvek_source_root}/app/*.c" "${morvek_source_root}/app/*.cpp"
     "${morvek_source_root}/discovery/*.c" "${morvek_source_root}/discovery/*.cpp"
     "${morvek_source_root}/serial/*.c" "${morvek_source_root}/serial/*.cpp"
     "${morvek_source_root}/platform/*.c" "${morvek_source_root}/platform/*.cpp")
set(morvek_listed_sources ${MORVEK_CORE_SOURCES} ${MORVEK_MAIN_SOURCES} ${MORVEK_LINUX_SOURCES}
                          ${MORVEK_LINUX_LOCK_SOURCES} ${MORVEK_STANDIN_SOURCES}
                          ${MORVEK_SINGLE_FILE_SOURCES} ${MORVEK_WINDOWS_SOURCES})
set(morvek_source_errors "")
foreach(source IN LISTS morvek_found_sources)
    list(FIND morvek_listed_sources "${source}" at)
    if(at EQUAL -1)
        string(APPEND morvek_source_errors "\n  ${source} is in no list")
    endif()
endforeach()
set(morvek_seen_sources "")
foreach(source IN LISTS morvek_listed_sources)
    if(NOT EXISTS "${morvek_source_root}/${source}")
        string(APPEND morvek_source_errors "\n  ${source} is listed but missing")
    endif()
    list(FIND morvek_seen_sources "${source}" at)
    if(NOT at EQUAL -1)
        string(APPEND morvek_source_errors "\n  ${source} is listed twice")
    endif()
    list(APPEND morvek_seen_sources "${source}")
endforeach()
# Each service has its source for both systems: one built here is built on Windows too.
foreach(pair "LINUX;WINDOWS" "WINDOWS;LINUX")
    list(GET pair 0 here)
    list(GET pair 1 there)
    string(TOLOWER "${there}" folder)
    foreach(source IN LISTS MORVEK_${here}_SOURCES)
        get_filename_component(name "${source}" NAME)
        list(FIND MORVEK_${there}_SOURCES "platform/${folder}/${name}" at)
        if(at EQUAL -1)
            string(APPEND morvek_source_errors "\n  ${source} has no platform/${folder}/${name}")
        endif()
    endforeach()
endforeach()

# No source includes a header of a layer above its own: app/ uses discovery/ and serial/,
# which use platform/.
function(morvek_layer folder result)
    if(folder STREQUAL "app")
        set(${result} 2 PARENT_SCOPE)
    elseif(folder STREQUAL "discovery" OR folder STREQUAL "serial")
        set(${result} 1 PARENT_SCOPE)
    elseif(folder STREQUAL "platform")
        set(${result} 0 PARENT_SCOPE)
    else()
        set(${result} -1 PARENT_SCOPE)
    endif()
endfunction()
file(GLOB_RECURSE morvek_found_headers ${morvek_glob_options} RELATIVE "${morvek_source_root}"
     "${morvek_source_root}/app/*.h" "${morvek_source_root}/discovery/*.h"
     "${morvek_source_root}/serial/*.h" "${morvek_source_root}/platform/*.h")
foreach(file IN LISTS morvek_found_sources morvek_found_headers)
    string(REGEX MATCH "^[^/]+" folder "${file}")
    morvek_layer(${folder} own)
    file(STRINGS "${morvek_source_root}/${file}" includes REGEX "^#include \"[^/\"]+/")
    foreach(include IN LISTS includes)
        string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" included "${include}")
        morvek_layer(${included} layer)
        if(layer GREATER own)
            string(APPEND morvek_source_errors "\n  ${file} reaches up to ${included}/: ${include}")
        endif()
    endforeach()
endforeach()

if(morvek_source_errors)
    message(FATAL_ERROR "cmake/sources.cmake: ${morvek_source_errors}")
endif()
