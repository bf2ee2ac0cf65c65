// The input packetiser: byte streams from a MIDI cable and the packets a USB
// MIDI interface makes of them.
#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/support/support.h"

namespace {

struct Case {
    const char* name;
    const char* bytes;
    std::vector<uint32_t> packets;
};

std::vector<uint32_t> Cut(unsigned port, const std::string& hex) {
    sim::Packetizer p(port);
    std::vector<uint32_t> out;
    for (BYTE b : vt::Hex(hex))
        p.Push(b, &out);
    return out;
}

TEST(SimPacketizer, CutsByteStreamsIntoOneMessagePerPacket) {
    const Case cases[] = {
        {"note on", "90 3C 40", {0x03403C90}},
        {"running status expanded", "90 3C 40 3E 41 40 00", {0x03403C90, 0x03413E90, 0x03004090}},
        {"two-byte messages", "C5 10 11 D0 7F", {0x020010C5, 0x020011C5, 0x02007FD0}},
        {"pitch bend", "E1 00 40", {0x034000E1}},
        {"song position", "F2 01 02", {0x030201F2}},
        {"song select, tune request", "F3 05 F6", {0x020005F3, 0x010000F6}},
        {"system common ends running status",
         "90 3C 40 F6 3C",
         {0x03403C90, 0x010000F6, 0x0100003C}},
        {"stray data byte goes out alone", "45", {0x01000045}},
        {"F7 that ends no sysex goes out alone", "F7 90 3C 40", {0x010000F7, 0x03403C90}},
        {"sysex in threes", "F0 7E 7F 09 01 F7", {0x037F7EF0, 0x03F70109}},
        {"sysex end packet of one", "F0 01 02 F7", {0x030201F0, 0x010000F7}},
        {"sysex end packet of two", "F0 01 02 03 F7", {0x030201F0, 0x0200F703}},
        {"empty sysex", "F0 F7", {0x0200F7F0}},
        {"real time inside sysex", "F0 01 F8 02 F7", {0x010000F8, 0x030201F0, 0x010000F7}},
        {"real time inside a channel message",
         "90 FE 3C F8 40",
         {0x010000FE, 0x010000F8, 0x03403C90}},
        {"real time keeps running status",
         "90 3C 40 FA 3E 40",
         {0x03403C90, 0x010000FA, 0x03403E90}},
        {"status breaks off sysex, gathered bytes kept",
         "F0 01 02 03 90 3C 40",
         {0x030201F0, 0x01000003, 0x03403C90}},
        {"sysex ends running status", "90 3C 40 F0 01 F7 3C", {0x03403C90, 0x03F701F0, 0x0100003C}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Cut(0, c.bytes), c.packets) << c.name;
}

TEST(SimPacketizer, TagsEveryPacketWithItsPort) {
    EXPECT_EQ(Cut(1, "90 3C 40 F8 F0 01 F7"),
              (std::vector<uint32_t>{0x13403C90, 0x110000F8, 0x13F701F0}));
}

TEST(SimPacketizer, ResetForgetsRunningStatusAndPartialMessages) {
    sim::Packetizer p(0);
    std::vector<uint32_t> out;
    for (BYTE b : vt::Hex("90 3C 40 91 3C"))
        p.Push(b, &out);
    p.Reset();
    for (BYTE b : vt::Hex("3C 40"))
        p.Push(b, &out);
    EXPECT_EQ(out, (std::vector<uint32_t>{0x03403C90, 0x0100003C, 0x01000040}));
}

}  // namespace
