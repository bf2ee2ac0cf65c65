// MIDI files: the reader on small files written here byte by byte, its
// errors, and the writer read back.
#include <gtest/gtest.h>

#include "tests/support/support.h"
#include "tools/smf.h"

namespace {

// A file: the header chunk, then one MTrk chunk for each track's hex bytes.
std::vector<uint8_t> File(unsigned format, unsigned tracks, unsigned division,
                          const std::vector<std::string>& trackHex) {
    std::vector<uint8_t> f = {'M',
                              'T',
                              'h',
                              'd',
                              0,
                              0,
                              0,
                              6,
                              0,
                              uint8_t(format),
                              0,
                              uint8_t(tracks),
                              uint8_t(division >> 8),
                              uint8_t(division)};
    for (const std::string& hex : trackHex) {
        std::vector<uint8_t> t = vt::Hex(hex);
        f.insert(f.end(), {'M', 'T', 'r', 'k', 0, 0, uint8_t(t.size() >> 8), uint8_t(t.size())});
        f.insert(f.end(), t.begin(), t.end());
    }
    return f;
}

// The same file with a chunk of another kind before its first track, which a
// reader skips.
std::vector<uint8_t> WithAlienChunk(std::vector<uint8_t> f) {
    std::vector<uint8_t> alien = {'X', 'Y', 'Z', 'W', 0, 0, 0, 2, 1, 2};
    f.insert(f.begin() + 14, alien.begin(), alien.end());
    return f;
}

// "us:bytes" for each message.
std::vector<std::string> Lines(const tools::Song& song) {
    std::vector<std::string> v;
    for (const tools::TimedMessage& m : song.messages)
        v.push_back(std::to_string(m.us) + ":" + vt::HexString(m.bytes));
    return v;
}

TEST(MidiFile, ReadsTracksTemposAndRunningStatus) {
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        std::vector<std::string> messages;
        int64_t lengthUs;
    } cases[] = {
        {"running status, and meta events between that keep it",
         File(0, 1, 96, {"00 90 3C 40  60 3E 40  00 FF 01 02 68 69  00 3C 00  00 FF 2F 00"}),
         {"0:90 3C 40", "500000:90 3E 40", "500000:90 3C 00"},
         500000},
        {"tempo changes: 1 s a quarter, then 0.25 s from tick 96",
         File(0, 1, 96,
              {"00 FF 51 03 0F 42 40  00 C0 05  60 FF 51 03 03 D0 90  00 B0 07 64  60 E0 00 40  "
               "00 FF 2F 00"}),
         {"0:C0 05", "1000000:B0 07 64", "1250000:E0 00 40"},
         1250000},
        {"type 1: a tempo track and a note track, merged; at one tick the first track first",
         File(1, 2, 480,
              {"00 FF 51 03 07 A1 20  83 60 F0 03 7D 01 F7  00 FF 2F 00",
               "00 90 3C 40  83 60 80 3C 00  83 60 F7 01 F8  00 FF 2F 00"}),
         {"0:90 3C 40", "500000:F0 7D 01 F7", "500000:80 3C 00", "1000000:F8"},
         1000000},
        {"SMPTE division: 25 frames of 40 ticks, 1 ms a tick; unknown chunks skipped",
         WithAlienChunk(File(0, 1, 0xE728, {"00 90 3C 40  87 68 80 3C 00"})),
         {"0:90 3C 40", "1000000:80 3C 00"},
         1000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tools::Song song;
        std::string error;
        ASSERT_TRUE(tools::ReadSmf(c.file, &song, &error)) << error;
        EXPECT_EQ(Lines(song), c.messages);
        EXPECT_EQ(song.lengthUs, c.lengthUs);
    }
}

TEST(MidiFile, BarsFollowTheTimeSignatures) {
    // 4/4 from the start, 3/4 from tick 768 (bar 3), at 96 ticks a quarter.
    tools::Song song;
    std::string error;
    ASSERT_TRUE(tools::ReadSmf(File(0, 1, 96,
                                    {"00 FF 58 04 04 02 18 08  86 00 FF 58 04 03 02 18 08 "
                                     "00 FF 2F 00"}),
                               &song, &error))
        << error;
    struct Case {
        uint64_t tick;
        unsigned bar;
    } cases[] = {{0, 1}, {383, 1}, {384, 2}, {767, 2}, {768, 3}, {1055, 3}, {1056, 4}};
    for (const Case& c : cases)
        EXPECT_EQ(song.BarAt(c.tick), c.bar) << c.tick;
}

TEST(MidiFile, SaysWhichChunkOrByteIsWrong) {
    std::vector<uint8_t> cut = File(0, 1, 96, {"00 90 3C 40 00 80 3C 00"});
    cut.resize(cut.size() - 3);
    std::vector<uint8_t> shortHeader = File(0, 1, 96, {});
    shortHeader.resize(10);
    std::vector<uint8_t> riff = {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'R', 'M', 'I', 'D'};
    struct Case {
        std::vector<uint8_t> file;
        const char* says;
    } cases[] = {
        {riff, "not a Standard MIDI File: it does not start with \"MThd\""},
        {shortHeader, "the header chunk is cut short: the file has 10 bytes"},
        {File(2, 1, 96, {"00 FF 2F 00"}), "byte 8: format 2 (independent patterns) is not played"},
        {File(0, 2, 96, {"00 FF 2F 00", "00 FF 2F 00"}), "byte 10: 2 tracks in a format-0 file"},
        {File(0, 1, 0, {"00 FF 2F 00"}), "byte 12: 0 ticks a quarter note"},
        {cut, "track 1 at byte 14 says 8 bytes, the file has 5 after its header (cut short?)"},
        {File(1, 2, 96, {"00 FF 2F 00"}), "announces 2 tracks, the file ends after 1"},
        {File(0, 1, 96, {"00 3C 40"}), "track 1, byte 23: data byte 3C with no status before it"},
        {File(0, 1, 96, {"00 90 3C"}), "track 1, byte 23: the track ends inside a message"},
        {File(0, 1, 96, {"00 90 3C 90"}), "track 1, byte 25: status byte 90 inside a message"},
        {File(0, 1, 96, {"00 F0 10 01 02"}), "byte 23: the event says 16 bytes, the track has 2"},
        {File(0, 1, 96, {"00 F8"}), "byte 23: status F8 is no event of a MIDI file"},
        {File(0, 1, 96, {"FF FF FF FF 7F"}), "byte 22: delta time longer than four bytes"},
        {File(0, 1, 96, {"00 FF 51 03 00 00 00"}), "byte 23: a tempo of 0"},
    };
    for (const Case& c : cases) {
        tools::Song song;
        std::string error;
        EXPECT_FALSE(tools::ReadSmf(c.file, &song, &error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(MidiFile, WrittenFilesReadBackToTheSameMessagesAtTheSameTimes) {
    std::vector<tools::TimedMessage> recorded = {
        {0, vt::Hex("90 3C 40")},       {250000, vt::Hex("90 3E 41")},
        {250000, vt::Hex("F8")},        {500000, vt::Hex("F0 7D 01 02 F7")},
        {500000, vt::Hex("90 3C 00")},  {1001000, vt::Hex("F2 10 20")},
        {1500000, vt::Hex("B3 07 64")}, {1500000, vt::Hex("B3 0A 40")},
        {123456789, vt::Hex("C0 05")},
    };
    for (unsigned ppq : {480u, 96u}) {
        SCOPED_TRACE(ppq);
        std::vector<uint8_t> file = tools::WriteSmf0(recorded, ppq, 500000);
        tools::Song song;
        std::string error;
        ASSERT_TRUE(tools::ReadSmf(file, &song, &error)) << error;
        EXPECT_EQ(song.format, 0u);
        EXPECT_EQ(song.ticksPerQuarter, ppq);
        ASSERT_EQ(song.messages.size(), recorded.size());
        int64_t tick = 500000 / ppq;
        for (size_t i = 0; i < recorded.size(); ++i) {
            EXPECT_EQ(song.messages[i].bytes, recorded[i].bytes) << i;
            EXPECT_LE(std::llabs(song.messages[i].us - recorded[i].us), tick / 2 + 1) << i;
        }
    }
    // Running status: the second note-on and the second controller carry no
    // status byte of their own.
    std::string hex = vt::HexString(tools::WriteSmf0(recorded, 480, 500000));
    EXPECT_NE(hex.find("90 3C 40 81 70 3E 41"), std::string::npos) << hex;
    EXPECT_NE(hex.find("B3 07 64 00 0A 40"), std::string::npos) << hex;
}

}  // namespace
