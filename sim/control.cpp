// The control commands: one text line in, one answer line out ("ok ..." or
// "error <why>"). Tests and the veltrane command drive the interfaces with
// them: plug and unplug, identity, pace, loopback, bytes and packets arriving
// on an input, what an output drained, counters and fault injection, and
// waiting until a counter or a capture reaches a value.
#include <cstdio>
#include <sstream>

#include "sim/hex_text.h"
#include "sim/server_state.h"

namespace sim {
namespace {

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

// "90 3C 40" or "903C40": bytes in pairs of digits.
bool ParseBytes(const std::vector<std::string>& words, size_t first, std::vector<uint8_t>* out) {
    for (size_t i = first; i < words.size(); ++i)
        if (!hex::AppendPairs(words[i], out)) return false;
    return !out->empty();
}

std::string Hex(uint32_t v, int digits) {
    char b[12];
    std::snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}

std::string Error(const std::string& why) {
    return "error " + why;
}

// Decimal, at most maxDigits digits (19 at most, so it fits).
bool ParseDecimal(const std::string& t, size_t maxDigits, uint64_t* v) {
    if (t.empty() || t.size() > maxDigits) return false;
    uint64_t r = 0;
    for (char ch : t) {
        if (ch < '0' || ch > '9') return false;
        r = r * 10 + static_cast<uint64_t>(ch - '0');
    }
    *v = r;
    return true;
}

// What stats prints, in its order; await reads the same keys.
std::vector<std::pair<std::string, uint64_t>> Counters(const Node& n) {
    const NodeStats& t = n.stats;
    uint64_t waiting = 0;
    for (const auto& st : n.in)
        waiting += st->waiting.size();
    return {{"descriptor", t.descriptor},
            {"first_acquire", t.firstAcquire},
            {"start_out_a", t.startOutA},
            {"start_out_b", t.startOutB},
            {"start_in", t.startIn},
            {"stop", t.stop},
            {"cancelled", t.cancelled},
            {"refused", t.refused},
            {"streams_out_a", n.out[0].stream ? 1u : 0u},
            {"streams_out_b", n.out[1].stream ? 1u : 0u},
            {"streams_in", n.in.size()},
            {"drained_out_a", t.drainedOutA},
            {"drained_out_b", t.drainedOutB},
            {"produced_in", t.producedIn},
            {"delivered_in", t.deliveredIn},
            {"dropped_in", t.droppedIn},
            {"waiting_in", waiting},
            {"vendor", n.vendor},
            {"product", n.product}};
}

bool CounterOf(const Node& n, const std::string& key, uint64_t* value) {
    for (const auto& [k, v] : Counters(n))
        if (k == key) {
            *value = v;
            return true;
        }
    return false;
}

// Packets or bytes in an output's capture log; bytes are counted no further
// than most.
uint64_t LogCount(const OutputPort& o, bool packets, uint64_t most) {
    if (packets) return o.log.size();
    uint64_t bytes = 0;
    for (size_t i = 0; i < o.log.size() && bytes < most; ++i)
        bytes += FifoPacketCount(o.log[i].packet);
    return bytes;
}

// The answer to a capture: what the output drained since the last one, which
// is then forgotten. Timed: each packet after the simulator's clock in
// microseconds when it left the ring, "US:HEX32".
std::string TakeCapture(OutputPort& o, bool packets, bool timed) {
    std::string out = "ok";
    for (const OutputPort::Drained& d : o.log) {
        if (timed) {
            out += " " + std::to_string(d.at) + ":" + Hex(d.packet, 8);
        } else if (packets) {
            out += " " + Hex(d.packet, 8);
        } else {
            for (uint32_t b = 0; b < FifoPacketCount(d.packet); ++b)
                out += " " + Hex((d.packet >> (8 * b)) & 0xFF, 2);
        }
    }
    o.log.clear();
    return out;
}

struct Syntax {
    const char* name;
    const char* text;
};

// Every command and what it takes, as help answers them and usage errors
// quote them.
const Syntax kCommands[] = {
    {"plug", "plug N [VID PID]"},
    {"unplug", "unplug N"},
    {"descriptor", "descriptor N VID PID"},
    {"rate", "rate N wire|fast|paused"},
    {"loopback", "loopback N on|off"},
    {"inject", "inject N A|B HEX..."},
    {"packet", "packet N HEX32..."},
    {"capture", "capture N A|B bytes|packets|timed [COUNT [TIMEOUT_MS]]"},
    {"stats", "stats N"},
    {"await", "await N KEY [at-most] VALUE [TIMEOUT_MS]"},
    {"fail", "fail N descriptor-short|wrong-vendor|start-immediate|start-no-cookie"},
    {"help", "help"},
    {"quit", "quit"},
};

class Command {
  public:
    Command(State& s, const std::vector<std::string>& words, std::optional<ControlWait>* wait)
        : s_(s), w_(words), wait_(wait) {}

