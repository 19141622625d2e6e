# The simulator's libusb0.dll stands in for libusb-win32's: it must export, under the same
# undecorated cdecl names, every function Ardellix.dll imports from libusb0.dll.
# cmake -DLIBRARY=<Ardellix.dll> -DSIM=<simulator's libusb0.dll> -DOBJDUMP=<objdump> -P <this file>
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE library_headers
                RESULT_VARIABLE rc1)
execute_process(COMMAND ${OBJDUMP} -p ${SIM} OUTPUT_VARIABLE sim_headers RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed")
endif()

# Imports: "DLL Name: libusb0.dll", a heading line, then "<vma> <hint> <name>" rows.
string(REGEX MATCH "DLL Name: libusb0.dll\n[^\n]*\n(([^\n]+\n)*)" _ "${library_headers}")
string(REGEX MATCHALL "[^ \t\n]+\n" imported "${CMAKE_MATCH_1}")
string(REPLACE "\n" "" imported "${imported}")
# Exports: "[   0] name" rows under the name pointer table.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([^\n]+\n)*)" _ "${sim_headers}")
string(REGEX MATCHALL "\\] [^\n]+" exported "${CMAKE_MATCH_1}")
string(REPLACE "] " "" exported "${exported}")

if(NOT imported)
    message(FATAL_ERROR "${LIBRARY} imports nothing from libusb0.dll")
endif()
set(missing)
foreach(name IN LISTS imported)
    if(NOT name IN_LIST exported)
        list(APPEND missing ${name})
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "the simulator's libusb0.dll lacks ${missing}, which Ardellix.dll "
                        "imports (it exports: ${exported})")
endif()
list(LENGTH imported count)
message(STATUS "the simulator exports all ${count} functions Ardellix.dll imports from libusb0.dll")
