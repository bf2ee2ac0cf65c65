// Walking a subcommand's arguments.
#include "tools/options.h"

#include <cstdio>

#include "tools/args.h"

namespace tools {

bool OptionWalker::Next() {
    if (failed_ || ++i_ >= argc_) return false;
    arg_ = argv_[i_];
    return true;
}

bool OptionWalker::Flag(const char* shortName, const char* longName) const {
    return (*shortName && arg_ == shortName) || arg_ == longName;
}

bool OptionWalker::Value(const char* shortName, const char* longName, std::string* value) {
    if (!Flag(shortName, longName) || i_ + 1 >= argc_) return false;
    *value = argv_[++i_];
    return true;
}

bool OptionWalker::Seconds(const char* shortName, const char* longName, double* seconds) {
    std::string text;
    if (!Value(shortName, longName, &text)) return false;
    if (!ParseSeconds(text, seconds)) Fail(std::string(longName) + " takes seconds (0.5, 2, ...)");
    return true;
}

bool OptionWalker::Count(const char* shortName, const char* longName, unsigned most,
                         unsigned* count) {
    std::string text;
    if (!Value(shortName, longName, &text)) return false;
    if (!ParseCount(text, count) || *count > most)
        Fail(std::string(longName) + " takes 1 to " + std::to_string(most));
    return true;
}

void OptionWalker::Operand(std::string* value) {
    if (arg_.empty() || arg_[0] == '-' || !value->empty()) {
        Unexpected();
    } else {
        *value = arg_;
    }
}

void OptionWalker::Fail(const std::string& why) {
    std::fprintf(stderr, "veltrane %s: %s\n", command_.c_str(), why.c_str());
    failed_ = true;
}

}  // namespace tools
