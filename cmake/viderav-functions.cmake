# viderav_convert(<var> <text>... [DESTINATION <dir>] [FAIL_ON_REJECTED]
#                 [FAIL_ON_LONG_LINES])
#
# Converts each text file into an assembler file of the same name with the
# extension .asm, in DESTINATION (relative to the current binary directory,
# which is the default), and appends the paths of the .asm files to <var>.
# Hand the list to a target that assembles the files, or to
# add_custom_target(... DEPENDS ${var}).  A relative text is looked for as
# CMake looks for a relative DEPENDS: a file generated in the current binary
# directory (an OUTPUT of add_custom_command there), else one in the current
# source directory.  Two texts of one name in one destination stop the
# configure step: give them two calls with two destinations.
#
# Each conversion runs viderav-build.  Its console (banner and messages,
# Shift_JIS) goes to <name>.log beside its output, not into the build
# output.  The build output gets, as compilers write them
# (text:line:column: warning: ...),
# each rejected character, written as code 0 (a blank glyph in the game),
# and each line over 255 bytes, whose record's length byte cannot hold its
# length; at most 20 of each per text.  FAIL_ON_REJECTED and
# FAIL_ON_LONG_LINES make them errors that fail the build.  A failed
# conversion fails the build with one line saying which text, what failed
# and where the log is.  A failing conversion leaves no output behind.
#
# Each conversion re-runs when its text changes or when viderav-build is not
# the one that made its output (rebuilt, reinstalled, whatever the
# files' times say), and only then.

# The identity script, wherever this file was included from.
set_property(GLOBAL PROPERTY viderav_scripts "${CMAKE_CURRENT_LIST_DIR}")

# Every name of the function's own starts with _viderav_, so that none
# shadows the caller's variable, whatever it is called.
function(viderav_convert _viderav_var)
    cmake_parse_arguments(PARSE_ARGV 1 _viderav_arg "FAIL_ON_REJECTED;FAIL_ON_LONG_LINES"
                          "DESTINATION" "")
    if(NOT _viderav_arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "viderav_convert: no text files given")
    endif()
    set(_viderav_dir "${CMAKE_CURRENT_BINARY_DIR}")
    if(DEFINED _viderav_arg_DESTINATION)
        cmake_path(ABSOLUTE_PATH _viderav_arg_DESTINATION BASE_DIRECTORY "${_viderav_dir}"
                   OUTPUT_VARIABLE _viderav_dir)
    endif()
    set(_viderav_options)
    foreach(_viderav_option IN ITEMS FAIL_ON_REJECTED FAIL_ON_LONG_LINES)
        if(_viderav_arg_${_viderav_option})
            string(TOLOWER "${_viderav_option}" _viderav_flag)
            string(REPLACE "_" "-" _viderav_flag "${_viderav_flag}")
            list(APPEND _viderav_options "--${_viderav_flag}")
        endif()
    endforeach()
    # Where the outputs go exists before any rule runs.
    file(MAKE_DIRECTORY "${_viderav_dir}")
    set(_viderav_outputs)
    foreach(_viderav_text IN LISTS _viderav_arg_UNPARSED_ARGUMENTS)
        cmake_path(GET _viderav_text STEM LAST_ONLY _viderav_name)
        set(_viderav_asm "${_viderav_dir}/${_viderav_name}.asm")
        set(_viderav_key "viderav_output ${_viderav_asm}")
        if(CMAKE_HOST_WIN32)
            string(TOLOWER "${_viderav_key}" _viderav_key)
        endif()
        get_property(_viderav_taken GLOBAL PROPERTY "${_viderav_key}")
        if(DEFINED _viderav_taken)
            message(FATAL_ERROR " viderav_convert: \"${_viderav_taken}\" and \"${_viderav_text}\" "
                "would both be converted to ${_viderav_asm}; convert them in two calls with two "
                "DESTINATIONs")
        endif()
        set_property(GLOBAL PROPERTY "${_viderav_key}" "${_viderav_text}")
        # The rule is added once this directory is read through, when CMake
        # knows which of its files are generated.
        get_property(_viderav_jobs DIRECTORY PROPERTY viderav_jobs)
        list(LENGTH _viderav_jobs _viderav_job)
        set_property(DIRECTORY APPEND PROPERTY viderav_jobs ${_viderav_job})
        set_property(DIRECTORY PROPERTY viderav_job_${_viderav_job}
                     "${_viderav_text}" "${_viderav_asm}" ${_viderav_options})
        list(APPEND _viderav_outputs "${_viderav_asm}")
    endforeach()
    get_property(_viderav_deferred DIRECTORY PROPERTY viderav_deferred)
    if(NOT _viderav_deferred)
        set_property(DIRECTORY PROPERTY viderav_deferred YES)
        cmake_language(DEFER CALL _viderav_add_conversions)
    endif()
    set(${_viderav_var} ${${_viderav_var}} ${_viderav_outputs} PARENT_SCOPE)
endfunction()

# The rules of this directory's conversions.
function(_viderav_add_conversions)
    get_property(_viderav_scripts GLOBAL PROPERTY viderav_scripts)
    _viderav_add_identity("${_viderav_scripts}")
    get_property(_viderav_jobs DIRECTORY PROPERTY viderav_jobs)
    foreach(_viderav_job IN LISTS _viderav_jobs)
        get_property(_viderav_args DIRECTORY PROPERTY viderav_job_${_viderav_job})
        list(POP_FRONT _viderav_args _viderav_given _viderav_asm)
        set(_viderav_text "${_viderav_given}")
        if(NOT IS_ABSOLUTE "${_viderav_text}")
            get_source_file_property(_viderav_generated
                "${CMAKE_CURRENT_BINARY_DIR}/${_viderav_text}" GENERATED)
            if(_viderav_generated)
                set(_viderav_text "${CMAKE_CURRENT_BINARY_DIR}/${_viderav_text}")
            else()
                set(_viderav_text "${CMAKE_CURRENT_SOURCE_DIR}/${_viderav_text}")
            endif()
        endif()
        cmake_path(REPLACE_EXTENSION _viderav_asm LAST_ONLY .log OUTPUT_VARIABLE _viderav_log)
        add_custom_command(
            OUTPUT "${_viderav_asm}"
            BYPRODUCTS "${_viderav_log}"
            COMMAND viderav::viderav-build ${_viderav_args} "--log=${_viderav_log}"
                    "${_viderav_text}" "${_viderav_asm}"
            # Which program made the output, by content: a reinstalled
            # viderav re-runs every conversion, whatever its file's time.
            DEPENDS "${_viderav_text}" "${CMAKE_BINARY_DIR}/viderav.identity" viderav_identity
            COMMENT "Converting ${_viderav_given} to assembler"
            VERBATIM)
    endforeach()
endfunction()

# viderav_identity, a target every build runs, rewrites viderav.identity in
# the top binary directory only when viderav-build is not the one it last
# saw.
function(_viderav_add_identity _viderav_scripts)
    if(TARGET viderav_identity)
        return()
    endif()
    set(_viderav_identity "${CMAKE_BINARY_DIR}/viderav.identity")
    add_custom_target(viderav_identity
        COMMAND "${CMAKE_COMMAND}" "-Dprogram=$<TARGET_FILE:viderav::viderav-build>"
                "-Didentity=${_viderav_identity}" -P "${_viderav_scripts}/viderav-identity.cmake"
        BYPRODUCTS "${_viderav_identity}"
        COMMENT "Checking which viderav converts the texts"
        VERBATIM)
    if(TARGET viderav_host)
        add_dependencies(viderav_identity viderav_host)
    endif()
endfunction()
