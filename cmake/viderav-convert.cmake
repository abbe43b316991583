# One conversion, run as a script, by viderav_convert or by a make or Ninja
# rule:
#
#   cmake -Dtext=TEXT -Dasm=OUTPUT [-Dlog=LOG] [-Dviderav=PROGRAM]
#         [-Dfail_on_rejected=ON] [-Dfail_on_long_lines=ON] -P viderav-convert.cmake
#
# LOG is OUTPUT with the extension .log unless named; PROGRAM is the viderav
# installed beside this script, else the one on the PATH.  The console goes
# to LOG.  The build output gets, in the form compilers use
# (TEXT:LINE:COLUMN: warning: ...), which editors and IDEs jump to, each
# rejected character and each line whose record's length does not fit the
# record's length byte, at most 20 of each; or one line that says what
# failed.  A failed conversion, or one whose warnings an option makes errors,
# leaves no output behind and fails the build.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED text OR NOT DEFINED asm)
    message(FATAL_ERROR "usage: cmake -Dtext=TEXT -Dasm=OUTPUT [-Dlog=LOG] [-Dviderav=PROGRAM] "
                        "[-Dfail_on_rejected=ON] [-Dfail_on_long_lines=ON] -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
# Relative paths are the caller's, from its working directory; the lines
# name the text by its full path.
cmake_path(ABSOLUTE_PATH text BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
cmake_path(ABSOLUTE_PATH asm BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
if(NOT DEFINED log)
    cmake_path(REPLACE_EXTENSION asm LAST_ONLY .log OUTPUT_VARIABLE log)
endif()
if(NOT viderav)
    # An install puts this script in <prefix>/<libdir>/cmake/viderav.
    find_program(viderav viderav NO_CACHE
        HINTS "${CMAKE_CURRENT_LIST_DIR}/../../../bin" "${CMAKE_CURRENT_LIST_DIR}/../../../../bin")
    if(NOT viderav)
        message(NOTICE "viderav: ${text}: no viderav program found beside "
                       "${CMAKE_CURRENT_LIST_DIR} or on the PATH; name it with -Dviderav=PROGRAM")
        message(FATAL_ERROR "the conversion failed")
    endif()
endif()

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
    message(NOTICE "viderav: ${text}: ${what}; its messages (Shift_JIS) are in ${log}")
    message(FATAL_ERROR "the conversion failed")
endif()

# The console of a complete run is the banner, then one message of fixed
# length per rejected byte.
if(CMAKE_HOST_WIN32)
    set(banner 56)
    set(diagnostic 41)
else()
    set(banner 53)
    set(diagnostic 40)
endif()
file(SIZE "${log}" size)
math(EXPR rejected "(${size} - ${banner}) / ${diagnostic}")

set(limit 20)
set(kind_rejected warning)
if(fail_on_rejected)
    set(kind_rejected error)
endif()
set(kind_long warning)
if(fail_on_long_lines)
    set(kind_long error)
endif()

# Nothing rejected: the text holds only spaces, letters, digits, '!', '.'
# and line ends, which file(STRINGS) reads as they are; only a line of 256
# bytes or more sends it through the full look below.
set(long_lines 0)
if(rejected EQUAL 0)
    file(SIZE "${text}" text_size)
    if(text_size LESS 256)
        return()
    endif()
    file(STRINGS "${text}" long LENGTH_MINIMUM 256 LIMIT_COUNT 1)
    if(long STREQUAL "")
        return()
    endif()
endif()

# The full look: the text in hexadecimal, a chunk at a time, each byte one
# token "hh " so that no match can straddle two bytes, every CR LF folded
# into LF as viderav folds it, then split into lines.
set(chunk 65536)
set(token_rejected "(^| |;)([0189a-f][0-9a-f]|2[2-9a-df]|3[a-f]|40|5[b-f]|60|7[b-f]) ")
string(REPEAT "..." 256 token_256)
set(token_256 "^${token_256}")
set(line 1)          # the line the next byte is in
set(column 0)        # bytes of that line before the next byte
set(shown 0)         # rejected lines shown
set(shown_bytes 0)   # rejected bytes those lines covered
set(more_at "")      # where the first rejected byte not shown is
set(long_shown 0)
set(long_more_at "")
set(carry "")
set(names_00 "a zero byte")
set(names_09 "a tab")
set(names_0d "a carriage return without a line feed")
set(names_1b "an escape")
set(names_7f "a delete")

# One located line.  Those of the current line wait for its end, where a
# line too long is reported first, at its column 1.
set(pending 0)
macro(viderav_report at kind what)
    math(EXPR pending "${pending} + 1")
    set(pending_${pending} "${text}:${at}: ${kind}: ${what}")
endmacro()
macro(viderav_flush)
    if(pending GREATER 0)
        foreach(each RANGE 1 ${pending})
            message(NOTICE "${pending_${each}}")
        endforeach()
        set(pending 0)
    endif()
endmacro()

# The rejected bytes of `tokens`, a piece of the current line that starts
# at its byte `column`, up to the first one past the limit.
macro(viderav_rejected tokens)
    set(rest "${tokens}")
    set(base ${column})
    while(shown LESS_EQUAL limit)
        string(REGEX MATCH "${token_rejected}" found "${rest}")
        if(NOT found)
            break()
        endif()
        string(REGEX REPLACE "[ ;]" "" byte "${found}")
        string(FIND "${rest}" "${byte} " pos)
        math(EXPR at "${base} + ${pos} / 3 + 1")
        if(shown EQUAL limit)
            set(more_at "${line}:${at}")
            math(EXPR shown "${shown} + 1")
            break()
        endif()
        # A UTF-8 character is one line, whatever its length.
        string(SUBSTRING "${rest}" ${pos} 12 lead)
        set(bytes 1)
        if(lead MATCHES "^(c[2-9a-f]|d[0-9a-f]) [89ab][0-9a-f] ")
            set(bytes 2)
        elseif(lead MATCHES "^(e0 [ab][0-9a-f]|e[1-9a-cef] [89ab][0-9a-f]|ed [89][0-9a-f]) [89ab][0-9a-f] ")
            set(bytes 3)
        elseif(lead MATCHES "^(f0 [9ab][0-9a-f]|f[1-3] [89ab][0-9a-f]|f4 8[0-9a-f]) [89ab][0-9a-f] [89ab][0-9a-f] ")
            set(bytes 4)
        endif()
        if(bytes GREATER 1)
            math(EXPR end "${bytes} * 3 - 1")
            string(SUBSTRING "${lead}" 0 ${end} hex)
            string(REPLACE " " ";" values "${hex}")
            list(POP_FRONT values value)
            math(EXPR point "0x${value} & (0x7F >> ${bytes})")
            math(EXPR value "0x${value}")
            string(ASCII ${value} char)
            foreach(value IN LISTS values)
                math(EXPR point "(${point} << 6) | (0x${value} & 0x3F)")
                math(EXPR value "0x${value}")
                string(ASCII ${value} piece)
                string(APPEND char "${piece}")
            endforeach()
            math(EXPR point "${point}" OUTPUT_FORMAT HEXADECIMAL)
            string(SUBSTRING "${point}" 2 -1 point)
            string(TOUPPER "${point}" point)
            string(LENGTH "${point}" digits)
            if(digits LESS 4)
                math(EXPR pad "4 - ${digits}")
                string(REPEAT "0" ${pad} zeros)
                set(point "${zeros}${point}")
            endif()
            string(TOUPPER "${hex}" hex)
            viderav_report("${line}:${at}" ${kind_rejected}
                "rejected character '${char}' (U+${point}: bytes ${hex}), written as ${bytes} codes 0 (blank glyphs)")
        else()
            string(TOUPPER "${byte}" upper)
            math(EXPR value "0x${byte}")
            if(value GREATER 32 AND value LESS 127)
                string(ASCII ${value} char)
                viderav_report("${line}:${at}" ${kind_rejected}
                    "rejected character '${char}' (0x${upper}), written as code 0 (a blank glyph)")
            elseif(DEFINED names_${byte})
                viderav_report("${line}:${at}" ${kind_rejected}
                    "rejected byte 0x${upper} (${names_${byte}}), written as code 0 (a blank glyph)")
            else()
                viderav_report("${line}:${at}" ${kind_rejected}
                    "rejected byte 0x${upper}, written as code 0 (a blank glyph)")
            endif()
        endif()
        math(EXPR shown "${shown} + 1")
        math(EXPR shown_bytes "${shown_bytes} + ${bytes}")
        math(EXPR skip "${pos} + ${bytes} * 3")
        string(SUBSTRING "${rest}" ${skip} -1 rest)
        math(EXPR base "${base} + ${pos} / 3 + ${bytes}")
    endwhile()
endmacro()

# The end of the current line, `length` bytes long.
macro(viderav_line_end length)
    if(${length} GREATER 255)
        math(EXPR long_lines "${long_lines} + 1")
        if(long_shown LESS limit)
            math(EXPR low "${length} & 255")
            if(${length} LESS_EQUAL 1023)
                set(what "a line of ${length} bytes; its record's length byte holds ${low}")
            else()
                math(EXPR records "(${length} + 1022) / 1023")
                string(CONCAT what "a line of ${length} bytes, split into ${records} records of "
                                   "at most 1023 bytes; the first one's length byte holds 255")
            endif()
            message(NOTICE "${text}:${line}:1: ${kind_long}: ${what} once assembled "
                           "(records of at most 255 bytes assemble exactly)")
            math(EXPR long_shown "${long_shown} + 1")
        elseif(long_more_at STREQUAL "")
            set(long_more_at "${line}")
        endif()
    endif()
    viderav_flush()
    math(EXPR line "${line} + 1")
    set(column 0)
endmacro()

file(SIZE "${text}" text_size)
set(offset 0)
while(offset LESS text_size)
    file(READ "${text}" hex OFFSET ${offset} LIMIT ${chunk} HEX)
    math(EXPR offset "${offset} + ${chunk}")
    string(REGEX REPLACE "(..)" "\\1 " tokens "${hex}")
    if(offset EQUAL chunk AND tokens MATCHES "^ef bb bf ")
        viderav_report("1:1" ${kind_rejected}
            "the text begins with a UTF-8 byte-order mark (EF BB BF), 3 rejected bytes; save the text without one")
        string(SUBSTRING "${tokens}" 9 -1 tokens)
        set(column 3)
        set(shown 1)
        set(shown_bytes 3)
    endif()
    set(tokens "${carry}${tokens}")
    set(carry "")
    if(CMAKE_HOST_WIN32)
        # The Windows program's text ends at a 0x1A byte.
        string(FIND "${tokens}" "1a " end)
        if(end GREATER_EQUAL 0)
            string(SUBSTRING "${tokens}" 0 ${end} tokens)
            set(offset ${text_size})
        endif()
    endif()
    string(REPLACE "0d 0a " "0a " tokens "${tokens}")
    # Each line keeps its LF, without the space: never an empty element,
    # never a match for a rejected byte.
    string(REPLACE "0a " "0a;" lines "${tokens}")
    set(look_rejected NO)
    if(shown LESS_EQUAL limit AND lines MATCHES "${token_rejected}")
        set(look_rejected YES)
    endif()
    list(LENGTH lines count)
    math(EXPR last "${count} - 1")
    list(GET lines ${last} partial)
    list(REMOVE_AT lines ${last})
    if(offset LESS text_size)
        # A line that goes on in the next chunk, and a CR whose LF may.
        string(LENGTH "${partial}" size)
        if(size GREATER 12)
            math(EXPR keep "${size} - 12")
            string(SUBSTRING "${partial}" ${keep} -1 carry)
            string(SUBSTRING "${partial}" 0 ${keep} partial)
        else()
            set(carry "${partial}")
            set(partial "")
        endif()
    endif()
    # A line begun in an earlier chunk ends in this one, or goes on.
    if(column GREATER 0 AND NOT lines STREQUAL "")
        list(POP_FRONT lines first)
        if(look_rejected)
            viderav_rejected("${first}")
        endif()
        string(LENGTH "${first}" size)
        math(EXPR length "${column} + (${size} + 1) / 3 - 1")
        viderav_line_end(${length})
    endif()
    # Only a chunk with something to report is gone through line by line.
    set(look_long NO)
    if(NOT lines STREQUAL "")
        set(long "${lines}")
        list(FILTER long INCLUDE REGEX "${token_256}")
        if(NOT long STREQUAL "")
            set(look_long YES)
        endif()
    endif()
    if(look_rejected OR look_long)
        foreach(each IN LISTS lines)
            if(look_rejected)
                viderav_rejected("${each}")
            endif()
            string(LENGTH "${each}" size)
            if(size GREATER 767 OR pending GREATER 0)
                math(EXPR length "(${size} + 1) / 3 - 1")
                viderav_line_end(${length})
            else()
                math(EXPR line "${line} + 1")
            endif()
        endforeach()
    else()
        list(LENGTH lines count)
        math(EXPR line "${line} + ${count}")
    endif()
    # The part of the last line seen so far.
    if(look_rejected)
        viderav_rejected("${partial}")
    endif()
    string(LENGTH "${partial}" size)
    math(EXPR column "${column} + ${size} / 3")
endwhile()
# A last line without a newline: the last chunk carries nothing over.
if(column GREATER 0)
    viderav_line_end(${column})
endif()

viderav_flush()
if(NOT more_at STREQUAL "")
    math(EXPR more "${rejected} - ${shown_bytes}")
    viderav_report("${more_at}" ${kind_rejected}
        "${more} more rejected bytes from here on are not shown; ${log} lists every one")
endif()
if(NOT long_more_at STREQUAL "")
    math(EXPR more "${long_lines} - ${long_shown}")
    viderav_report("${long_more_at}:1" ${kind_long}
        "${more} more lines of over 255 bytes from here on are not shown")
endif()
viderav_flush()

if((fail_on_rejected AND rejected GREATER 0) OR (fail_on_long_lines AND long_lines GREATER 0))
    file(REMOVE "${asm}")
    message(FATAL_ERROR "the conversion failed; see the lines above")
endif()
