// The input byte parser, driven through the ring drain with a controlled
// clock: one started client on input A, bytes put into the ring as the
// kernel side would, and the notifications compared in full, grouped by the
// mode the parser is in when the interesting byte arrives.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "host/os/host.h"
#include "tests/in/in_support.h"
#include "tests/in/parse_fixture.h"

namespace vt {
namespace {

// ms: time since the client's start when these bytes are drained.
struct Step {
    DWORD ms;
    const char* hex;
};

// For MIM_LONGDATA and MIM_LONGERROR, p1 is the index of the buffer and
// bytes what it must have recorded.
struct Want {
    UINT msg;
    DWORD p1;
    DWORD p2;
    const char* bytes = nullptr;
};

struct ParseCase {
    const char* name;
    std::vector<DWORD> buffers;  // sizes, queued in this order before the bytes
    std::vector<Step> steps;
    std::vector<Want> want;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Describe(const std::vector<Notification>& notes) {
    std::ostringstream os;
    for (const Notification& n : notes)
        os << std::hex << n.uMsg << "(" << n.dwParam1 << ", " << std::dec << n.dwParam2 << ") ";
    return os.str();
}

bool IsLong(UINT msg) {
    return msg == MIM_LONGDATA || msg == MIM_LONGERROR;
}

class InputParse : public ParseFixture, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(InputParse, Case) {
    const ParseCase& c = GetParam();
    InputClient* pClient = AddClient(0);
    StartClient(pClient);
    std::vector<std::unique_ptr<InBuffer>> buffers;
    for (DWORD cb : c.buffers) {
        buffers.push_back(std::make_unique<InBuffer>(cb));
        ASSERT_EQ(MMSYSERR_NOERROR, AddBuffer(pClient, buffers.back()->Hdr()));
    }
    for (const Step& s : c.steps) {
        At(s.ms);
        PutBytes(pFifo, 0, Hex(s.hex));
        Drain();
    }

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(c.want.size(), seen.size()) << Describe(seen);
    std::vector<bool> returned(buffers.size(), false);
    for (size_t i = 0; i < seen.size(); ++i) {
        const Want& w = c.want[i];
        const Notification& n = seen[i];
        SCOPED_TRACE("notification " + std::to_string(i) + ": " + Describe({n}));
        EXPECT_EQ(w.msg, n.uMsg);
        EXPECT_EQ(w.p2, n.dwParam2);
        EXPECT_EQ(HandleOf(pClient), n.hDrv);
        if (IsLong(w.msg)) {
            ASSERT_LT(w.p1, buffers.size());
            InBuffer& b = *buffers[w.p1];
            returned[w.p1] = true;
            EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b.Hdr()), n.dwParam1);
            EXPECT_EQ(std::string(w.bytes), b.Recorded());
            EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), b.hdr.dwFlags);
            EXPECT_TRUE(b.TailUntouched());
        } else {
            EXPECT_EQ(w.p1, n.dwParam1);
        }
    }
    // Buffers not returned are still queued, and nothing was written past
    // the head's fill.
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (returned[i]) continue;
        EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_INQUEUE), buffers[i]->hdr.dwFlags) << i;
        EXPECT_EQ(0u, buffers[i]->hdr.dwBytesRecorded) << i;
    }
    ResetClient(pClient);
}

std::string CaseName(const ::testing::TestParamInfo<ParseCase>& info) {
    return info.param.name;
}

const ParseCase kIdle[] = {
    {"DataByteRightAfterStart", {}, {{5, "40"}}, {{MIM_ERROR, 0x40, 0}}},
    {"StrayEndOfExclusiveCarriesItsOwnTime", {}, {{7, "F7"}}, {{MIM_ERROR, 0xF7, 7}}},
    {"SystemCommonAndSingleByteMessages",
     {},
     {{1, "F1 10"}, {2, "F6"}, {3, "F7"}, {4, "F3 05 F4 F5"}},
     {{MIM_DATA, 0x10F1, 1},
      {MIM_DATA, 0xF6, 2},
      {MIM_ERROR, 0xF7, 3},
      {MIM_DATA, 0x05F3, 4},
      {MIM_DATA, 0xF4, 4},
      {MIM_DATA, 0xF5, 4}}},
    {"NoRunningStatusAfterSystemCommon",
     {},
     {{2, "F2 10 20"}, {9, "30"}},
     {{MIM_DATA, 0x2010F2, 2}, {MIM_ERROR, 0x30, 2}}},
    {"RealTimeIsStampedWithItsOwnTimeAndLeavesTheMessageTime",
     {},
     {{3, "F1 10"}, {8, "FE F9 FD FF"}, {9, "40"}},
     {{MIM_DATA, 0x10F1, 3},
      {MIM_DATA, 0xFE, 8},
      {MIM_DATA, 0xF9, 8},
      {MIM_DATA, 0xFD, 8},
      {MIM_DATA, 0xFF, 8},
      {MIM_ERROR, 0x40, 3}}},
};
INSTANTIATE_TEST_SUITE_P(Idle, InputParse, ::testing::ValuesIn(kIdle), CaseName);

