# Run by viderav_identity in every build (cmake -P):
#
#   -Dprogram=PROGRAM -Didentity=FILE
#
# Rewrites FILE only when the program (viderav-build) is not, by content,
# the one it last recorded.  The conversions depend on FILE: a rebuilt or
# reinstalled viderav re-runs them all, whatever its files' times, and the
# same viderav re-runs none.
file(SHA256 "${program}" program_hash)
set(now "${program_hash}\n")
if(EXISTS "${identity}")
    file(READ "${identity}" before)
    if(before STREQUAL now)
        return()
    endif()
endif()
file(WRITE "${identity}" "${now}")
