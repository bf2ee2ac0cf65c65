// The loop test: a pattern out of one port and back in through another,
// checked message by message, with latency and throughput; or paced, with
// the latency of each message against its time on the cable.
#include "tools/loop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "sim/midi_wire.h"
#include "tools/decode.h"
#include "tools/input_port.h"
#include "tools/json.h"
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

// The floor of a loop message's latency: its three bytes on a MIDI cable.
constexpr double kWireMs = 3 * midi::kByteTimeUs / 1000.0;

// How a part of the test ended.
enum class End { Done, Quiet, Stopped, SendFailed };

// The one silence bound of the whole test: nothing received for
// kLoopQuietMs while something is on its way.
class QuietWatch {
  public:
    void Arrived() { last_ = Clock::now(); }
    bool Over() const { return Clock::now() - last_ > std::chrono::milliseconds(kLoopQuietMs); }

  private:
    Clock::time_point last_ = Clock::now();
};

class Loop {
  public:
    Loop(const LoopOptions& o, InputPort& in, OutputPort& out) : o_(o), in_(in), out_(out) {}

    int Run() {
        End end = End::Done;
        if (o_.count) end = ShortPart();
        if (o_.sysex && end == End::Done) end = SysexPart();
        if (end == End::Stopped) {
            if (o_.json) {
                report_.Add("interrupted", true).Add("sent", sent_).Add("received", received_);
                std::printf("%s\n", report_.Text().c_str());
            } else {
                std::printf("interrupted after %u sent, %u received\n", sent_, received_);
            }
            std::fflush(stdout);
            return 130;
        }
        if (end == End::Quiet && !o_.json) {
            if (received_ == 0)
                std::printf("  nothing received for %d s: is %s looped to %s?\n",
                            kLoopQuietMs / 1000, o_.out.name.c_str(), o_.in.name.c_str());
            else
                std::printf("  nothing more received for %d s\n", kLoopQuietMs / 1000);
        }
        bool ok = clean_ && end == End::Done;
        if (o_.json) {
            report_.Add("silent", end == End::Quiet).Add("ok", ok);
            std::printf("%s\n", report_.Text().c_str());
        }
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

  private:
    // Waits stepMs for events; false once the quiet bound has passed.
    bool Gather(std::vector<InputEvent>* events, int stepMs) {
        unsigned before = in_.DataCount();
        size_t had = events->size();
        in_.Wait(events, stepMs);
        if (in_.DataCount() != before || events->size() != had) {
            watch_.Arrived();
            return true;
        }
        return !watch_.Over();
    }

    // Sends message number sent, noting when; the end it comes to.
    End SendOne(unsigned sent, std::vector<Clock::time_point>* sentAt) {
        (*sentAt)[sent] = Clock::now();
        MMRESULT r = out_.Short(LoopMessage(sent));
        if (r == kSendStopped) return End::Stopped;
        return r == MMSYSERR_NOERROR ? End::Done : End::SendFailed;
    }

    // Keeps at most kWindow on the way. Answers how many went out.
    End SendWindowed(std::vector<Clock::time_point>* sentAt, std::vector<InputEvent>* events,
                     unsigned* pSent) {
        End end = End::Done;
        unsigned& sent = *pSent;
        for (; sent < o_.count && end == End::Done; ++sent) {
            while (end == End::Done && sent - std::min(sent, in_.DataCount()) >= kWindow) {
                if (StopRequested())
                    end = End::Stopped;
                else if (!Gather(events, 5))
                    end = End::Quiet;
            }
            if (end != End::Done) break;
            end = SendOne(sent, sentAt);
            if (end != End::Done) break;
        }
        return end;
    }

    // One message each interval plus a random phase, gathering what comes
    // back meanwhile. The silence bound counts only while a message is on its
    // way.
    End SendPaced(std::vector<Clock::time_point>* sentAt, std::vector<InputEvent>* events,
                  unsigned* pSent) {
        std::mt19937 rng(std::random_device{}());
        std::uniform_real_distribution<double> phase(0, kLoopPhaseMs);
        using MsDuration = std::chrono::duration<double, std::milli>;
        Clock::time_point next = Clock::now();
        End end = End::Done;
        unsigned& sent = *pSent;
        for (; sent < o_.count && end == End::Done; ++sent) {
            next +=
                std::chrono::duration_cast<Clock::duration>(MsDuration(o_.intervalMs + phase(rng)));
            for (;;) {
                if (in_.DataCount() >= sent) watch_.Arrived();  // nothing on its way
                int msLeft = static_cast<int>(MsDuration(next - Clock::now()).count()) - 1;
                if (StopRequested()) {
                    end = End::Stopped;
                } else if (msLeft < 1) {
                    std::this_thread::sleep_until(next);
                    break;
                } else if (!Gather(events, msLeft)) {
                    end = End::Quiet;
                }
                if (end != End::Done) break;
            }
            if (end != End::Done) break;
            end = SendOne(sent, sentAt);
            if (end != End::Done) break;
        }
        return end;
    }

    End ShortPart() {
        const bool fPaced = o_.intervalMs > 0;
        if (!o_.json && fPaced) {
            std::printf(
                "loop: %u short messages %.3g ms apart (and up to %.3g ms more), %s -> %s\n",
                o_.count, o_.intervalMs, kLoopPhaseMs, o_.out.name.c_str(), o_.in.name.c_str());
        } else if (!o_.json) {
            std::printf("loop: %u short messages, %s -> %s\n", o_.count, o_.out.name.c_str(),
                        o_.in.name.c_str());
        }
        std::fflush(stdout);
        std::vector<Clock::time_point> sentAt(o_.count);
        std::vector<InputEvent> events;
        Clock::time_point start = Clock::now();
        watch_.Arrived();
        unsigned sent = 0;
        End end =
            fPaced ? SendPaced(&sentAt, &events, &sent) : SendWindowed(&sentAt, &events, &sent);
        while (end == End::Done && in_.DataCount() < sent) {
            if (StopRequested())
                end = End::Stopped;
            else if (!Gather(&events, 20))
                end = End::Quiet;
        }
        in_.Wait(&events, 0);
        sent_ += sent;

        LoopTally tally(sent);
        std::vector<double> latencies;
        Clock::time_point last = start;
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
                last = std::max(last, e.arrival);
            }
        }
        received_ += tally.received();
        if (end == End::Stopped) return end;
        clean_ = clean_ && tally.lost() == 0 && tally.corrupted() == 0 && tally.reordered() == 0 &&
                 tally.duplicated() == 0;
        double seconds = Ms(last - start) / 1000.0;
        double rate = seconds > 0 ? latencies.size() / seconds : 0;
        LatencySummary l = Summarize(latencies);
        std::vector<LatencyBucket> histogram =
            fPaced ? Histogram(latencies) : std::vector<LatencyBucket>();
        if (o_.json) {
            JsonObject part;
            part.Add("sent", sent).Add("received", tally.received()).Add("lost", tally.lost());
            part.Add("corrupted", tally.corrupted()).Add("reordered", tally.reordered());
            part.Add("duplicated", tally.duplicated());
            if (fPaced) part.Add("interval_ms", o_.intervalMs).Add("phase_ms", kLoopPhaseMs);
            part.Add("wire_ms", kWireMs);
            if (latencies.empty()) {
                part.AddNull("latency_ms").AddNull("messages_per_s");
            } else {
                part.Add("latency_ms", JsonObject()
                                           .Add("min", l.min)
                                           .Add("median", l.median)
                                           .Add("p99", l.p99)
                                           .Add("max", l.max));
                part.Add("messages_per_s", rate);
            }
            if (fPaced) {
                std::vector<JsonObject> buckets;
                for (const LatencyBucket& b : histogram) {
                    buckets.push_back(JsonObject().Add("from_ms", b.fromMs).Add("count", b.count));
                    if (b.andAbove) buckets.back().Add("and_above", true);
                }
                part.Add("histogram", buckets);
            }
            report_.Add("output", o_.out.name).Add("input", o_.in.name).Add("short", part);
            return end;
        }
        std::printf("  sent %u, received %u, lost %u, corrupted %u, reordered %u, duplicated %u\n",
                    sent, tally.received(), tally.lost(), tally.corrupted(), tally.reordered(),
                    tally.duplicated());
        if (!latencies.empty() && fPaced) {
            std::printf("  latency ms: min %.2f  p50 %.2f  p99 %.2f  max %.2f  (wire %.2f)\n",
                        l.min, l.median, l.p99, l.max, kWireMs);
            PrintHistogram(histogram);
        } else if (!latencies.empty()) {
            std::printf("  latency ms: min %.2f  median %.2f  p99 %.2f  max %.2f\n", l.min,
                        l.median, l.p99, l.max);
            if (rate > 0)
                std::printf("  throughput: %.0f messages/s (%.0f bytes/s) over %.2f s\n", rate,
                            rate * 3, seconds);
        }
        std::fflush(stdout);
        return end;
    }

    // One line a bucket: its range, its count and a bar, the longest bar
    // kBarWidth wide; a bucket with anything in it shows at least one mark.
    // A long run of empty buckets (around a late outlier) takes one line.
    static void PrintHistogram(const std::vector<LatencyBucket>& buckets) {
        constexpr unsigned kBarWidth = 50;
        constexpr size_t kEmptyRunShown = 3;
        unsigned most = 0;
        for (const LatencyBucket& b : buckets)
            most = std::max(most, b.count);
        for (size_t i = 0; i < buckets.size(); ++i) {
            const LatencyBucket& b = buckets[i];
            size_t j = i;
            while (j + 1 < buckets.size() && buckets[j + 1].count == 0 && b.count == 0)
                ++j;
            if (j - i < kEmptyRunShown) j = i;
            unsigned width = most ? (b.count * kBarWidth + most - 1) / most : 0;
            std::string bar = width ? " " + std::string(width, '#') : "";
            if (buckets[j].andAbove)
                std::printf("  %6.1f ms and up %7u%s\n", b.fromMs, b.count, bar.c_str());
            else
                std::printf("  %6.1f - %5.1f ms %7u%s\n", b.fromMs,
                            buckets[j].fromMs + kLoopBucketMs, b.count, bar.c_str());
            i = j;
        }
    }

    End SysexPart() {
        if (!o_.json)
            std::printf("loop: one sysex of %zu bytes, %s -> %s\n", o_.sysex, o_.out.name.c_str(),
                        o_.in.name.c_str());
        std::fflush(stdout);
        std::vector<uint8_t> expected = LoopSysex(o_.sysex);
        std::vector<InputEvent> events;
        std::vector<uint8_t> received;
        SysexAssembler assembler;
        size_t foreign = 0;  // anything else that arrived
        bool complete = false;
        Clock::time_point start = Clock::now(), last = start;
        auto collect = [&] {
            for (InputEvent& e : events) {
                if (e.kind == InputEvent::Sysex && !complete) {
                    if (assembler.Add(e.bytes.data(), e.bytes.size(), &received)) {
                        complete = true;
                        last = e.arrival;
                    }
                } else {
                    ++foreign;
                }
            }
            events.clear();
        };
        // The sender blocks while the ring is full, so it runs on its own
        // thread and this one keeps the input buffers queued.
        std::atomic<MMRESULT> sent{MMSYSERR_NOERROR};
        std::thread sender([&] { sent = out_.Long(expected.data(), expected.size()); });
        watch_.Arrived();
        End end = End::Done;
        while (!complete && end == End::Done) {
            if (StopRequested())
                end = End::Stopped;
            else if (!Gather(&events, 20))
                end = End::Quiet;
            collect();
        }
        if (end != End::Done) out_.Cancel();
        sender.join();
        in_.Wait(&events, 0);
        collect();
        if (!complete) received = assembler.TakePartial();
        sent_ += 1;
        received_ += complete ? 1 : 0;
        if (end == End::Stopped) return end;
        if (sent != MMSYSERR_NOERROR && end == End::Done) end = End::SendFailed;

        SysexCheck c = CheckSysex(expected, received);
        clean_ = clean_ && complete && c.lost == 0 && c.corrupted == 0 && foreign == 0;
        double ms = Ms(last - start);
        if (o_.json) {
            JsonObject part;
            part.Add("bytes", uint64_t(expected.size())).Add("received", uint64_t(received.size()));
            part.Add("lost", uint64_t(c.lost)).Add("corrupted", uint64_t(c.corrupted + foreign));
            part.Add("complete", complete);
            if (complete && ms > 0) {
                part.Add("latency_ms", ms).Add("bytes_per_s", expected.size() / (ms / 1000.0));
            } else {
                part.AddNull("latency_ms").AddNull("bytes_per_s");
            }
            if (!o_.count) report_.Add("output", o_.out.name).Add("input", o_.in.name);
            report_.Add("sysex", part);
            return end;
        }
        std::printf("  sent %zu bytes, received %zu, lost %zu, corrupted %zu%s\n", expected.size(),
                    received.size(), c.lost, c.corrupted + foreign,
                    complete ? "" : " (never completed)");
        if (c.corrupted) std::printf("  first difference at byte %zu\n", c.firstBad);
        if (complete && ms > 0)
            std::printf(
                "  latency ms (first byte sent to last received): %.2f\n"
                "  throughput: %.0f bytes/s\n",
                ms, expected.size() / (ms / 1000.0));
        std::fflush(stdout);
        return end;
    }

    const LoopOptions& o_;
    InputPort& in_;
    OutputPort& out_;
    QuietWatch watch_;
    JsonObject report_;
    unsigned sent_ = 0, received_ = 0;  // messages, both parts
    bool clean_ = true;
};

}  // namespace

int RunLoop(const LoopOptions& o) {
    InputPort in;
    // Room for the whole sysex at once, so a slow reader loses nothing.
    size_t buffers = std::max<size_t>(16, o.sysex / 4096 + 8);
    if (in.Open(o.in, 4096, buffers) != MMSYSERR_NOERROR) return 1;
    OutputPort out;
    if (out.Open(o.out) != MMSYSERR_NOERROR) return 1;
    int status = Loop(o, in, out).Run();
    if (out.Close() != MMSYSERR_NOERROR && status == 0) status = 1;
    if (in.Close() != MMSYSERR_NOERROR && status == 0) status = 1;
    return status;
}

}  // namespace tools
