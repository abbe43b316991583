# viderav_convert(<var> <text>... [DESTINATION <dir>])
#
# Converts each text file into an assembler file of the same name with the
# extension .asm, in DESTINATION (relative to the current binary directory,
# which is the default), and appends the paths of the .asm files to <var>.
# Each conversion re-runs when its text changes or viderav itself is rebuilt
# or reinstalled, and only then; a failed conversion fails the build and
# leaves no output behind.  Hand the list to a target that assembles the
# files, or to add_custom_target(... DEPENDS ${var}).
function(viderav_convert var)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESTINATION" "")
    if(NOT arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "viderav_convert: no text files given")
    endif()
    set(dir "${CMAKE_CURRENT_BINARY_DIR}")
    if(DEFINED arg_DESTINATION)
        cmake_path(ABSOLUTE_PATH arg_DESTINATION BASE_DIRECTORY "${dir}" OUTPUT_VARIABLE dir)
    endif()
    set(outputs)
    foreach(text IN LISTS arg_UNPARSED_ARGUMENTS)
        cmake_path(ABSOLUTE_PATH text BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
        cmake_path(GET text STEM LAST_ONLY name)
        set(asm "${dir}/${name}.asm")
        add_custom_command(
            OUTPUT "${asm}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
            COMMAND viderav::viderav "${text}" "${asm}"
            # The program's file, not just the target: a reinstalled viderav
            # re-runs every conversion.
            DEPENDS "${text}" "$<TARGET_FILE:viderav::viderav>"
            COMMENT "Converting ${name} to assembler"
            VERBATIM)
        list(APPEND outputs "${asm}")
    endforeach()
    set(${var} ${${var}} ${outputs} PARENT_SCOPE)
endfunction()
