# The driver's version has one source: vDriverVersion in
# include/build_constants.h (major in the top nibble of the high byte, minor
# in its low nibble, build in the low byte). This reads it into
# VT_VERSION_MAJOR, _MINOR, _BUILD and VT_VERSION ("4.1.13") for the version
# resources and the INF, and stops the build when project()'s VERSION says
# otherwise.
file(STRINGS ${CMAKE_SOURCE_DIR}/include/build_constants.h VT_VERSION_LINE
     REGEX "^constexpr uint32_t vDriverVersion = 0x[0-9A-Fa-f]+")
if(NOT VT_VERSION_LINE MATCHES "= (0x[0-9A-Fa-f]+)")
    message(FATAL_ERROR "no vDriverVersion = 0x...; in include/build_constants.h")
endif()
math(EXPR VT_VERSION_MAJOR "(${CMAKE_MATCH_1} >> 12) & 0xF")
math(EXPR VT_VERSION_MINOR "(${CMAKE_MATCH_1} >> 8) & 0xF")
math(EXPR VT_VERSION_BUILD "${CMAKE_MATCH_1} & 0xFF")
set(VT_VERSION ${VT_VERSION_MAJOR}.${VT_VERSION_MINOR}.${VT_VERSION_BUILD})
if(NOT VT_VERSION VERSION_EQUAL PROJECT_VERSION)
    message(FATAL_ERROR "vDriverVersion in include/build_constants.h is ${VT_VERSION}, "
                        "project(VERSION) in CMakeLists.txt is ${PROJECT_VERSION}: make them agree")
endif()
