// The input side of a USB MIDI interface: a byte stream from a MIDI cable cut
// into 32-bit packets of one message each.
#include "sim/sim.h"

namespace sim {
namespace {

// Bytes of a message by its status, status included; 0 for system exclusive.
uint8_t MessageLength(uint8_t status) {
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // Cn, Dn: 2
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        case 0xF0:
            return 0;
        default:  // F4, F5, F6, F7: alone
            return 1;
    }
}

}  // namespace

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
        need_ = MessageLength(b);
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
        need_ = MessageLength(running_);
    }
    bytes_[count_++] = b;
    if (count_ == need_) {
        Emit(out);
        need_ = 0;
    }
}

}  // namespace sim
