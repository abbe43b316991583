# viderav as part of a cross build (add_subdirectory, FetchContent): the
# build compiles for another machine, but viderav runs on this one while the
# texts are converted.  It is configured for the build machine, with a
# compiler for it, when the project is configured, and built by every build
# (the target viderav_host), so that a change to its sources rebuilds it and
# reconverts every text.  It is imported as viderav::viderav and
# viderav::viderav-build.
set(VIDERAV_HOST_CXX "" CACHE FILEPATH
    "C++ compiler for the build machine, for viderav in a cross build (empty: look for one)")
set(host_cxx "${VIDERAV_HOST_CXX}")
if(NOT host_cxx)
    find_program(VIDERAV_HOST_CXX_FOUND NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH)
    set(host_cxx "${VIDERAV_HOST_CXX_FOUND}")
endif()
if(NOT host_cxx)
    message(FATAL_ERROR
        " viderav: this build compiles for ${CMAKE_SYSTEM_NAME}, but viderav runs on the build "
        "machine while the texts are converted, and no C++ compiler for the build machine was "
        "found (c++, g++, clang++).  Install one (Debian: g++), name it with "
        "-DVIDERAV_HOST_CXX=<path>, or install viderav and use find_package(viderav).")
endif()

set(host_dir ${CMAKE_CURRENT_BINARY_DIR}/host)
set(host_log ${CMAKE_CURRENT_BINARY_DIR}/host-build.log)
# One place for the program, whatever the generator: a multi-config one
# puts nothing in a folder of the configuration's name.
set(host_program ${host_dir}/bin/viderav${CMAKE_HOST_EXECUTABLE_SUFFIX})
set(host_build_program ${host_dir}/bin/viderav-build${CMAKE_HOST_EXECUTABLE_SUFFIX})

# A host build configured with another compiler or generator, or whose
# configure failed, starts afresh: its cache would keep the old choices.
set(host_settings "${host_cxx}\n${CMAKE_GENERATOR}\n${CMAKE_MAKE_PROGRAM}\n")
set(host_record ${host_dir}/viderav-host-settings.txt)
set(recorded "")
if(EXISTS ${host_record})
    file(READ ${host_record} recorded)
endif()
if(NOT recorded STREQUAL host_settings)
    file(REMOVE_RECURSE ${host_dir})
endif()

message(STATUS "viderav: configuring it for the build machine with ${host_cxx}")
set(make_program)
if(CMAKE_MAKE_PROGRAM)
    set(make_program -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM})
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=CMAKE_TOOLCHAIN_FILE --unset=CXX --unset=CXXFLAGS
            --unset=LDFLAGS
            ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_SOURCE_DIR} -B ${host_dir} -G ${CMAKE_GENERATOR}
            ${make_program} -DCMAKE_CXX_COMPILER=${host_cxx} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_CONFIGURATION_TYPES=Release -DCMAKE_RUNTIME_OUTPUT_DIRECTORY_RELEASE=${host_dir}/bin
            -DBUILD_TESTING=OFF -DVIDERAV_LSP=OFF
    OUTPUT_FILE ${host_log} ERROR_FILE ${host_log} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE ${host_record})
    message(FATAL_ERROR " viderav: configuring it for the build machine with ${host_cxx} failed "
                        "(${status}); see ${host_log}")
endif()
file(WRITE ${host_record} "${host_settings}")

add_custom_target(viderav_host
    COMMAND ${CMAKE_COMMAND} --build ${host_dir} --config Release --target viderav viderav-build
    BYPRODUCTS ${host_program} ${host_build_program}
    COMMENT "Building viderav for the build machine"
    VERBATIM)
add_executable(viderav::viderav IMPORTED GLOBAL)
set_target_properties(viderav::viderav PROPERTIES IMPORTED_LOCATION ${host_program})
add_executable(viderav::viderav-build IMPORTED GLOBAL)
set_target_properties(viderav::viderav-build PROPERTIES IMPORTED_LOCATION ${host_build_program})
