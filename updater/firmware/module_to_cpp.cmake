# Translates the firmware module text that mkinline writes into a C++ source.
#   cmake -DMODULE_TEXT=<klov-vr.hex.bas> -DOUTPUT=<firmware_module.cpp> -P module_to_cpp.cmake
# The encoded lines are copied unchanged; the array gets the size that the declaration names.
# Anything that does not look like mkinline's output stops the build.
if(NOT DEFINED MODULE_TEXT OR NOT DEFINED OUTPUT)
    message(FATAL_ERROR "module_to_cpp.cmake needs -DMODULE_TEXT=... and -DOUTPUT=...")
endif()

file(READ "${MODULE_TEXT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(size "")
set(next_index 0)
set(body "")
set(ended FALSE)
foreach(line IN LISTS lines)
    if(line MATCHES "^Public FWFile\\((-?[0-9]+)\\) As String$")
        math(EXPR size "${CMAKE_MATCH_1} + 1")
    elseif(line MATCHES "^    FWFile\\(([0-9]+)\\) = \"([A-Za-z]*)\"$")
        if(NOT CMAKE_MATCH_1 EQUAL next_index)
            message(FATAL_ERROR "${MODULE_TEXT}: element ${CMAKE_MATCH_1} out of order")
        endif()
        string(APPEND body "    FWFile[${next_index}] = \"${CMAKE_MATCH_2}\";\n")
        math(EXPR next_index "${next_index} + 1")
    elseif(line STREQUAL "End Sub")
        set(ended TRUE)
    endif()
endforeach()

if(size STREQUAL "" OR NOT ended)
    message(FATAL_ERROR "${MODULE_TEXT} is not a complete firmware module")
endif()
if(NOT next_index EQUAL size)
    message(FATAL_ERROR "${MODULE_TEXT} declares ${size} elements but assigns ${next_index}")
endif()

file(WRITE "${OUTPUT}.tmp"
"// Generated at build time by module_to_cpp.cmake from ${MODULE_TEXT}. Do not edit.
#include \"firmware_module.h\"

namespace mirovane {

std::vector<std::string> FWFile(${size});

void FWFileInit() {
${body}}

}  // namespace mirovane
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
