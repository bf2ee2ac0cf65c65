// `veltrane play`: a Standard MIDI File out of one port, each event at its
// time, like aplaymidi.
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/file_io.h"
#include "tools/options.h"
#include "tools/output_port.h"
#include "tools/ports.h"
#include "tools/smf.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane play -p PORT FILE.mid\n\n"
    "Plays a Standard MIDI File of type 0 or 1 out of an output port (ID,\n"
    "NODE:out-a, or part of its name): every track merged, at the file's tempo\n"
    "map, sysex events as system-exclusive data; meta events are not sent. On a\n"
    "terminal a progress line shows the bar and the time. Ctrl-C stops it and sends\n"
    "note off for every sounding note and all-notes-off on every channel it used.\n\n"
    "  -p, --port PORT  the output port\n";

using Clock = std::chrono::steady_clock;

std::string Time(int64_t us) {
    char b[32];
    int64_t tenths = us / 100000;
    std::snprintf(b, sizeof b, "%lld:%02lld.%lld", static_cast<long long>(tenths / 600),
                  static_cast<long long>(tenths / 10 % 60), static_cast<long long>(tenths % 10));
    return b;
}

// What sounds, to be silenced when the player is stopped.
class Sounding {
  public:
    void Sent(const std::vector<uint8_t>& m) {
        if (m.empty() || m[0] >= 0xF0) return;
        unsigned ch = m[0] & 0x0F, kind = m[0] & 0xF0;
        channels_.insert(ch);
        if (kind == 0x90 && m.size() == 3 && m[2] > 0) notes_.insert(ch << 8 | m[1]);
        if ((kind == 0x80 || kind == 0x90) && m.size() == 3 && (kind == 0x80 || m[2] == 0))
            notes_.erase(ch << 8 | m[1]);
    }
    // Note off for each sounding note, then all notes off (controller 123)
    // on every channel used; answers the channels as "1, 10".
    std::string Silence(tools::OutputPort& out) {
        for (unsigned n : notes_)
            out.Short(0x80 | (n >> 8) | (n & 0x7F) << 8);
        std::string list;
        for (unsigned ch : channels_) {
            out.Short(0xB0 | ch | 123 << 8);
            list += (list.empty() ? "" : ", ") + std::to_string(ch + 1);
        }
        return list;
    }

  private:
    std::set<unsigned> channels_;
    std::set<unsigned> notes_;  // channel << 8 | note
};

class ProgressLine {
  public:
    ProgressLine(const tools::Song& song, const std::string& file)
        : song_(song), file_(file), shown_(StderrIsTerminal()) {}
    void Update(int64_t us, uint64_t tick, bool force = false) {
        if (!shown_) return;
        Clock::time_point now = Clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::string bars;
        if (unsigned total = song_.BarAt(song_.lengthTicks))
            bars = "bar " + std::to_string(song_.BarAt(tick)) + "/" + std::to_string(total) + "  ";
        std::fprintf(stderr, "\rplaying %s  %s%s / %s ", file_.c_str(), bars.c_str(),
                     Time(us).c_str(), Time(song_.lengthUs).c_str());
        std::fflush(stderr);
    }
    void End() {
        if (shown_) std::fprintf(stderr, "\n");
    }

  private:
    const tools::Song& song_;
    std::string file_;
    bool shown_;
    Clock::time_point last_{};
};

}  // namespace

int CmdPlay(int argc, char** argv) {
    std::string port, file;
    tools::OptionWalker w("play", argc, argv);
    while (w.Next()) {
        if (w.Help()) {
            std::printf("%s", kUsage);
            return 0;
        } else if (w.Value("-p", "--port", &port)) {
        } else {
            w.Operand(&file);
        }
    }
    if (w.failed()) return 2;
    if (port.empty() || file.empty()) {
        std::fprintf(stderr, "veltrane play: give -p PORT and a FILE\n%s", kUsage);
        return 2;
    }
    std::vector<uint8_t> bytes;
    tools::Song song;
    std::string error;
    if (!tools::ReadWholeFile(file, tools::kMaxFileBytes, &bytes, &error)) {
        std::fprintf(stderr, "veltrane play: %s\n", error.c_str());
        return 1;
    }
    if (!tools::ReadSmf(bytes, &song, &error)) {
        std::fprintf(stderr, "veltrane play: %s: %s\n", file.c_str(), error.c_str());
        return 1;
    }
    if (song.messages.empty()) {
        std::fprintf(stderr, "veltrane play: %s holds no MIDI events to play\n", file.c_str());
        return 0;
    }
    tools::PortInfo info;
    if (!tools::FindOutputOrReport("play", port, &info)) return 1;
    tools::InstallStopHandler();
    tools::OutputPort out;
    if (out.Open(info) != MMSYSERR_NOERROR) return 1;

    // Sleeps end on time to the millisecond (Windows' default is 15.6 ms).
    timeBeginPeriod(1);
    Sounding sounding;
    ProgressLine progress(song, file);
    int status = 0;
    Clock::time_point start = Clock::now();
    auto waitUntil = [&](int64_t us, uint64_t tick) {
        Clock::time_point due = start + std::chrono::microseconds(us);
        for (Clock::time_point now; (now = Clock::now()) < due && !tools::StopRequested();) {
            progress.Update(
                std::chrono::duration_cast<std::chrono::microseconds>(now - start).count(), tick);
            std::this_thread::sleep_until(std::min(due, now + std::chrono::milliseconds(50)));
        }
    };
    uint64_t tick = 0;
    for (size_t i = 0; i < song.messages.size() && status == 0; ++i) {
        const tools::TimedMessage& m = song.messages[i];
        waitUntil(m.us, tick);
        if (tools::StopRequested()) break;
        MMRESULT r = m.IsShort() ? out.Short(tools::MidiMessage{m.bytes}.Packed())
                                 : out.Long(m.bytes.data(), m.bytes.size());
        if (r == tools::kSendStopped) break;
        if (r != MMSYSERR_NOERROR) status = 1;
        sounding.Sent(m.bytes);
        tick = song.ticks[i];
    }
    if (status == 0) waitUntil(song.lengthUs, tick);
    if (tools::StopRequested()) {
        out.IgnoreStopRequest();
        int64_t at =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        progress.Update(at, tick, true);
        progress.End();
        std::string channels = sounding.Silence(out);
        if (!channels.empty())
            channels = "; notes off on channel" +
                       std::string(channels.find(',') != std::string::npos ? "s " : " ") + channels;
        std::fprintf(stderr, "veltrane play: stopped at %s of %s%s\n", Time(at).c_str(),
                     Time(song.lengthUs).c_str(), channels.c_str());
        status = 130;
    } else {
        progress.Update(song.lengthUs, song.lengthTicks, true);
        progress.End();
    }
    if (out.Close() != MMSYSERR_NOERROR && status == 0) status = 1;
    timeEndPeriod(1);
    return status;
}
