# mprobe (tools/) and the Python module (python/) are both built on the
# library (libs/) alone: neither includes a header of the other's folder,
# nor links or takes include directories from what the other folder builds.
# Run by ctest: cmake -DSOURCE_DIR=<repository> -P check_layering.cmake
cmake_minimum_required(VERSION 3.16)
if(NOT SOURCE_DIR)
    message(FATAL_ERROR "check_layering.cmake: give -DSOURCE_DIR=<repository>")
endif()

set(broken "")
foreach(pair "tools;python" "python;tools")
    list(GET pair 0 folder)
    list(GET pair 1 other)
    # The headers of the other folder, by file name.
    file(GLOB_RECURSE other_headers RELATIVE ${SOURCE_DIR}/${other}
        ${SOURCE_DIR}/${other}/*.h ${SOURCE_DIR}/${other}/*.hpp)
    set(other_names "")
    foreach(header IN LISTS other_headers)
        get_filename_component(name ${header} NAME)
        list(APPEND other_names ${name})
    endforeach()
    # The targets the other folder's CMake files define.
    file(GLOB_RECURSE other_cmake ${SOURCE_DIR}/${other}/CMakeLists.txt)
    set(other_targets "")
    foreach(cmake_file IN LISTS other_cmake)
        file(STRINGS ${cmake_file} definitions
            REGEX "^[ \t]*(add_library|add_executable|Python3_add_library)[ \t]*\\(")
        foreach(line IN LISTS definitions)
            string(REGEX REPLACE "^[ \t]*[A-Za-z0-9_]+[ \t]*\\([ \t]*([A-Za-z0-9_.+-]+).*" "\\1"
                target "${line}")
            list(APPEND other_targets ${target})
        endforeach()
    endforeach()

    file(GLOB_RECURSE sources ${SOURCE_DIR}/${folder}/*.c ${SOURCE_DIR}/${folder}/*.cpp
        ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.hpp)
    foreach(source IN LISTS sources)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*" "\\1"
                included "${line}")
            get_filename_component(name "${included}" NAME)
            if(included MATCHES "(^|/)${other}/" OR name IN_LIST other_names)
                string(APPEND broken
                    "  ${shown} includes ${included}, a header of ${other}/\n")
            endif()
        endforeach()
    endforeach()

    file(GLOB_RECURSE cmake_files ${SOURCE_DIR}/${folder}/CMakeLists.txt)
    foreach(cmake_file IN LISTS cmake_files)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${cmake_file})
        file(READ ${cmake_file} text)
        string(REGEX MATCHALL
            "(target_link_libraries|target_include_directories|include_directories)[ \t\n]*\\([^)]*\\)"
            calls "${text}")
        foreach(call IN LISTS calls)
            if(call MATCHES "[/{}]${other}([/ \t\n)}]|$)")
                string(APPEND broken "  ${shown}: a folder of ${other}/ in: ${call}\n")
            endif()
            string(REGEX REPLACE "[ \t\n()]+" ";" words "${call}")
            foreach(word IN LISTS words)
                if(word IN_LIST other_targets)
                    string(APPEND broken "  ${shown} links ${word}, built in ${other}/\n")
                endif()
            endforeach()
        endforeach()
    endforeach()
endforeach()

if(broken)
    message(FATAL_ERROR "tools/ and python/ must depend on libs/ only:\n${broken}")
endif()
message(STATUS "tools/ and python/ depend on libs/ only")
