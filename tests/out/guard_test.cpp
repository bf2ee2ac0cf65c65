// The send guard under real concurrency: threads sending to both ports of
// one interface at once, each send answering 0 or 67, nothing of a refused
// send reaching the wire, and a send from inside MOM_DONE refused.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "driver/driver.h"
#include "tests/out/out_support.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"

namespace {

using vt::OutHandle;

// Everything a port's receiver hears: what drains until cWanted messages have
// come, and whatever else the ring held.
std::vector<std::string> HearAll(vt::Simulator& sim, char port, size_t cWanted) {
    std::vector<BYTE> wire = vt::HearMessages(sim, 0, port, cWanted);
    MidiFifo* f = DevNodeToHardwareInstance(0)->aStreams[port - 'A'].pFifo;
    EXPECT_EQ(FifoSlot(f, f->iRead), 0u) << "the ring holds more than was accepted";
    std::vector<BYTE> rest = vt::PacketBytes(sim.CapturePackets(0, port));
    wire.insert(wire.end(), rest.begin(), rest.end());
    return vt::ParseMidi(wire);
}

// Four senders, two per port. On each port one handle sends data-only
// messages under running status while the other sends complete messages
// of another status (or sysex), so every accepted data-only message needs
// the driver to have tracked the port's last status exactly.
TEST(OutGuard, ConcurrentSendersOnBothPorts) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::LoadedDriver loaded;
    ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);

    constexpr int kSends = 5000;
    struct Sender {
        UINT uDeviceID;
        int kind;  // 0 running-status notes, 1 control changes, 2 sysex
        BYTE bChannel;
        OutHandle h;
        std::vector<std::string> accepted;
        int cNotReady = 0;
        int cOther = 0;
    };
    Sender senders[4] = {
        {0, 0, 0, {}, {}}, {0, 2, 0, {}, {}}, {1, 0, 2, {}, {}}, {1, 1, 3, {}, {}}};
    for (Sender& s : senders)
        ASSERT_EQ(s.h.Open(s.uDeviceID, nullptr, 0), 0u);

    std::atomic<bool> go{false};
    auto run = [&](Sender* s) {
        while (!go)
            std::this_thread::yield();
        char text[64];
        const BYTE bNote = static_cast<BYTE>(0x90 | s->bChannel);
        bool haveStatus = false;
        // Each sender goes on until kSends of its messages went out, so all
        // four contend for the guard the whole time.
        for (int i = 0; i < kSends;) {
            const BYTE v = static_cast<BYTE>(i % 0x80);
            DWORD r;
            if (s->kind == 0 && !haveStatus) {
                r = s->h.Short(bNote | (0x30u << 8) | (static_cast<DWORD>(v) << 16));
                if (r == 0) haveStatus = true;
                std::snprintf(text, sizeof text, "%02X 30 %02X", bNote, v);
            } else if (s->kind == 0) {
                r = s->h.Short(0x31u | (static_cast<DWORD>(v) << 8));
                std::snprintf(text, sizeof text, "%02X 31 %02X", bNote, v);
            } else if (s->kind == 1) {
                const BYTE bCc = static_cast<BYTE>(0xB0 | s->bChannel);
                r = s->h.Short(bCc | (0x07u << 8) | (static_cast<DWORD>(v) << 16));
                std::snprintf(text, sizeof text, "%02X 07 %02X", bCc, v);
            } else {
                std::vector<BYTE> bytes = {0xF0, 0x7D, static_cast<BYTE>(i >> 7), v, 0xF7};
                MIDIHDR hdr = vt::PreparedHeader(bytes);
                r = s->h.Long(&hdr);
                std::snprintf(text, sizeof text, "F0 7D %02X %02X F7", i >> 7, v);
                if (r == 0 && (hdr.dwFlags & MHDR_DONE) == 0) ++s->cOther;
                if (r == MIDIERR_NOTREADY && hdr.dwFlags != MHDR_PREPARED) ++s->cOther;
            }
            if (r == 0) {
                s->accepted.push_back(text);
                ++i;
            } else if (r == MIDIERR_NOTREADY) {
                ++s->cNotReady;
                std::this_thread::yield();
            } else {
                ++s->cOther;
                break;
            }
        }
    };
    std::vector<std::thread> threads;
    for (Sender& s : senders)
        threads.emplace_back(run, &s);
    go = true;
    for (std::thread& t : threads)
        t.join();

    for (char port : {'A', 'B'}) {
        SCOPED_TRACE(port);
        size_t cWanted = 0;
        for (Sender& s : senders) {
            if (s.uDeviceID != static_cast<UINT>(port - 'A')) continue;
            EXPECT_EQ(s.cOther, 0);
            cWanted += s.accepted.size();
        }
        std::vector<std::string> heard = HearAll(sim, port, cWanted);
        ASSERT_EQ(heard.size(), cWanted);
        // Split what was heard by sender: its status byte, or sysex.
        std::map<std::string, std::vector<std::string>> bySender;
        for (const std::string& m : heard)
            bySender[m.substr(0, 2)].push_back(m);
        for (Sender& s : senders) {
            if (s.uDeviceID != static_cast<UINT>(port - 'A')) continue;
            std::string key = s.kind == 2          ? "F0"
                              : s.accepted.empty() ? ""
                                                   : s.accepted[0].substr(0, 2);
            EXPECT_EQ(bySender[key], s.accepted);
        }
    }
    int cRefused = 0;
    for (Sender& s : senders)
        cRefused += s.cNotReady;
    // Not asserted: how often the guard refused depends on the scheduler.
    std::printf("accepted/refused: %zu %zu %zu %zu / %d\n", senders[0].accepted.size(),
                senders[1].accepted.size(), senders[2].accepted.size(), senders[3].accepted.size(),
                cRefused);
    for (Sender& s : senders)
        EXPECT_EQ(s.h.Close(), 0u);
}

// A send issued from inside MOM_DONE runs while the guard is still held.
DWORD_PTR gdwUserInDone = 0;
DWORD gdwResultInDone = 0xFFFF;
void SendFromDone(UINT uMsg, DWORD_PTR, DWORD_PTR) {
    if (uMsg == MOM_DONE) gdwResultInDone = modMessage(1, MODM_DATA, gdwUserInDone, 0x403C90, 0);
}

TEST(OutGuard, SendFromInsideDoneIsNotReady) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::LoadedDriver loaded;
    ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
    vt::NotificationRecorder rec;
    rec.hook = SendFromDone;
    OutHandle h;
    ASSERT_EQ(h.Open(1, &rec), 0u);
    gdwUserInDone = h.dwUser;
    std::vector<BYTE> bytes = vt::Hex("F0 01 F7");
    MIDIHDR hdr = vt::PreparedHeader(bytes);
    EXPECT_EQ(h.Long(&hdr), 0u);
    EXPECT_EQ(gdwResultInDone, static_cast<DWORD>(MIDIERR_NOTREADY));
    EXPECT_EQ(h.Client()->bRunningStatus, 0);
    EXPECT_EQ(sim.CapturePackets(0, 'B', 1), std::vector<uint32_t>{0x03F701F0});
    // Once the long buffer is through, the same send goes out.
    EXPECT_EQ(h.Short(0x403C90), 0u);
    EXPECT_EQ(sim.CapturePackets(0, 'B', 1), std::vector<uint32_t>{0x03403C90});
    EXPECT_EQ(h.Close(), 0u);
}

}  // namespace
