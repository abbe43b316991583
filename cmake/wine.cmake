# Runs the cross-built Windows programs under Wine, on any Linux host, with
# Debian's packages only.  Writes ${CMAKE_BINARY_DIR}/wine/run, which runs a
# Windows program in this build's own Wine prefix (${CMAKE_BINARY_DIR}/wine/
# prefix), and makes it the cross-compiling emulator.
#
# The route depends on the program and the host:
#   64-bit program:  /usr/lib/wine/wine64, with WINELOADER pointing at it, for
#                    Debian's /usr/bin/wine picks the 32-bit loader whenever
#                    wine32:i386 is installed.
#   32-bit program, a kernel that runs 32-bit code:  Wine's 32-bit loader.
#   32-bit program, a kernel that runs none ("Exec format error"):  the same
#                    loader started by Wine's static preloader under
#                    qemu-i386-static.  The preloader comes from Debian's
#                    wine32-preloader:i386, downloaded (apt-get download) and
#                    unpacked into the build, never installed.
#   A 64-bit program's 32-bit children (those a 64-bit cmake.exe starts)
#                    take the 32-bit program's route.
# VIDERAV_WINE_ROUTE (or the variable of that name in the environment of the
# first configure) picks the 32-bit route: "auto" (the default) as above,
# "native" or "qemu" whatever the kernel runs, so that a host that runs
# 32-bit code can test the emulated route too.  On the qemu route the tests
# run a case again when the emulator or Wine, not the program, failed
# (tests/emulator_faults.py).
# A route that cannot be taken stops the configure step with what to install:
# a Windows build's tests never silently skip.
#
# viderav_wine_fixture() adds the tests that make or check the prefix and
# keep one Wine server up for all tests (wine_prefix), and stop it at the end
# (wine_server_stop); every test that runs a Windows program requires it.

set(wine_dir ${CMAKE_BINARY_DIR}/wine)
set(VIDERAV_WINE_PREFIX ${wine_dir}/prefix)
set(VIDERAV_WINE_RUN ${wine_dir}/run)
# No crash debugger (under qemu some of Wine's own services crash while a
# prefix is made, and the debugger would wait, holding whatever pipes it
# inherited), no desktop menus, no offer to install .NET or a browser engine.
set(wine_exports "WINEDEBUG=\${WINEDEBUG--all} WINEDLLOVERRIDES='winedbg.exe,winemenubuilder.exe,mscoree,mshtml=d'")
file(MAKE_DIRECTORY ${wine_dir})

# The route of 32-bit programs: the 32-bit build's own, and the 64-bit
# build's children (the 32-bit programs a 64-bit cmake.exe starts).
set(loader32 /usr/lib/wine/wine)
set(route_default auto)
if(DEFINED ENV{VIDERAV_WINE_ROUTE})
    set(route_default "$ENV{VIDERAV_WINE_ROUTE}")
endif()
set(VIDERAV_WINE_ROUTE "${route_default}" CACHE STRING
    "How Windows tests start Wine's 32-bit loader: auto, native or qemu")
set_property(CACHE VIDERAV_WINE_ROUTE PROPERTY STRINGS auto native qemu)
if(NOT VIDERAV_WINE_ROUTE MATCHES "^(auto|native|qemu)$")
    message(FATAL_ERROR "VIDERAV_WINE_ROUTE is '${VIDERAV_WINE_ROUTE}': "
                        "it takes auto, native or qemu.")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT EXISTS ${loader32})
    message(FATAL_ERROR "The 32-bit Windows tests need Wine's 32-bit loader ${loader32}: "
                        "run 'dpkg --add-architecture i386 && apt-get update' and install "
                        "Debian's wine and wine32:i386 packages.")
