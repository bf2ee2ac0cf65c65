// How late `veltrane play` sends a file's events: a type-0 file of short
// messages 5 to 10.5 ms apart (due times on 50 us ticks, most of them between
// milliseconds), played to Out-A of a simulated interface at fast rate; an
// event's time is the simulator's clock when the packet left the ring (its
// timed capture). The loopback carries the events on to In-A, where
// `veltrane record` takes them into a file of its own. The baseline, in the
// same round: a bare thread that sleeps until the same due times with the
// same clock and call as play, which is all the wake-up any player gets.
//
// Neither side's start is known to the other's clock, so each lateness is
// counted from the most punctual event of its round: what the figures give is
// the spread of events around their due times (p99 and maximum), for play,
// for the bare thread, and for the take against the file (the record round
// trip: play, the loopback, the input's millisecond time stamps and its 1 ms
// poll). A round is one iteration of a Google Benchmark benchmark that runs
// the baseline, then play and record; its figures are counters.
#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "include/kernel_abi.h"
#include "tools/file_io.h"
#include "tools/smf.h"

namespace {

constexpr const char* kName = "play_timing";
constexpr double kGoalP99AboveBareMs = 1.0;  // what play may add to a bare sleeper
constexpr double kGoalRecordP99Ms = 2.0;     // the input's 1 ms stamps and 1 ms poll
constexpr unsigned kPpq = 10000;             // at 120 bpm: 50 us a tick
constexpr uint32_t kUsPerQuarter = 500000;
constexpr int64_t kUsPerTick = kUsPerQuarter / kPpq;

using Clock = std::chrono::steady_clock;

// Note on and off by turns, each with its status (the file keeps running
// status, play sends whole messages), at uneven gaps.
std::vector<tools::TimedMessage> Phrase(int count) {
    std::vector<tools::TimedMessage> m;
    int64_t at = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t note = static_cast<uint8_t>(36 + (i / 2) % 48);
        m.push_back({at,
                     {static_cast<uint8_t>(i % 2 ? 0x80 : 0x90), note,
                      static_cast<uint8_t>(i % 2 ? 0 : 100)}});
        at += (101 + 27 * (i % 5)) * kUsPerTick;
    }
    return m;
}

// Each event's time less its due time, counted from the most punctual, in ms.
bench::Tail Spread(const std::vector<tools::TimedMessage>& file, const std::vector<int64_t>& us) {
    std::vector<double> late(us.size());
    for (size_t i = 0; i < us.size(); ++i)
        late[i] = double(us[i] - file[i].us);
    double least = *std::min_element(late.begin(), late.end());
    for (double& l : late)
        l = (l - least) * 1e-3;
    return bench::TailOf(std::move(late));
}

// The baseline: a thread that only sleeps until each due time.
bench::Tail BareThread(const std::vector<tools::TimedMessage>& file) {
    std::vector<int64_t> woke(file.size());
    std::thread t([&] {
        Clock::time_point start = Clock::now();
        for (size_t i = 0; i < file.size(); ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(file[i].us));
            woke[i] =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        }
    });
    t.join();
    return Spread(file, woke);
}

// The packets Out-A sent since the last capture, with their times; each
// must be the file's message of its place.
std::vector<int64_t> CapturedTimes(bench::SimChild& sim,
                                   const std::vector<tools::TimedMessage>& file) {
    std::istringstream in(
        sim.Ok("capture 0 A timed " + std::to_string(file.size()) + " 10000").substr(2));
    std::vector<int64_t> at;
    std::string w;
    while (in >> w) {
        size_t colon = w.find(':');
        uint32_t packet = static_cast<uint32_t>(std::stoul(w.substr(colon + 1), nullptr, 16));
        bool same =
            at.size() < file.size() && FifoPacketCount(packet) == file[at.size()].bytes.size();
        for (size_t b = 0; same && b < FifoPacketCount(packet); ++b)
            same = static_cast<uint8_t>(packet >> (8 * b)) == file[at.size()].bytes[b];
        if (!same) bench::Fail(kName, "Out-A sent " + w + " where the file has another message");
        at.push_back(std::stoll(w.substr(0, colon)));
    }
    if (at.size() != file.size()) bench::Fail(kName, "Out-A sent fewer messages than the file");
    return at;
}

