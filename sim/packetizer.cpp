// The input side of a USB MIDI interface: a byte stream from a MIDI cable cut
// into 32-bit packets of one message each.
#include "sim/midi_wire.h"
#include "sim/sim.h"

namespace sim {

void Packetizer::Reset() {
    running_ = 0;
    sysex_ = false;
    need_ = 0;
    count_ = 0;
}

void Packetizer::Emit(std::vector<uint32_t>* out) {
    uint32_t bytes = bytes_[0] | (count_ > 1 ? bytes_[1] << 8 : 0u) |
                     (count_ > 2 ? uint32_t(bytes_[2]) << 16 : 0u);
    out->push_back(FifoPacket(bytes, count_, port_));
    count_ = 0;
}

void Packetizer::Push(uint8_t b, std::vector<uint32_t>* out) {
    if (b >= 0xF8) {  // real time: at once, whatever is being gathered
        uint8_t saved[3] = {bytes_[0], bytes_[1], bytes_[2]};
        uint8_t savedCount = count_;
        bytes_[0] = b;
        count_ = 1;
        Emit(out);
        bytes_[0] = saved[0];
        bytes_[1] = saved[1];
        bytes_[2] = saved[2];
        count_ = savedCount;
        return;
    }
    if (b >= 0x80) {
        if (sysex_) {
            if (b == 0xF7) {
                bytes_[count_++] = b;
                Emit(out);
                sysex_ = false;
                return;
            }
            // Broken off: what was gathered still goes out.
            if (count_ > 0) Emit(out);
            sysex_ = false;
        }
        count_ = 0;
        need_ = 0;
        if (b < 0xF0) {
            running_ = b;
        } else {
            running_ = 0;  // system messages cancel running status
        }
        if (b == 0xF0) {
            sysex_ = true;
            bytes_[count_++] = b;
            return;
        }
        bytes_[count_++] = b;
        // An F7 that ends no system-exclusive message goes out alone.
        need_ = b == 0xF7 ? 1 : midi::MessageLength(b);
        if (count_ == need_) {
            Emit(out);
            need_ = 0;
        }
        return;
    }
    // Data byte.
    if (sysex_) {
        bytes_[count_++] = b;
        if (count_ == 3) Emit(out);
        return;
    }
    if (need_ == 0) {
        if (running_ == 0) {  // nothing to belong to
            bytes_[0] = b;
            count_ = 1;
            Emit(out);
            return;
        }
        bytes_[0] = running_;
        count_ = 1;
        need_ = midi::MessageLength(running_);
    }
    bytes_[count_++] = b;
    if (count_ == need_) {
        Emit(out);
        need_ = 0;
    }
}

}  // namespace sim
