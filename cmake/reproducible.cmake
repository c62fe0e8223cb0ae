# One commit gives byte-identical Windows programs, wherever and whenever it
# is built.
#
# The PE time stamp is the time of the commit the sources come from
# (SOURCE_DATE_EPOCH instead, when the caller sets one), not the time of the
# link: it still tells builds of different commits apart, as Windows' crash
# reports do by time stamp and size, and it reads as a real date. Outside a
# git checkout it is zero. The linker takes it from SOURCE_DATE_EPOCH, and
# the PE checksum it writes follows from the bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(PROGRAM_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    find_package(Git QUIET)
    if(Git_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
            OUTPUT_VARIABLE PROGRAM_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        # A new commit or checkout moves HEAD and appends to its log:
        # configure again so that the time stamp follows.
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute
            --git-path HEAD --git-path logs/HEAD
            WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
            OUTPUT_VARIABLE HEAD_FILES OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        string(REPLACE "\n" ";" HEAD_FILES "${HEAD_FILES}")
        foreach(HEAD_FILE IN LISTS HEAD_FILES)
            if(EXISTS ${HEAD_FILE})
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${HEAD_FILE})
            endif()
        endforeach()
    endif()
endif()
if(PROGRAM_EPOCH MATCHES "^[0-9]+$")
    set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${PROGRAM_EPOCH})
else()
    add_link_options(-Wl,--no-insert-timestamp)
endif()

# No path of the build machine in the programs.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
