// `veltrane send`: MIDI bytes from the command line or a sysex file out of
// one port, with a progress bar for long system-exclusive data.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/commands.h"
#include "tools/args.h"
#include "tools/output_port.h"
#include "tools/ports.h"

namespace {

const char kUsage[] =
    "usage: veltrane send -p PORT HEX...\n"
    "       veltrane send -p PORT --sysex-file FILE\n\n"
    "Sends MIDI bytes out of an output port (ID or part of its name). The bytes are\n"
    "cut into messages by their status bytes and running status; each F0 ... F7 run\n"
    "goes as system-exclusive data. FILE holds raw bytes (.syx).\n\n"
    "  -p, --port PORT        the output port\n"
    "  -s, --sysex-file FILE  send the messages in FILE\n\n"
    "example: veltrane send -p Out-A 90 3C 40  3C 00\n";

// "[#####.....]  45%  29696/65536 bytes" on a terminal.
class Progress {
  public:
    explicit Progress(size_t total) : total_(total), shown_(StderrIsTerminal() && total > 256) {}
    void Update(size_t done) {
        if (!shown_) return;
        const int width = 30;
        int filled = static_cast<int>(width * done / total_);
        std::fprintf(stderr, "\rsysex [%.*s%.*s] %3d%%  %zu/%zu bytes", filled,
                     "##############################", width - filled,
                     "..............................", static_cast<int>(100 * done / total_), done,
                     total_);
        if (done == total_) std::fprintf(stderr, "\n");
        std::fflush(stderr);
    }

  private:
    size_t total_;
    bool shown_;
};

}  // namespace

int CmdSend(int argc, char** argv) {
    std::string port, file;
    std::vector<std::string> hex;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if ((a == "-p" || a == "--port") && i + 1 < argc) {
            port = argv[++i];
        } else if ((a == "-s" || a == "--sysex-file") && i + 1 < argc) {
            file = argv[++i];
        } else if (a.size() > 1 && a[0] == '-' && a.compare(0, 2, "0x") != 0) {
            std::fprintf(stderr, "veltrane send: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        } else {
            hex.push_back(a);
        }
    }
    if (port.empty() || (file.empty() == hex.empty())) {
        std::fprintf(stderr, "veltrane send: give -p PORT and either HEX bytes or --sysex-file\n%s",
                     kUsage);
        return 2;
    }
    std::vector<uint8_t> bytes;
    std::string error;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "veltrane send: cannot read %s\n", file.c_str());
            return 1;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.empty()) {
            std::fprintf(stderr, "veltrane send: %s is empty\n", file.c_str());
            return 1;
        }
    } else if (!tools::ParseHexBytes(hex, &bytes, &error)) {
        std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
        return 2;
    }
    std::vector<tools::MidiMessage> messages;
    if (!tools::SplitMessages(bytes, &messages, &error)) {
        std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
        return file.empty() ? 2 : 1;
    }

    if (!tools::KernelSideReady()) return 1;
    tools::PortInfo info;
    if (!tools::FindPortOrReport("send", tools::OutputPorts(), port, &info)) return 1;
    tools::OutputPort out;
    if (out.Open(info.id) != MMSYSERR_NOERROR) return 1;
    size_t sysexTotal = 0, sysexDone = 0;
    for (const auto& m : messages)
        if (m.IsSysex()) sysexTotal += m.bytes.size();
    Progress progress(sysexTotal);
    for (const auto& m : messages) {
        MMRESULT r;
        if (m.IsSysex()) {
            size_t base = sysexDone;
            r = out.Long(m.bytes.data(), m.bytes.size(), 256,
                         [&](size_t done) { progress.Update(base + done); });
            sysexDone += m.bytes.size();
        } else {
            r = out.Short(m.Packed());
        }
        if (r != MMSYSERR_NOERROR) return 1;
    }
    return out.Close() == MMSYSERR_NOERROR ? 0 : 1;
}
