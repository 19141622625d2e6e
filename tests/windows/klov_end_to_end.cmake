# klov.exe under wine64 against the simulated probe, from a fresh state: list and info show
# the probe as it came, a short rate watch reads it at its interval, update --yes installs
# the carried firmware, and list and info then show the new firmware on the same probe.
#   cmake -DRUN=<wine_run.sh> -DWINE=<wine64> -DPREFIX=<wine prefix> -DKLOV=<klov.exe>
#         -DSTATE=<state file to start afresh> -DVERSION=<version of the carried firmware>
#         -P klov_end_to_end.cmake
foreach(var RUN WINE PREFIX KLOV STATE VERSION)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "klov_end_to_end.cmake: ${var} not set")
    endif()
endforeach()

file(REMOVE ${STATE})
set(ENV{KLOVSIM_STATE} ${STATE})
set(failures "")

# klov(<expected status> <stdout regex> <stderr regex> <arguments>...)
function(klov status out_regex err_regex)
    execute_process(COMMAND ${RUN} ${WINE} ${PREFIX} ${KLOV} ${ARGN}
                    RESULT_VARIABLE got OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
    set(problem "")
    if(NOT got STREQUAL "${status}")
        string(APPEND problem "  exit status ${got}, expected ${status}\n")
    endif()
    if(NOT out MATCHES "${out_regex}")
        string(APPEND problem "  standard output does not match \"${out_regex}\"\n")
    endif()
    if(NOT err MATCHES "${err_regex}")
        string(APPEND problem "  standard error does not match \"${err_regex}\"\n")
    endif()
    if(problem)
        string(APPEND failures "klov ${ARGN}:\n${problem}  standard output:\n${out}\n"
                               "  standard error:\n${err}\n")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

klov(0 "^DEVICE  MODE +SERIAL +FIRMWARE\n0 +application +04124008 +2\\.0\\.3\n$" "^$" list)
klov(0 "Serial number: +04124008\nFirmware version: 2\\.0\\.3\nProduction date: +2012-12-28\n"
     "^$" info)
klov(0 "^{\"rate\": [0-9]+, \"flag\": 0, \"elapsed_ms\": 0}\n{\"rate\": [0-9]+, \"flag\": 0, \"elapsed_ms\": (5[0-9]|[6-9][0-9]|[1-9][0-9][0-9]+)}\n$"
     "^$" rate --count 2 --interval 50 --json)
string(REPLACE "." "\\." version_regex ${VERSION})
klov(0 "verify 100%\n$"
     "update finished: kLOV-VR, S/N 04124008, firmware ${version_regex}, production date 2012-12-28\n"
     update --yes)
klov(0 "^DEVICE  MODE +SERIAL +FIRMWARE\n0 +application +04124008 +${version_regex}\n$" "^$" list)
klov(0 "Serial number: +04124008\nFirmware version: ${version_regex}\n" "^$" info)

if(failures)
    message(FATAL_ERROR "${failures}")
endif()
