// The simulated kernel side: a server that plays the kernel transport driver
// and the USB MIDI interfaces behind it for every process of one object root,
// and the client of its control socket.
//
// Library vtsim: Server, Main, and the building blocks the server is made of
// (ring access, the input packetiser). Library vtsimctl: ControlClient only.
// Header only, used by the server and by tools/ and tests/ alike: the MIDI
// cable's rules (midi_wire.h: byte time, message length by status) and hex
// text (hex_text.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "include/kernel_abi.h"

namespace sim {

// How fast the output consumer of a node drains its rings.
enum class Rate {
    Wire,    // 31250 baud per output port: 320 us per byte
    Fast,    // as fast as possible
    Paused,  // not at all
};

struct Options {
    std::vector<unsigned> nodes{0};  // plugged at start
    Rate rate = Rate::Wire;          // of every node plugged later too
    bool loopback = true;            // output A -> input A, output B -> input B
    std::string root;                // empty: devwire::Root()
};

// Parses "wire", "fast", "paused"; false for anything else.
bool ParseRate(const std::string& text, Rate* rate);

// The server. Start makes <root>/dev, binds <root>/control and the sockets of
// the plugged nodes, and returns once every one of them listens; the server
// then runs on a thread of its own until Stop, or until a client sends quit.
// Stop (also run by the destructor) ends the thread, ends every connection and
// removes the sockets. A Server is started at most once.
class Server {
  public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Start(const Options& options, std::string* error);
    void Stop();
    // True once the server thread has ended by itself (quit) or been stopped.
    bool Finished() const { return finished_.load(); }

    struct State;  // the server's state, owned by its thread

  private:
    std::unique_ptr<State> state_;
    std::thread thread_;
    int wakeFd_ = -1;  // eventfd: written by Stop to end the loop
    std::atomic<bool> finished_{false};
};

// `veltrane sim ...`: argv[0] is the subcommand name. Prints "ready" once the
// server listens, runs until quit, SIGINT or SIGTERM (or the parent's death
// with --exit-with-parent), answers the exit status.
int Main(int argc, char** argv);

// ---- ring access, by the ring rules of the block (the other side runs in
// another process at the same time: every access is one atomic 32-bit word).

// Consumer: takes the packet at iRead into *packet if there is one, empties
// the slot and advances iRead. False when the ring is empty.
bool RingTake(MidiFifo* fifo, uint32_t* packet);
// Producer: writes packet (non-zero top byte) at iWrite if that slot is empty
// and advances iWrite. False when the ring is full.
bool RingPut(MidiFifo* fifo, uint32_t packet);
// Consumer: true when the slot at iRead holds no packet.
bool RingEmpty(const MidiFifo* fifo);
// True when the slot at iWrite holds something.
bool RingFull(const MidiFifo* fifo);

// ---- input packetiser: the bytes arriving on one MIDI input, cut into
// packets as a USB MIDI interface delivers them. One complete message per
// packet, running status expanded; real-time bytes at once as one-byte
// packets, also inside other messages; system exclusive in packets of up to
// three bytes, the last one ending with F7. A status byte that breaks off a
// system-exclusive message sends what was gathered first. A data byte with no
// status to belong to goes out alone rather than being lost.
class Packetizer {
  public:
    explicit Packetizer(unsigned port) : port_(port) {}
    // Appends the packets completed by byte to out (port in bits 28-31).
    void Push(uint8_t byte, std::vector<uint32_t>* out);
    void Reset();

  private:
    void Emit(std::vector<uint32_t>* out);
    unsigned port_;
    uint8_t running_ = 0;  // channel status for running status, 0 none
    bool sysex_ = false;
    uint8_t need_ = 0;  // bytes of the message being gathered, 0 none
    uint8_t bytes_[3] = {};
    uint8_t count_ = 0;
};

// ---- control client (library vtsimctl)

// One connection to <root>/control: one command line out, one answer line
// back ("ok ..." or "error ...").
class ControlClient {
  public:
    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // root empty: devwire::Root().
    bool Connect(const std::string& root, std::string* error);
    // Sends line (no newline) and reads the answer line (without newline).
    // False with *error when the connection fails or no answer comes within
    // timeoutMs.
    bool Command(const std::string& line, std::string* answer, std::string* error,
                 int timeoutMs = 20000);
    void Close();
    bool connected() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::string buffered_;
};

}  // namespace sim