const ParseCase kAssembling[] = {
    {"ChannelMessageStampedWithItsFirstDataByte",
     {},
     {{1, "90"}, {4, "3C"}, {6, "40"}},
     {{MIM_DATA, 0x403C90, 4}}},
    {"RealTimeBetweenTheBytes",
     {},
     {{1, "90"}, {2, "F8"}, {3, "3C"}, {4, "FA 40"}},
     {{MIM_DATA, 0xF8, 2}, {MIM_DATA, 0xFA, 4}, {MIM_DATA, 0x403C90, 3}}},
    {"CutShortByAChannelStatus",
     {},
     {{1, "90 3C"}, {5, "80 3C 40"}},
     {{MIM_ERROR, 0x3C90, 1}, {MIM_DATA, 0x403C80, 5}}},
    {"StatusAloneCutShort",
     {},
     {{1, "90"}, {2, "A0 01 02"}},
     {{MIM_ERROR, 0x90, 1}, {MIM_DATA, 0x0201A0, 2}}},
    {"CutShortBySystemCommon",
     {},
     {{1, "B0 07"}, {2, "F1 10"}},
     {{MIM_ERROR, 0x07B0, 1}, {MIM_DATA, 0x10F1, 2}}},
    {"CutShortByEndOfExclusive",
     {},
     {{1, "90 3C"}, {2, "F7"}},
     {{MIM_ERROR, 0x3C90, 1}, {MIM_ERROR, 0xF7, 2}}},
    {"CutShortByExclusive",
     {16},
     {{1, "E0 01"}, {2, "F0 01 F7"}},
     {{MIM_ERROR, 0x01E0, 1}, {MIM_LONGDATA, 0, 2, "F0 01 F7"}}},
    {"SystemCommonStampedWithItsStatusAndRealTimeInside",
     {},
     {{1, "F2 10"}, {3, "FA"}, {4, "20"}},
     {{MIM_DATA, 0xFA, 3}, {MIM_DATA, 0x2010F2, 1}}},
};
INSTANTIATE_TEST_SUITE_P(Assembling, InputParse, ::testing::ValuesIn(kAssembling), CaseName);

const ParseCase kRunningStatus[] = {
    {"ThreeByteMessages",
     {},
     {{1, "90 3C 40"}, {3, "3C"}, {4, "00"}},
     {{MIM_DATA, 0x403C90, 1}, {MIM_DATA, 0x003C90, 3}}},
    {"TwoByteMessages", {}, {{1, "C0 05 06"}}, {{MIM_DATA, 0x05C0, 1}, {MIM_DATA, 0x06C0, 1}}},
    {"SurvivesRealTime",
     {},
     {{1, "90 3C 40 F8 3C 00"}},
     {{MIM_DATA, 0x403C90, 1}, {MIM_DATA, 0xF8, 1}, {MIM_DATA, 0x003C90, 1}}},
    {"ReplacedByANewChannelStatus",
     {},
     {{1, "90 3C 40 80 3C 00 3D 00"}},
     {{MIM_DATA, 0x403C90, 1}, {MIM_DATA, 0x003C80, 1}, {MIM_DATA, 0x003D80, 1}}},
    {"CancelledBySystemCommon",
     {},
     {{1, "90 3C 40 F6"}, {2, "3C 40"}},
     {{MIM_DATA, 0x403C90, 1}, {MIM_DATA, 0xF6, 1}, {MIM_ERROR, 0x3C, 1}, {MIM_ERROR, 0x40, 1}}},
    {"CancelledByExclusive",
     {16},
     {{1, "90 3C 40"}, {2, "F0 7E F7"}, {3, "3C 40"}},
     {{MIM_DATA, 0x403C90, 1},
      {MIM_LONGDATA, 0, 2, "F0 7E F7"},
      {MIM_ERROR, 0x3C, 2},
      {MIM_ERROR, 0x40, 2}}},
    {"PartialMessageUnderRunningStatusCutShort",
     {},
     {{1, "90 3C 40"}, {2, "3C"}, {3, "80 3C 40"}},
     {{MIM_DATA, 0x403C90, 1}, {MIM_ERROR, 0x3C90, 2}, {MIM_DATA, 0x403C80, 3}}},
};
INSTANTIATE_TEST_SUITE_P(RunningStatus, InputParse, ::testing::ValuesIn(kRunningStatus), CaseName);