endif()
# A kernel without 32-bit support refuses the loader with ENOEXEC, which
# the shell reports as status 126.  Asking for the version starts nothing
# else.
set(status 1)
set(qemu32 OFF)
if(EXISTS ${loader32})
    if(NOT VIDERAV_WINE_ROUTE STREQUAL "qemu")
        execute_process(COMMAND ${loader32} --version RESULT_VARIABLE status
            OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
    endif()
    if(NOT status EQUAL 0 AND VIDERAV_WINE_ROUTE STREQUAL "native")
        message(FATAL_ERROR "VIDERAV_WINE_ROUTE is native, but this host's kernel cannot run "
                            "Wine's 32-bit loader (${loader32} --version: ${status}).")
    endif()
    if(NOT status EQUAL 0)
        set(qemu32 ON)
    endif()
endif()

if(qemu32)
    find_program(QEMU_I386 qemu-i386-static)
    if(NOT QEMU_I386)
        message(FATAL_ERROR "Windows tests run Wine's 32-bit loader under qemu-i386-static "
                            "here (route ${VIDERAV_WINE_ROUTE}, ${loader32} --version: "
                            "${status}): install Debian's qemu-user-static.")
    endif()
    # The preloader matching the installed loader, unpacked into the build.
    set(root ${wine_dir}/i386)
    set(preloader ${root}/usr/lib/wine/wine-preloader.static)
    if(NOT EXISTS ${preloader})
        execute_process(COMMAND dpkg-query -W -f=\${Version} wine32:i386
            OUTPUT_VARIABLE wine_version RESULT_VARIABLE status ERROR_QUIET)
        set(VIDERAV_WINE_PRELOADER_DEB "" CACHE FILEPATH
            "Debian's wine32-preloader:i386 package (empty: apt-get download it)")
        set(deb "${VIDERAV_WINE_PRELOADER_DEB}")
        if(NOT deb)
            execute_process(COMMAND apt-get download wine32-preloader:i386=${wine_version}
                WORKING_DIRECTORY ${wine_dir} RESULT_VARIABLE status
                OUTPUT_VARIABLE apt_out ERROR_VARIABLE apt_out TIMEOUT 300)
            file(GLOB deb ${wine_dir}/wine32-preloader_*_i386.deb)
        endif()
        if(deb)
            execute_process(COMMAND dpkg-deb -x ${deb} ${root} RESULT_VARIABLE status)
        endif()
        if(NOT EXISTS ${preloader})
            message(FATAL_ERROR "Windows tests run Wine's 32-bit loader under qemu-i386-static "
                "here, through Wine's static preloader, which could not be fetched (apt-get "
                "download wine32-preloader:i386=${wine_version}: ${apt_out}).  Run 'apt-get "
                "update', or download that package and pass its path as "
                "-DVIDERAV_WINE_PRELOADER_DEB=<file>.")
        endif()
    endif()
    # Wine starts a further process through the "wine-preloader" beside
    # the running program, and through "wine" there when that exec fails.
    # A kernel that runs 32-bit code would run the preloader natively and
    # hand it the script below for the loader: without the link, every
    # process takes the script, as on a kernel without 32-bit support.
    file(REMOVE ${root}/usr/lib/wine/wine-preloader)
    # The loader finds its libraries and data relative to the running
    # program, which under qemu is the preloader.
    file(CREATE_LINK /usr/lib/i386-linux-gnu ${root}/usr/lib/i386-linux-gnu SYMBOLIC)
    file(MAKE_DIRECTORY ${root}/usr/share)
    file(CREATE_LINK /usr/share/wine ${root}/usr/share/wine SYMBOLIC)
    # Wine starts every further 32-bit process as "wine" beside the
    # running program; without WINELOADERNOEXEC the loader would re-exec
    # itself through the kernel, which cannot run it.
    set(qemu_wine "${root}/usr/lib/wine/wine")
    file(CONFIGURE OUTPUT ${qemu_wine} @ONLY CONTENT [=[
#!/bin/sh
# Wine's 32-bit loader under qemu: the route for a kernel that runs no 32-bit code.
WINELOADERNOEXEC=1 exec '@QEMU_I386@' '@preloader@' '@loader32@' "$@"
]=])
    file(CHMOD ${qemu_wine} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(loader /usr/lib/wine/wine64)
    if(NOT EXISTS ${loader})
        message(FATAL_ERROR "The 64-bit Windows tests need Wine's 64-bit loader ${loader}: "
                            "install Debian's wine and wine64 packages.")
    endif()
    set(wine_route "wine64")
    if(qemu32)
        # A 64-bit program's 32-bit children start as "wine" beside the
        # running 64-bit loader, as the system resolves its path: a copy of
        # the loader beside the script above, finding its libraries and
        # server as the original does.
        file(COPY ${loader} DESTINATION ${root}/usr/lib/wine)
        file(CREATE_LINK /usr/lib/x86_64-linux-gnu ${root}/usr/lib/x86_64-linux-gnu SYMBOLIC)
        file(CREATE_LINK /usr/lib/wine/wineserver ${root}/usr/lib/wine/wineserver SYMBOLIC)
        set(loader ${root}/usr/lib/wine/wine64)
        set(wine_route "wine64, its 32-bit children under qemu-i386-static")
    endif()
    set(wine_command "${loader}")
    string(APPEND wine_exports " WINEARCH=win64 WINELOADER=${loader}")
else()
    string(APPEND wine_exports " WINEARCH=win32")
    if(qemu32)
        set(wine_command "${qemu_wine}")
        set(wine_route "the 32-bit loader under qemu-i386-static")
        set(VIDERAV_WINE_EMULATED ON)
    else()
        set(wine_command "${loader32}")
        set(wine_route "the native 32-bit loader")
    endif()
endif()

file(CONFIGURE OUTPUT ${VIDERAV_WINE_RUN} @ONLY CONTENT [=[
#!/bin/sh
# Runs a Windows program under Wine (@wine_route@) in this build's own prefix.
export WINEPREFIX='@VIDERAV_WINE_PREFIX@' @wine_exports@
exec '@wine_command@' "$@"
]=])
file(CHMOD ${VIDERAV_WINE_RUN} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VIDERAV_WINE_RUN})
message(STATUS "Windows programs run under Wine: ${wine_route}")

function(viderav_wine_fixture)
    set(session ${PROJECT_SOURCE_DIR}/tests/wine_session.sh)
    add_test(NAME wine_prefix COMMAND sh ${session} start ${VIDERAV_WINE_RUN})
    add_test(NAME wine_server_stop COMMAND sh ${session} stop ${VIDERAV_WINE_RUN})
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 400)
    set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endfunction()
