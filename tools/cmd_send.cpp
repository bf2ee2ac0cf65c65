// `veltrane send`: MIDI out of one port: hex bytes, named messages with
// pauses (from the command line, a script file or standard input), or a
// sysex file, with a progress bar for long system-exclusive data.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/file_io.h"
#include "tools/options.h"
#include "tools/output_port.h"
#include "tools/ports.h"
#include "tools/send_script.h"
#include "tools/smf.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane send -p PORT HEX...\n"
    "       veltrane send -p PORT WORD...         (named messages, see below)\n"
    "       veltrane send -p PORT --file SCRIPT   (the same words in a file; - reads stdin)\n"
    "       veltrane send -p PORT --sysex-file FILE\n\n"
    "Sends MIDI out of an output port (ID, NODE:out-a, or part of its name).\n\n"
    "HEX bytes are cut into messages by their status bytes and running status;\n"
    "each F0 ... F7 run goes as system-exclusive data. FILE holds raw bytes (.syx).\n\n"
    "Named messages (numbers in decimal, channels from 1, notes as numbers or\n"
    "names, C4 = 60):\n"
    "  ch N             channel of what follows (default 1)\n"
    "  on NOTE VEL      note on             off NOTE VEL   note off\n"
    "  cc N V           control change      pc N           program change\n"
    "  pb V             pitch bend, 0 to 16383, 8192 the middle\n"
    "  at V             channel pressure    pp NOTE V      poly pressure\n"
    "  raw HEX...       bytes as they are   syx FILE       a sysex file\n"
    "  +MS              wait MS milliseconds\n"
    "In a script a word that starts with # begins a comment; with - the lines\n"
    "are sent as they are read.\n\n"
    "  -p, --port PORT        the output port\n"
    "  -f, --file SCRIPT      named messages from SCRIPT (- for standard input)\n"
    "  -s, --sysex-file FILE  send the messages in FILE\n\n"
    "examples: veltrane send -p Out-A 90 3C 40  3C 00\n"
    "          veltrane send -p 0:out-a ch 10 on C2 100 +100 off C2 0\n";

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

// Sends steps; answers 0, 1 on a failure (already reported) or 130 after Ctrl-C.
int SendSteps(tools::OutputPort& out, const std::vector<tools::ScriptStep>& steps) {
    size_t sysexTotal = 0, sysexDone = 0;
    for (const auto& s : steps)
        if (s.message.IsSysex()) sysexTotal += s.message.bytes.size();
    Progress progress(sysexTotal);
    for (const auto& s : steps) {
        const tools::MidiMessage& m = s.message;
        MMRESULT r = MMSYSERR_NOERROR;
        if (m.bytes.empty()) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.waitMs);
            while (!tools::StopRequested() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_until(std::min(
                    until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
        } else if (m.IsSysex()) {
            size_t base = sysexDone;
            r = out.Long(m.bytes.data(), m.bytes.size(), 256,
                         [&](size_t done) { progress.Update(base + done); });
            sysexDone += m.bytes.size();
        } else {
            r = out.Short(m.Packed());
        }
        if (tools::StopRequested() || r == tools::kSendStopped) return 130;
        if (r != MMSYSERR_NOERROR) return 1;
    }
    return 0;
}

bool ReadFileFor(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    if (!tools::ReadWholeFile(path, tools::kMaxFileBytes, bytes, error)) return false;
    if (tools::LooksLikeSmf(*bytes)) {
        *error =
            path + " is a Standard MIDI File: play it with `veltrane play -p PORT " + path + "`";
        return false;
    }
    return true;
}

}  // namespace