    std::string Run() {
        const std::string& c = w_[0];
        if (c == "quit") {
            s_.quit = true;
            return "ok";
        }
        if (c == "help") return "ok " + ControlCommandList("; ");
        bool known = false;
        for (const Syntax& k : kCommands)
            known = known || c == k.name;
        if (!known) return Error("unknown command '" + c + "' (help lists them)");
        if (w_.size() < 2) return Error(c + " needs a node");
        uint64_t number = 0;
        if (!ParseDecimal(w_[1], 3, &number) || number >= kDevNodes)
            return Error("unknown node " + w_[1]);
        unsigned node = static_cast<unsigned>(number);
        if (c == "plug") return Plug(node);
        Node& n = s_.nodes[node];
        if (!n.plugged) return Error("node " + w_[1] + " is not plugged");
        if (c == "unplug") return Unplug(node);
        if (c == "descriptor") return SetDescriptor(n);
        if (c == "rate") return SetRate(n);
        if (c == "loopback") return SetLoopback(n);
        if (c == "inject") return Inject(n);
        if (c == "packet") return Packet(n);
        if (c == "capture") return Capture(n);
        if (c == "stats") return Stats(n);
        if (c == "await") return Await(n);
        return Fail(n);
    }

  private:
    std::string Usage() const {
        for (const Syntax& k : kCommands)
            if (w_[0] == k.name) return Error(std::string("usage: ") + k.text);
        return Error("usage");
    }

    bool Ids(size_t at, uint16_t* vendor, uint16_t* product, std::string* why) {
        uint32_t v = 0, p = 0;
        if (!hex::ParseNumber(w_[at], 4, &v)) {
            *why = "bad vendor id '" + w_[at] + "'";
            return false;
        }
        if (!hex::ParseNumber(w_[at + 1], 4, &p)) {
            *why = "bad product id '" + w_[at + 1] + "'";
            return false;
        }
        *vendor = static_cast<uint16_t>(v);
        *product = static_cast<uint16_t>(p);
        return true;
    }

    bool Port(size_t at, unsigned* port) {
        if (w_.size() <= at) return false;
        if (w_[at] == "A" || w_[at] == "a")
            *port = 0;
        else if (w_[at] == "B" || w_[at] == "b")
            *port = 1;
        else
            return false;
        return true;
    }

    std::string Plug(unsigned node) {
        if (s_.nodes[node].plugged) return Error("node " + w_[1] + " is already plugged");
        uint16_t vendor = kExpectedVendorId, product = kExpectedProductId;
        std::string why;
        if (w_.size() != 2 && w_.size() != 4) return Usage();
        if (w_.size() == 4 && !Ids(2, &vendor, &product, &why)) return Error(why);
        if (!PlugNode(s_, node, vendor, product, &why)) return Error(why);
        return "ok";
    }

    std::string Unplug(unsigned node) {
        if (w_.size() != 2) return Usage();
        UnplugNode(s_, node);
        return "ok";
    }

    std::string SetDescriptor(Node& n) {
        if (w_.size() != 4) return Usage();
        std::string why;
        if (!Ids(2, &n.vendor, &n.product, &why)) return Error(why);
        return "ok";
    }

    std::string SetRate(Node& n) {
        if (w_.size() != 3 || !ParseRate(w_[2], &n.rate)) return Usage();
        return "ok";
    }

    std::string SetLoopback(Node& n) {
        if (w_.size() != 3 || (w_[2] != "on" && w_[2] != "off")) return Usage();
        n.loopback = w_[2] == "on";
        return "ok";
    }

    std::string Inject(Node& n) {
        unsigned port = 0;
        if (!Port(2, &port)) return Usage();
        std::vector<uint8_t> bytes;
        if (!ParseBytes(w_, 3, &bytes)) return Error("inject needs bytes in hex");
        InjectBytes(s_, n, port, bytes, NowUs());
        return "ok";
    }

    std::string Packet(Node& n) {
        if (w_.size() < 3) return Usage();
        std::vector<uint32_t> packets;
        for (size_t i = 2; i < w_.size(); ++i) {
            uint32_t v = 0;
            if (!hex::ParseNumber(w_[i], 8, &v)) return Error("bad packet '" + w_[i] + "'");
            // An empty slot value would be written and counted while the
            // driver cannot see it: everything behind it would be stuck.
            if (!FifoPacketPresent(v)) return Error("packet " + Hex(v, 8) + " has no count");
            packets.push_back(v);
        }
        int64_t now = NowUs();
        for (uint32_t v : packets)
            DeliverPacket(n, v, now);
        return "ok";
    }

