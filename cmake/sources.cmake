# The program's sources, listed once: CMakeLists.txt builds them, and scripts/check-windows
# compiles the Windows ones against the Windows SDK headers (cmake -P prints them, one a line).
set(MORVEK_CORE_SOURCES
    app/devicelist.cpp
    app/ignoredarguments.cpp
    app/morvek.cpp
    app/trace.cpp
    discovery/devicediscovery.cpp
    discovery/propertyconversion.cpp
    discovery/propertyreader.cpp
    serial/serialport.cpp
    platform/devicepath.cpp
    platform/endsignals.cpp
    platform/portlock.cpp
    platform/processservices.cpp
)
set(MORVEK_MAIN_SOURCE app/main.cpp)
# Everywhere but on Windows: the stand-in for SetupAPI.
set(MORVEK_STANDIN_SOURCES
    platform/setupapi_standin.cpp
    platform/usbdevicetree.cpp
)

if(CMAKE_SCRIPT_MODE_FILE)
    foreach(source ${MORVEK_CORE_SOURCES} ${MORVEK_MAIN_SOURCE})
        message(NOTICE ${source})
    endforeach()
endif()
