# SPDX-License-Identifier: MIT
# The check in cmake/sources.cmake, run on a copy of the program's folders: it passes on
# them as they are, and fails on a source in no list, a service built on one system only, a
# listed source that is gone and an include of a layer above.
# Usage: cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch folder> -P tests/sourcelists.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
foreach(folder app discovery serial platform cmake)
    file(COPY "${SOURCE_DIR}/${folder}" DESTINATION "${WORK_DIR}")
endforeach()

function(expect_check result pattern)
    execute_process(COMMAND "${CMAKE_COMMAND}" -P "${WORK_DIR}/cmake/sources.cmake"
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(result STREQUAL "pass" AND NOT status EQUAL 0)
        message(FATAL_ERROR "the check fails on the program's own folders:\n${output}")
    endif()
    if(result STREQUAL "fail" AND (status EQUAL 0 OR NOT output MATCHES "${pattern}"))
        message(FATAL_ERROR "the check lets through ${pattern}:\n${output}")
    endif()
endfunction()

expect_check(pass "")

# A source for one system that no build list names.
file(WRITE "${WORK_DIR}/platform/linux/stray.cpp" "")
expect_check(fail "platform/linux/stray.cpp is in no list")
file(REMOVE "${WORK_DIR}/platform/linux/stray.cpp")

# The platform reaching up to the controller.
file(READ "${WORK_DIR}/platform/linux/devicepath.cpp" text)
file(WRITE "${WORK_DIR}/platform/linux/devicepath.cpp" "#include \"app/morvek.h\"\n${text}")
expect_check(fail "platform/linux/devicepath.cpp reaches up to app/")
file(WRITE "${WORK_DIR}/platform/linux/devicepath.cpp" "${text}")

# A service built on one system only.
file(READ "${WORK_DIR}/cmake/sources.cmake" lists)
string(REPLACE "    platform/windows/devicepath.cpp\n" "" one_sided "${lists}")
file(WRITE "${WORK_DIR}/cmake/sources.cmake" "${one_sided}")
file(REMOVE "${WORK_DIR}/platform/windows/devicepath.cpp")
expect_check(fail "platform/linux/devicepath.cpp has no platform/windows/devicepath.cpp")
file(WRITE "${WORK_DIR}/cmake/sources.cmake" "${lists}")
file(COPY "${SOURCE_DIR}/platform/windows/devicepath.cpp" DESTINATION "${WORK_DIR}/platform/windows")

# A listed source that is gone.
file(REMOVE "${WORK_DIR}/serial/serialport.cpp")
expect_check(fail "serial/serialport.cpp is listed but missing")
