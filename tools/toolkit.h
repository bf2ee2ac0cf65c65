// What the subcommands of the veltrane command share: parsing of hex bytes
// and sizes, decoding of MIDI for display, the loop test's patterns and
// checks (all pure, tested directly), and the port helpers over winmm.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/winmm.h"

namespace tools {

// ---------------------------------------------------------------- hexargs.cpp
// One MIDI message as it goes out: a short message of 1 to 3 bytes, status
// first, or a whole system-exclusive message F0 ... F7.
struct MidiMessage {
    std::vector<uint8_t> bytes;
    bool IsSysex() const { return !bytes.empty() && bytes[0] == 0xF0; }
    // First byte in bits 0-7, as midiOutShortMsg takes it.
    DWORD Packed() const;
};

// "90 3C 40", "903C40" or "0x90 0x3c 0x40" (one or more arguments) -> bytes.
bool ParseHexBytes(const std::vector<std::string>& args, std::vector<uint8_t>* out,
                   std::string* error);
// Cuts bytes into messages: channel messages by their length, data bytes
// after them by running status (the status is written out again), system
// common messages, real-time bytes (also in the middle of another message,
// sent before it) and F0 ... F7 runs. Errors name the offending byte.
bool SplitMessages(const std::vector<uint8_t>& bytes, std::vector<MidiMessage>* out,
                   std::string* error);
// "1024", "1k", "64K", "64KiB", "1M" -> bytes; false for anything else or 0.
bool ParseSize(const std::string& text, size_t* out);
// A decimal count greater than 0.
bool ParseCount(const std::string& text, unsigned* out);

// ---------------------------------------------------------------- decode.cpp
// Bytes of a message with this status: 1 to 3, or 0 for a data byte, F0 and
// F7 (no fixed length).
unsigned MessageLength(uint8_t status);
// 60 -> "C4", 54 -> "F#3", 0 -> "C-1".
std::string NoteName(unsigned note);
// "90 3C 40"; at most limit bytes, then " ... (N more)". limit 0: all.
std::string HexBytes(const uint8_t* p, size_t n, size_t limit = 0);
// The bytes of a packed short message, as many as its status says.
std::vector<uint8_t> UnpackShort(DWORD packed);
// "Note on          ch 1   C4 (60)   velocity 64" and so on.
std::string DescribeShort(DWORD packed);
// "SysEx            1024 bytes  F0 7D ..." (the first 32 bytes shown).
std::string DescribeSysex(const std::vector<uint8_t>& bytes);
// A 16-bit port name as text (non-ASCII characters as '?').
std::string NarrowName(const WCHAR* psz, size_t cchMax);

// Joins the buffers of system-exclusive input into whole messages: a message
// may span several buffers and ends with F7.
class SysexAssembler {
  public:
    // Appends a returned buffer; answers true and moves the message into
    // *complete when the buffer ended one.
    bool Add(const uint8_t* p, size_t n, std::vector<uint8_t>* complete);
    // What was gathered of an unfinished message (then forgotten).
    std::vector<uint8_t> TakePartial();
    bool Pending() const { return !pending_.empty(); }

  private:
    std::vector<uint8_t> pending_;
};

// ---------------------------------------------------------------- loop_check.cpp
// The loop pattern: message seq is a note-on whose channel, note and velocity
// carry the 18 bits of seq, so kLoopMaxCount messages are all distinct.
constexpr unsigned kLoopMaxCount = 1u << 18;
// The largest sysex `loop --sysex` sends: 16 MiB, about 90 minutes at wire
// rate; the check keeps every byte and a queue of buffers for all of it.
constexpr size_t kLoopMaxSysex = 16u << 20;
DWORD LoopMessage(uint32_t seq);
// The seq a received message carries; false when no loop message looks so.
bool LoopSequence(DWORD packed, uint32_t* seq);
// One system-exclusive message of size bytes (at least 4): F0 7D, then groups
// of three bytes holding their own index (21 bits), cut off before the F7.
std::vector<uint8_t> LoopSysex(size_t size);

// What the receiving side of the loop saw, message by message.
class LoopTally {
  public:
    explicit LoopTally(unsigned count) : seen_(count, false) {}
    void AddMessage(DWORD packed);     // a MIM_DATA
    void AddError() { ++corrupted_; }  // a MIM_ERROR or anything unexpected
    unsigned received() const { return received_; }
    unsigned corrupted() const { return corrupted_; }
    unsigned reordered() const { return reordered_; }
    unsigned duplicated() const { return duplicated_; }
    unsigned lost() const;

