// The command's version: the driver's, the build's and the platform.
#include "tools/version.h"

#include "include/build_constants.h"
#include "tools/build_id.h"  // written at build time into the build tree

namespace tools {
namespace {

#if defined(_WIN32) && defined(_WIN64)
const char kPlatform[] = "Windows x86_64";
#elif defined(_WIN32)
const char kPlatform[] = "Windows i686";
#elif defined(__x86_64__)
const char kPlatform[] = "Linux x86_64";
#elif defined(__aarch64__)
const char kPlatform[] = "Linux aarch64";
#else
const char kPlatform[] = "Linux";
#endif

}  // namespace

std::string DriverVersionText() {
    return std::to_string(vDriverVersion >> 12) + "." +
           std::to_string((vDriverVersion >> 8) & 0xF) + "." +
           std::to_string(vDriverVersion & 0xFF);
}

std::string VersionReport() {
    return "veltrane " + DriverVersionText() + " (Veltrane MIDI driver " + DriverVersionText() +
           ")\nbuild " + VT_BUILD_ID + ", " + kPlatform + "\n";
}

}  // namespace tools
