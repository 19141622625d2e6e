# Checks Ardellix.dll from its export table and, for the 32-bit DLL, its machine code:
#   - the DLL exports exactly the names of the export list, and nothing else: the decorated
#     names _Name@N with -DDECORATED=ON, the plain names otherwise;
#   - every export is stdcall: it returns with `ret $N`, N being its argument bytes (the
#     callee pops its arguments). Every return in its code, and in the cold part the compiler
#     split off it, must be that one, and it may not leave through a jump into another
#     function (a tail call, whose return could not be checked here).
#   - with -DCALLER=<program linked against the import library>: what that program imports
#     from Ardellix.dll is among those names.
# cmake -DDLL=<Ardellix.dll> -DOBJDUMP=<objdump> -DNAMES=<ardellix_exports.h> [-DDECORATED=ON]
#       [-DCALLER=<program>] -P <this file>

cmake_minimum_required(VERSION 3.25)

function(run_objdump flag out)
    execute_process(COMMAND ${OBJDUMP} ${flag} ${DLL} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} ${flag} ${DLL} failed")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The export list: X(name, argument bytes).
file(READ ${NAMES} names)
string(REGEX MATCHALL "X\\([A-Za-z0-9_]+, [0-9]+\\)" rows "${names}")
set(expected)
foreach(row IN LISTS rows)
    if(DECORATED)
        string(REGEX REPLACE "X\\(([A-Za-z0-9_]+), ([0-9]+)\\)" "_\\1@\\2" name "${row}")
    else()
        string(REGEX REPLACE "X\\(([A-Za-z0-9_]+), ([0-9]+)\\)" "\\1" name "${row}")
    endif()
    list(APPEND expected ${name})
endforeach()
list(SORT expected)

# The export table as objdump -p prints it.
run_objdump(-p headers)
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(image_base ${CMAKE_MATCH_1})
string(REGEX MATCH "Export Address Table -- Ordinal Base [0-9]+\n(([^\n]+\n)*)\n" _
       "${headers}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] \\+base\\[ *[0-9]+\\] +[0-9a-fA-F]+ Export RVA"
       address_rows "${CMAKE_MATCH_1}")
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([^\n]+\n)*)" _ "${headers}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" name_rows "${CMAKE_MATCH_1}")

list(LENGTH address_rows address_count)
set(exported)
foreach(row IN LISTS name_rows)
    string(REGEX REPLACE "^\\[ *([0-9]+)\\] (.+)$" "\\1;\\2" fields "${row}")
    list(GET fields 0 ordinal)
    list(GET fields 1 name)
    list(APPEND exported ${name})
    list(GET address_rows ${ordinal} address_row)
    string(REGEX REPLACE ".*\\] +([0-9a-fA-F]+) Export RVA" "\\1" rva "${address_row}")
    math(EXPR va "0x${image_base} + 0x${rva}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "^0x" "" va "${va}")
    string(TOLOWER "${va}" va)
    set(address_of_${name} ${va})
endforeach()
list(SORT exported)
list(LENGTH expected expected_count)
if(NOT exported STREQUAL expected OR NOT address_count EQUAL expected_count)
    message(FATAL_ERROR "the export table differs from the export list\n"
                        "exported (${address_count} addresses): ${exported}\n"
                        "expected: ${expected}")
endif()

# A program linked against the import library imports the exported names.
if(CALLER)
    execute_process(COMMAND ${OBJDUMP} -p ${CALLER} OUTPUT_VARIABLE imports RESULT_VARIABLE rc)
    string(REGEX MATCH "DLL Name: Ardellix.dll\n[^\n]*\n(([^\n]+\n)*)" _ "${imports}")
    string(REGEX MATCHALL "[^ \t\n]+\n" imported "${CMAKE_MATCH_1}")
    string(REPLACE "\n" "" imported "${imported}")
    if(NOT rc EQUAL 0 OR NOT imported)
        message(FATAL_ERROR "${CALLER} imports nothing from Ardellix.dll")
    endif()
    foreach(name IN LISTS imported)
        if(NOT name IN_LIST expected)
            message(FATAL_ERROR "${CALLER} imports ${name}, which Ardellix.dll does not export")
        endif()
    endforeach()
endif()

if(NOT DECORATED)
    list(LENGTH expected count)
    message(STATUS "${count} exports under their plain names")
    return()
endif()

# The machine code of every export: the block under the label at its address (padded to
# eight hexadecimal digits, as objdump prints them), and the block of its cold part.
run_objdump(-d code)
string(REPLACE ";" "," code "${code}")
string(REPLACE "\n\n" ";" blocks "${code}")
set(labelled)
foreach(block IN LISTS blocks)
    if(block MATCHES "^\n?([0-9a-f]+) <([^>]+)>:\n")
        set(block_at_${CMAKE_MATCH_1} "${block}")
        set(block_of_${CMAKE_MATCH_2} "${block}")
        set(label_at_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
endforeach()

set(faults)
foreach(name IN LISTS expected)
    string(REGEX REPLACE "^_.*@([0-9]+)$" "\\1" bytes "${name}")
    math(EXPR pops "${bytes}" OUTPUT_FORMAT HEXADECIMAL)
    set(va ${address_of_${name}})
    string(LENGTH "${va}" digits)
    while(digits LESS 8)
        set(va "0${va}")
        string(LENGTH "${va}" digits)
    endwhile()
    if(NOT DEFINED block_at_${va})
        list(APPEND faults "${name}: no code labelled at its address ${va}")
        continue()
    endif()
    set(label ${label_at_${va}})
    # Instructions are the third tab-separated column: address, bytes, instruction.
    string(REGEX MATCHALL "\n *[0-9a-f]+:\t[^\t\n]*\t[^\n]*" lines
           "${block_at_${va}}\n${block_of_${label}.cold}")
    set(returns 0)
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^\n *[0-9a-f]+:\t[^\t]*\t" "" insn "${line}")
        string(STRIP "${insn}" insn)
        if(insn MATCHES "^ret")
            math(EXPR returns "${returns} + 1")
            if(NOT insn MATCHES "^ret +\\$${pops}$")
                list(APPEND faults "${name} (${label}): returns with '${insn}', not 'ret $${pops}'")
            endif()
        elseif(insn MATCHES "^jmp +[0-9a-f]+ <([^>+]+)" AND NOT CMAKE_MATCH_1 STREQUAL label
               AND NOT CMAKE_MATCH_1 STREQUAL "${label}.cold")
            # A tail call leaves through another function's return: not provable here.
            list(APPEND faults "${name} (${label}): leaves through '${insn}'")
        endif()
    endforeach()
    if(returns EQUAL 0)
        list(APPEND faults "${name} (${label}): no return instruction")
    endif()
endforeach()
if(faults)
    list(JOIN faults "\n" text)
    message(FATAL_ERROR "exports that are not stdcall:\n${text}")
endif()
list(LENGTH expected count)
message(STATUS "${count} decorated exports, each returning with ret $N")
