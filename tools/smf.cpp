// Standard MIDI Files: the reader of types 0 and 1 and the writer of type 0.
#include "tools/smf.h"

#include <algorithm>
#include <cmath>

#include "sim/hex_text.h"
#include "sim/midi_wire.h"

namespace tools {
namespace {

constexpr uint32_t kDefaultUsPerQuarter = 500000;  // 120 beats a minute
// Longer than any piece: a file whose times run beyond it is broken.
constexpr double kMostUs = 24.0 * 3600 * 1e6;

std::string ByteText(uint8_t b) {
    return hex::Bytes(&b, 1);
}

uint32_t Be(const std::vector<uint8_t>& f, size_t at, unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i)
        v = (v << 8) | f[at + i];
    return v;
}

// What one track holds, in its own order.
struct TrackEvent {
    enum Kind { Message, Tempo, TimeSignature } kind = Message;
    uint64_t tick = 0;
    std::vector<uint8_t> bytes;  // Message
    uint32_t tempo = 0;          // Tempo: microseconds a quarter note
    Meter meter;                 // TimeSignature
};

class TrackReader {
  public:
    TrackReader(const std::vector<uint8_t>& f, size_t begin, size_t end, unsigned number)
        : f_(f), p_(begin), end_(end), number_(number) {}

    // Appends the track's events; *endTick is where the track ends.
    bool Read(std::vector<TrackEvent>* out, uint64_t* endTick, std::string* error) {
        uint64_t tick = 0;
        uint8_t running = 0;
        while (p_ < end_) {
            size_t at = p_;
            uint32_t delta = 0;
            if (!VarLen(&delta)) return Fail(at, "delta time " + why_, error);
            tick += delta;
            if (p_ >= end_) return Fail(at, "the track ends after a delta time", error);
            size_t statusAt = p_;
            uint8_t status = f_[p_];
            if (status < 0x80) {
                if (!running)
                    return Fail(statusAt,
                                "data byte " + ByteText(status) + " with no status before it",
                                error);
                status = running;
            } else {
                ++p_;
            }
            if (status < 0xF0) {
                running = status;
                TrackEvent e;
                e.tick = tick;
                e.bytes.push_back(status);
                for (unsigned i = 1; i < midi::MessageLength(status); ++i) {
                    if (p_ >= end_) return Fail(statusAt, "the track ends inside a message", error);
                    if (f_[p_] >= 0x80)
                        return Fail(p_, "status byte " + ByteText(f_[p_]) + " inside a message",
                                    error);
                    e.bytes.push_back(f_[p_++]);
                }
                out->push_back(std::move(e));
            } else if (status == 0xF0 || status == 0xF7) {
                // Sysex and meta events leave running status as it was:
                // files that go on with it after them still play.
                uint32_t len = 0;
                if (!Length(statusAt, &len, error)) return false;
                TrackEvent e;
                e.tick = tick;
                if (status == 0xF0) e.bytes.push_back(0xF0);
                e.bytes.insert(e.bytes.end(), f_.begin() + p_, f_.begin() + p_ + len);
                p_ += len;
                if (!e.bytes.empty()) out->push_back(std::move(e));
            } else if (status == 0xFF) {
                if (p_ >= end_) return Fail(statusAt, "the track ends inside a meta event", error);
                uint8_t type = f_[p_++];
                uint32_t len = 0;
                if (!Length(statusAt, &len, error)) return false;
                size_t data = p_;
                p_ += len;
                if (type == 0x2F) break;  // end of track
                if (type == 0x51 && len == 3) {
                    TrackEvent e;
                    e.kind = TrackEvent::Tempo;
                    e.tick = tick;
                    e.tempo = Be(f_, data, 3);
                    if (e.tempo == 0) return Fail(statusAt, "a tempo of 0", error);
                    out->push_back(e);
                } else if (type == 0x58 && len >= 2 && f_[data] > 0 && f_[data + 1] <= 8) {
                    TrackEvent e;
                    e.kind = TrackEvent::TimeSignature;
                    e.tick = tick;
                    e.meter = Meter{tick, f_[data], f_[data + 1]};
                    out->push_back(e);
                }
            } else {
                return Fail(statusAt,
                            "status " + ByteText(status) +
                                " is no event of a MIDI file (channel messages, F0, F7 and FF are)",
                            error);
            }
        }
        *endTick = tick;
        return true;
    }

  private:
    bool Fail(size_t at, const std::string& what, std::string* error) {
        *error = "track " + std::to_string(number_) + ", byte " + std::to_string(at) + ": " + what;
        return false;
    }

