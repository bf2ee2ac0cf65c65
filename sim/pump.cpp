// The moving parts of the interfaces: output consumers at their pace, the
// loopback cables, injected bytes on their way in, and the input rings of
// every process that streams a node's input. At wire rate a byte takes its
// time on every cable: an output packet is taken when the cable is free, and
// a looped-back or injected byte reaches the input's packetiser when its last
// bit has arrived, so a message is delivered when its last byte would arrive.
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

// A byte onto input p's cable, arriving whole once its last bit is in:
// sentAt + one byte time at the earliest, after whatever is on the cable.
void PutOnInputWire(InputPort& in, uint8_t byte, int64_t sentAt) {
    in.wireFreeAt = std::max(in.wireFreeAt, sentAt) + midi::kByteTimeUs;
    in.wire.push_back({in.wireFreeAt, byte});
}

// The bytes that have arrived on the inputs' cables by now, to the
// packetiser (at wire rate; otherwise all of them).
void FeedArrived(Node& n, int64_t now) {
    bool paced = n.rate == Rate::Wire;
    for (unsigned p = 0; p < 2; ++p) {
        InputPort& in = n.inPort[p];
        while (!in.wire.empty() && (!paced || in.wire.front().at <= now)) {
            uint8_t b = in.wire.front().byte;
            in.wire.pop_front();
            FeedInput(n, p, b, now);
        }
    }
}

void DrainOutput(Node& n, unsigned p, int64_t now) {
    OutputPort& o = n.out[p];
    if (!o.stream || !o.stream->fifo || n.rate == Rate::Paused) return;
    bool wire = n.rate == Rate::Wire;
    // A packet found after a look that found the ring empty was written
    // since: it starts no earlier than now. A cable whose ring still held
    // packets keeps its own clock, so timer jitter and a late tick cost no
    // throughput; a long stall is made up for only in part, as an
    // interface's buffer would.
    if (wire) o.wireFreeAt = std::max(o.wireFreeAt, o.idle ? now : now - kWireCatchUpUs);
    o.idle = false;
    for (int i = 0; i < kMaxTakesPerPump; ++i) {
        if (wire && o.wireFreeAt > now) {
            o.idle = RingEmpty(o.stream->fifo);
            break;
        }
        uint32_t pk = 0;
        if ((n.loopback && PendingInput(n, p) > kLoopbackBoundBytes) ||
            !RingTake(o.stream->fifo, &pk)) {
            o.idle = true;
            break;
        }
        o.lastTakenAt = now;
        uint32_t count = FifoPacketCount(pk);
        if (p == 0) ++n.stats.drainedOutA;
        if (p == 1) ++n.stats.drainedOutB;
        o.log.push_back({pk, now});
        if (o.log.size() > kCaptureLimit) o.log.pop_front();
        for (uint32_t b = 0; b < count; ++b) {
            uint8_t byte = static_cast<uint8_t>(pk >> (8 * b));
            // Looped back, a byte reaches the input when the cable has
            // carried it (at wire rate), at once otherwise.
            if (n.loopback && wire) PutOnInputWire(n.inPort[p], byte, o.wireFreeAt);
            if (n.loopback && !wire) FeedInput(n, p, byte, now);
            if (wire) o.wireFreeAt += midi::kByteTimeUs;
        }
    }
}

// A stopped output stream ends once its ring is empty and the cable has sent
// the last byte, or when its time is up.
void EndStoppedOutput(Node& n, unsigned p, int64_t now) {
    OutputPort& o = n.out[p];
    Stream* st = o.stream.get();
    if (!st || !st->stopping) return;
    bool sent = o.idle && (n.rate != Rate::Wire || o.wireFreeAt <= now);
    if ((sent && RingEmpty(st->fifo)) || now >= st->stopBy)
        EndStream(n, st, devwire::kStatusSuccess, true);
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
    for (uint8_t b : bytes)
        PutOnInputWire(in, b, now);
}

void Pump(State& s, int64_t now) {
    for (Node& n : s.nodes) {
        if (!n.plugged) continue;
        // Room first, so what waits goes before anything new.
        for (auto& st : n.in)
            FlushWaiting(n, *st, now);
        FeedArrived(n, now);
        for (unsigned p = 0; p < 2; ++p) {
            DrainOutput(n, p, now);
            EndStoppedOutput(n, p, now);
        }
        // A cable that caught up after a stall may have carried some of it
        // already.
        FeedArrived(n, now);
        for (auto& st : n.in)
            FlushWaiting(n, *st, now);
    }
}

int64_t NextPumpAt(const State& s, int64_t now) {
    int64_t next = -1;
    auto consider = [&](int64_t at) {
        if (next < 0 || at < next) next = at;
    };
    for (const Node& n : s.nodes) {
        if (!n.plugged) continue;
        for (const OutputPort& o : n.out) {
            if (!o.stream) continue;
            if (n.rate == Rate::Paused) {
                // A paused port sends nothing; a stop on it ends at its bound.
                if (o.stream->stopping) consider(o.stream->stopBy);
                continue;
            }
            // A cable with packets waiting takes the next one when it is
            // free; otherwise the ring is polled.
            if (n.rate == Rate::Wire && !o.idle && o.wireFreeAt > now) {
                consider(o.wireFreeAt);
            } else {
                bool inUse = o.lastTakenAt >= 0 && now - o.lastTakenAt < kOutputBusyUs;
                consider(now + (inUse ? kOutputPollUs : kOutputIdlePollUs));
            }
        }
        for (const InputPort& in : n.inPort)
            if (!in.wire.empty()) consider(in.wire.front().at);
        for (const auto& st : n.in)
            if (!st->waiting.empty()) consider(now + kInputRetryUs);
    }
    return next;
}

}  // namespace sim
