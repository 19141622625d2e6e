# Programs one after the other against the simulated probe with a state file: each saves a
# setting that the next must find. The simulator writes the state file anew (replacing the
# last one) at every close, and once more when the program ends: "leave" ends its program
# with the connection open, so only that last write keeps its setting.
#   cmake -DRUN=<wine_run.sh> -DWINE=<wine64> -DPREFIX=<wine prefix> -DCHILD=<state_child.exe>
#         -DSTATE=<state file> -P state_across_processes.cmake
file(REMOVE ${STATE})
set(ENV{KLOVSIM_STATE} ${STATE})
foreach(step "save;1234" "expect;1234" "leave;777" "expect;777")
    execute_process(COMMAND ${RUN} ${WINE} ${PREFIX} ${CHILD} ${step}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
    if(NOT status STREQUAL "0")
        message(FATAL_ERROR "state_child ${step}: exit status ${status}\n${out}")
    endif()
    if(NOT EXISTS ${STATE})
        message(FATAL_ERROR "state_child ${step}: no state file ${STATE}")
    endif()
endforeach()
file(GLOB leftovers ${STATE}.*)
if(leftovers)
    message(FATAL_ERROR "temporary files left beside the state file: ${leftovers}")
endif()
