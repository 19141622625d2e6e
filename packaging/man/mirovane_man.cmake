# Makes mirovane's manual page from mirovane.1.in: fills in the version and the library's file
# name, and checks that every window text the page quotes <<like this>> is a string literal
# in the updater's sources, written there as on the page (a button's accelerator marked with
# &, which the page drops). The date follows SOURCE_DATE_EPOCH when it is set.
# Variables: IN, OUT, VERSION, LIBRARY, SOURCES (a ;-list of the files to search).
cmake_minimum_required(VERSION 3.25)

file(READ ${IN} page)
set(literals "")
foreach(source IN LISTS SOURCES)
    file(READ ${source} text)
    string(APPEND literals "${text}")
endforeach()

string(REGEX MATCHALL "<<[^>]+>>" quoted "${page}")
list(REMOVE_DUPLICATES quoted)
foreach(marker IN LISTS quoted)
    string(REGEX REPLACE "^<<(.*)>>$" "\\1" text "${marker}")
    string(FIND "${literals}" "\"${text}\"" at)
    if(at LESS 0)
        message(FATAL_ERROR "${IN} quotes the window text \"${text}\", which the updater's "
                            "sources do not have: bring the page in line with the program")
    endif()
    string(REPLACE "&" "" shown "${text}")
    string(REPLACE "-" "\\-" shown "${shown}")
    string(REPLACE "${marker}" "${shown}" page "${page}")
endforeach()

string(TIMESTAMP MAN_DATE "%B %Y" UTC)
string(REPLACE "-" "\\-" LIBRARY "${LIBRARY}")
string(CONFIGURE "${page}" page @ONLY)
file(WRITE ${OUT} "${page}")
