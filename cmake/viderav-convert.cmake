# One conversion of viderav_convert, run as a script (cmake -P):
#
#   -Dviderav=PROGRAM -Dtext=TEXT -Dasm=OUTPUT -Dlog=LOG -Dfail_on_rejected=ON|OFF
#
# The console goes to LOG.  The build output gets one readable line when the
# conversion fails, or when characters were rejected.

cmake_path(GET asm PARENT_PATH dir)
file(MAKE_DIRECTORY "${dir}")
execute_process(COMMAND "${viderav}" "${text}" "${asm}"
    OUTPUT_FILE "${log}" ERROR_FILE "${log}" RESULT_VARIABLE status)

if(NOT status EQUAL 0)
    if(status EQUAL 2)
        set(what "the text file cannot be opened or read")
    elseif(status EQUAL 3)
        set(what "the output ${asm} cannot be created or written")
    elseif(status MATCHES "^[0-9]+$")
        set(what "viderav exited with status ${status}")
    else()
        set(what "viderav did not finish (${status})")
    endif()
    # viderav removes what it wrote; this is for a run that never finished.
    file(REMOVE "${asm}")
    message(FATAL_ERROR "viderav: ${text}: ${what}; its messages (Shift_JIS) are in ${log}")
endif()

# The console of a complete run is the banner, then one diagnostic of fixed
# length per rejected character.
if(CMAKE_HOST_WIN32)
    set(banner 56)
    set(diagnostic 41)
else()
    set(banner 53)
    set(diagnostic 40)
endif()
file(SIZE "${log}" size)
math(EXPR rejected "(${size} - ${banner}) / ${diagnostic}")
if(rejected GREATER 0)
    set(what "${rejected} rejected characters, written as code 0 (a blank glyph)")
    if(rejected EQUAL 1)
        set(what "1 rejected character, written as code 0 (a blank glyph)")
    endif()
    if(fail_on_rejected)
        file(REMOVE "${asm}")
        message(FATAL_ERROR "viderav: ${text}: ${what}; they are listed in ${log}")
    endif()
    message(WARNING "viderav: ${text}: ${what}; they are listed in ${log}")
endif()
