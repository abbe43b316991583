# Packs the VS Code extension: cmake -DSOURCE=editors/vscode -DSTAGE=dir
# -DTOOLS=dir -DLICENSE=file -DOUT=file.vsix -P vsix.cmake.  Its one
# dependency comes from the npm registry as the lock file pins it; vsce,
# which packs it, is installed once into TOOLS.  Where the registry cannot
# be had, it says so and the build goes on without the extension.
foreach(var IN ITEMS SOURCE STAGE TOOLS LICENSE OUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "vsix.cmake: ${var} is not set")
    endif()
endforeach()

set(ok TRUE)
macro(step what)
    if(ok)
        execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                        ERROR_VARIABLE out WORKING_DIRECTORY ${STAGE})
        if(NOT status EQUAL 0)
            message(WARNING "The VS Code extension is not packed: ${what} failed (${status}):\n"
                            "${out}")
            set(ok FALSE)
            file(REMOVE ${OUT})
        endif()
    endif()
endmacro()

file(REMOVE_RECURSE ${STAGE})
file(COPY ${SOURCE}/ DESTINATION ${STAGE})
file(COPY ${LICENSE} DESTINATION ${STAGE})
step("npm ci" npm ci --omit=dev --no-audit --no-fund)
if(NOT EXISTS ${TOOLS}/node_modules/.bin/vsce)
    step("installing vsce" npm install --prefix ${TOOLS} @vscode/vsce@3.9.2 --no-audit --no-fund)
endif()
step("vsce package" ${TOOLS}/node_modules/.bin/vsce package --out ${OUT})
