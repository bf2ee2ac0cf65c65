// Input parse throughput: a 2 MiB MIDI stream (80 % channel messages, mostly
// under running status, 16 % system exclusive, 4 % real-time, some of it in
// the middle of other messages) cut into packets as the interface delivers
// them, written into the input ring of one started handle and drained by the
// driver's own drain, whose callback only counts. Only the drains are timed
// (Google Benchmark's manual time); the handle's timer is stopped so that they
// all run on this thread. The baseline is libasound's byte encoder
// (snd_midi_event_encode_byte) on the same bytes, round by round in the same
// run; both must count the messages the stream holds.
#include <alsa/asoundlib.h>

#include <random>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "midiin/midiin.h"
#include "tests/support/loaded_driver.h"

namespace {

constexpr const char* kName = "parse_throughput";
constexpr double kGoal = 1.5;
constexpr DWORD kSysexBufferBytes = 256;  // larger than any system-exclusive message made here

struct Counts {
    uint64_t shortMsgs = 0;  // channel and real-time messages
    uint64_t sysex = 0;
    uint64_t errors = 0;
    bool operator==(const Counts& c) const {
        return shortMsgs == c.shortMsgs && sysex == c.sysex && errors == c.errors;
    }
};

std::string Describe(const Counts& c) {
    return std::to_string(c.shortMsgs) + " short, " + std::to_string(c.sysex) + " sysex, " +
           std::to_string(c.errors) + " errors";
}

// The stream, and what it holds by its making.
struct Stream {
    std::vector<uint8_t> bytes;
    Counts made;
};

Stream MakeStream(size_t cbTotal) {
    std::mt19937 rng(20240611);
    auto below = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    Stream s;
    size_t cbChannel = 0, cbSysex = 0, cbRealTime = 0;
    static const uint8_t kRealTime[] = {0xF8, 0xFA, 0xFC, 0xFE};
    auto realTime = [&] {
        s.bytes.push_back(kRealTime[below(4)]);
        ++cbRealTime;
        ++s.made.shortMsgs;
    };
    static const uint8_t kKinds[] = {0x90, 0x80, 0xB0, 0xE0, 0xA0, 0xC0, 0xD0};
    uint8_t running = 0;
    while (s.bytes.size() < cbTotal) {
        // Whichever kind is furthest below its share goes next.
        double n = double(s.bytes.size()) + 1;
        double dChannel = 0.80 - cbChannel / n, dSysex = 0.16 - cbSysex / n,
               dRealTime = 0.04 - cbRealTime / n;
        if (dRealTime >= dChannel && dRealTime >= dSysex) {
            realTime();
        } else if (dSysex >= dChannel) {
            unsigned cData = 4 + below(200);
            s.bytes.push_back(0xF0);
            for (unsigned i = 0; i < cData; ++i) {
                if (below(64) == 0) realTime();
                s.bytes.push_back(static_cast<uint8_t>(below(128)));
            }
            s.bytes.push_back(0xF7);
            cbSysex += cData + 2;
            ++s.made.sysex;
            running = 0;  // system exclusive ends running status
        } else {
            uint8_t status = running;
            if (status == 0 || below(5) == 0) {
                status = static_cast<uint8_t>(kKinds[below(7)] | below(4));
                s.bytes.push_back(status);
                ++cbChannel;
                running = status;
            }
            unsigned cData = (status & 0xE0) == 0xC0 ? 1 : 2;
            for (unsigned i = 0; i < cData; ++i) {
                if (i > 0 && below(32) == 0) realTime();
                s.bytes.push_back(static_cast<uint8_t>(below(128)));
            }
            cbChannel += cData;
            ++s.made.shortMsgs;
        }
    }
    return s;
}

// ---- the driver's side
Counts gSeen;

void CALLBACK CountNotification(HDRVR, UINT uMsg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    switch (uMsg) {
        case MIM_DATA:
            ++gSeen.shortMsgs;
            break;
        case MIM_LONGDATA:
            ++gSeen.sysex;
            break;
        case MIM_ERROR:
        case MIM_LONGERROR:
            ++gSeen.errors;
            break;
    }
}

class DriverRig {
  public:
    DriverRig(const Stream& stream, uint64_t cSysex) : buffers_(cSysex) {
        sim::Packetizer packetizer(0);
        for (uint8_t b : stream.bytes)
            packetizer.Push(b, &packets_);
        data_.resize(cSysex * kSysexBufferBytes);
        if (midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0) < 1) bench::Fail(kName, "no input port");
        MIDIOPENDESC desc = {};
        desc.dwCallback = reinterpret_cast<DWORD_PTR>(&CountNotification);
        if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser_),
                       reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
            bench::Fail(kName, "cannot open input 0");
        client_ = reinterpret_cast<InputClient*>(dwUser_);
        // Its drains run on this thread only, timed one by one.
        mmTimerDisable(client_);
        fifo_ = client_->pInstance->aStreams[kStreamIn].pFifo;
        if (!fifo_) bench::Fail(kName, "the input does not stream");
        midMessage(0, MIDM_START, dwUser_, 0, 0);
    }
    ~DriverRig() {
        midMessage(0, MIDM_RESET, dwUser_, 0, 0);
        midMessage(0, MIDM_CLOSE, dwUser_, 0, 0);
    }

    // Seconds spent in the drains.
    double Round(Counts* seen) {
        for (size_t i = 0; i < buffers_.size(); ++i) {
            MIDIHDR& h = buffers_[i];
            h = MIDIHDR{};
            h.lpData = reinterpret_cast<LPSTR>(&data_[i * kSysexBufferBytes]);
            h.dwBufferLength = kSysexBufferBytes;
            h.dwFlags = MHDR_PREPARED;
            if (midMessage(0, MIDM_ADDBUFFER, dwUser_, reinterpret_cast<DWORD_PTR>(&h), sizeof h) !=
                MMSYSERR_NOERROR)
                bench::Fail(kName, "MIDM_ADDBUFFER was refused");
        }
        gSeen = Counts{};
        int64_t spent = 0;
        for (size_t next = 0; next < packets_.size();) {
            while (next < packets_.size() && sim::RingPut(fifo_, packets_[next]))
                ++next;
            int64_t t0 = bench::NowNs();
            mmTimerIntr(0, 0, reinterpret_cast<DWORD_PTR>(client_->pInstance), 0, 0);
            spent += bench::NowNs() - t0;
        }
        *seen = gSeen;
        return double(spent) * 1e-9;
    }

  private:
    std::vector<uint32_t> packets_;
    std::vector<MIDIHDR> buffers_;
    std::vector<char> data_;
    DWORD_PTR dwUser_ = 0;
    InputClient* client_ = nullptr;
    MidiFifo* fifo_ = nullptr;
};

