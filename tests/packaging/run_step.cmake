# run(<command> <args>...): runs a command, stops the script with its output when it fails, and
# leaves its standard output in run_out.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        list(JOIN ARGN " " line)
        message(FATAL_ERROR "failed (${rc}): ${line}\n${out}\n${err}")
    endif()
    set(run_out "${out}" PARENT_SCOPE)
endfunction()
