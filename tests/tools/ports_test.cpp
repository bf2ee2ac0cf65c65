// The command's ports over winmm: what it says when a winmm call fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/support.h"
#include "tools/ports.h"

namespace {

TEST(Ports, ErrorsNameTheCallAndWinmmsText) {
    std::string path = vt::TestRoot() + "/stderr.txt";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    tools::ReportError("midiOutOpen", MMSYSERR_ALLOCATED);
    tools::ReportError("midiInAddBuffer", MIDIERR_UNPREPARED);
    tools::ReportError("midiOutShortMsg", 30);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "veltrane: midiOutOpen: The specified device is already in use. (4)\n"
              "veltrane: midiInAddBuffer: The MIDI header was not prepared. Use the Prepare "
              "function to prepare the header, and then try again. (64)\n"
              "veltrane: midiOutShortMsg: Unknown error. (30)\n");
}

}  // namespace
