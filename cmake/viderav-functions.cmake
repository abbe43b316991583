# viderav_convert(<var> <text>... [DESTINATION <dir>] [FAIL_ON_REJECTED])
#
# Converts each text file into an assembler file of the same name with the
# extension .asm, in DESTINATION (relative to the current binary directory,
# which is the default), and appends the paths of the .asm files to <var>.
# Hand the list to a target that assembles the files, or to
# add_custom_target(... DEPENDS ${var}).
#
# Each conversion's console (banner and messages, Shift_JIS) goes to
# <name>.log beside its output, not into the build output.  A failed
# conversion fails the build with one readable line saying which text file,
# what failed and where the log is, and leaves no output behind.  Rejected
# characters, written as code 0 (a blank glyph in the game), are reported
# per file with their count; with FAIL_ON_REJECTED they fail the build and
# the output is removed, so that nothing is taken for up to date.
#
# Each conversion re-runs when its text changes or viderav itself is rebuilt
# or reinstalled, and only then.

# The script that runs one conversion, wherever this file was included from.
set_property(GLOBAL PROPERTY viderav_convert_script
             "${CMAKE_CURRENT_LIST_DIR}/viderav-convert.cmake")

# Every name of the function's own starts with _viderav_, so that none
# shadows the caller's variable, whatever it is called.
function(viderav_convert _viderav_var)
    cmake_parse_arguments(PARSE_ARGV 1 _viderav_arg "FAIL_ON_REJECTED" "DESTINATION" "")
    if(NOT _viderav_arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "viderav_convert: no text files given")
    endif()
    get_property(_viderav_script GLOBAL PROPERTY viderav_convert_script)
    set(_viderav_dir "${CMAKE_CURRENT_BINARY_DIR}")
    if(DEFINED _viderav_arg_DESTINATION)
        cmake_path(ABSOLUTE_PATH _viderav_arg_DESTINATION BASE_DIRECTORY "${_viderav_dir}"
                   OUTPUT_VARIABLE _viderav_dir)
    endif()
    set(_viderav_strict OFF)
    if(_viderav_arg_FAIL_ON_REJECTED)
        set(_viderav_strict ON)
    endif()
    set(_viderav_outputs)
    foreach(_viderav_text IN LISTS _viderav_arg_UNPARSED_ARGUMENTS)
        cmake_path(ABSOLUTE_PATH _viderav_text BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
        cmake_path(GET _viderav_text STEM LAST_ONLY _viderav_name)
        set(_viderav_asm "${_viderav_dir}/${_viderav_name}.asm")
        add_custom_command(
            OUTPUT "${_viderav_asm}"
            BYPRODUCTS "${_viderav_dir}/${_viderav_name}.log"
            COMMAND "${CMAKE_COMMAND}"
                    "-Dviderav=$<TARGET_FILE:viderav::viderav>"
                    "-Dtext=${_viderav_text}" "-Dasm=${_viderav_asm}"
                    "-Dlog=${_viderav_dir}/${_viderav_name}.log"
                    "-Dfail_on_rejected=${_viderav_strict}" -P "${_viderav_script}"
            # The program's file, not just the target: a reinstalled viderav
            # re-runs every conversion.
            DEPENDS "${_viderav_text}" "$<TARGET_FILE:viderav::viderav>" "${_viderav_script}"
            COMMENT "Converting ${_viderav_name} to assembler"
            VERBATIM)
        list(APPEND _viderav_outputs "${_viderav_asm}")
    endforeach()
    set(${_viderav_var} ${${_viderav_var}} ${_viderav_outputs} PARENT_SCOPE)
endfunction()
