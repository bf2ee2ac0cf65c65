// The command's pure parts: hex arguments, message splitting, sizes, the
// decoder, port lookup, the loop's pattern and checks. Nothing here loads
// winmm or the driver.
#include <gtest/gtest.h>

#include "tests/support/support.h"
#include "tools/args.h"
#include "tools/decode.h"
#include "tools/file_io.h"
#include "tools/json.h"
#include "tools/loop_check.h"
#include "tools/port_match.h"

namespace {

using tools::MidiMessage;

std::vector<std::string> Split(const std::vector<MidiMessage>& messages) {
    std::vector<std::string> v;
    for (const auto& m : messages)
        v.push_back(vt::HexString(m.bytes));
    return v;
}

TEST(HexArgs, BytesInAnySpelling) {
    struct Case {
        std::vector<std::string> args;
        std::string bytes;
    } cases[] = {
        {{"90", "3C", "40"}, "90 3C 40"},
        {{"903c40"}, "90 3C 40"},
        {{"0x90 0X3c,40"}, "90 3C 40"},
        {{"F0", "7d01", "f7"}, "F0 7D 01 F7"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(tools::ParseHexBytes(c.args, &out, &error)) << error;
        EXPECT_EQ(vt::HexString(out), c.bytes);
    }
    const std::vector<std::string> bad[] = {{"9"},  {"903"}, {"zz"}, {"90", "3G"},
                                            {"0x"}, {},      {" "}};
    for (const auto& args : bad) {
        std::vector<uint8_t> out;
        std::string error;
        EXPECT_FALSE(tools::ParseHexBytes(args, &out, &error)) << vt::HexString(out);
        EXPECT_FALSE(error.empty());
    }
}

TEST(HexArgs, SplitsByStatusAndRunningStatus) {
    struct Case {
        const char* bytes;
        std::vector<std::string> messages;
    } cases[] = {
        {"90 3C 40", {"90 3C 40"}},
        // Running status is written out again for each message.
        {"90 3C 40 3E 41 40 00", {"90 3C 40", "90 3E 41", "90 40 00"}},
        {"C0 05 06 D1 7F", {"C0 05", "C0 06", "D1 7F"}},
        {"E0 00 40 B3 07 64", {"E0 00 40", "B3 07 64"}},
        // Real-time bytes go at once, also in the middle of a message, and
        // leave running status alone.
        {"90 3C F8 40 3E 41", {"F8", "90 3C 40", "90 3E 41"}},
        {"FE FF", {"FE", "FF"}},
        // System common messages end running status.
        {"F2 10 20 F1 35 F3 02 F6", {"F2 10 20", "F1 35", "F3 02", "F6"}},
        // A sysex run is one message, real-time bytes inside it stay there.
        {"90 3C 40 F0 7D 01 F8 02 F7 80 3C 00", {"90 3C 40", "F0 7D 01 F8 02 F7", "80 3C 00"}},
        {"F0 F7", {"F0 F7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::vector<MidiMessage> out;
        std::string error;
        ASSERT_TRUE(tools::SplitMessages(vt::Hex(c.bytes), &out, &error)) << error;
        EXPECT_EQ(Split(out), c.messages);
    }
}

TEST(HexArgs, RefusesWhatCannotBeSentAsMessages) {
    const char* bad[] = {
        "3C 40",           // data without status
        "90 3C",           // incomplete
        "90 3C 80 3C 00",  // cut short by another status
        "F7",              // end of no sysex
        "F0 7D 01",        // sysex without end
        "F0 7D 90 F7",     // status inside sysex
        "F2 10 20 30",     // running status does not follow system common
    };
    for (const char* b : bad) {
        std::vector<MidiMessage> out;
        std::string error;
        EXPECT_FALSE(tools::SplitMessages(vt::Hex(b), &out, &error)) << b;
        EXPECT_FALSE(error.empty()) << b;
    }
    MidiMessage m{{0x90, 0x3C, 0x40}};
    EXPECT_EQ(m.Packed(), 0x00403C90u);
}

TEST(HexArgs, SizesAndCounts) {
    struct Case {
        const char* text;
        size_t size;  // 0: refused
    } cases[] = {{"1024", 1024},  {"1k", 1024}, {"64K", 65536},    {"64KiB", 65536},
                 {"1M", 1 << 20}, {"0", 0},     {"", 0},           {"k", 0},
                 {"12x", 0},      {"-5", 0},    {"99999999999", 0}};
    for (const Case& c : cases) {
        size_t v = 0;
        EXPECT_EQ(tools::ParseSize(c.text, &v), c.size != 0) << c.text;
        if (c.size) {
            EXPECT_EQ(v, c.size) << c.text;
        }
    }
    unsigned n = 0;
    EXPECT_TRUE(tools::ParseCount("10000", &n));
    EXPECT_EQ(n, 10000u);
    for (const char* bad : {"0", "", "1e3", "-1", "1234567890"})
        EXPECT_FALSE(tools::ParseCount(bad, &n)) << bad;
    double seconds = 0;
    EXPECT_TRUE(tools::ParseSeconds("0.5", &seconds));
    EXPECT_EQ(seconds, 0.5);
    EXPECT_TRUE(tools::ParseSeconds("30", &seconds));
    EXPECT_EQ(seconds, 30);
    for (const char* bad : {"0", "0.0", "", ".", "1e3", "-1", "1.2.3", "90000", "2s"})
        EXPECT_FALSE(tools::ParseSeconds(bad, &seconds)) << bad;
}

TEST(Decode, NoteNames) {
    struct Case {
        unsigned note;
        const char* name;
    } cases[] = {{60, "C4"}, {54, "F#3"}, {0, "C-1"}, {69, "A4"}, {127, "G9"}, {61, "C#4"}};
    for (const Case& c : cases)
        EXPECT_EQ(tools::NoteName(c.note), c.name);
}

TEST(Decode, EveryKindOfMessage) {
    struct Case {
        uint32_t packed;
        const char* text;
    } cases[] = {
        {0x00403C90, "Note on          ch 1   C4  (60) velocity 64"},
        {0x0000368F, "Note off         ch 16  F#3 (54) velocity 0"},
        {0x00143CA2, "Poly pressure    ch 3   C4  (60) value 20"},
        {0x006407B0, "Control change   ch 1   controller 7 value 100"},
        {0x000005C9, "Program change   ch 10  program 5"},
        {0x000028D0, "Channel pressure ch 1   value 40"},
        {0x004000E0, "Pitch bend       ch 1   value 0"},
        {0x007F7FE0, "Pitch bend       ch 1   value 8191"},
        {0x000000E0, "Pitch bend       ch 1   value -8192"},
        {0x000035F1, "MTC quarter frame type 3 value 5"},
        {0x000110F2, "Song position    beat 144"},
        {0x000002F3, "Song select      song 2"},
        {0x000000F6, "Tune request"},
        {0x000000F8, "Clock"},
        {0x000000FA, "Start"},
        {0x000000FC, "Stop"},
        {0x000000FE, "Active sensing"},
        {0x000000FF, "System reset"},
        {0x000000F9, "Undefined        F9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tools::DescribeShort(c.packed), c.text);
}

TEST(Decode, MonitorLines) {
    tools::InputEvent e;
    e.time = 1234;
    e.msg = 0x00403C90;
    EXPECT_EQ(tools::FormatEvent(e, false),
              "    1234  Note on          ch 1   C4  (60) velocity 64");
    EXPECT_EQ(tools::FormatEvent(e, true), "    1234  90 3C 40");
    e.msg = 0x05C0;
    EXPECT_EQ(tools::FormatEvent(e, true), "    1234  C0 05") << "only the message's own bytes";
    e.kind = tools::InputEvent::Sysex;
    e.bytes = vt::Hex("F0 7D 01 02 F7");
    EXPECT_EQ(tools::FormatEvent(e, false), "    1234  SysEx            5 bytes  F0 7D 01 02 F7");
    EXPECT_EQ(tools::FormatEvent(e, true), "    1234  F0 7D 01 02 F7");
    e.bytes = tools::LoopSysex(100);
    std::string line = tools::FormatEvent(e, false);
    EXPECT_NE(line.find("100 bytes"), std::string::npos);
    EXPECT_NE(line.find("... (68 more)"), std::string::npos) << line;
    e.kind = tools::InputEvent::Error;
    e.msg = 0x00403C;
    EXPECT_EQ(tools::FormatEvent(e, false), "    1234  Error            invalid message 3C 40 00");
    e.kind = tools::InputEvent::SysexError;
    e.bytes = vt::Hex("F0 7D 01");
    EXPECT_EQ(tools::FormatEvent(e, false),
              "    1234  Error            incomplete sysex, 3 bytes  F0 7D 01");
}

TEST(Decode, SysexAcrossBuffers) {
    tools::SysexAssembler a;
    std::vector<uint8_t> whole, part1 = vt::Hex("F0 01 02"), part2 = vt::Hex("03 F7");
    EXPECT_FALSE(a.Add(part1.data(), part1.size(), &whole));
    EXPECT_TRUE(a.Pending());
    EXPECT_TRUE(a.Add(part2.data(), part2.size(), &whole));
    EXPECT_EQ(vt::HexString(whole), "F0 01 02 03 F7");
    EXPECT_FALSE(a.Pending());
    EXPECT_FALSE(a.Add(part1.data(), part1.size(), &whole));
    EXPECT_EQ(vt::HexString(a.TakePartial()), "F0 01 02");
    EXPECT_FALSE(a.Pending());

    // Whole events: the message at the time of its first buffer; an error
    // with what came before it.
    tools::InputEvent e;
    e.kind = tools::InputEvent::Sysex;
    e.time = 10;
    e.bytes = part1;
    EXPECT_FALSE(a.Join(&e));
    e.time = 20;
    e.bytes = part2;
    ASSERT_TRUE(a.Join(&e));
    EXPECT_EQ(vt::HexString(e.bytes), "F0 01 02 03 F7");
    EXPECT_EQ(e.time, 10u);
    e.bytes = part1;
    EXPECT_FALSE(a.Join(&e));
    e.kind = tools::InputEvent::SysexError;
    e.bytes = vt::Hex("04");
    ASSERT_TRUE(a.Join(&e));
    EXPECT_EQ(vt::HexString(e.bytes), "F0 01 02 04");
}

TEST(Ports, ByIdOrByPartOfTheName) {
    std::vector<tools::PortInfo> ports = {{0, "Out-A2 Veltrane"},
                                          {1, "Out-B2 Veltrane"},
                                          {2, "Out-A1 Veltrane"},
                                          {3, "Out-B1 Veltrane"},
                                          {4, "Out-A"}};
    struct Case {
        const char* wanted;
        int id;  // -1: refused
    } cases[] = {
        {"0", 0},    {"3", 3},  {"03", 3},        {"7", -1},    {"b2", 1},    {"OUT-a1", 2},
        {"A2 V", 0}, {"b", -1}, {"Veltrane", -1}, {"out-a", 4}, {"nope", -1}, {"", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        tools::PortInfo found{99, "untouched"};
        std::string error;
        bool ok = tools::FindPort(ports, c.wanted, &found, &error);
        EXPECT_EQ(ok, c.id >= 0) << error;
        if (ok) {
            EXPECT_EQ(found.id, unsigned(c.id));
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(Ports, DeviceNodesAndStableSelectors) {
    // Interfaces on nodes 2 and 5, and another driver's port in between.
    std::vector<tools::PortInfo> outs = {{0, "Other MIDI Out"},
                                         {1, "Out-A2 Veltrane"},
                                         {2, "Out-B2 Veltrane"},
                                         {3, "Out-A1 Veltrane"},
                                         {4, "Out-B1 Veltrane"}};
    std::vector<tools::PortInfo> ins = {{0, "In-A2 Veltrane", false},
                                        {1, "In-B2 Veltrane", false},
                                        {2, "In-A1 Veltrane", false},
                                        {3, "In-B1 Veltrane", false}};
    tools::AssignNodes(&outs, {2, 5});
    tools::AssignNodes(&ins, {2, 5});
    std::vector<std::string> selectors;
    for (const auto& p : outs)
        selectors.push_back(p.Selector());
    EXPECT_EQ(selectors,
              (std::vector<std::string>{"", "2:out-a", "2:out-b", "5:out-a", "5:out-b"}));
    EXPECT_EQ(ins[3].Selector(), "5:in-b");

    struct Case {
        const char* wanted;
        int id;  // -1: refused
        const char* says;
    } cases[] = {
        {"5:out-a", 3, ""},
        {"2:OUT-B", 2, ""},
        {"3:out-a", -1, "no interface on device node 3"},
        {"5:in-a", -1, "In-A1 Veltrane is an input, not an output"},
        {"In-A2", -1, "In-A2 Veltrane is an input, not an output"},
        {"4", 4, ""},
        {"9", -1, "no port with ID 9 (there are 5)"},
    };
    for (const Case& c : cases) {
        tools::PortInfo found;
        std::string error;
        bool ok = tools::FindPort(outs, c.wanted, &found, &error, ins);
        EXPECT_EQ(ok, c.id >= 0) << c.wanted;
        if (ok) {
            EXPECT_EQ(found.id, unsigned(c.id)) << c.wanted;
        } else {
            EXPECT_NE(error.find(c.says), std::string::npos) << c.wanted << ": " << error;
        }
    }

    // Names that do not fit the nodes (an interface came or went between the
    // two looks) leave every node unknown, and selectors say so.
    std::vector<std::string> tooFew = {"Out-A Veltrane", "Out-B Veltrane"};
    for (const std::vector<unsigned>& nodes : {std::vector<unsigned>{0, 1}, {}}) {
        std::vector<tools::PortInfo> ports = {{0, tooFew[0]}, {1, tooFew[1]}};
        tools::AssignNodes(&ports, nodes);
        EXPECT_EQ(ports[0].node, -1);
        tools::PortInfo found;
        std::string error;
        EXPECT_FALSE(tools::FindPort(ports, "0:out-a", &found, &error));
        EXPECT_NE(error.find("device nodes of the ports are not known"), std::string::npos);
    }
    std::vector<tools::PortInfo> one = {{0, "Out-A Veltrane"}, {1, "Out-B Veltrane"}};
    tools::AssignNodes(&one, {7});
    EXPECT_EQ(one[1].Selector(), "7:out-b");
}

TEST(Files, OnlyRegularFilesAndNoMoreThanTheCommandTakes) {
    std::string dir = vt::TestRoot();
    std::vector<uint8_t> five = {1, 2, 3, 4, 5}, got;
    std::string error;
    ASSERT_TRUE(tools::WriteWholeFile(dir + "/five", five, &error)) << error;
    ASSERT_TRUE(tools::ReadWholeFile(dir + "/five", 5, &got, &error)) << error;
    EXPECT_EQ(got, five);
    struct Case {
        std::string path;
        size_t most;
        std::string says;
    } cases[] = {
        {dir + "/five", 4, "cannot read " + dir + "/five: it holds more than the 4 bytes"},
        {dir, 100, "cannot read " + dir + ": it is a directory"},
        {dir + "/none", 100, "cannot read " + dir + "/none: No such file or directory"},
        {"/dev/zero", 100, "cannot read /dev/zero: it is not a regular file"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(tools::ReadWholeFile(c.path, c.most, &got, &error)) << c.path;
        EXPECT_EQ(error.rfind(c.says, 0), 0u) << error;
    }
    EXPECT_FALSE(tools::WriteWholeFile(dir, five, &error));
    EXPECT_EQ(error.rfind("cannot write " + dir + ": ", 0), 0u) << error;
}

TEST(Json, EscapesAndNests) {
    tools::JsonObject o;
    o.Add("name", "Out-A \"2\"\\\n").Add("id", 3u).Add("ms", 1.5).Add("ok", true).AddNull("none");
    o.Add("list", std::vector<tools::JsonObject>{tools::JsonObject().Add("n", -1)});
    EXPECT_EQ(o.Text(),
              "{\"name\":\"Out-A \\\"2\\\"\\\\\\u000a\",\"id\":3,\"ms\":1.500,\"ok\":true,"
              "\"none\":null,\"list\":[{\"n\":-1}]}");
}

TEST(LoopCheck, PatternIsDistinctAndDecodable) {
    std::vector<bool> seen(1u << 23, false);
    for (uint32_t seq = 0; seq < tools::kLoopMaxCount; ++seq) {
        uint32_t m = tools::LoopMessage(seq);
        ASSERT_EQ(m & 0xF0, 0x90u);
        ASSERT_EQ(m & 0xFF808000u, 0u) << "data bytes must stay below 0x80";
        ASSERT_FALSE(seen[m]) << seq;
        seen[m] = true;
        uint32_t back = 0;
        ASSERT_TRUE(tools::LoopSequence(m, &back));
        ASSERT_EQ(back, seq);
    }
    uint32_t s = 0;
    EXPECT_FALSE(tools::LoopSequence(0x00403C80, &s)) << "not a note-on";
    EXPECT_FALSE(tools::LoopSequence(0x01403C90, &s)) << "a fourth byte";
}

TEST(LoopCheck, TallyCountsLossCorruptionReorderAndDuplicates) {
    tools::LoopTally t(6);
    for (uint32_t seq : {0u, 1u, 3u, 2u, 3u})
        t.AddMessage(tools::LoopMessage(seq));
    t.AddMessage(0x00403C80);               // not from the pattern
    t.AddMessage(tools::LoopMessage(200));  // beyond the count
    t.AddError();
    EXPECT_EQ(t.received(), 7u);
    EXPECT_EQ(t.lost(), 2u);  // 4 and 5
    EXPECT_EQ(t.reordered(), 1u);
    EXPECT_EQ(t.duplicated(), 1u);
    EXPECT_EQ(t.corrupted(), 3u);

    tools::LoopTally clean(3);
    for (uint32_t seq : {0u, 1u, 2u})
        clean.AddMessage(tools::LoopMessage(seq));
    EXPECT_EQ(clean.lost() + clean.corrupted() + clean.reordered() + clean.duplicated(), 0u);
}

TEST(LoopCheck, SysexPayloadCatchesDropsAndChanges) {
    std::vector<uint8_t> x = tools::LoopSysex(1024);
    ASSERT_EQ(x.size(), 1024u);
    EXPECT_EQ(x.front(), 0xF0);
    EXPECT_EQ(x[1], 0x7D);
    EXPECT_EQ(x.back(), 0xF7);
    for (size_t i = 1; i + 1 < x.size(); ++i)
        ASSERT_LT(x[i], 0x80) << i;
    // Every three-byte group is different from every other.
    for (size_t i = 2; i + 6 < x.size(); i += 3)
        ASSERT_NE(std::vector<uint8_t>(x.begin() + i, x.begin() + i + 3),
                  std::vector<uint8_t>(x.begin() + i + 3, x.begin() + i + 6));

    EXPECT_EQ(tools::CheckSysex(x, x).corrupted + tools::CheckSysex(x, x).lost, 0u);
    std::vector<uint8_t> dropped = x;
    dropped.erase(dropped.begin() + 500);
    tools::SysexCheck c = tools::CheckSysex(x, dropped);
    EXPECT_EQ(c.lost, 1u);
    EXPECT_GT(c.corrupted, 0u) << "a dropped byte shifts the rest";
    EXPECT_EQ(c.firstBad, 500u);
    std::vector<uint8_t> changed = x;
    changed[10] ^= 1;
    c = tools::CheckSysex(x, changed);
    EXPECT_EQ(c.corrupted, 1u);
    EXPECT_EQ(c.lost, 0u);
    EXPECT_EQ(c.firstBad, 10u);
    std::vector<uint8_t> longer = x;
    longer.push_back(0);
    EXPECT_EQ(tools::CheckSysex(x, longer).corrupted, 1u);
}

TEST(LoopCheck, LatencyPercentiles) {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    tools::LatencySummary s = tools::Summarize(v);
    EXPECT_EQ(s.min, 1);
    EXPECT_EQ(s.median, 50);
    EXPECT_EQ(s.p99, 99);
    EXPECT_EQ(s.max, 100);
    s = tools::Summarize({7});
    EXPECT_EQ(s.min, 7);
    EXPECT_EQ(s.p99, 7);
    s = tools::Summarize({});
    EXPECT_EQ(s.max, 0);
}

TEST(LoopCheck, HistogramBucketsEveryTenthOfAMillisecondUpToACap) {
    // Empty buckets between are kept; 1.3 belongs to the bucket from 1.3
    // although 1.3 / 0.1 falls just short of 13.
    std::vector<tools::LatencyBucket> h = tools::Histogram({1.04, 0.96, 1.3, 1.05});
    const unsigned counts[] = {1, 2, 0, 0, 1};
    ASSERT_EQ(h.size(), 5u);
    for (size_t i = 0; i < h.size(); ++i) {
        EXPECT_NEAR(h[i].fromMs, 0.9 + 0.1 * double(i), 1e-9) << i;
        EXPECT_EQ(h[i].count, counts[i]) << i;
        EXPECT_FALSE(h[i].andAbove);
    }

    // A late outlier: the buckets stop at the cap, the last holding the rest.
    h = tools::Histogram({1.0, 1.01, 50.0, 80.0});
    ASSERT_EQ(h.size(), tools::kLoopMaxBuckets);
    EXPECT_EQ(h.front().count, 2u);
    EXPECT_TRUE(h.back().andAbove);
    EXPECT_NEAR(h.back().fromMs, 1.0 + 0.1 * double(tools::kLoopMaxBuckets - 1), 1e-9);
    EXPECT_EQ(h.back().count, 2u);
    EXPECT_TRUE(tools::Histogram({}).empty());
}

}  // namespace
