// The moving parts of the interfaces: output consumers at their pace, the
// loopback cables, injected bytes on their way in, and the input rings of
// every process that streams a node's input.
#include <algorithm>

#include "sim/server_state.h"

namespace sim {
namespace {

// Output packets taken in one pump at most, so a driver that writes as fast
// as the consumer drains cannot hold the loop.
constexpr int kMaxTakesPerPump = 4096;

// Bytes of input port p that the node has not yet written into every block.
size_t PendingInput(const Node& n, unsigned p) {
    size_t most = 0;
    for (const auto& st : n.in)
        most = std::max(most, st->waitingBytes[p]);
    return n.inPort[p].wire.size() + most;
}

void FeedInput(Node& n, unsigned p, uint8_t byte, int64_t now) {
    std::vector<uint32_t> packets;
    n.inPort[p].packetizer.Push(byte, &packets);
    for (uint32_t pk : packets)
        DeliverPacket(n, pk, now);
}

void DrainOutput(Node& n, unsigned p, int64_t now) {
    OutputPort& o = n.out[p];
    if (!o.stream || !o.stream->fifo || n.rate == Rate::Paused) return;
    bool wire = n.rate == Rate::Wire;
    // A cable that went idle starts again from now. One that stayed busy keeps
    // its own clock, so timer jitter and a late tick cost no throughput; a
    // long stall is made up for only in part, as an interface's buffer would.
    if (wire) o.wireFreeAt = o.idle ? now : std::max(o.wireFreeAt, now - kWireCatchUpUs);
    o.idle = false;
    for (int i = 0; i < kMaxTakesPerPump; ++i) {
        if (wire && o.wireFreeAt > now) break;
        uint32_t pk = 0;
        if ((n.loopback && PendingInput(n, p) > kLoopbackBoundBytes) ||
            !RingTake(o.stream->fifo, &pk)) {
            o.idle = true;
            break;
        }
        uint32_t count = FifoPacketCount(pk);
        if (p == 0) ++n.stats.drainedOutA;
        if (p == 1) ++n.stats.drainedOutB;
        o.log.push_back({pk, now});
        if (o.log.size() > kCaptureLimit) o.log.pop_front();
        if (wire) o.wireFreeAt += midi::kByteTimeUs * count;
        if (n.loopback)
            for (uint32_t b = 0; b < count; ++b)
                FeedInput(n, p, static_cast<uint8_t>(pk >> (8 * b)), now);
    }
}

void FlushWaiting(Node& n, Stream& st, int64_t now) {
    while (!st.waiting.empty()) {
        const Stream::Waiting& w = st.waiting.front();
        if (RingPut(st.fifo, w.packet)) {
            ++n.stats.deliveredIn;
        } else if (now - w.since >= kInputWaitUs) {
            ++n.stats.droppedIn;  // for this block only
        } else {
            break;
        }
        st.waitingBytes[FifoPacketPort(w.packet) & 1] -= FifoPacketCount(w.packet);
        st.waiting.pop_front();
    }
}

}  // namespace

void DeliverPacket(Node& n, uint32_t packet, int64_t now) {
    ++n.stats.producedIn;
    for (auto& st : n.in) {
        // Behind packets already waiting, or into a full ring: wait.
        if (st->waiting.empty() && RingPut(st->fifo, packet)) {
            ++n.stats.deliveredIn;
            continue;
        }
        st->waiting.push_back({packet, now});
        st->waitingBytes[FifoPacketPort(packet) & 1] += FifoPacketCount(packet);
    }
}

void InjectBytes(State&, Node& n, unsigned p, const std::vector<uint8_t>& bytes, int64_t now) {
    InputPort& in = n.inPort[p];
    if (n.rate != Rate::Wire) {
        // Behind whatever is still on the cable from an earlier wire rate.
        for (uint8_t b : bytes)
            in.wire.push_back({now, b});
        return;
    }
    in.wireFreeAt = std::max(in.wireFreeAt, now);
    for (uint8_t b : bytes) {
        in.wireFreeAt += midi::kByteTimeUs;
        in.wire.push_back({in.wireFreeAt, b});
    }
}

void Pump(State& s, int64_t now) {
    for (Node& n : s.nodes) {
        if (!n.plugged) continue;
        // Room first, so what waits goes before anything new.
        for (auto& st : n.in)
            FlushWaiting(n, *st, now);
        for (unsigned p = 0; p < 2; ++p) {
            InputPort& in = n.inPort[p];
            bool paced = n.rate == Rate::Wire;
            while (!in.wire.empty() && (!paced || in.wire.front().at <= now)) {
                uint8_t b = in.wire.front().byte;
                in.wire.pop_front();
                FeedInput(n, p, b, now);
            }
        }
        for (unsigned p = 0; p < 2; ++p)
            DrainOutput(n, p, now);
        for (auto& st : n.in)
            FlushWaiting(n, *st, now);
    }
}

bool NeedsTimer(const State& s) {
    for (const Node& n : s.nodes) {
        if (!n.plugged) continue;
        if (n.rate != Rate::Paused && (n.out[0].stream || n.out[1].stream)) return true;
        if (!n.inPort[0].wire.empty() || !n.inPort[1].wire.empty()) return true;
        for (const auto& st : n.in)
            if (!st->waiting.empty()) return true;
    }
    return false;
}

}  // namespace sim
