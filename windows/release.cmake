# What the Windows files carry besides code: the version resource of the DLL
# and of veltrane.exe, and the INF for installing through Plug and Play. Both
# take the version from vDriverVersion (cmake/driver_version.cmake).
enable_language(RC)

file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/version_info.h CONTENT
"// Written by CMake from vDriverVersion in include/build_constants.h.
#define VT_VERSION_MAJOR ${VT_VERSION_MAJOR}
#define VT_VERSION_MINOR ${VT_VERSION_MINOR}
#define VT_VERSION_BUILD ${VT_VERSION_BUILD}
#define VT_VERSION_TEXT \"${VT_VERSION}\"
")

# vt_version_resource(target [COMMAND]): the DLL's resource, or with COMMAND
# the command's.
function(vt_version_resource target)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/version.rc)
    target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${CMAKE_CURRENT_BINARY_DIR}>)
    if(ARGN STREQUAL "COMMAND")
        target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:VT_RC_COMMAND>)
    endif()
endfunction()

# The INF beside the DLLs; its DriverVer date is the day of the build
# (SOURCE_DATE_EPOCH, when set, makes it reproducible).
string(TIMESTAMP VT_INF_DATE "%m/%d/%Y")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/veltrane.inf.in ${CMAKE_CURRENT_BINARY_DIR}/veltrane.inf
               @ONLY NEWLINE_STYLE CRLF)
