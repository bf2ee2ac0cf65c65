// The command as musicians use it, end to end against the simulator: play in
// order, record and play back, sysex dumps,
// send scripts, the monitor's filters, and the failures said in their terms.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "include/kernel_abi.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"
#include "tests/tools/run_command.h"
#include "tools/file_io.h"
#include "tools/smf.h"

namespace {

using vttools::Contains;
using vttools::RunCommand;

std::string WriteTestFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = vt::TestRoot() + "/" + name;
    std::string error;
    EXPECT_TRUE(tools::WriteWholeFile(path, bytes, &error)) << error;
    return path;
}

// A phrase with uneven gaps, a controller and a sysex in the middle.
std::vector<tools::TimedMessage> Phrase() {
    std::vector<tools::TimedMessage> m;
    int64_t at = 0;
    for (int i = 0; i < 12; ++i) {
        uint8_t note = static_cast<uint8_t>(60 + i);
        m.push_back({at, {0x90, note, 0x64}});
        at += 23000 + 7000 * (i % 4);
        m.push_back({at, {0x80, note, 0x00}});
        if (i == 5) m.push_back({at, {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0xF7}});
        if (i == 8) m.push_back({at, {0xB1, 0x07, 0x64}});
    }
    return m;
}

// The packets a played file leaves the ring as: each short message one,
// long data in packets of up to three bytes.
size_t PacketsOf(const std::vector<tools::TimedMessage>& messages) {
    size_t n = 0;
    for (const auto& m : messages)
        n += m.IsShort() ? 1 : (m.bytes.size() + 2) / 3;
    return n;
}

// The capture of a played file: every packet it leaves the ring as, with
// the file's bytes, in the file's order, stamped in that order by the
// simulator's clock. How close to its due time each event leaves is a
// figure of bench/play_timing, measured against its own baseline: a test
// does not judge the machine's real time.
void ExpectPlayed(const std::vector<tools::TimedMessage>& file,
                  const std::vector<std::pair<int64_t, uint32_t>>& capture) {
    ASSERT_EQ(capture.size(), PacketsOf(file));
    std::vector<uint8_t> sent, expected;
    for (const auto& m : file)
        expected.insert(expected.end(), m.bytes.begin(), m.bytes.end());
    for (size_t p = 0; p < capture.size(); ++p) {
        for (uint32_t b = 0; b < FifoPacketCount(capture[p].second); ++b)
            sent.push_back(static_cast<uint8_t>(capture[p].second >> (8 * b)));
        if (p > 0) {
            EXPECT_LE(capture[p - 1].first, capture[p].first) << "packet " << p;
        }
    }
    EXPECT_EQ(vt::HexString(sent), vt::HexString(expected));
}

TEST(Play, SendsTheFilesEventsInOrder) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    std::vector<tools::TimedMessage> phrase = Phrase();
    std::string file = WriteTestFile("phrase.mid", tools::WriteSmf0(phrase, 480, 500000));
    tools::Song song;
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(tools::ReadWholeFile(file, tools::kMaxFileBytes, &bytes, &error));
    ASSERT_TRUE(tools::ReadSmf(bytes, &song, &error)) << error;
    std::string out;
    ASSERT_EQ(RunCommand("play -p 0:out-a " + file, &out), 0) << out;
    EXPECT_EQ(out, "");
    ExpectPlayed(song.messages, sim.CaptureTimed(0, 'A', PacketsOf(song.messages)));
}

// Played out of output A into input A and recorded, the take plays back to
// the same messages in the same order (its timing is bench/play_timing's).
TEST(Record, TheTakePlaysBackAsItWasPlayed) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::vector<tools::TimedMessage> phrase = Phrase();
    std::string original = WriteTestFile("phrase.mid", tools::WriteSmf0(phrase, 480, 500000));
    std::string take = vt::TestRoot() + "/take.mid";
    vt::ChildProcess record = vttools::StartCommand("record -p 0:in-a " + take + " -t 1");
    ASSERT_TRUE(Contains(record.ReadLine(), "Recording from In-A Veltrane (ID 0) into "));
    std::string out;
    ASSERT_EQ(RunCommand("play -p 0:out-a " + original, &out), 0) << out;
    EXPECT_EQ(record.ReadLine(), "recorded 26 messages (1 sysex) over 0.4 s into " + take);
    EXPECT_EQ(record.Wait(), 0);

    sim.Ok("capture 0 A packets");
    ASSERT_EQ(RunCommand("play -p 0:out-a " + take, &out), 0) << out;
    ExpectPlayed(phrase, sim.CaptureTimed(0, 'A', PacketsOf(phrase)));
}

