// An application for the sharing tests: it uses MIDI through the multimedia
// layer as any program does, one command a line on stdin, one answer a line on
// stdout. One output and one input handle at most.
//
//   out ID | in ID       -> the open's result; the input queues 8 buffers and starts
//   notes CH N          -> N note-ons 9CH 3C vv, vv = i % 128, each offered again
//                          while the ring is full, for 2 s at most:
//                          "sent N" or "failed I R"
//   short HEX           -> the result of midiOutShortMsg
//   sysex N             -> one long message of N bytes, F0 7D ... F7:
//                          "R done" or "R notdone" (the header's done flag)
//   long HEX...         -> one long message of these bytes, answered the same
//   received            -> "data D sysex S errors E" so far
//   await N             -> the same, once D is at least N (20 s at most)
//   lock                -> the next input callback takes the driver's named mutex
//                          and never returns: "locked" once it has it
//   closeout | closein  -> the close's result
//   auto SEED COUNT     -> COUNT random opens, sends and closes (0: until killed),
//                          one line per call, "CALL RESULT MS"; then closes
//                          what it has open and exits
//   quit
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

// The driver's named mutex is the host's, named in 16-bit text: the call of
// the driver's view, which the client view does not declare.
extern "C" HANDLE WINAPI DriverViewCreateMutex(LPSECURITY_ATTRIBUTES lpAttributes, BOOL fOwner,
                                               const char16_t* pszName) __asm__("CreateMutexW");

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
    std::mutex m;
    std::condition_variable cv;
    unsigned data = 0, sysex = 0, errors = 0;
    bool locked = false;  // an input callback holds the named mutex
    std::vector<MIDIHDR*> returned;
    std::string Text() {
        return "data " + std::to_string(data) + " sysex " + std::to_string(sysex) + " errors " +
               std::to_string(errors);
    }
};
Received gIn;
// The named mutex that the next input callback takes and keeps.
std::atomic<HANDLE> gMutexForCallback{nullptr};

void CALLBACK OnInput(HMIDIIN, UINT uMsg, DWORD_PTR, DWORD_PTR dw1, DWORD_PTR) {
    if (HANDLE h = gMutexForCallback.exchange(nullptr)) {
        DWORD r = WaitForSingleObject(h, INFINITE);
        {
            std::lock_guard<std::mutex> lock(gIn.m);
            gIn.locked = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        }
        gIn.cv.notify_all();
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::lock_guard<std::mutex> lock(gIn.m);
    if (uMsg == MIM_DATA) ++gIn.data;
    if (uMsg == MIM_ERROR || uMsg == MIM_LONGERROR) ++gIn.errors;
    if (uMsg == MIM_LONGDATA) {
        auto* h = reinterpret_cast<MIDIHDR*>(dw1);
        if (h->dwBytesRecorded != 0) ++gIn.sysex;
        gIn.returned.push_back(h);
    }
    gIn.cv.notify_all();
}

class Peer {
  public:
    MMRESULT OpenOut(UINT id) { return midiOutOpen(&out_, id, 0, 0, CALLBACK_NULL); }

    MMRESULT OpenIn(UINT id) {
        MMRESULT r =
            midiInOpen(&in_, id, reinterpret_cast<DWORD_PTR>(&OnInput), 0, CALLBACK_FUNCTION);
        if (r != MMSYSERR_NOERROR) return r;
        memory_.assign(8, std::vector<char>(4096));
        headers_.assign(8, MIDIHDR{});
        for (size_t i = 0; i < headers_.size(); ++i) {
            headers_[i].lpData = memory_[i].data();
            headers_[i].dwBufferLength = 4096;
            midiInPrepareHeader(in_, &headers_[i], sizeof(MIDIHDR));
            midiInAddBuffer(in_, &headers_[i], sizeof(MIDIHDR));
        }
        return midiInStart(in_);
    }

    // Buffers the driver returned go back into the queue, here rather than
    // from the callback.
    void Requeue() {
        std::vector<MIDIHDR*> again;
        {
            std::lock_guard<std::mutex> lock(gIn.m);
            again.swap(gIn.returned);
        }
        for (MIDIHDR* h : again)
            if (in_) midiInAddBuffer(in_, h, sizeof(MIDIHDR));
    }

    std::string Notes(unsigned ch, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            DWORD msg = (0x90 | ch) | (0x3C << 8) | ((i % 128) << 16);
            MMRESULT r;
            Clock::time_point since = Clock::now();
            while ((r = midiOutShortMsg(out_, msg)) == MIDIERR_NOTREADY &&
                   Clock::now() - since < std::chrono::seconds(2))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (r != MMSYSERR_NOERROR)
                return "failed " + std::to_string(i) + " " + std::to_string(r);
        }
        return "sent " + std::to_string(count);
    }

    std::string Sysex(size_t cb) {
        std::vector<char> bytes(cb < 2 ? 2 : cb);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i % 128);
        bytes[0] = static_cast<char>(0xF0);
        if (bytes.size() > 1) bytes[1] = 0x7D;
        bytes.back() = static_cast<char>(0xF7);
        return Long(bytes);
    }

    std::string Long(std::vector<char> bytes) {
        MIDIHDR h{};
        h.lpData = bytes.data();
        h.dwBufferLength = static_cast<DWORD>(bytes.size());
        midiOutPrepareHeader(out_, &h, sizeof h);
        MMRESULT r = midiOutLongMsg(out_, &h, sizeof h);
        bool done = (h.dwFlags & MHDR_DONE) != 0;
        midiOutUnprepareHeader(out_, &h, sizeof h);
        return std::to_string(r) + (done ? " done" : " notdone");
    }

    MMRESULT CloseOut() {
        MMRESULT r = midiOutClose(out_);
        out_ = nullptr;
        return r;
    }

    MMRESULT CloseIn() {
        midiInReset(in_);
        for (MIDIHDR& h : headers_)
            midiInUnprepareHeader(in_, &h, sizeof h);
        MMRESULT r = midiInClose(in_);
        in_ = nullptr;
        std::lock_guard<std::mutex> lock(gIn.m);
        gIn.returned.clear();
        return r;
    }

    // Random use of both directions, each call timed: count calls, or until
    // the process is killed.
    void Auto(unsigned seed, unsigned count) {
        std::mt19937 rng(seed);
        auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
        UINT nOut = midiOutGetNumDevs(), nIn = midiInGetNumDevs();
        for (unsigned n = 0; count == 0 || n < count; ++n) {
            Requeue();
            unsigned what = pick(10);
            std::string call;
            Clock::time_point start = Clock::now();
            MMRESULT r = 0;
            if (!out_ && what < 4) {
                call = "out";
                r = nOut ? OpenOut(pick(nOut)) : MMSYSERR_BADDEVICEID;
            } else if (!in_ && what < 6) {
                call = "in";
                r = nIn ? OpenIn(pick(nIn)) : MMSYSERR_BADDEVICEID;
            } else if (out_ && what < 5) {
                call = "notes";
                std::string answer = Notes(pick(16), 1 + pick(200));
                r = answer[0] == 's' ? 0 : std::stoul(answer.substr(answer.rfind(' ') + 1));
            } else if (out_ && what < 7) {
                call = "sysex";
                r = static_cast<MMRESULT>(std::stoul(Sysex(3 + pick(3000))));
            } else if (out_ && what == 7) {
                call = "closeout";
                r = CloseOut();
            } else if (in_ && what == 8) {
                call = "closein";
                r = CloseIn();
            } else {
                call = "idle";
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(20)));
            }
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::printf("%s %u %lld\n", call.c_str(), r, static_cast<long long>(ms.count()));
            std::fflush(stdout);
        }
    }

    HMIDIOUT out_ = nullptr;
    HMIDIIN in_ = nullptr;

  private:
    std::vector<std::vector<char>> memory_;
    std::vector<MIDIHDR> headers_;
};

}  // namespace

