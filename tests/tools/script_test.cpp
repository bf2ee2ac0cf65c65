// The words people type: send scripts (named messages, note names, raw
// bytes, sysex files, pauses) and the receiving side's filters.
#include <gtest/gtest.h>

#include "tests/support/support.h"
#include "tools/filter.h"
#include "tools/send_script.h"

namespace {

// Each step as "+MS" or the message's hex bytes.
std::vector<std::string> Steps(const std::vector<tools::ScriptStep>& steps) {
    std::vector<std::string> v;
    for (const auto& s : steps)
        v.push_back(s.message.bytes.empty() ? "+" + std::to_string(s.waitMs)
                                            : vt::HexString(s.message.bytes));
    return v;
}

// "syx dump.syx" reads these bytes; any other file is missing.
tools::ScriptParser Parser() {
    return tools::ScriptParser(
        [](const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
            if (path != "dump.syx") {
                *error = "cannot read " + path + ": No such file or directory";
                return false;
            }
            *bytes = vt::Hex("F0 7D 01 F7 F0 7D 02 F7");
            return true;
        });
}

TEST(SendScript, NamedMessagesNotesBytesFilesAndPauses) {
    struct Case {
        const char* line;
        std::vector<std::string> steps;
    } cases[] = {
        {"on C4 100 +250 off 60 0", {"90 3C 64", "+250", "80 3C 00"}},
        {"ch 2 on F#3 1  ch 16 off Bb2 0", {"91 36 01", "8F 2E 00"}},
        {"cc 7 100 pc 5 pb 8192 pb 16383 at 40 pp C-1 20",
         {"B0 07 64", "C0 05", "E0 00 40", "E0 7F 7F", "D0 28", "A0 00 14"}},
        // Raw bytes run to the next keyword, cut into messages by running status.
        {"raw 90 3C 40 3E 41 +10 raw F0 7D 01 F7", {"90 3C 40", "90 3E 41", "+10", "F0 7D 01 F7"}},
        {"syx dump.syx on G9 127", {"F0 7D 01 F7", "F0 7D 02 F7", "90 7F 7F"}},
        {"  # a comment line", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<tools::ScriptStep> steps;
        std::string error;
        EXPECT_TRUE(Parser().Parse(tools::ScriptWords(c.line), &steps, &error)) << error;
        EXPECT_EQ(Steps(steps), c.steps);
    }
    // The channel holds from one line to the next.
    tools::ScriptParser p = Parser();
    std::vector<tools::ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(p.Parse({"ch", "10"}, &steps, &error));
    ASSERT_TRUE(p.Parse({"on", "36", "90"}, &steps, &error));
    EXPECT_EQ(Steps(steps), std::vector<std::string>{"99 24 5A"});
}

TEST(SendScript, ErrorsNameTheWord) {
    struct Case {
        const char* line;
        const char* says;
    } cases[] = {
        {"on C4", "'on' needs a note and a velocity"},
        {"on C4 +10", "'on' needs a note and a velocity"},
        {"on C4 128", "velocity '128' after 'on' is not a number from 0 to 127"},
        {"off H4 0", "'H4' after 'off' is no note"},
        {"on G#9 1", "'G#9' after 'on' is no note"},
        {"ch 0", "channel '0' is not from 1 to 16"},
        {"ch 17", "channel '17' is not from 1 to 16"},
        {"pb 16384", "value '16384' after 'pb' is not a number from 0 to 16383"},
        {"+x", "unknown word '+x'"},
        {"90 3C 40", "unknown word '90'"},
        {"raw 9G", "raw: not hex bytes: '9G'"},
        {"raw 90 3C", "raw: message 90 3C is incomplete at the end"},
        {"raw", "raw: no bytes to send"},
        {"syx other.syx", "cannot read other.syx: No such file or directory"},
    };
    for (const Case& c : cases) {
        std::vector<tools::ScriptStep> steps;
        std::string error;
        EXPECT_FALSE(Parser().Parse(tools::ScriptWords(c.line), &steps, &error)) << c.line;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.line << ": " << error;
    }
    // What tells a script from hex bytes: only lower-case keywords and pauses.
    for (const char* w : {"cc", "on", "raw", "+0", "+250"})
        EXPECT_TRUE(tools::IsScriptWord(w)) << w;
    for (const char* w : {"CC", "90", "+", "3C", "on2"})
        EXPECT_FALSE(tools::IsScriptWord(w)) << w;
}

TEST(SendScript, NoteNames) {
    struct Case {
        const char* text;
        int note;  // -1: refused
    } cases[] = {{"C4", 60},   {"c4", 60}, {"F#3", 54}, {"Bb2", 46}, {"C-1", 0},   {"G9", 127},
                 {"127", 127}, {"0", 0},   {"128", -1}, {"G#9", -1}, {"Cb-1", -1}, {"H4", -1},
                 {"C", -1},    {"4C", -1}, {"C#", -1},  {"", -1}};
    for (const Case& c : cases) {
        unsigned note = 999;
        EXPECT_EQ(tools::ParseNote(c.text, &note), c.note >= 0) << c.text;
        if (c.note >= 0) {
            EXPECT_EQ(note, unsigned(c.note)) << c.text;
        }
    }
}

TEST(Filter, KindsChannelsAndTheHiddenClock) {
    struct Case {
        const char* kinds;  // --type, "" for the default
        unsigned channel;
        const char* shown;   // status bytes that pass
        const char* hidden;  // status bytes that do not
    } cases[] = {
        {"", 0, "80 90 A0 B0 C0 D0 E0 F0 F1 F2 F3 F6 FA FB FC FF", "F8 FE"},
        {"", 2, "81 91 B1 E1", "80 90 B0 EF F0 F2 FA F8"},
        {"note,cc", 0, "80 9F B5", "A0 C0 E0 F0 F8"},
        {"realtime", 0, "F8 FA FB FC FE FF", "90 F0 F2"},
        {"all", 0, "90 F0 F8 FE", ""},
        {"clock,sysex,pb", 16, "EF", "E0 F0 F8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kinds) + " channel " + std::to_string(c.channel));
        tools::MessageFilter f;
        std::string error;
        if (*c.kinds) {
            ASSERT_TRUE(tools::ParseKinds(c.kinds, &f.kinds, &error)) << error;
        }
        f.channel = c.channel;
        for (uint8_t s : vt::Hex(c.shown))
            EXPECT_TRUE(f.Passes(s)) << vt::HexString(&s, 1);
        for (uint8_t s : *c.hidden ? vt::Hex(c.hidden) : std::vector<uint8_t>{})
            EXPECT_FALSE(f.Passes(s)) << vt::HexString(&s, 1);
    }
    uint32_t kinds = 0;
    std::string error;
    EXPECT_FALSE(tools::ParseKinds("note,drums", &kinds, &error));
    EXPECT_NE(error.find("unknown message type 'drums'"), std::string::npos) << error;
    EXPECT_FALSE(tools::ParseKinds("", &kinds, &error));
    EXPECT_STREQ(tools::KindName(tools::KindOf(0xF8)), "clock");
    EXPECT_STREQ(tools::KindName(tools::KindOf(0xFE)), "sensing");
}

}  // namespace