TEST(Play, CtrlCSilencesWhatItPlayed) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    std::string file = WriteTestFile("long.mid", tools::WriteSmf0({{0, {0x92, 0x3C, 0x40}},
                                                                   {0, {0x99, 0x24, 0x40}},
                                                                   {1000, {0x89, 0x24, 0x00}},
                                                                   {60000000, {0x82, 0x3C, 0x00}}},
                                                                  480, 500000));
    vt::ChildProcess play = vttools::StartCommand("play -p Out-A " + file);
    ASSERT_EQ(sim.CapturePackets(0, 'A', 3).size(), 3u);
    kill(play.pid(), SIGINT);
    EXPECT_EQ(play.ReadLine().rfind("veltrane play: stopped at 0:0", 0), 0u);
    EXPECT_EQ(play.Wait(), 130);
    // Note off for the note still sounding, all notes off on both channels.
    EXPECT_EQ(sim.Ok("capture 0 A bytes 9"), "82 3C 00 B2 7B 00 B9 7B 00");
}

TEST(Receive, WritesSysexDumpsAsRawBytes) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::string dump = vt::TestRoot() + "/dump.syx";
    for (bool all : {false, true}) {
        vt::ChildProcess receive =
            vttools::StartCommand("receive -p In-B -o " + dump + " -t 1" + (all ? " --all" : ""));
        ASSERT_TRUE(Contains(receive.ReadLine(), all ? "Waiting for data on In-B Veltrane"
                                                     : "Waiting for sysex on In-B Veltrane"));
        sim.Ok("inject 0 B F0 7D 01 02 F7 90 3C 40 F8 F0 7D 05 F7");
        EXPECT_EQ(receive.ReadLine(), all ? "wrote 4 messages (13 bytes) to " + dump
                                          : "wrote 2 sysex messages (9 bytes) to " + dump);
        EXPECT_EQ(receive.Wait(), 0);
        std::vector<uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(tools::ReadWholeFile(dump, 100, &bytes, &error)) << error;
        EXPECT_EQ(vt::HexString(bytes),
                  all ? "F0 7D 01 02 F7 90 3C 40 F8 F0 7D 05 F7" : "F0 7D 01 02 F7 F0 7D 05 F7");
    }
}

TEST(Send, NamedMessagesFromTheCommandLineAFileAndStandardInput) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    std::string syx = WriteTestFile("patch.syx", vt::Hex("F0 7D 10 F7"));
    std::string script = "# a script\nch 10\non C2 100 +5 off C2 0\nsyx " + syx + "\n";
    std::string path =
        WriteTestFile("beat.txt", std::vector<uint8_t>(script.begin(), script.end()));
    std::string out;
    ASSERT_EQ(RunCommand("send -p 0:out-a ch 2 on F#3 100 cc 7 100 pb 8192 +10 raw 80 36 00", &out),
              0)
        << out;
    EXPECT_EQ(sim.Ok("capture 0 A bytes 12"), "91 36 64 B1 07 64 E1 00 40 80 36 00");
    ASSERT_EQ(RunCommand("send -p 0:out-a --file " + path, &out), 0) << out;
    EXPECT_EQ(sim.Ok("capture 0 A bytes 10"), "99 24 64 89 24 00 F0 7D 10 F7");

    // Standard input: each line goes as it comes; Ctrl-C ends the wait for more.
    vt::ChildProcess send = vttools::StartCommand("send -p 0:out-a -");
    send.Send("pc 5");
    EXPECT_EQ(sim.CapturePackets(0, 'A', 1), std::vector<uint32_t>{0x020005C0});
    send.Send("at 40");
    EXPECT_EQ(sim.CapturePackets(0, 'A', 1), std::vector<uint32_t>{0x020028D0});
    kill(send.pid(), SIGINT);
    EXPECT_EQ(send.Wait(), 130);
}

TEST(Send, UnreadableFilesAndMidiFilesAreSaidSo) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::string root = vt::TestRoot();
    std::string mid = WriteTestFile("song.mid", tools::WriteSmf0({}, 480, 500000));
    std::vector<uint8_t> cut = tools::WriteSmf0({{0, {0x90, 0x3C, 0x40}}}, 480, 500000);
    cut.resize(cut.size() - 2);
    std::string truncated = WriteTestFile("cut.mid", cut);
    struct Case {
        std::string args;
        std::string says;
    } cases[] = {
        {"send -p 0 -s " + root, "veltrane send: cannot read " + root + ": it is a directory"},
        {"send -p 0 -s /dev/zero",
         "veltrane send: cannot read /dev/zero: it is not a regular file"},
        {"send -p 0 -s " + root + "/none.syx",
         "veltrane send: cannot read " + root + "/none.syx: No such file or directory"},
        {"send -p 0 -s " + mid, "veltrane send: " + mid +
                                    " is a Standard MIDI File: play it with `veltrane play -p "
                                    "PORT " +
                                    mid + "`"},
        {"send -p 0 --file " + root, "veltrane send: cannot read " + root + ": it is a directory"},
        {"play -p 0 /dev/zero", "veltrane play: cannot read /dev/zero: it is not a regular file"},
        {"play -p 0 " + truncated, "veltrane play: " + truncated +
                                       ": track 1 at byte 14 says 15 bytes, the file has 13 after "
                                       "its header (cut short?)"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(c.args, &out), 1) << c.args;
        EXPECT_EQ(out.rfind(c.says, 0), 0u) << c.args << "\n" << out;
    }
    EXPECT_EQ(sim.Stats(0)["first_acquire"], 0u) << "nothing opened a port";
}

