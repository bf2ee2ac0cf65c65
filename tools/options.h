// A subcommand's arguments walked one by one (options.cpp): options by their
// short and long names, an option's value in the next argument, and usage
// errors said once, the same way by every subcommand. Plain C++, no winmm.
#pragma once

#include <string>

namespace tools {

class OptionWalker {
  public:
    OptionWalker(const char* command, int argc, char** argv)
        : command_(command), argc_(argc), argv_(argv) {}

    // Moves to the next argument; false after the last or after a usage error.
    bool Next();
    const std::string& arg() const { return arg_; }
    bool Help() const { return arg_ == "--help" || arg_ == "-h"; }
    // The current argument is the option (shortName may be "").
    bool Flag(const char* shortName, const char* longName) const;
    // The current argument is the option and a value follows: takes it.
    bool Value(const char* shortName, const char* longName, std::string* value);
    // The same for a value of seconds (0.5, 2, ...) or a count from 1 to
    // most; a bad value is a usage error.
    bool Seconds(const char* shortName, const char* longName, double* seconds);
    bool Count(const char* shortName, const char* longName, unsigned most, unsigned* count);
    // The current argument as the command's one operand (a file): a usage
    // error when it looks like an option or the operand was given already.
    void Operand(std::string* value);
    // "veltrane COMMAND: <why>" on stderr; a usage error.
    void Fail(const std::string& why);
    // The current argument is none of the command's.
    void Unexpected() { Fail("unexpected argument '" + arg_ + "' (see --help)"); }
    bool failed() const { return failed_; }

  private:
    std::string command_;
    int argc_;
    char** argv_;
    int i_ = 0;
    std::string arg_;
    bool failed_ = false;
};

}  // namespace tools
