# Writes the resource string table (STRINGTABLE) from the engine's one table:
# every line of SOURCE of the form {id, "text"}, becomes id "text" in OUTPUT.
# cmake -DSOURCE=engine/strings.cpp -DOUTPUT=strings.rc -P string_table_rc.cmake
file(STRINGS ${SOURCE} lines REGEX "^[ \t]*\\{[0-9]+, \".*\"\\},?[ \t]*$")
if(NOT lines)
    message(FATAL_ERROR "no string table entries found in ${SOURCE}")
endif()
set(rc "// Generated from ${SOURCE}; do not edit.\nSTRINGTABLE\nBEGIN\n")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*\\{([0-9]+), \"(.*)\"\\},?[ \t]*$" "\\1" id "${line}")
    string(REGEX REPLACE "^[ \t]*\\{([0-9]+), \"(.*)\"\\},?[ \t]*$" "\\2" text "${line}")
    # C escapes are not resource escapes: the table holds none, and must not start to.
    if(text MATCHES "\\\\")
        message(FATAL_ERROR "string ${id} holds a backslash escape: extend ${CMAKE_CURRENT_LIST_FILE}")
    endif()
    string(APPEND rc "    ${id}, \"${text}\"\n")
endforeach()
string(APPEND rc "END\n")
file(WRITE ${OUTPUT}.tmp "${rc}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