TEST(Send, APortThatTakesNothingOrAnInterfaceTheDriverRefusesIsSaidSo) {
    vt::Simulator sim("--nodes 0,1 --rate paused");
    std::string notes, sysex;
    for (int i = 0; i < 1100; ++i)
        notes += " 90 3C 40";
    for (int i = 0; i < 6000; ++i)
        sysex += " 01";
    sim.Ok("descriptor 1 1234 5678");
    struct Case {
        std::string args;
        std::string says;
    } cases[] = {
        {"send -p 0:out-a" + notes,
         "veltrane: Out-A2 Veltrane: the interface took no data for 1 s"},
        {"send -p 0:out-b F0" + sysex + " F7",
         "veltrane: Out-B2 Veltrane: the interface took no data for 1 s"},
        {"send -p 1:out-a 90 3C 40",
         "veltrane: Out-A1 Veltrane: the interface on device node 1 is not one the driver takes: "
         "it says it is USB 1234:5678, the driver takes 1209:0001"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(c.args, &out), 1) << c.args;
        EXPECT_EQ(out.rfind(c.says, 0), 0u) << out;
    }
}

TEST(Monitor, HidesClockAndSensingAndFilters) {
    vt::Simulator sim("--nodes 0 --rate fast");
    struct Case {
        const char* options;
        std::vector<std::string> lines;
    } cases[] = {
        {"",
         {"Note on          ch 1   C4  (60) velocity 64", "Control change   ch 2   controller 7",
          "not shown: 3 clock, 1 sensing (--all or --type shows them)"}},
        {" --channel 2", {"Control change   ch 2", "not shown: 1 note, 3 clock, 1 sensing"}},
        {" --type clock,note",
         {"Clock", "Clock", "Note on", "Clock", "not shown: 1 cc, 1 sensing"}},
    };
    for (const Case& c : cases) {
        vt::ChildProcess monitor =
            vttools::StartCommand(std::string("monitor -p In-A -t 1") + c.options);
        ASSERT_TRUE(Contains(monitor.ReadLine(), "Waiting for data on In-A Veltrane"));
        sim.Ok("inject 0 A F8 F8 90 3C 40 FE F8 B1 07 64");
        for (const std::string& line : c.lines)
            EXPECT_TRUE(Contains(monitor.ReadLine(), line)) << c.options << ": " << line;
        EXPECT_EQ(monitor.Wait(), 0);
    }
}

}  // namespace

// Stopped by SIGINT or SIGTERM, every command that runs until stopped closes
// its port on the way out: the interface sees a stop, never a request that
// ended with its process.
TEST(Signals, EveryLongRunningCommandClosesItsPort) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::string song = WriteTestFile(
        "long.mid",
        tools::WriteSmf0({{0, {0x92, 0x3C, 0x40}}, {60000000, {0x82, 0x3C, 0x00}}}, 480, 500000));
    std::string root = vt::TestRoot() + "/";
    const struct {
        std::string args;
        const char* stream;  // the simulator's gauge of the command's stream
        int status;          // the command's exit status when stopped
    } cases[] = {
        {"monitor -p 0:in-a", "streams_in", 0},
        {"receive -p 0:in-a -o " + root + "dump.syx", "streams_in", 0},
        {"record -p 0:in-a " + root + "take.mid", "streams_in", 0},
        {"send -p 0:out-a -", "streams_out_a", 130},
        {"play -p 0:out-a " + song, "streams_out_a", 130},
        {"loop -o 0:out-a -i 0:in-a --count 262144", "streams_out_a", 130},
    };
    for (int sig : {SIGINT, SIGTERM}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args + (sig == SIGINT ? " (SIGINT)" : " (SIGTERM)"));
            uint64_t stops = sim.Stats(0)["stop"];
            vt::ChildProcess command = vttools::StartCommand(c.args);
            ASSERT_TRUE(sim.Await(0, c.stream, 1));
            kill(command.pid(), sig);
            EXPECT_EQ(command.Wait(), c.status);
            EXPECT_TRUE(sim.AwaitAtMost(0, c.stream, 0));
            auto stats = sim.Stats(0);
            EXPECT_GT(stats["stop"], stops);
            EXPECT_EQ(stats["cancelled"], 0u);
        }
    }
}
