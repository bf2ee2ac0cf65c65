# The build's identity for `veltrane --version`: git describe of the source
# tree (commit, and -dirty for changes not committed), or "unknown" outside a
# git checkout. Included, it defines vt_build_id(target); run as a script
# (cmake -DSOURCE=... -DOUTPUT=... -P build_id.cmake) at every build, it
# rewrites OUTPUT only when the identity changed, so that only the files that
# include it are built again.
if(CMAKE_SCRIPT_MODE_FILE)
    cmake_minimum_required(VERSION 3.25)
    execute_process(COMMAND git -C "${SOURCE}" describe --always --dirty --abbrev=12
                    OUTPUT_VARIABLE VT_BUILD_ID OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
    if(NOT rc EQUAL 0 OR VT_BUILD_ID STREQUAL "")
        set(VT_BUILD_ID unknown)
    endif()
    file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "// Written at build time by cmake/build_id.cmake.
#define VT_BUILD_ID \"@VT_BUILD_ID@\"
" @ONLY)
    return()
endif()

# vt_build_id(target): target's sources may include "tools/build_id.h"
# (VT_BUILD_ID), which is written into the build tree.
function(vt_build_id target)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/build_id/tools/build_id.h)
    add_custom_target(${target}_build_id
        COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR} -DOUTPUT=${out}
                -P ${CMAKE_SOURCE_DIR}/cmake/build_id.cmake
        BYPRODUCTS ${out}
        COMMENT "" VERBATIM)
    add_dependencies(${target} ${target}_build_id)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/build_id)
endfunction()
