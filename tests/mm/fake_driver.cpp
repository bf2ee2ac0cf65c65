// The recording stand-in for the driver library (see fake_driver.h). When
// $VT_FAKE_DRIVER_LOG names a file, every DriverProc message is also appended
// to it, so a test can see what a child process sent before it exited.
#include "tests/mm/fake_driver.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

std::mutex gMutex;
std::vector<FakeCall> gCalls;
std::map<std::pair<int, UINT>, DWORD> gAnswers;

// One open handle of the fake: what the open gave it, to call back with.
struct Client {
    MIDIOPENDESC desc;
    DWORD dwFlags;
};

bool Record(FakeEntry entry, UINT id, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2,
            DWORD* answer) {
    std::lock_guard<std::mutex> lock(gMutex);
    gCalls.push_back({entry, id, msg, user, p1, p2});
    auto it = gAnswers.find({entry, msg});
    if (it == gAnswers.end()) return false;
    *answer = it->second;
    return true;
}

void Notify(Client* c, UINT msg, DWORD_PTR p1) {
    DriverCallback(c->desc.dwCallback, (c->dwFlags >> 16) & DCB_TYPEMASK,
                   reinterpret_cast<HDRVR>(c->desc.hMidi), msg, c->desc.dwInstance, p1, 0);
}

// The record a capability request gets: device 2 has a name beyond ASCII
// (with a character outside the 16-bit plane), device 3 one that fills the
// record with two-byte characters.
template <typename Caps>
DWORD FillCaps(UINT uDeviceID, DWORD_PTR dwParam1, DWORD_PTR dwParam2, const char16_t* name) {
    if (dwParam2 < sizeof(Caps)) return MMSYSERR_INVALPARAM;
    auto* caps = reinterpret_cast<Caps*>(dwParam1);
    *caps = Caps{};
    caps->wMid = 0x1234;
    caps->wPid = static_cast<WORD>(uDeviceID);
    caps->vDriverVersion = 0x0401;
    std::u16string text = uDeviceID == 2   ? u"Synth \u00e9\U0001D11E"
                          : uDeviceID == 3 ? std::u16string(MAXPNAMELEN - 1, u'\u00e9')
                                           : name;
    text.copy(caps->szPname, MAXPNAMELEN - 1);
    caps->dwSupport = 0;
    return MMSYSERR_NOERROR;
}

DWORD Open(DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2, UINT msgOpen) {
    auto* c = new Client{*reinterpret_cast<MIDIOPENDESC*>(dwParam1), static_cast<DWORD>(dwParam2)};
    *reinterpret_cast<DWORD_PTR*>(dwUser) = reinterpret_cast<DWORD_PTR>(c);
    Notify(c, msgOpen, 0);
    return MMSYSERR_NOERROR;
}

DWORD Close(DWORD_PTR dwUser, UINT msgClose) {
    auto* c = reinterpret_cast<Client*>(dwUser);
    Notify(c, msgClose, 0);
    delete c;
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {

void FakeReset(void) {
    std::lock_guard<std::mutex> lock(gMutex);
    gCalls.clear();
    gAnswers.clear();
}

DWORD FakeCallCount(void) {
    std::lock_guard<std::mutex> lock(gMutex);
    return static_cast<DWORD>(gCalls.size());
}

FakeCall FakeCallAt(DWORD i) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gCalls.at(i);
}

void FakeAnswer(FakeEntry entry, UINT uMsg, DWORD dwAnswer) {
    std::lock_guard<std::mutex> lock(gMutex);
    gAnswers[{entry, uMsg}] = dwAnswer;
}

LRESULT DriverProc(DWORD_PTR dwDriverId, HDRVR, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
    if (const char* log = std::getenv("VT_FAKE_DRIVER_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%u %lu\n", uMsg, static_cast<unsigned long>(dwDriverId));
            std::fclose(f);
        }
    }
    DWORD answer = 0;
    if (Record(kFakeDriverProc, 0, uMsg, dwDriverId, lParam1, lParam2, &answer)) return answer;
    return uMsg == DRV_OPEN ? kFakeDriverId : 1;
}

DWORD modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2) {
    DWORD answer = 0;
    if (Record(kFakeMod, uDeviceID, uMsg, dwUser, dwParam1, dwParam2, &answer)) return answer;
    switch (uMsg) {
        case MODM_GETNUMDEVS:
            return kFakeNumDevs;
        case MODM_GETDEVCAPS:
            return FillCaps<VtMidiOutCaps16>(uDeviceID, dwParam1, dwParam2, u"Fake Out");
        case MODM_OPEN:
            return Open(dwUser, dwParam1, dwParam2, MOM_OPEN);
        case MODM_CLOSE:
            return Close(dwUser, MOM_CLOSE);
        case MODM_DATA:
        case MODM_RESET:
            return MMSYSERR_NOERROR;
        case MODM_LONGDATA: {
            auto* h = reinterpret_cast<MIDIHDR*>(dwParam1);
            h->dwFlags |= MHDR_DONE;
            Notify(reinterpret_cast<Client*>(dwUser), MOM_DONE, dwParam1);
            return MMSYSERR_NOERROR;
        }
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2) {
    DWORD answer = 0;
    if (Record(kFakeMid, uDeviceID, uMsg, dwUser, dwParam1, dwParam2, &answer)) return answer;
    switch (uMsg) {
        case MIDM_GETNUMDEVS:
            return kFakeNumDevs;
        case MIDM_GETDEVCAPS:
            return FillCaps<VtMidiInCaps16>(uDeviceID, dwParam1, dwParam2, u"Fake In");
        case MIDM_OPEN:
            return Open(dwUser, dwParam1, dwParam2, MIM_OPEN);
        case MIDM_CLOSE:
            return Close(dwUser, MIM_CLOSE);
        case MIDM_ADDBUFFER: {
            auto* h = reinterpret_cast<MIDIHDR*>(dwParam1);
            h->dwFlags = (h->dwFlags | MHDR_INQUEUE) & ~static_cast<DWORD>(MHDR_DONE);
            return MMSYSERR_NOERROR;
        }
        case MIDM_START:
        case MIDM_STOP:
        case MIDM_RESET:
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}
}