    // Without a count: what the output drained so far. With one: waits
    // until the log holds COUNT packets or bytes, then answers the same.
    std::string Capture(Node& n) {
        unsigned port = 0;
        if (w_.size() < 4 || w_.size() > 6 || !Port(2, &port) ||
            (w_[3] != "bytes" && w_[3] != "packets" && w_[3] != "timed"))
            return Usage();
        ControlWait w;
        w.port = static_cast<int>(port);
        w.timed = w_[3] == "timed";
        w.packets = w_[3] != "bytes";
        if (w_.size() == 4) return TakeCapture(n.out[port], w.packets, w.timed);
        // A count the log cannot reach would only ever time out.
        const uint64_t most = w.packets ? kCaptureLimit : 3 * kCaptureLimit;
        if (!ParseDecimal(w_[4], 19, &w.value)) return Error("bad count '" + w_[4] + "'");
        if (w.value > most)
            return Error("a capture keeps at most " + std::to_string(most) +
                         (w.packets ? " packets" : " bytes"));
        return Park(n, w, 5);
    }

    std::string Stats(Node& n) {
        if (w_.size() != 2) return Usage();
        std::string out = "ok";
        for (const auto& [key, value] : Counters(n))
            out += " " + key + "=" + std::to_string(value);
        return out;
    }

    // Waits until the counter is at least VALUE, or with at-most until it
    // is at most VALUE (a gauge such as streams_out_a, which falls).
    std::string Await(Node& n) {
        ControlWait w;
        w.atMost = w_.size() > 3 && w_[3] == "at-most";
        size_t at = w.atMost ? 4 : 3;
        if (w_.size() != at + 1 && w_.size() != at + 2) return Usage();
        uint64_t ignored = 0;
        if (!CounterOf(n, w_[2], &ignored)) return Error("unknown counter '" + w_[2] + "'");
        if (!ParseDecimal(w_[at], 19, &w.value)) return Error("bad value '" + w_[at] + "'");
        w.key = w_[2];
        return Park(n, w, at + 1);
    }

    // A wait with the timeout at w_[at] if given: answered at once when its
    // condition holds already (or the timeout is 0), else parked.
    std::string Park(Node& n, ControlWait w, size_t at) {
        uint64_t ms = kWaitDefaultMs;
        if (w_.size() > at && (!ParseDecimal(w_[at], 6, &ms) || ms > kWaitMostMs))
            return Error("bad timeout '" + w_[at] + "' (0 to " + std::to_string(kWaitMostMs) +
                         " ms)");
        w.node = n.index;
        w.generation = n.generation;
        w.timeoutMs = static_cast<uint32_t>(ms);
        int64_t now = NowUs();
        w.deadline = now + static_cast<int64_t>(ms) * 1000;
        Pump(s_, now);  // what is due by now counts
        std::string answer = AnswerWait(s_, w, now);
        if (answer.empty()) *wait_ = w;
        return answer;
    }

    std::string Fail(Node& n) {
        if (w_.size() != 3) return Usage();
        const std::string& what = w_[2];
        if (what == "descriptor-short")
            ++n.faults.descriptorShort;
        else if (what == "wrong-vendor")
            ++n.faults.wrongVendor;
        else if (what == "start-immediate")
            ++n.faults.startImmediate;
        else if (what == "start-no-cookie")
            ++n.faults.startNoCookie;
        else
            return Error("unknown fault '" + what +
                         "' (descriptor-short, wrong-vendor, start-immediate, start-no-cookie)");
        return "ok";
    }

    State& s_;
    const std::vector<std::string>& w_;
    std::optional<ControlWait>* wait_;
};

}  // namespace

std::string ControlCommandList(const char* separator) {
    std::string list;
    for (const Syntax& k : kCommands)
        list += (list.empty() ? "" : separator) + std::string(k.text);
    return list;
}

std::string AnswerWait(State& s, const ControlWait& w, int64_t now) {
    Node& n = s.nodes[w.node];
    if (!n.plugged || n.generation != w.generation)
        return Error("node " + std::to_string(w.node) + " was unplugged");
    uint64_t have = 0;
    std::string what;
    if (w.port < 0) {
        CounterOf(n, w.key, &have);
        what = w.key + "=" + std::to_string(have);
        if (w.atMost ? have <= w.value : have >= w.value) return "ok " + what;
    } else {
        OutputPort& o = n.out[w.port];
        have = LogCount(o, w.packets, w.value);
        if (have >= w.value) return TakeCapture(o, w.packets, w.timed);
        what = std::to_string(have) + (w.packets ? " packets" : " bytes") + " captured";
    }
    if (now < w.deadline) return "";
    return Error("timeout after " + std::to_string(w.timeoutMs) + " ms: " + what + " (awaited " +
                 (w.atMost ? "at most " : "") + std::to_string(w.value) + ")");
}

std::string ExecuteControl(State& s, const std::string& line, std::optional<ControlWait>* wait) {
    std::vector<std::string> words = Split(line);
    if (words.empty()) return Error("empty command");
    std::string answer = Command(s, words, wait).Run();
    // Settle what the command set moving, so the answer reflects it.
    Pump(s, NowUs());
    return answer;
}

}  // namespace sim
