# viderav as part of a cross build (add_subdirectory, FetchContent): the
# build compiles for another machine, but viderav runs on this one while the
# texts are converted.  It is built here for the build machine, with a
# compiler for it, when the project is configured, and imported as
# viderav::viderav, so that viderav_convert runs a program that can run.
set(VIDERAV_HOST_CXX "" CACHE FILEPATH
    "C++ compiler for the build machine, for viderav in a cross build (empty: look for one)")
set(host_cxx "${VIDERAV_HOST_CXX}")
if(NOT host_cxx)
    find_program(VIDERAV_HOST_CXX_FOUND NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH)
    set(host_cxx "${VIDERAV_HOST_CXX_FOUND}")
endif()
if(NOT host_cxx)
    message(FATAL_ERROR
        "viderav: this build compiles for ${CMAKE_SYSTEM_NAME}, but viderav runs on the build "
        "machine while the texts are converted, and no C++ compiler for the build machine was "
        "found (c++, g++, clang++).  Install one (Debian: g++), name it with "
        "-DVIDERAV_HOST_CXX=<path>, or install viderav and use find_package(viderav).")
endif()

set(host_dir ${CMAKE_CURRENT_BINARY_DIR}/host)
set(host_log ${CMAKE_CURRENT_BINARY_DIR}/host-build.log)
message(STATUS "viderav: building it for the build machine with ${host_cxx}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=CMAKE_TOOLCHAIN_FILE --unset=CXX --unset=CXXFLAGS
            ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_SOURCE_DIR} -B ${host_dir}
            -G ${CMAKE_GENERATOR} -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
            -DCMAKE_CXX_COMPILER=${host_cxx} -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    OUTPUT_FILE ${host_log} ERROR_FILE ${host_log} RESULT_VARIABLE status)
if(status EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${host_dir} --target viderav
        OUTPUT_FILE ${host_log}.build ERROR_FILE ${host_log}.build RESULT_VARIABLE status)
    file(READ ${host_log}.build build_log)
    file(APPEND ${host_log} "${build_log}")
endif()
set(host_program ${host_dir}/viderav${CMAKE_HOST_EXECUTABLE_SUFFIX})
if(NOT status EQUAL 0 OR NOT EXISTS ${host_program})
    message(FATAL_ERROR "viderav: building it for the build machine with ${host_cxx} failed "
                        "(${status}); see ${host_log}")
endif()
add_executable(viderav::viderav IMPORTED GLOBAL)
set_target_properties(viderav::viderav PROPERTIES IMPORTED_LOCATION ${host_program})
