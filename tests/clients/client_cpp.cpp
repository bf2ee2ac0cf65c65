// A MIDI program in C++ in the style of Windows clients, built with and
// without UNICODE: port names through the generic, ANSI and wide records and
// WideCharToMultiByte, an input callback that hands data over under a critical
// section, sysex buffers queued and given back, a long message out, and error
// texts. It plays through the driver to the simulated kernel side, whose
// output A loops back to input A.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "tests/support/sim_process.h"

// One test name a build of this file.
#ifdef UNICODE
#define VT_CLIENT_SUITE WindowsClientUnicode
#else
#define VT_CLIENT_SUITE WindowsClientAnsi
#endif

namespace {

// Text of either width as UTF-8, the way Windows programs convert it.
std::string ToUtf8(const TCHAR* psz) {
    const WCHAR* wide = L"";
#ifdef UNICODE
    wide = psz;
#else
    std::wstring converted;
    int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (cch > 0) {
        converted.resize(static_cast<size_t>(cch));
        MultiByteToWideChar(CP_ACP, 0, psz, -1, &converted[0], cch);
        wide = converted.c_str();
    }
#endif
    int cb = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(cb > 0 ? static_cast<size_t>(cb) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], cb, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::string ErrorText(MMRESULT r) {
    TCHAR text[MAXERRORLENGTH];
    midiInGetErrorText(r, text, MAXERRORLENGTH);
    return ToUtf8(text);
}

constexpr int kSysexBuffers = 4;
constexpr DWORD kSysexSize = 1024;

struct Input {
    CRITICAL_SECTION lock;
    HANDLE hArrived = nullptr;  // both messages are in
    bool fClosing = false;      // buffers that come back stay back
    std::vector<DWORD> shortMessages;
    std::string sysex;
    int cReturned = 0;
};

void CALLBACK MidiInProc(HMIDIIN hmi, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR) {
    auto* in = reinterpret_cast<Input*>(dwInstance);
    EnterCriticalSection(&in->lock);
    if (uMsg == MIM_DATA) {
        in->shortMessages.push_back(static_cast<DWORD>(dw1));
    } else if (uMsg == MIM_LONGDATA) {
        auto* hdr = reinterpret_cast<MIDIHDR*>(dw1);
        if (in->fClosing) {
            ++in->cReturned;
        } else {
            in->sysex.append(hdr->lpData, hdr->dwBytesRecorded);
            midiInAddBuffer(hmi, hdr, sizeof(MIDIHDR));
        }
    }
    if (!in->shortMessages.empty() && !in->sysex.empty()) SetEvent(in->hArrived);
    LeaveCriticalSection(&in->lock);
}

TEST(VT_CLIENT_SUITE, PortsLoopbackSysexAndErrorTexts) {
    vt::Simulator sim("--nodes 0");
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    ASSERT_EQ(midiInGetNumDevs(), 2u);
    MIDIOUTCAPS outCaps;
    MIDIINCAPS inCaps;
    ASSERT_EQ(midiOutGetDevCaps(0, &outCaps, sizeof(MIDIOUTCAPS)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInGetDevCaps(0, &inCaps, sizeof(MIDIINCAPS)), MMSYSERR_NOERROR);
    EXPECT_EQ(ToUtf8(outCaps.szPname), "Out-A Veltrane");
    EXPECT_EQ(ToUtf8(inCaps.szPname), "In-A Veltrane");
    // The explicit widths agree with the generic one.
    MIDIOUTCAPSA outA;
    MIDIINCAPSW inW;
    ASSERT_EQ(midiOutGetDevCapsA(0, &outA, sizeof outA), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInGetDevCapsW(0, &inW, sizeof inW), MMSYSERR_NOERROR);
    EXPECT_STREQ(outA.szPname, "Out-A Veltrane");
    EXPECT_EQ(std::wstring(inW.szPname), L"In-A Veltrane");

    Input in;
    InitializeCriticalSectionAndSpinCount(&in.lock, 0x400);
    in.hArrived = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HMIDIIN hmi = nullptr;
    ASSERT_EQ(midiInOpen(&hmi, 0, reinterpret_cast<DWORD_PTR>(&MidiInProc),
                         reinterpret_cast<DWORD_PTR>(&in), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<char> memory(kSysexBuffers * kSysexSize);
    MIDIHDR headers[kSysexBuffers] = {};
    for (int i = 0; i < kSysexBuffers; ++i) {
        headers[i].lpData = &memory[i * kSysexSize];
        headers[i].dwBufferLength = kSysexSize;
        ASSERT_EQ(midiInPrepareHeader(hmi, &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(hmi, &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(midiInStart(hmi), MMSYSERR_NOERROR);

    HMIDIOUT hmo = nullptr;
    ASSERT_EQ(midiOutOpen(&hmo, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutShortMsg(hmo, 0x00403C90), MMSYSERR_NOERROR);
    char sysex[] = {'\xF0', 0x7E, 0x7F, 0x06, 0x01, '\xF7'};
    MIDIHDR out = {};
    out.lpData = sysex;
    out.dwBufferLength = sizeof sysex;
    ASSERT_EQ(midiOutPrepareHeader(hmo, &out, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(hmo, &out, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    while (midiOutUnprepareHeader(hmo, &out, sizeof(MIDIHDR)) == MIDIERR_STILLPLAYING)
        Sleep(1);

    ASSERT_EQ(WaitForSingleObject(in.hArrived, 10000), WAIT_OBJECT_0);
    EnterCriticalSection(&in.lock);
    EXPECT_EQ(in.shortMessages, std::vector<DWORD>{0x00403C90});
    EXPECT_EQ(in.sysex, std::string(sysex, sizeof sysex));
    in.fClosing = true;
    LeaveCriticalSection(&in.lock);

    // Every buffer comes back on reset, and then unprepares and closes.
    ASSERT_EQ(midiInStop(hmi), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInReset(hmi), MMSYSERR_NOERROR);
    EnterCriticalSection(&in.lock);
    EXPECT_EQ(in.cReturned, kSysexBuffers);
    LeaveCriticalSection(&in.lock);
    for (MIDIHDR& h : headers)
        EXPECT_EQ(midiInUnprepareHeader(hmi, &h, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(hmi), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(hmo), MMSYSERR_NOERROR);
    CloseHandle(in.hArrived);
    DeleteCriticalSection(&in.lock);

    // A failure as a program reports it.
    HMIDIIN none = nullptr;
    MMRESULT r = midiInOpen(&none, 7, 0, 0, CALLBACK_NULL);
    EXPECT_EQ(ErrorText(r), "A device ID has been used that is out of range for your system.");
}

}  // namespace
