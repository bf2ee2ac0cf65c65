// The server's state and the routines of its parts, shared by the files of
// vtsim. Everything here belongs to the server thread alone: no locks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/os/devwire.h"
#include "sim/midi_wire.h"
#include "sim/sim.h"

namespace sim {

constexpr int64_t kWireCatchUpUs = 20000;     // how far a busy cable catches up after a stall
constexpr int64_t kInputWaitUs = 100000;      // a packet waits this long for a full ring
constexpr size_t kLoopbackBoundBytes = 4096;  // pending input that holds the output back
constexpr size_t kCaptureLimit = 1u << 20;    // packets kept per output for capture
// How often the ring of an output whose cable is free is looked at: often
// while it is in use (a packet taken within kOutputBusyUs), so that what is
// written goes out with little delay, and seldom otherwise.
constexpr int64_t kOutputPollUs = 100;
constexpr int64_t kOutputIdlePollUs = 1000;
constexpr int64_t kOutputBusyUs = 100000;
constexpr int64_t kInputRetryUs = 1000;     // a packet waiting for room tries again this often
constexpr size_t kMaxInputStreams = 64;     // input streams of one node, all processes
constexpr uint32_t kWaitDefaultMs = 10000;  // how long a waiting command waits unless told
constexpr uint32_t kWaitMostMs = 600000;    // the longest it may be told to wait
// How long a stopped output stream may take to send what its ring held: twice
// a full ring at the wire rate. A paused port, or one held back, drops the rest.
constexpr int64_t kStopSendBoundUs = 2 * kFifoSlots * 3 * midi::kByteTimeUs;

int64_t NowUs();

struct DeviceConn;

// The mapping of a block passed with a start request, and its guard.
struct PassedBlock {
    void* map = nullptr;
    size_t len = 0;
    int guard = -1;
};

// One pending start request: a block the kernel side works on.
struct Stream {
    uint32_t cookie = 0;
    uint32_t pipe = 0;
    DeviceConn* conn = nullptr;  // the connection that carries the request
    uint32_t requestId = 0;
    PassedBlock block;
    MidiFifo* fifo = nullptr;  // inside block.map
    // Input blocks: packets waiting for room, with the time each found the
    // block full.
    struct Waiting {
        uint32_t packet;
        int64_t since;
    };
    std::deque<Waiting> waiting;
    size_t waitingBytes[2] = {0, 0};  // by input port
    // Output blocks: a stop arrived. The stream sends what the ring holds,
    // then completes; at stopBy at the latest.
    bool stopping = false;
    int64_t stopBy = 0;
};

struct OutputPort {
    std::unique_ptr<Stream> stream;
    int64_t wireFreeAt = 0;    // when the cable has sent what was taken
    bool idle = true;          // nothing to send at the last look
    int64_t lastTakenAt = -1;  // when a packet was last taken from the ring
    struct Drained {
        uint32_t packet;
        int64_t at;  // NowUs() when it left the ring
    };
    std::deque<Drained> log;  // drained packets not yet captured
};

struct InputPort {
    explicit InputPort(unsigned port) : packetizer(port) {}
    Packetizer packetizer;
    struct Arriving {
        int64_t at;
        uint8_t byte;
    };
    std::deque<Arriving> wire;  // injected bytes still on the cable
    int64_t wireFreeAt = 0;
};

struct NodeStats {
    uint64_t descriptor = 0, firstAcquire = 0, startOutA = 0, startOutB = 0, startIn = 0, stop = 0,
             cancelled = 0, refused = 0, drainedOutA = 0, drainedOutB = 0, producedIn = 0,
             deliveredIn = 0, droppedIn = 0;
};

// Fault injections: each count is the number of matching requests still to spoil.
struct NodeFaults {
    unsigned descriptorShort = 0, wrongVendor = 0, startImmediate = 0, startNoCookie = 0;
};

struct Node {
    unsigned index = 0;
    bool plugged = false;
    uint64_t generation = 0;  // raised by every unplug: older connections are dead
    int listenFd = -1;
    uint16_t vendor = 0, product = 0;
    Rate rate = Rate::Wire;
    bool loopback = true;
    OutputPort out[2];
    std::vector<std::unique_ptr<Stream>> in;
    InputPort inPort[2]{InputPort(0), InputPort(1)};
    NodeStats stats;
    NodeFaults faults;
};

struct DeviceConn {
    int fd = -1;
    unsigned node = 0;
    uint64_t generation = 0;
    // Replies the peer has not taken yet, oldest first. While one waits no
    // request is read from the connection: a peer that does not read its
    // answers holds up nobody but itself.
    std::deque<std::string> outbox;
    bool watchingOut = false;  // in the epoll set for room to send, not for requests
};

// A control command that waits for its condition: await (a counter of
// stats reaching a value, or falling to one) or capture with a count (an output's capture log
// holding that many packets or bytes). Parked on its connection, it is
// looked at again whenever the server has handled an event, and answered
// once the condition holds, its node was unplugged or its deadline passed.
struct ControlWait {
    unsigned node = 0;
    uint64_t generation = 0;  // the node's when the wait began: an unplug ends it
    std::string key;          // await: the counter, as stats names it
    int port = -1;            // capture: the output port (0 A, 1 B); -1 for await
    bool packets = true;      // capture: counts packets (also timed), else bytes
    bool timed = false;       // capture: answers each packet with its time
    uint64_t value = 0;       // the counter's or the log's least value that ends the wait
    bool atMost = false;      // await: the counter's greatest value that ends it instead
    uint32_t timeoutMs = 0;
    int64_t deadline = 0;  // NowUs() from which it answers error timeout
};

struct ControlConn {
    int fd = -1;
    std::string in;                   // received, not yet executed
    std::optional<ControlWait> wait;  // the command waiting: later lines wait behind it
    // Answers the peer has not taken yet, from outSent on. While there are
    // any, no line is executed nor read: a peer that does not read its
    // answers holds up nobody but itself.
    std::string out;
    size_t outSent = 0;
    bool watchingOut = false;  // in the epoll set for room to send, not for lines
};

struct Server::State {
    Options options;
    std::string root;
    int epollFd = -1, timerFd = -1, controlFd = -1, wakeFd = -1;
    int64_t timerAt = -1;  // when the pacing timer goes off (NowUs() time), -1 disarmed
    bool quit = false;
    uint32_t cookieSerial = 0;
    Node nodes[kDevNodes];
    std::map<int, std::unique_ptr<DeviceConn>> devices;
    std::map<int, std::unique_ptr<ControlConn>> controls;
};
using State = Server::State;

// ---- sockets (server.cpp)
// Sends a message on a device connection as soon as the peer makes room for
// it, never waiting: what the peer does not take now waits in its outbox.
void SendToDevice(DeviceConn& conn, std::string message);

// ---- passed memory (passed_memory.cpp)
// Maps the block at offset of a passed descriptor, read and written in place
// while its stream runs, and guards it: memory the peer takes away under the
// block turns into zeros and marks it lost instead of killing the server.
// Answers kStatusSuccess, or the status that refuses the start (a descriptor
// that is not a file's memory, a block outside it, no guard left).
uint32_t MapBlock(int fd, uint64_t offset, PassedBlock* block, MidiFifo** fifo);
// True once the peer has taken the block's memory away.
bool BlockLost(const PassedBlock& block);
void UnmapBlock(PassedBlock* block);

// ---- nodes and requests (device.cpp)
bool PlugNode(State& s, unsigned node, uint16_t vendor, uint16_t product, std::string* error);
void UnplugNode(State& s, unsigned node);
// One request of a device connection; takes ownership of passedFd (-1 none).
void HandleRequest(State& s, DeviceConn& conn, const devwire::Request& req, const uint8_t* in,
                   int passedFd);
// Ends, with an error answer, every stream whose block the peer took away.
void EndLostStreams(State& s);
// The connection closed: its pending starts end as cancelled.
void DropConnection(State& s, DeviceConn& conn);
// Ends every stream of every node without answering (the server stops).
void ReleaseAllStreams(State& s);

// Ends a stream: answers its start request with status when answer is set,
// writes the magic back into the block's word 0 (it streams no more) and
// stops touching the block.
void EndStream(Node& n, Stream* st, uint32_t status, bool answer);

// ---- pacing (pump.cpp)
// Moves bytes: output consumers, loopback, injected bytes, input rings.
void Pump(State& s, int64_t now);
// When the pacing timer must next run Pump (NowUs() time); -1 while nothing
// moves by itself.
int64_t NextPumpAt(const State& s, int64_t now);
// Bytes arriving on an input of a node, at its pace.
void InjectBytes(State& s, Node& n, unsigned port, const std::vector<uint8_t>& bytes, int64_t now);
// One packet produced by the interface, for every input block of the node.
void DeliverPacket(Node& n, uint32_t packet, int64_t now);

// ---- control commands (control.cpp)
// The answer to one command line. A command that waits and whose condition
// does not hold yet answers "" and sets *wait instead.
std::string ExecuteControl(State& s, const std::string& line, std::optional<ControlWait>* wait);
// Every command with what it takes ("plug N [VID PID]", ...), joined by
// separator: what help answers and `veltrane sim --help` prints.
std::string ControlCommandList(const char* separator);
// The answer to a waiting command if it is due at now (its condition holds,
// its node was unplugged or its deadline passed); "" while it waits on.
std::string AnswerWait(State& s, const ControlWait& wait, int64_t now);

}  // namespace sim