// ---- the baseline
class AlsaRig {
  public:
    AlsaRig() {
        if (snd_midi_event_new(kSysexBufferBytes, &dev_) < 0) bench::Fail(kName, "libasound");
    }
    ~AlsaRig() { snd_midi_event_free(dev_); }

    double Round(const Stream& stream, Counts* seen) {
        snd_midi_event_reset_encode(dev_);
        Counts c;
        snd_seq_event_t ev;
        int64_t t0 = bench::NowNs();
        for (uint8_t b : stream.bytes) {
            if (snd_midi_event_encode_byte(dev_, b, &ev) == 1) {
                if (ev.type == SND_SEQ_EVENT_SYSEX)
                    ++c.sysex;
                else
                    ++c.shortMsgs;
            }
        }
        int64_t spent = bench::NowNs() - t0;
        *seen = c;
        return double(spent) * 1e-9;
    }

  private:
    snd_midi_event_t* dev_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0", "--no-loopback"});
    const Stream stream = MakeStream(o.smoke ? 64 * 1024 : 2 * 1024 * 1024);
    vt::LoadedDriver driver;
    DriverRig rig(stream, stream.made.sysex);
    AlsaRig alsa;

    // Both must count what the stream holds, or the figures mean nothing.
    auto timed = [&](benchmark::State& state, const char* who, auto round) {
        for (auto _ : state) {
            Counts c;
            double seconds = round(&c);
            if (!(c == stream.made)) {
                state.SkipWithError((std::string(who) + " counted " + Describe(c) +
                                     ", the stream holds " + Describe(stream.made))
                                        .c_str());
                break;
            }
            state.SetIterationTime(seconds);
        }
        state.SetBytesProcessed(static_cast<int64_t>(stream.bytes.size()) * state.iterations());
    };
    // Passes over the stream in a round: their time adds up.
    const benchmark::IterationCount passes = o.smoke ? 1 : 3;
    std::vector<std::vector<bench::Run>> runs = bench::RunRounds(
        o, kName,
        {{"driver",
          [&](benchmark::State& state) {
              timed(state, "the driver", [&](Counts* c) { return rig.Round(c); });
          },
          passes, true},
         {"libasound",
          [&](benchmark::State& state) {
              timed(state, "libasound", [&](Counts* c) { return alsa.Round(stream, c); });
          },
          passes, true}});
    bench::Rounds r = bench::RoundsOf(runs[0], runs[1], [](const bench::Run& run) {
        return bench::CounterOf(run, "bytes_per_second") * 1e-6;
    });
    bench::PrintRatioResult(o, kName, r, "MB/s", 1, kGoal, true);
    return 0;
}
