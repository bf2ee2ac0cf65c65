// A MIDI stream of the layer: the buffers the application queued, where
// playing stands, and the thread that plays them through the stream handle's
// short and long messages. The stream calls live in stream.cpp, the player in
// stream_player.cpp.
//
// Threads. Application threads call the API. The stream's own thread (the
// player) takes due events from the queue, sends them, calls the application
// back (MOM_POSITIONCB, and MOM_DONE for stream buffers), and runs the
// commands that touch what plays (pause, stop, reset, the end): a command
// from another thread waits until the player has run it, so that once it
// returns nothing more plays and every buffer it gave back has had its
// MOM_DONE; a command from the player's own thread (inside a callback) runs
// at once.
//
// Time. Playing time counts the microseconds of the host's clock while the
// stream runs (restarted, not paused). An event is due at the playing time at
// which its tick comes: the tick of the event before plus its delta, on a
// time line that the time division and the tempo set. An event whose time
// has passed when the player sees it (its buffer came late) plays at once,
// and the events after it keep their own ticks.
#pragma once

#include <atomic>
#include <bitset>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/mm/layer.h"

namespace vtmm {

// How ticks map to playing time: from an anchor (a tick and its playing
// time) on, each tick lasts what the time division and the tempo make it.
class Timeline {
  public:
    static constexpr DWORD kDefaultTimeDiv = 24;    // ticks per quarter note
    static constexpr DWORD kDefaultTempo = 500000;  // microseconds per quarter note

    // A time division a stream can play: ticks per quarter note (1 to 32767),
    // or SMPTE frames per second (24, 25, 29 for 29.97, 30) as a negative
    // high byte with ticks per frame (1 to 255) in the low byte.
    static bool ValidTimeDiv(DWORD dwTimeDiv);

    DWORD TimeDiv() const { return dwTimeDiv_; }
    DWORD Tempo() const { return dwTempo_; }
    bool Smpte() const { return (dwTimeDiv_ & 0x8000) != 0; }
    uint64_t AnchorTick() const { return qwAnchorTick_; }
    // The tick reached at playing time qwUs (the anchor's tick before it).
    uint64_t TickAt(uint64_t qwUs) const;
    // The playing time at which qwTick comes (the anchor's time before it).
    uint64_t UsAt(uint64_t qwTick) const;
    // From qwTick at playing time qwUs on, ticks run at the given rate.
    void Set(uint64_t qwTick, uint64_t qwUs, DWORD dwTimeDiv, DWORD dwTempo);

  private:
    // A tick lasts num / den microseconds.
    void Rate(uint64_t* pNum, uint64_t* pDen) const;

    DWORD dwTimeDiv_ = kDefaultTimeDiv;
    DWORD dwTempo_ = kDefaultTempo;
    uint64_t qwAnchorTick_ = 0;
    uint64_t qwAnchorUs_ = 0;
};

enum class StreamCommand { kPause, kStop, kReset, kQuit };

// A buffer in the queue.
struct StreamBuffer {
    LPMIDIHDR pmh;
    DWORD cbToPlay;        // dwBytesRecorded when it was queued
    DWORD dwNext;          // offset of the next event to play
    bool fOffsetField;     // the caller's header is long enough to have dwOffset
    uint64_t qwArrivalUs;  // playing time when it was queued
};

struct Stream {
    // Set by the open, then only read.
    DWORD_PTR dwCallback = 0;  // the application's
    DWORD_PTR dwInstance = 0;
    DWORD dwCallbackType = 0;    // DCB_...
    HANDLE hKick = nullptr;      // auto-reset: a command, a buffer or a restart for the player
    HANDLE hLongDone = nullptr;  // auto-reset: the driver is done with the player's long message
    std::thread player;

    // Set once the driver's open succeeded; the player reads it only after.
    Handle* pHandle = nullptr;
    // Set by the first close; every call but that close then refuses the handle.
    std::atomic<bool> fClosing{false};
    // One data message of the handle at a time, the player's or the
    // application's (recursive: a callback inside one may send another).
    std::recursive_mutex mSend;

    std::mutex m;                   // guards the fields up to the player's own
    std::condition_variable cvRan;  // the player ran a command
    std::deque<StreamCommand> commands;
    uint64_t cPosted = 0;  // commands posted
    uint64_t cRan = 0;     // commands the player has run
    bool fRunning = false;
    uint64_t qwPlayedUs = 0;        // playing time at the last restart or pause
    uint64_t qwRestartClockUs = 0;  // the host's clock at the last restart
    Timeline timeline;
    uint64_t qwEventTick = 0;  // tick of the last event taken
    std::deque<StreamBuffer> queue;

    // The player's own (its thread only).
    MIDIHDR longHdr{};             // carries a long event to the driver
    BYTE bStatus = 0;              // running status of the messages played
    std::bitset<128> notesOn[16];  // notes the stream turned on and not off

    // Playing time at host clock qwNowUs (m held).
    uint64_t PlayedUs(uint64_t qwNowUs) const {
        if (!fRunning) return qwPlayedUs;
        return qwPlayedUs + (qwNowUs > qwRestartClockUs ? qwNowUs - qwRestartClockUs : 0);
    }
};

// ---- the player (stream_player.cpp)
// The player thread's body; returns after running kQuit.
void PlayStream(Stream* s);
// Runs a command on the player's thread.
void RunStreamCommand(Stream* s, StreamCommand c);

}  // namespace vtmm
