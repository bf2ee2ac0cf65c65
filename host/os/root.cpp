// The object root and the safe file names of named objects under it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/os/devwire.h"
#include "host/os/internal.h"

namespace vthost {
namespace {

// mkdir -p with mode 0700 for every directory it makes.
bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    return false;
}

// Read once, on first use (never during static initialisation, so a test's
// main can still choose the root), and never freed: threads that run while
// the process exits may still need it.
const std::string& RootPath() {
    static std::once_flag once;
    static std::string* root;
    std::call_once(once, [] {
        root = new std::string(devwire::Root());
        MakeDirs(*root);
    });
    return *root;
}

}  // namespace

const std::string& ObjectDir() {
    static std::once_flag once;
    static std::string* dir;
    std::call_once(once, [] {
        dir = new std::string(RootPath() + "/obj");
        if (!MakeDirs(*dir)) dir->clear();
    });
    return *dir;
}

std::string SafeFileName(const std::string& prefix, const std::u16string& name) {
    // Letters, digits, '-' and '_' stay; everything else (including '/', '.'
    // and anything beyond ASCII) becomes "+XXXX", so distinct names stay
    // distinct and no name leaves the directory.
    std::string out = prefix;
    for (char16_t c : name) {
        bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                     (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "+%04X", static_cast<unsigned>(c));
            out += b;
        }
    }
    // File names are limited to 255 bytes: keep a long name's head and stand
    // for the rest with a hash of the whole name.
    if (out.size() > 200) {
        uint64_t hash = 1469598103934665603ull;
        for (char16_t c : name)
            hash = (hash ^ c) * 1099511628211ull;
        char b[24];
        std::snprintf(b, sizeof b, "~%016llx", static_cast<unsigned long long>(hash));
        out = out.substr(0, 180) + b;
    }
    return out;
}

}  // namespace vthost

extern "C" const char* VtHostRoot(void) {
    return vthost::RootPath().c_str();
}
