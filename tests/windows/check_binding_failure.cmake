# Runs a program that binds the probe library (binding_child, or klov) under wine64 with a
# library that is missing, or that lacks an export, and checks that the program fails
# cleanly: exit status 1, the message on standard error, the same message in the system's
# error box titled with the program's name (seen through Wine's relay trace of MessageBoxA,
# which needs no display), and the calls before the failure done.
#   cmake -DRUN=<wine_run.sh> -DWINE=<wine64> -DPREFIX=<wine prefix> -DCHILD=<program.exe>
#         -DARGS=<its arguments> -DMESSAGE=<expected message>
#         [-DDONE=<regex the standard output must match>] -P check_binding_failure.cmake
foreach(var RUN WINE PREFIX CHILD ARGS MESSAGE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_binding_failure.cmake: ${var} not set")
    endif()
endforeach()

set(ENV{WINEDEBUG} "+relay")
get_filename_component(program ${CHILD} NAME_WE)
execute_process(COMMAND ${RUN} ${WINE} ${PREFIX} ${CHILD} ${ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)

set(failures "")
if(NOT status STREQUAL "1")
    string(APPEND failures "exit status ${status}, expected 1\n")
endif()
string(FIND "${err}" "${program}: ${MESSAGE}\n" at)
if(at EQUAL -1)
    string(APPEND failures "standard error lacks \"${program}: ${MESSAGE}\"\n")
endif()
# The relay trace shows each call with its text arguments:
#   0024:Call user32.MessageBoxA(00000000,14000900e "<text>",140009008 "<caption>",00002010)
string(REGEX MATCHALL "Call user32\\.MessageBox[AW]\\([^\n]*" boxes "${err}")
list(LENGTH boxes box_count)
if(NOT box_count EQUAL 1)
    string(APPEND failures "${box_count} error boxes shown, expected 1: ${boxes}\n")
else()
    string(FIND "${boxes}" "\"${MESSAGE}\"" message_at)
    if(message_at EQUAL -1 OR NOT boxes MATCHES "\"${program}\",")
        string(APPEND failures "the error box is not \"${MESSAGE}\" titled ${program}: ${boxes}\n")
    endif()
    # MB_OK | MB_ICONERROR | MB_TASKMODAL
    if(NOT boxes MATCHES ",00002010\\)")
        string(APPEND failures "the error box is not a task-modal error box: ${boxes}\n")
    endif()
endif()
if(DEFINED DONE AND NOT out MATCHES "${DONE}")
    string(APPEND failures "standard output does not match \"${DONE}\": ${out}\n")
endif()

if(failures)
    string(REGEX MATCHALL "[^\n]*(${program}|err:)[^\n]*" relevant "${err}")
    message(FATAL_ERROR "${failures}standard output:\n${out}\nrelevant standard error:\n${relevant}")
endif()