const ParseCase kExclusive[] = {
    {"OneBufferStampedWithItsF0",
     {16},
     {{2, "F0 7E 7F"}, {3, "09 01 F7"}},
     {{MIM_LONGDATA, 0, 2, "F0 7E 7F 09 01 F7"}}},
    {"AcrossBuffersAllWithTheTimeOfF0",
     {4, 16},
     {{2, "F0 7E"}, {5, "7F 09 01"}, {9, "F7"}},
     {{MIM_LONGDATA, 0, 2, "F0 7E 7F 09"}, {MIM_LONGDATA, 1, 2, "01 F7"}}},
    {"EndOfExclusiveFillsTheBufferExactly",
     {3, 8},
     {{1, "F0 01 F7"}},
     {{MIM_LONGDATA, 0, 1, "F0 01 F7"}}},
    {"FullBufferThenEndOfExclusiveInTheNext",
     {2, 16},
     {{1, "F0 01 F7"}},
     {{MIM_LONGDATA, 0, 1, "F0 01"}, {MIM_LONGDATA, 1, 1, "F7"}}},
    {"EndedByAChannelStatus",
     {16},
     {{1, "F0 01 02"}, {3, "90 3C 40"}},
     {{MIM_LONGDATA, 0, 1, "F0 01 02"}, {MIM_DATA, 0x403C90, 3}}},
    {"EndedBySystemCommon",
     {16},
     {{1, "F0 01 F1 10"}},
     {{MIM_LONGDATA, 0, 1, "F0 01"}, {MIM_DATA, 0x10F1, 1}}},
    {"EndedRightAfterAFullBufferReturnsTheNextEmpty",
     {4, 16},
     {{1, "F0 01 02 03"}, {2, "90 3C 40"}},
     {{MIM_LONGDATA, 0, 1, "F0 01 02 03"}, {MIM_LONGDATA, 1, 1, ""}, {MIM_DATA, 0x403C90, 2}}},
    // A second F0 is kept once, as received, and restamps the message.
    {"F0InsideAnUnfinishedMessage",
     {16},
     {{1, "F0 01"}, {4, "F0 02 F7"}},
     {{MIM_LONGDATA, 0, 4, "F0 01 F0 02 F7"}}},
    {"F0InsideFillingTheBuffer",
     {3, 16},
     {{1, "F0 01"}, {4, "F0 02 F7"}},
     {{MIM_LONGDATA, 0, 1, "F0 01 F0"}, {MIM_LONGDATA, 1, 4, "02 F7"}}},
    {"RealTimeInsideIsDeliveredAndNotStored",
     {16},
     {{1, "F0 01"}, {3, "F8 02 F7"}},
     {{MIM_DATA, 0xF8, 3}, {MIM_LONGDATA, 0, 1, "F0 01 02 F7"}}},
    {"MessagesBackToBackFillSuccessiveBuffers",
     {16, 16},
     {{1, "F0 01 F7"}, {2, "F0 02 F7"}},
     {{MIM_LONGDATA, 0, 1, "F0 01 F7"}, {MIM_LONGDATA, 1, 2, "F0 02 F7"}}},
    {"NoBufferQueuedLosesTheBytesButFollowsTheMessage",
     {},
     {{1, "F0 01 F7"}, {2, "40"}},
     {{MIM_ERROR, 0x40, 1}}},
};
INSTANTIATE_TEST_SUITE_P(Exclusive, InputParse, ::testing::ValuesIn(kExclusive), CaseName);

}  // namespace
}  // namespace vt