    // A variable-length quantity: at most four bytes, seven bits each.
    bool VarLen(uint32_t* v) {
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            if (p_ >= end_) {
                why_ = "cut off by the end of the track";
                return false;
            }
            uint8_t b = f_[p_++];
            *v = (*v << 7) | (b & 0x7F);
            if (!(b & 0x80)) return true;
        }
        why_ = "longer than four bytes";
        return false;
    }

    // The length of a sysex or meta event, which must fit in the track.
    bool Length(size_t eventAt, uint32_t* len, std::string* error) {
        size_t at = p_;
        if (!VarLen(len)) return Fail(at, "event length " + why_, error);
        if (*len > end_ - p_)
            return Fail(eventAt,
                        "the event says " + std::to_string(*len) + " bytes, the track has " +
                            std::to_string(end_ - p_) + " left",
                        error);
        return true;
    }

    const std::vector<uint8_t>& f_;
    size_t p_, end_;
    unsigned number_;
    std::string why_;
};

void PutVarLen(std::vector<uint8_t>* out, uint32_t v) {
    uint8_t groups[4];
    int n = 0;
    do {
        groups[n++] = v & 0x7F;
        v >>= 7;
    } while (v && n < 4);
    while (n > 0) {
        --n;
        out->push_back(static_cast<uint8_t>(groups[n] | (n ? 0x80 : 0)));
    }
}

void PutBe(std::vector<uint8_t>* out, uint32_t v, unsigned n) {
    while (n > 0) {
        --n;
        out->push_back(static_cast<uint8_t>(v >> (8 * n)));
    }
}

}  // namespace

bool TimedMessage::IsShort() const {
    if (bytes.empty() || bytes.size() > 3 || midi::MessageLength(bytes[0]) != bytes.size())
        return false;
    return std::all_of(bytes.begin() + 1, bytes.end(), [](uint8_t b) { return b < 0x80; });
}

unsigned Song::BarAt(uint64_t tick) const {
    if (!ticksPerQuarter) return 0;
    uint64_t bar = 1, from = 0;
    Meter meter;
    auto barTicks = [&](const Meter& m) {
        return std::max<uint64_t>(
            1, uint64_t(ticksPerQuarter) * 4 * m.numerator >> m.denominatorPower);
    };
    for (const Meter& m : meters) {
        if (m.tick > tick) break;
        // A meter starts a bar: a bar cut short by it still counts.
        bar += (m.tick - from + barTicks(meter) - 1) / barTicks(meter);
        from = m.tick;
        meter = m;
    }
    return static_cast<unsigned>(bar + (tick - from) / barTicks(meter));
}

bool LooksLikeSmf(const std::vector<uint8_t>& file) {
    return file.size() >= 4 && std::equal(file.begin(), file.begin() + 4, "MThd");
}