int CmdSend(int argc, char** argv) {
    std::string port, file, script;
    std::vector<std::string> words;
    tools::OptionWalker w("send", argc, argv);
    while (w.Next()) {
        const std::string& a = w.arg();
        if (w.Help()) {
            std::printf("%s", kUsage);
            return 0;
        } else if (w.Value("-p", "--port", &port) || w.Value("-s", "--sysex-file", &file) ||
                   w.Value("-f", "--file", &script)) {
        } else if (a == "-" && words.empty()) {
            script = "-";
        } else if (a.size() > 1 && a[0] == '-' && a.compare(0, 2, "0x") != 0) {
            w.Fail("unknown option '" + a + "' (see --help)");
        } else {
            words.push_back(a);
        }
    }
    if (w.failed()) return 2;
    int sources = !file.empty() + !script.empty() + !words.empty();
    if (port.empty() || sources != 1) {
        std::fprintf(stderr,
                     "veltrane send: give -p PORT and one of: HEX bytes, named messages, "
                     "--file SCRIPT, --sysex-file FILE\n%s",
                     kUsage);
        return 2;
    }

    // Everything read and checked before the port opens, but for standard
    // input, which is sent line by line as it comes.
    std::vector<tools::ScriptStep> steps;
    std::string error;
    tools::ScriptParser parser(ReadFileFor);
    if (!file.empty()) {
        std::vector<uint8_t> bytes;
        std::vector<tools::MidiMessage> messages;
        if (!ReadFileFor(file, &bytes, &error) || !tools::SplitMessages(bytes, &messages, &error)) {
            std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
            return 1;
        }
        if (bytes.empty()) {
            std::fprintf(stderr, "veltrane send: %s is empty\n", file.c_str());
            return 1;
        }
        for (auto& m : messages)
            steps.push_back({0, std::move(m)});
    } else if (!words.empty() && tools::IsScriptWord(words[0])) {
        if (!parser.Parse(words, &steps, &error)) {
            std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
            return 2;
        }
    } else if (!words.empty()) {
        std::vector<uint8_t> bytes;
        std::vector<tools::MidiMessage> messages;
        if (!tools::ParseHexBytes(words, &bytes, &error)) {
            // A word that is no hex at all is most often a misspelt message name.
            std::fprintf(stderr,
                         "veltrane send: %s (named messages start with %s; see veltrane send "
                         "--help)\n",
                         error.c_str(), tools::ScriptWordNames().c_str());
            return 2;
        }
        if (!tools::SplitMessages(bytes, &messages, &error)) {
            std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
            return 2;
        }
        for (auto& m : messages)
            steps.push_back({0, std::move(m)});
    } else if (script != "-") {
        std::vector<uint8_t> text;
        if (!tools::ReadWholeFile(script, tools::kMaxFileBytes, &text, &error)) {
            std::fprintf(stderr, "veltrane send: %s\n", error.c_str());
            return 1;
        }
        std::string all(text.begin(), text.end());
        size_t lineNo = 0;
        for (size_t at = 0; at <= all.size();) {
            size_t nl = all.find('\n', at);
            std::string line = all.substr(at, nl == std::string::npos ? nl : nl - at);
            ++lineNo;
            if (!parser.Parse(tools::ScriptWords(line), &steps, &error)) {
                std::fprintf(stderr, "veltrane send: %s, line %zu: %s\n", script.c_str(), lineNo,
                             error.c_str());
                return 1;
            }
            if (nl == std::string::npos) break;
            at = nl + 1;
        }
    }

    tools::PortInfo info;
    if (!tools::FindOutputOrReport("send", port, &info)) return 1;
    tools::InstallStopHandler();
    tools::OutputPort out;
    if (out.Open(info) != MMSYSERR_NOERROR) return 1;
    int status = 0;
    if (script == "-") {
        // Unbuffered, so that what is typed is never held back from the wait.
        std::setvbuf(stdin, nullptr, _IONBF, 0);
        std::string line;
        size_t lineNo = 0, total = 0;
        while (status == 0 && !tools::StopRequested()) {
            if (!StdinReady(100)) continue;
            if (!std::getline(std::cin, line)) break;
            ++lineNo;
            total += line.size() + 1;
            if (total > tools::kMaxFileBytes) {
                std::fprintf(stderr, "veltrane send: standard input holds more than %zu bytes\n",
                             tools::kMaxFileBytes);
                status = 1;
                break;
            }
            steps.clear();
            if (!parser.Parse(tools::ScriptWords(line), &steps, &error)) {
                std::fprintf(stderr, "veltrane send: line %zu: %s\n", lineNo, error.c_str());
                status = 1;
                break;
            }
            status = SendSteps(out, steps);
        }
    } else {
        status = SendSteps(out, steps);
    }
    if (tools::StopRequested() && status == 0) status = 130;
    if (out.Close() != MMSYSERR_NOERROR && status == 0) status = 1;
    return status;
}
