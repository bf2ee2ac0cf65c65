// Reading and writing whole files, with the reason of any failure.
#include "tools/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tools {
namespace {

bool Fail(const char* verb, const std::string& path, const std::string& reason,
          std::string* error) {
    *error = std::string("cannot ") + verb + " " + path + ": " + reason;
    return false;
}

}  // namespace

bool ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* bytes,
                   std::string* error) {
    namespace fs = std::filesystem;
    bytes->clear();
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec) return Fail("read", path, ec.message(), error);
    if (fs::is_directory(st)) return Fail("read", path, "it is a directory", error);
    // A device or a pipe may never end (/dev/zero): only files have a size.
    if (!fs::is_regular_file(st))
        return Fail("read", path, "it is not a regular file (a device, a pipe or a socket)", error);
    std::string tooBig =
        "it holds more than the " + std::to_string(maxBytes) + " bytes this command takes";
    uintmax_t size = fs::file_size(path, ec);
    if (ec) return Fail("read", path, ec.message(), error);
    if (size > maxBytes) return Fail("read", path, tooBig, error);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Fail("read", path, std::strerror(errno), error);
    // No more than the bound, even when the file grew since it was measured.
    bytes->resize(static_cast<size_t>(size) + 1);
    size_t got = std::fread(bytes->data(), 1, bytes->size(), f);
    bool failed = std::ferror(f) != 0;
    int why = errno;
    std::fclose(f);
    if (failed) return Fail("read", path, std::strerror(why), error);
    if (got > maxBytes) return Fail("read", path, tooBig, error);
    bytes->resize(got);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Fail("write", path, std::strerror(errno), error);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int why = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (!ok) return Fail("write", path, std::strerror(why), error);
    return true;
}

}  // namespace tools