bool ReadSmf(const std::vector<uint8_t>& f, Song* song, std::string* error) {
    *song = Song{};
    if (!LooksLikeSmf(f)) {
        *error = "not a Standard MIDI File: it does not start with \"MThd\"";
        return false;
    }
    if (f.size() < 14) {
        *error = "the header chunk is cut short: the file has " + std::to_string(f.size()) +
                 " bytes, a header needs 14";
        return false;
    }
    uint32_t headerLen = Be(f, 4, 4);
    if (headerLen < 6 || headerLen > f.size() - 8) {
        *error = "header chunk, byte 4: length " + std::to_string(headerLen) +
                 (headerLen < 6 ? " (at least 6)" : " runs past the end of the file");
        return false;
    }
    song->format = Be(f, 8, 2);
    song->tracks = Be(f, 10, 2);
    uint32_t division = Be(f, 12, 2);
    if (song->format > 1) {
        *error = "header chunk, byte 8: format " + std::to_string(song->format) +
                 (song->format == 2 ? " (independent patterns) is not played; formats 0 and 1 are"
                                    : " is no MIDI file format");
        return false;
    }
    if (song->tracks == 0 || (song->format == 0 && song->tracks != 1)) {
        *error = "header chunk, byte 10: " + std::to_string(song->tracks) + " tracks in a format-" +
                 std::to_string(song->format) + " file";
        return false;
    }
    double usPerTick = 0;  // SMPTE divisions: fixed
    if (division & 0x8000) {
        int fps = -static_cast<int8_t>(division >> 8);
        unsigned perFrame = division & 0xFF;
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || perFrame == 0) {
            *error = "header chunk, byte 12: SMPTE division " + std::to_string(fps) +
                     " frames a second, " + std::to_string(perFrame) + " ticks a frame";
            return false;
        }
        double frames = fps == 29 ? 30000.0 / 1001 : fps;
        usPerTick = 1e6 / (frames * perFrame);
    } else if (division == 0) {
        *error = "header chunk, byte 12: 0 ticks a quarter note";
        return false;
    } else {
        song->ticksPerQuarter = division;
    }

    // The tracks, then every event of them in one list: by tick, and at the
    // same tick in the order of the tracks (the tempo track first).
    std::vector<TrackEvent> events;
    unsigned found = 0;
    size_t p = 8 + headerLen;
    while (found < song->tracks) {
        if (f.size() - p < 8) {
            *error = "the header announces " + std::to_string(song->tracks) +
                     " tracks, the file ends after " + std::to_string(found) + " (cut short?)";
            return false;
        }
        uint32_t len = Be(f, p + 4, 4);
        bool track = std::equal(f.begin() + p, f.begin() + p + 4, "MTrk");
        if (len > f.size() - p - 8) {
            *error = (track ? "track " + std::to_string(found + 1) : std::string("a chunk")) +
                     " at byte " + std::to_string(p) + " says " + std::to_string(len) +
                     " bytes, the file has " + std::to_string(f.size() - p - 8) +
                     " after its header (cut short?)";
            return false;
        }
        if (track) {
            ++found;
            uint64_t endTick = 0;
            if (!TrackReader(f, p + 8, p + 8 + len, found).Read(&events, &endTick, error))
                return false;
            song->lengthTicks = std::max(song->lengthTicks, endTick);
        }
        p += 8 + size_t(len);  // other chunks are skipped
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TrackEvent& a, const TrackEvent& b) { return a.tick < b.tick; });

    uint32_t tempo = kDefaultUsPerQuarter;
    uint64_t baseTick = 0;
    double baseUs = 0;
    auto usAt = [&](uint64_t tick) {
        if (usPerTick > 0) return tick * usPerTick;
        return baseUs + double(tick - baseTick) * tempo / song->ticksPerQuarter;
    };
    for (TrackEvent& e : events) {
        double us = usAt(e.tick);
        if (us > kMostUs) {
            *error = "the events run on beyond 24 hours (tick " + std::to_string(e.tick) + ")";
            return false;
        }
        if (e.kind == TrackEvent::Tempo) {
            baseUs = us;
            baseTick = e.tick;
            tempo = e.tempo;
        } else if (e.kind == TrackEvent::TimeSignature) {
            song->meters.push_back(e.meter);
        } else {
            song->messages.push_back({std::llround(us), std::move(e.bytes)});
            song->ticks.push_back(e.tick);
        }
    }
    double end = usAt(song->lengthTicks);
    song->lengthUs = std::llround(std::min(end, kMostUs));
    return true;
}

std::vector<uint8_t> WriteSmf0(const std::vector<TimedMessage>& messages, unsigned ticksPerQuarter,
                               uint32_t usPerQuarter) {
    std::vector<uint8_t> track;
    PutVarLen(&track, 0);
    track.insert(track.end(), {0xFF, 0x51, 0x03});
    PutBe(&track, usPerQuarter, 3);
    uint64_t lastTick = 0;
    uint8_t running = 0;
    for (const TimedMessage& m : messages) {
        if (m.bytes.empty()) continue;
        double exact = std::max<int64_t>(m.us, 0) * double(ticksPerQuarter) / usPerQuarter;
        uint64_t tick = std::max<uint64_t>(lastTick, uint64_t(std::llround(exact)));
        PutVarLen(&track, static_cast<uint32_t>(std::min<uint64_t>(tick - lastTick, 0x0FFFFFFF)));
        lastTick = tick;
        uint8_t status = m.bytes[0];
        if (status < 0xF0 && m.IsShort()) {
            if (status != running) track.push_back(status);
            running = status;
            track.insert(track.end(), m.bytes.begin() + 1, m.bytes.end());
            continue;
        }
        running = 0;
        if (status == 0xF0) {
            track.push_back(0xF0);
            PutVarLen(&track, static_cast<uint32_t>(m.bytes.size() - 1));
            track.insert(track.end(), m.bytes.begin() + 1, m.bytes.end());
        } else {
            track.push_back(0xF7);
            PutVarLen(&track, static_cast<uint32_t>(m.bytes.size()));
            track.insert(track.end(), m.bytes.begin(), m.bytes.end());
        }
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    PutBe(&file, ticksPerQuarter, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    PutBe(&file, static_cast<uint32_t>(track.size()), 4);
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

}  // namespace tools