// The take's times; it must hold the file's messages.
std::vector<int64_t> TakeTimes(const std::string& path,
                               const std::vector<tools::TimedMessage>& file) {
    std::vector<uint8_t> bytes;
    tools::Song take;
    std::string error;
    if (!tools::ReadWholeFile(path, tools::kMaxFileBytes, &bytes, &error) ||
        !tools::ReadSmf(bytes, &take, &error))
        bench::Fail(kName, "the take: " + error);
    std::vector<int64_t> at;
    for (size_t i = 0; i < take.messages.size(); ++i) {
        if (i >= file.size() || take.messages[i].bytes != file[i].bytes)
            bench::Fail(kName, "the take differs from the file at message " + std::to_string(i));
        at.push_back(take.messages[i].us);
    }
    if (at.size() != file.size()) bench::Fail(kName, "the take lacks messages");
    return at;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0", "--rate", "fast"});
    const std::vector<tools::TimedMessage> file = Phrase(o.smoke ? 10 : 200);
    const std::string song = root.path() + "/phrase.mid";
    const std::string take = root.path() + "/take.mid";
    std::string error;
    if (!tools::WriteWholeFile(song, tools::WriteSmf0(file, kPpq, kUsPerQuarter), &error))
        bench::Fail(kName, error);

    auto turns = [&](benchmark::State& state) {
        for (auto _ : state) {
            bench::Tail bare = BareThread(file);
            sim.Ok("capture 0 A timed");  // forget what went before
            // A second without a message ends the take: play starts within it.
            bench::CommandChild record(
                kName, {"record", "-p", "0:in-a", take, "-t", "1", "--ppq", std::to_string(kPpq)});
            if (record.ReadLine(10000).rfind("Recording from", 0) != 0)
                bench::Fail(kName, "veltrane record did not start");
            bench::CommandChild play(kName, {"play", "-p", "0:out-a", song});
            if (play.Wait() != 0) bench::Fail(kName, "veltrane play failed");
            bench::Tail played = Spread(file, CapturedTimes(sim, file));
            if (record.ReadLine(10000).rfind("recorded ", 0) != 0 || record.Wait() != 0)
                bench::Fail(kName, "veltrane record did not end as it should");
            bench::Tail recorded = Spread(file, TakeTimes(take, file));
            bench::SetTail(state, "play", played);
            bench::SetTail(state, "bare", bare);
            bench::SetTail(state, "record", recorded);
        }
    };
    std::vector<bench::Run> runs = bench::RunRounds(o, kName, {{"turns", turns, 1}})[0];
    bench::Tails play = bench::TailsOf(runs, "play"), bare = bench::TailsOf(runs, "bare");
    std::vector<double> recordP99 = bench::TailsOf(runs, "record").p99;
    std::vector<double> above, ratio;
    for (size_t i = 0; i < play.p99.size(); ++i) {
        above.push_back(play.p99[i] - bare.p99[i]);
        ratio.push_back(play.p99[i] / std::max(bare.p99[i], 0.001));
    }

    bool fMet =
        bench::Median(above) <= kGoalP99AboveBareMs && bench::Median(recordP99) <= kGoalRecordP99Ms;
    bench::PrintResult(
        o, kName,
        bench::TailsText(play) + ",record_p99:" + bench::Text(bench::SpreadOf(recordP99), "ms", 2),
        bench::TailsText(bare),
        "p99:" + bench::Text(bench::SpreadOf(ratio), "x", 1) +
            ",p99-bare:" + bench::Text(bench::SpreadOf(above), "ms", 2),
        "p99-bare<=1ms,record_p99<=2ms", fMet);
    return 0;
}
