// The version the command reports (version.cpp): the driver's, from
// vDriverVersion, and the build's.
#pragma once

#include <string>

namespace tools {

// "4.1.13": major in the top nibble of vDriverVersion's high byte, minor in
// its low nibble, build in the low byte.
std::string DriverVersionText();
// What `veltrane --version` prints: the driver's version, the build (git
// describe of the source) and the platform, two lines.
std::string VersionReport();

}  // namespace tools
