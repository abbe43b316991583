# Cross-compiles the game for a Z80 with SDCC.  As toolchain files often
# do, packages are looked for only under the target's root: a host-installed
# viderav is then named with -Dviderav_DIR=<prefix>/lib/cmake/viderav.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR z80)

set(CMAKE_C_COMPILER sdcc)
set(CMAKE_C_FLAGS_INIT "-mz80")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mz80")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
