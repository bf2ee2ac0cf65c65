// What the driver and the kernel transport driver agree on: the 4096-byte ring
// block, the packet format, the four control codes and the stream start record.
// Plain fixed-size integers only, so the simulated kernel side can include it
// without the Win32 subset.
#pragma once

#include <cstdint>

// Ring block: 1024 little-endian 32-bit words, 6 header words then 1018 slots.
constexpr uint32_t MIDI_FIFO_MAGIC = 0x51544B50;  // "PKTQ"
constexpr uint32_t kFifoBlockBytes = 4096;
constexpr uint32_t kFifoWords = 1024;
constexpr uint32_t kFifoHeaderBytes = 24;
constexpr uint32_t kFifoFirstSlot = 6;  // word index of the first slot
constexpr uint32_t kFifoSlots = kFifoWords - kFifoFirstSlot;
constexpr uint32_t kDevNodes = 8;

// The header words and the slots. Every field is one aligned 32-bit word that
// the other side may read or write at any moment: the producer alone moves
// iWrite and fills slots, the consumer alone moves iRead and empties them.
// The driver is the producer of output blocks and the consumer of input
// blocks; on its side every write is made under its named mutex, which makes
// the writers of all processes to one output block a single producer.
struct MidiFifo {
    // MIDI_FIFO_MAGIC, a stream cookie, or 0 (unusable). The driver at
    // initialisation, the kernel side when a stream starts and ends.
    volatile uint32_t dwMagic;
    volatile uint32_t cbHeader;  // 24; set at initialisation, read-only after
    volatile uint32_t cRef;      // processes that hold the block; the driver's named mutex
    volatile uint32_t cdwSize;   // 1024; set at initialisation, read-only after
    volatile uint32_t iWrite;    // word index 6..1023; the producer
    volatile uint32_t iRead;     // word index 6..1023; the consumer
    volatile uint32_t adwSlots[kFifoSlots];  // filled by the producer, emptied by the consumer
};
static_assert(sizeof(MidiFifo) == kFifoBlockBytes, "a ring block is 4096 bytes");

// The slot at word index i (6..1023) of a block.
inline volatile uint32_t& FifoSlot(MidiFifo* pFifo, uint32_t i) {
    return pFifo->adwSlots[i - kFifoFirstSlot];
}

// The ring's index rules, for both sides. The slots run from kFifoFirstSlot
// up to the block's cdwSize. The block is memory the other side writes too,
// so a cdwSize beyond the block or short of the first slot is not followed:
// the slots then run to the end of the block. Callers read cdwSize once and
// pass the value they read.
constexpr uint32_t FifoEnd(uint32_t cdwSize) {
    return cdwSize > kFifoFirstSlot && cdwSize <= kFifoWords ? cdwSize : kFifoWords;
}
// True when word index i is one of the slots.
constexpr bool FifoIndexInSlots(uint32_t i, uint32_t cdwSize) {
    return i >= kFifoFirstSlot && i < FifoEnd(cdwSize);
}
// The index after i: the next slot, or the first after the last. Always one of
// the slots, whatever i holds.
constexpr uint32_t FifoNextIndex(uint32_t i, uint32_t cdwSize) {
    return i >= kFifoFirstSlot && i < FifoEnd(cdwSize) - 1 ? i + 1 : kFifoFirstSlot;
}
static_assert(FifoNextIndex(kFifoWords - 1, kFifoWords) == kFifoFirstSlot, "wraps at the end");
static_assert(FifoNextIndex(0xFFFFFFFF, kFifoWords) == kFifoFirstSlot, "never leaves the slots");

// Packet: bytes in bits 0-23 (first byte lowest), count 1..3 in bits 24-25,
// input port in bits 28-31 (input blocks only). A slot holds a packet exactly
// when its top byte is non-zero.
constexpr uint32_t FifoPacketCount(uint32_t dwPacket) {
    return (dwPacket >> 24) & 0x3;
}
constexpr uint32_t FifoPacketPort(uint32_t dwPacket) {
    return dwPacket >> 28;
}
constexpr bool FifoPacketPresent(uint32_t dwPacket) {
    return (dwPacket >> 24) != 0;
}
constexpr uint32_t FifoPacket(uint32_t dwBytes, uint32_t cBytes, uint32_t port) {
    return (dwBytes & 0x00FFFFFF) | (cBytes << 24) | (port << 28);
}

// True when the slot at iRead holds a packet: the consumer has something to
// take.
inline bool FifoPacketWaiting(MidiFifo* pFifo) {
    uint32_t i = pFifo->iRead;
    return FifoIndexInSlots(i, pFifo->cdwSize) && FifoPacketPresent(FifoSlot(pFifo, i));
}

// Control codes: device type 0x22, any access.
constexpr uint32_t kCtlMethodBuffered = 0;
constexpr uint32_t kCtlMethodOutDirect = 2;
constexpr uint32_t CtlCode(uint32_t dwFunction, uint32_t dwMethod) {
    return (0x22u << 16) | (dwFunction << 2) | dwMethod;
}
constexpr uint32_t CtlMethod(uint32_t dwCode) {
    return dwCode & 3;
}
constexpr uint32_t IOCTL_GET_DEVICE_DESCRIPTOR = CtlCode(0x801, kCtlMethodBuffered);
constexpr uint32_t IOCTL_FIRST_ACQUIRE = CtlCode(0x802, kCtlMethodBuffered);
constexpr uint32_t IOCTL_STOP_STREAM = CtlCode(0x804, kCtlMethodBuffered);
constexpr uint32_t IOCTL_START_STREAM = CtlCode(0x805, kCtlMethodOutDirect);
static_assert(IOCTL_GET_DEVICE_DESCRIPTOR == 0x222004, "descriptor request code");
static_assert(IOCTL_FIRST_ACQUIRE == 0x222008, "first acquire code");
static_assert(IOCTL_STOP_STREAM == 0x222010, "stop code");
static_assert(IOCTL_START_STREAM == 0x222016, "start code");

// Input of IOCTL_START_STREAM; its output buffer is the port's ring block.
struct StreamStartRequest {
    uint32_t dwPipe;      // 2 output A, 4 output B, 0 input
    uint32_t cdwBlock;    // 1024
    uint32_t dwReserved;  // 0
};
static_assert(sizeof(StreamStartRequest) == 12, "the start record is 12 bytes");

constexpr uint32_t kPipeOutA = 2;
constexpr uint32_t kPipeOutB = 4;
constexpr uint32_t kPipeIn = 0;

// USB standard device descriptor: 18 bytes, idVendor at 8, idProduct at 10.
constexpr uint32_t kUsbDeviceDescriptorBytes = 18;
constexpr uint32_t kUsbDescVendorOffset = 8;
constexpr uint32_t kUsbDescProductOffset = 10;

// The USB identity the interface must report in its device descriptor before
// the driver uses it: vendor 0x1209 is the open pid.codes vendor, and its
// product 0x0001 is the one that registry sets aside for testing. A product
// that ships gets its own product identifier under 0x1209 and changes only
// kExpectedProductId.
constexpr uint16_t kExpectedVendorId = 0x1209;
constexpr uint16_t kExpectedProductId = 0x0001;