int main() {
    Peer peer;
    midiOutGetNumDevs();
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        std::string answer;
        peer.Requeue();
        if (cmd == "out" || cmd == "in") {
            UINT id = 0;
            in >> id;
            answer = std::to_string(cmd == "out" ? peer.OpenOut(id) : peer.OpenIn(id));
        } else if (cmd == "notes") {
            unsigned ch = 0, count = 0;
            in >> ch >> count;
            answer = peer.Notes(ch, count);
        } else if (cmd == "short") {
            std::string hex;
            in >> hex;
            answer = std::to_string(midiOutShortMsg(peer.out_, std::stoul(hex, nullptr, 16)));
        } else if (cmd == "sysex") {
            size_t cb = 0;
            in >> cb;
            answer = peer.Sysex(cb);
        } else if (cmd == "long") {
            std::vector<char> bytes;
            for (std::string hex; in >> hex;)
                bytes.push_back(static_cast<char>(std::stoul(hex, nullptr, 16)));
            answer = peer.Long(bytes);
        } else if (cmd == "received" || cmd == "await") {
            unsigned want = 0;
            in >> want;
            std::unique_lock<std::mutex> lock(gIn.m);
            gIn.cv.wait_for(lock, std::chrono::seconds(20), [&] { return gIn.data >= want; });
            answer = gIn.Text();
        } else if (cmd == "lock") {
            gMutexForCallback = DriverViewCreateMutex(nullptr, FALSE, u"VELTRANECs");
            std::unique_lock<std::mutex> lock(gIn.m);
            gIn.cv.wait_for(lock, std::chrono::seconds(20), [&] { return gIn.locked; });
            answer = gIn.locked ? "locked" : "failed";
        } else if (cmd == "closeout") {
            answer = std::to_string(peer.CloseOut());
        } else if (cmd == "closein") {
            answer = std::to_string(peer.CloseIn());
        } else if (cmd == "auto") {
            unsigned seed = 0, count = 0;
            in >> seed >> count;
            peer.Auto(seed, count);
            break;
        } else if (cmd == "quit") {
            break;
        } else {
            answer = "error unknown command";
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    if (peer.out_) peer.CloseOut();
    if (peer.in_) peer.CloseIn();
    return 0;
}