  private:
    std::vector<bool> seen_;
    unsigned received_ = 0, corrupted_ = 0, reordered_ = 0, duplicated_ = 0;
    long long highest_ = -1;
};

// Bytes of received that differ from expected at the same offset, plus the
// bytes missing from its end or beyond it.
struct SysexCheck {
    size_t lost = 0;       // expected bytes that did not arrive
    size_t corrupted = 0;  // bytes that arrived wrong (or extra)
    size_t firstBad = 0;   // offset of the first difference (valid when any)
};
SysexCheck CheckSysex(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received);

struct LatencySummary {
    double min = 0, median = 0, p99 = 0, max = 0;
};
// Nearest-rank percentiles of the samples (in any unit); zeros when empty.
LatencySummary Summarize(std::vector<double> samples);

// ---------------------------------------------------------------- ports.cpp
struct PortInfo {
    UINT id = 0;
    std::string name;
};
std::vector<PortInfo> OutputPorts();
std::vector<PortInfo> InputPorts();
// A port by ID (all digits) or by a case-insensitive part of its name; a part
// that matches several names must match one of them whole.
bool FindPort(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
              std::string* error);
// FindPort that says why it failed: "veltrane COMMAND: <why>" on stderr.
bool FindPortOrReport(const char* command, const std::vector<PortInfo>& ports,
                      const std::string& wanted, PortInfo* found);
// "veltrane: midiOutOpen: <winmm's text> (4)" on stderr.
void ReportError(const char* call, MMRESULT r);
// Prints the one-line hint and answers false when no kernel side can answer.
bool KernelSideReady();
// Set by SIGINT and SIGTERM once InstallStopHandler ran.
void InstallStopHandler();
bool StopRequested();

// ---------------------------------------------------------------- input_port.cpp
// One event of an open input port, as its callback saw it.
struct InputEvent {
    enum Kind { Data, Sysex, Error, SysexError } kind = Data;
    DWORD msg = 0;               // Data, Error: the packed bytes
    DWORD time = 0;              // ms since midiInStart
    std::vector<uint8_t> bytes;  // Sysex, SysexError: the buffer's bytes
    std::chrono::steady_clock::time_point arrival;
};

// An input port with buffers kept queued: the callback records events and
// hands filled buffers back; Wait gives the events to the caller's thread and
// queues those buffers again there (winmm forbids calls from the callback).
class InputPort {
  public:
    InputPort() = default;
    ~InputPort() { Close(); }
    InputPort(const InputPort&) = delete;
    InputPort& operator=(const InputPort&) = delete;

    // Opens, prepares and queues count buffers of size bytes, and starts.
    // On failure reports the failed call and answers its code.
    MMRESULT Open(UINT id, size_t bufferSize = 4096, size_t bufferCount = 16);
    // Waits up to timeoutMs for at least one event; appends what arrived.
    void Wait(std::vector<InputEvent>* out, int timeoutMs);
    // Short messages (and errors) recorded so far.
    unsigned DataCount() const { return cData_.load(); }
    // Stops, resets, unprepares and closes; answers the first failure.
    MMRESULT Close();

  private:
    static void CALLBACK Callback(HMIDIIN h, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                                  DWORD_PTR dw2);
    void Requeue();

    HMIDIIN handle_ = nullptr;
    std::vector<std::vector<char>> memory_;
    std::vector<MIDIHDR> headers_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<InputEvent> events_;  // under mutex_
    std::vector<MIDIHDR*> returned_;  // under mutex_
    std::atomic<bool> closing_{false};
    std::atomic<unsigned> cData_{0};
};

// ---------------------------------------------------------------- output_port.cpp
// An output port that offers again what the driver refuses for the moment
// (MIDIERR_NOTREADY: the ring is full or another send of the interface runs).
class OutputPort {
  public:
    OutputPort() = default;
    ~OutputPort() { Close(); }
    OutputPort(const OutputPort&) = delete;
    OutputPort& operator=(const OutputPort&) = delete;

    MMRESULT Open(UINT id);
    // Both report the failed call and answer its code.
    MMRESULT Short(DWORD packed);
    // Sends bytes as long messages of at most chunk bytes, calling progress
    // with the bytes sent so far after each.
    MMRESULT Long(const uint8_t* p, size_t n, size_t chunk = 256,
                  const std::function<void(size_t)>& progress = nullptr);
    // Waits until what was sent can have left at wire rate (closing a port
    // ends its stream, and bytes still in the ring are dropped), then closes.
    MMRESULT Close();

  private:
    void Account(size_t bytes);
    HMIDIOUT handle_ = nullptr;
    std::chrono::steady_clock::time_point busyUntil_{};
};

// ---------------------------------------------------------------- loop.cpp
struct LoopOptions {
    UINT outId = 0, inId = 0;
    std::string outName, inName;
    unsigned count = 1000;  // short messages; 0 with sysex for none
    size_t sysex = 0;       // bytes of the one sysex, 0 for none
};
// Runs the loop test and prints its report; answers true when nothing was
// lost, corrupted or reordered. *opened false when a port failed to open.
bool RunLoop(const LoopOptions& options, bool* opened);

// ---------------------------------------------------------------- cmd_list.cpp
// The port list of `veltrane list`; answers the number of ports.
size_t PrintPortList(FILE* out);

// ---------------------------------------------------------------- decode.cpp
// One received event in the monitor's format, without newline: the time in
// ms, then the decoded message (or its hex bytes when raw). A Sysex event
// holds a whole message here.
std::string FormatEvent(const InputEvent& e, bool raw);

}  // namespace tools
