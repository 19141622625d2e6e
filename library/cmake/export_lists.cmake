# Writes a linker's export list from the one list of exports, ARDELLIX_FOR_EACH_EXPORT in
# ardellix_exports.h (rows X(name, argument bytes)). Run at build time:
#   cmake -DNAMES=<ardellix_exports.h> -DFORMAT=<format> -DOUTPUT=<file> -P export_lists.cmake
# Formats:
#   map          ELF version script: the plain names global, everything else local
#   def          module definition for the DLL: plain names
#   def-stdcall  module definition for the 32-bit DLL: _Name@N exported for Name@N
#   implib-stdcall  module definition for dlltool: the import library of the 32-bit DLL, so
#                a caller linking against it imports _Name@N for its call of Name

file(READ ${NAMES} text)
string(REGEX MATCHALL "X\\([A-Za-z0-9_]+, [0-9]+\\)" rows "${text}")
list(LENGTH rows count)
if(count EQUAL 0)
    message(FATAL_ERROR "no X(name, bytes) rows in ${NAMES}")
endif()

set(note "Generated from ardellix_exports.h at build time; do not edit.")
if(FORMAT STREQUAL "map")
    set(out "/* ${note} */\n{\n  global:\n")
else()
    set(out "; ${note}\nLIBRARY Ardellix.dll\nEXPORTS\n")
endif()

foreach(row IN LISTS rows)
    string(REGEX REPLACE "X\\(([A-Za-z0-9_]+), ([0-9]+)\\)" "\\1" name "${row}")
    string(REGEX REPLACE "X\\(([A-Za-z0-9_]+), ([0-9]+)\\)" "\\2" bytes "${row}")
    if(FORMAT STREQUAL "map")
        string(APPEND out "    ${name};\n")
    elseif(FORMAT STREQUAL "def")
        string(APPEND out "    ${name}\n")
    elseif(FORMAT STREQUAL "def-stdcall")
        string(APPEND out "    _${name}@${bytes} = ${name}@${bytes}\n")
    elseif(FORMAT STREQUAL "implib-stdcall")
        string(APPEND out "    ${name}@${bytes} == _${name}@${bytes}\n")
    else()
        message(FATAL_ERROR "unknown export list format '${FORMAT}'")
    endif()
endforeach()

if(FORMAT STREQUAL "map")
    string(APPEND out "  local:\n    *;\n};\n")
endif()
file(WRITE ${OUTPUT} "${out}")
