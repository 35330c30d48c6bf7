# cmake -DHEADER=media_probe.h -DOUTPUT=media_probe.map -P media_probe_exports.cmake
#
# Writes the linker version script of libmedia_probe.so: every function and
# variable the public header declares is global, everything else local. Run
# at build time whenever the header changes, so that a declaration added to
# the header is exported without being listed anywhere else.
#
# The header's top-level declarations are C ones, one per statement:
#   TYPE name(PARAMETERS);        a function
#   extern TYPE name;             a variable (also `extern TYPE a, *b;`)
# Typedefs, struct and enum bodies, forward declarations, static or inline
# functions, preprocessor lines, comments and the static assertions (a macro
# with no type before it) are not declarations of symbols. media_shared_test checks the result against
# a C compiler's reading of the header.
if(NOT HEADER OR NOT OUTPUT)
    message(FATAL_ERROR "usage: cmake -DHEADER=FILE -DOUTPUT=FILE -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
file(READ "${HEADER}" text)

# CMake lists split at ';' and treat brackets specially: swap them for
# characters a C header never holds before working on the text.
string(ASCII 1 open_comment)
string(ASCII 2 close_comment)
string(ASCII 3 semicolon)
string(REPLACE ";" "${semicolon}" text "${text}")
string(REPLACE "[" "(" text "${text}")
string(REPLACE "]" ")" text "${text}")

# Comments, string literals, preprocessor lines (continued ones included).
string(REPLACE "/*" "${open_comment}" text "${text}")
string(REPLACE "*/" "${close_comment}" text "${text}")
string(REGEX REPLACE "${open_comment}[^${close_comment}]*${close_comment}" " " text "${text}")
string(REGEX REPLACE "//[^\n]*" "" text "${text}")
string(REGEX REPLACE "\"([^\"\\\\\n]|\\\\.)*\"" "\"\"" text "${text}")
string(REGEX REPLACE "\\\\\n" " " text "${text}")
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" text "${text}")
# extern "C" { ... } around the declarations, as C++ reads the header.
string(REGEX REPLACE "extern[ \t\n]*\"\"[ \t\n]*{" "" text "${text}")

# Bodies of structs, unions, enums and inline functions, innermost first,
# each ending a statement; then a stray '}' (the one closing extern "C").
while(text MATCHES "{[^{}]*}")
    string(REGEX REPLACE "{[^{}]*}" "${semicolon}" text "${text}")
endwhile()
string(REPLACE "}" " " text "${text}")
string(REGEX REPLACE "[ \t\n]+" " " text "${text}")

set(identifier "[A-Za-z_][A-Za-z0-9_]*")
set(symbols "")
string(REPLACE "${semicolon}" ";" statements "${text}")
foreach(statement IN LISTS statements)
    string(STRIP "${statement}" statement)
    if(statement STREQUAL "" OR statement MATCHES "^typedef |^static |(^| )inline ")
        continue()
    endif()
    if(statement MATCHES "^extern ")
        # Each declarator names one: `extern const char *a, *b`, `extern int
        # c[4]` (bounds are in parentheses here), `extern void (*d)(int)`.
        string(REGEX REPLACE "^extern " "" declarators "${statement}")
        string(REGEX REPLACE "=[^,]*" "" declarators "${declarators}")
        string(REGEX REPLACE "\\( *\\*+ *(${identifier}) *\\)" "\\1" declarators "${declarators}")
        string(REGEX REPLACE "\\([^()]*\\)" "" declarators "${declarators}")
        string(REPLACE "," ";" declarators "${declarators}")
        foreach(declarator IN LISTS declarators)
            if(declarator MATCHES "(${identifier}) *$")
                list(APPEND symbols "${CMAKE_MATCH_1}")
            endif()
        endforeach()
    elseif(statement MATCHES "^${identifier}[^()]*[^A-Za-z0-9_(](${identifier}) *\\(")
        list(APPEND symbols "${CMAKE_MATCH_1}")
    endif()
endforeach()
list(REMOVE_DUPLICATES symbols)
list(SORT symbols)
if(NOT symbols)
    message(FATAL_ERROR "${HEADER} declares no function or variable")
endif()

get_filename_component(header_name "${HEADER}" NAME)
get_filename_component(script_name "${CMAKE_CURRENT_LIST_FILE}" NAME)
set(script "/* The symbols ${header_name} declares; written by ${script_name}. */\n{\n  global:\n")
foreach(symbol IN LISTS symbols)
    string(APPEND script "    ${symbol};\n")
endforeach()
string(APPEND script "  local:\n    *;\n};\n")
file(WRITE "${OUTPUT}" "${script}")
