// The loop test: a pattern out of one port and back in through another,
// checked message by message, with latency and throughput.
#include "tools/loop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/decode.h"
#include "tools/input_port.h"
#include "tools/loop_check.h"
#include "tools/output_port.h"
#include "tools/stop_signal.h"

namespace tools {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Messages under way at once: enough to keep a wire-rate port busy, few
// enough that the input side never has to hold more than it can.
constexpr unsigned kWindow = 64;
// How long the loop waits without anything arriving before it calls the
// rest lost.
constexpr auto kQuiet = std::chrono::milliseconds(2000);

void PrintLatency(const std::vector<double>& samples) {
    LatencySummary s = Summarize(samples);
    std::printf("  latency ms: min %.2f  median %.2f  p99 %.2f  max %.2f\n", s.min, s.median, s.p99,
                s.max);
}

// Waits while more() holds, stepMs at a time, gathering the events; gives up
// once no short message has arrived for kQuiet.
template <typename More>
void WaitWhileArriving(InputPort& in, std::vector<InputEvent>* events, int stepMs, More more) {
    Clock::time_point lastArrival = Clock::now();
    for (unsigned seen = in.DataCount(); more();) {
        in.Wait(events, stepMs);
        if (in.DataCount() != seen) {
            seen = in.DataCount();
            lastArrival = Clock::now();
        } else if (Clock::now() - lastArrival > kQuiet) {
            break;
        }
    }
}

bool ShortLoop(const LoopOptions& o, InputPort& in, OutputPort& out) {
    std::printf("loop: %u short messages, %s -> %s\n", o.count, o.outName.c_str(),
                o.inName.c_str());
    std::fflush(stdout);
    std::vector<Clock::time_point> sentAt(o.count);
    std::vector<InputEvent> events;
    Clock::time_point start = Clock::now();
    bool sendFailed = false;
    for (unsigned seq = 0; seq < o.count && !StopRequested(); ++seq) {
        // Keep at most kWindow on the way; go on regardless after a quiet spell.
        WaitWhileArriving(in, &events, 5,
                          [&] { return in.DataCount() < seq && seq - in.DataCount() >= kWindow; });
        sentAt[seq] = Clock::now();
        if (out.Short(LoopMessage(seq)) != MMSYSERR_NOERROR) {
            sendFailed = true;
            break;
        }
    }
    WaitWhileArriving(in, &events, 20,
                      [&] { return in.DataCount() < o.count && !StopRequested(); });
    in.Wait(&events, 0);

    LoopTally tally(o.count);
    std::vector<double> latencies;
    Clock::time_point end = start;
    for (const InputEvent& e : events) {
        if (e.kind != InputEvent::Data) {
            tally.AddError();
            continue;
        }
        unsigned before = tally.corrupted() + tally.duplicated();
        tally.AddMessage(e.msg);
        uint32_t seq = 0;
        if (tally.corrupted() + tally.duplicated() == before && LoopSequence(e.msg, &seq)) {
            latencies.push_back(Ms(e.arrival - sentAt[seq]));
            if (e.arrival > end) end = e.arrival;
        }
    }
    std::printf("  sent %u, received %u, lost %u, corrupted %u, reordered %u, duplicated %u\n",
                o.count, tally.received(), tally.lost(), tally.corrupted(), tally.reordered(),
                tally.duplicated());
    PrintLatency(latencies);
    double seconds = Ms(end - start) / 1000.0;
    if (seconds > 0 && !latencies.empty()) {
        double rate = latencies.size() / seconds;
        std::printf("  throughput: %.0f messages/s (%.0f bytes/s) over %.2f s\n", rate, rate * 3,
                    seconds);
    }
    std::fflush(stdout);
    return !sendFailed && tally.lost() == 0 && tally.corrupted() == 0 && tally.reordered() == 0 &&
           tally.duplicated() == 0;
}

bool SysexLoop(const LoopOptions& o, InputPort& in, OutputPort& out) {
    std::printf("loop: one sysex of %zu bytes, %s -> %s\n", o.sysex, o.outName.c_str(),
                o.inName.c_str());
    std::fflush(stdout);
    std::vector<uint8_t> expected = LoopSysex(o.sysex);
    std::vector<InputEvent> events;
    std::vector<uint8_t> received;
    SysexAssembler assembler;
    size_t foreign = 0;  // anything else that arrived
    bool complete = false;
    Clock::time_point start = Clock::now(), end = start;
    auto collect = [&] {
        for (InputEvent& e : events) {
            if (e.kind == InputEvent::Sysex && !complete) {
                if (assembler.Add(e.bytes.data(), e.bytes.size(), &received)) {
                    complete = true;
                    end = e.arrival;
                }
            } else {
                ++foreign;
            }
        }
        events.clear();
    };
    // The sender blocks while the ring is full, so it runs on its own thread
    // and this one keeps the input buffers queued.
    std::atomic<MMRESULT> sent{MMSYSERR_NOERROR};
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        sent = out.Long(expected.data(), expected.size());
        sending = false;
    });
    Clock::time_point lastProgress = Clock::now();
    while (!complete && !StopRequested()) {
        in.Wait(&events, 20);
        if (!events.empty() || sending) lastProgress = Clock::now();
        collect();
        if (Clock::now() - lastProgress > kQuiet) break;
    }
    sender.join();
    in.Wait(&events, 0);
    collect();
    if (!complete) received = assembler.TakePartial();

    SysexCheck c = CheckSysex(expected, received);
    std::printf("  sent %zu bytes, received %zu, lost %zu, corrupted %zu%s\n", expected.size(),
                received.size(), c.lost, c.corrupted + foreign,
                complete ? "" : " (never completed)");
    if (c.corrupted) std::printf("  first difference at byte %zu\n", c.firstBad);
    double ms = Ms(end - start);
    if (complete && ms > 0)
        std::printf(
            "  latency ms (first byte sent to last received): %.2f\n"
            "  throughput: %.0f bytes/s\n",
            ms, expected.size() / (ms / 1000.0));
    std::fflush(stdout);
    return sent == MMSYSERR_NOERROR && complete && c.lost == 0 && c.corrupted == 0 && foreign == 0;
}

}  // namespace

bool RunLoop(const LoopOptions& o, bool* opened) {
    *opened = false;
    InputPort in;
    // Room for the whole sysex at once, so a slow reader loses nothing.
    size_t buffers = std::max<size_t>(16, o.sysex / 4096 + 8);
    if (in.Open(o.inId, 4096, buffers) != MMSYSERR_NOERROR) return false;
    OutputPort out;
    if (out.Open(o.outId) != MMSYSERR_NOERROR) return false;
    *opened = true;
    bool ok = true;
    if (o.count) ok = ShortLoop(o, in, out) && ok;
    if (o.sysex) ok = SysexLoop(o, in, out) && ok;
    if (out.Close() != MMSYSERR_NOERROR) ok = false;
    if (in.Close() != MMSYSERR_NOERROR) ok = false;
    return ok;
}

}  // namespace tools
