/*
 * Standard MIDI File reader. Every length in the file is checked against
 * what is really there before it is used, so that a truncated or damaged
 * file ends in an error naming the place rather than a read past the end.
 */
#include "smf.h"

#include <algorithm>
#include <cstdio>

namespace smf
{
namespace
{
constexpr size_t kChunkHeader = 8;         /* four-letter id and 32-bit length */
constexpr size_t kHeaderData = 6;          /* format, track count, division */
constexpr int kVlqMaxBytes = 4;            /* a delta time or length never needs more */
constexpr uint32_t kDefaultTempo = 500000; /* us per quarter note until a set-tempo (120 bpm) */
constexpr uint8_t kMeta = 0xFF;
constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEscape = 0xF7; /* sysex continuation or raw bytes */
constexpr uint8_t kMetaEndOfTrack = 0x2F;
constexpr uint8_t kMetaTempo = 0x51;
constexpr uint32_t kTempoBytes = 3;

struct Cursor {
    const uint8_t *data;
    size_t pos;
    size_t end;
    int track;
};

std::string Where(const Cursor &c, size_t at)
{
    char b[64];
    snprintf(b, sizeof b, "track %d, byte 0x%zx: ", c.track + 1, at);
    return b;
}

uint32_t Be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }
uint16_t Be16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

bool ReadVlq(Cursor &c, uint32_t *value, const char *what, std::string *error)
{
    size_t at = c.pos;
    uint32_t v = 0;
    for (int n = 0; n < kVlqMaxBytes; n++) {
        if (c.pos >= c.end) {
            *error = Where(c, at) + "the track ends inside a " + what;
            return false;
        }
        uint8_t b = c.data[c.pos++];
        v = v << 7 | (b & 0x7F);
        if ((b & 0x80) == 0) {
            *value = v;
            return true;
        }
    }
    *error = Where(c, at) + "a " + what + " longer than 4 bytes";
    return false;
}

int ChannelLength(uint8_t status)
{
    switch (status & 0xF0) {
    case 0xC0: /* program change */
    case 0xD0: /* channel pressure */
        return 2;
    default:
        return 3;
    }
}

struct Tempo {
    uint64_t tick;
    int track;
    uint32_t usPerQuarter;
};

bool ReadTrack(Cursor c, std::vector<Event> *events, std::vector<Tempo> *tempos, uint64_t *endTick, std::string *error)
{
    uint64_t tick = 0;
    uint8_t status = 0; /* running status; kept across meta and sysex events, as lenient readers do */
    while (c.pos < c.end) {
        uint32_t delta;
        if (!ReadVlq(c, &delta, "delta time", error))
            return false;
        tick += delta;
        size_t at = c.pos;
        if (c.pos >= c.end) {
            *error = Where(c, at) + "the track ends after a delta time, without its event";
            return false;
        }
        uint8_t b = c.data[c.pos];
        if (b == kMeta) {
            c.pos++;
            if (c.pos >= c.end) {
                *error = Where(c, at) + "the track ends inside a meta event";
                return false;
            }
            uint8_t type = c.data[c.pos++];
            uint32_t len;
            if (!ReadVlq(c, &len, "meta event length", error))
                return false;
            if (len > c.end - c.pos) {
                *error = Where(c, at) + "a meta event of " + std::to_string(len) + " bytes runs past the track's end";
                return false;
            }
            if (type == kMetaEndOfTrack) {
                *endTick = tick;
                return true; /* anything after it is not part of the track */
            }
            if (type == kMetaTempo) {
                if (len != kTempoBytes) {
                    *error = Where(c, at) + "a set-tempo event of " + std::to_string(len) + " bytes (3 expected)";
                    return false;
                }
                uint32_t us = (uint32_t)c.data[c.pos] << 16 | (uint32_t)c.data[c.pos + 1] << 8 | c.data[c.pos + 2];
                if (us == 0) {
                    *error = Where(c, at) + "a set-tempo event of 0 us per quarter note";
                    return false;
                }
                tempos->push_back({tick, c.track, us});
            }
            c.pos += len;
            continue;
        }
        if (b == kSysEx || b == kEscape) {
            c.pos++;
            uint32_t len;
            if (!ReadVlq(c, &len, "system exclusive length", error))
                return false;
            if (len > c.end - c.pos) {
                *error = Where(c, at) + "a system exclusive event of " + std::to_string(len) +
                         " bytes runs past the track's end";
                return false;
            }
            Event e{tick, 0, c.track, true, {}};
            if (b == kSysEx)
                e.bytes.push_back(kSysEx);
            e.bytes.insert(e.bytes.end(), c.data + c.pos, c.data + c.pos + len);
            c.pos += len;
            if (!e.bytes.empty())
                events->push_back(std::move(e));
            continue;
        }
        if (b >= 0xF0) {
            char t[80];
            snprintf(t, sizeof t, "status 0x%02x cannot stand in a file (only in a system exclusive escape)", b);
            *error = Where(c, at) + t;
            return false;
        }
        if (b & 0x80) {
            status = b;
            c.pos++;
        } else if (status == 0) {
            char t[64];
            snprintf(t, sizeof t, "data byte 0x%02x with no status byte before it", b);
            *error = Where(c, at) + t;
            return false;
        }
        Event e{tick, 0, c.track, false, {status}};
        for (int k = 1; k < ChannelLength(status); k++) {
            if (c.pos >= c.end) {
                *error = Where(c, at) + "the track ends inside a channel message";
                return false;
            }
            uint8_t d = c.data[c.pos];
            if (d & 0x80) {
                char t[80];
                snprintf(t, sizeof t, "status 0x%02x where message 0x%02x needs a data byte", d, status);
                *error = Where(c, c.pos) + t;
                return false;
            }
            e.bytes.push_back(d);
            c.pos++;
        }
        events->push_back(std::move(e));
    }
    *endTick = tick; /* no end-of-track event: the last event ends it */
    return true;
}

/* Microseconds for every tick, following the tempo changes in tick order. */
void Time(std::vector<Event> *events, std::vector<Tempo> tempos, int division, uint64_t endTick, uint64_t *lengthUs)
{
    auto at = [&](uint64_t tick, size_t *next, uint64_t *baseTick, uint64_t *baseUs, uint32_t *tempo) {
        while (*next < tempos.size() && tempos[*next].tick <= tick) {
            *baseUs += (tempos[*next].tick - *baseTick) * *tempo / (uint64_t)division;
            *baseTick = tempos[*next].tick;
            *tempo = tempos[(*next)++].usPerQuarter;
        }
        return *baseUs + (tick - *baseTick) * *tempo / (uint64_t)division;
    };
    if (division & 0x8000) {
        /* SMPTE: frames per second (29 means 29.97, drop frame) times ticks per frame. */
        int fps = -(int8_t)(division >> 8);
        int perFrame = division & 0xFF;
        double ticksPerSecond = (fps == 29 ? 29.97 : fps) * perFrame;
        for (Event &e : *events)
            e.us = (uint64_t)(e.tick * 1e6 / ticksPerSecond);
        *lengthUs = (uint64_t)(endTick * 1e6 / ticksPerSecond);
        return;
    }
    std::stable_sort(tempos.begin(), tempos.end(), [](const Tempo &a, const Tempo &b) { return a.tick < b.tick; });
    size_t next = 0;
    uint64_t baseTick = 0, baseUs = 0;
    uint32_t tempo = kDefaultTempo;
    for (Event &e : *events)
        e.us = at(e.tick, &next, &baseTick, &baseUs, &tempo);
    *lengthUs = at(endTick, &next, &baseTick, &baseUs, &tempo);
}
} // namespace

std::string Read(const uint8_t *data, size_t size, Song *song)
{
    *song = Song();
    if (size < kChunkHeader || std::string((const char *)data, 4) != "MThd") {
        if (size >= 4 && std::string((const char *)data, 4) == "RIFF")
            return "a RIFF file, not a Standard MIDI File (an .rmi needs its MIDI data extracted first)";
        return "not a Standard MIDI File: it does not start with \"MThd\"";
    }
    uint32_t headerLen = Be32(data + 4);
    if (headerLen < kHeaderData)
        return "the header chunk holds " + std::to_string(headerLen) + " bytes, 6 at least are needed";
    if (headerLen > size - kChunkHeader)
        return "the file ends inside its header chunk";
    song->format = Be16(data + 8);
    song->tracks = Be16(data + 10);
    song->division = Be16(data + 12);
    if (song->format == 2)
        return "format 2 (independent sequences) is not supported, only formats 0 and 1";
    if (song->format > 2)
        return "unknown format " + std::to_string(song->format);
    if (song->format == 0 && song->tracks != 1)
        return "format 0 holds exactly one track, the header announces " + std::to_string(song->tracks);
    if (song->tracks == 0)
        return "the header announces no tracks";
    if (song->division == 0)
        return "division 0: no ticks per quarter note";
    if (song->division & 0x8000) {
        int fps = -(int8_t)(song->division >> 8);
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || (song->division & 0xFF) == 0)
            return "SMPTE division with " + std::to_string(fps) + " frames a second and " +
                   std::to_string(song->division & 0xFF) + " ticks a frame";
    }

    std::vector<Tempo> tempos;
    uint64_t endTick = 0;
    size_t pos = kChunkHeader + headerLen;
    int found = 0;
    while (found < song->tracks) {
        if (size - pos < kChunkHeader)
            return "the header announces " + std::to_string(song->tracks) + " tracks, the file ends after " +
                   std::to_string(found);
        uint32_t len = Be32(data + pos + 4);
        bool isTrack = std::string((const char *)data + pos, 4) == "MTrk";
        if (len > size - pos - kChunkHeader) {
            char b[160];
            snprintf(b, sizeof b, "%s at byte 0x%zx claims %u bytes, only %zu remain (truncated file?)",
                     isTrack ? ("track " + std::to_string(found + 1)).c_str() : "a chunk", pos, len,
                     size - pos - kChunkHeader);
            return b;
        }
        if (isTrack) { /* other chunk types are skipped, as the format asks */
            Cursor c{data, pos + kChunkHeader, pos + kChunkHeader + len, found};
            uint64_t trackEnd = 0;
            std::string error;
            if (!ReadTrack(c, &song->events, &tempos, &trackEnd, &error))
                return error;
            endTick = std::max(endTick, trackEnd);
            found++;
        }
        pos += kChunkHeader + len;
    }
    /* Merged by time; at one tick, tracks in file order and events in track order. */
    std::stable_sort(song->events.begin(), song->events.end(),
                     [](const Event &a, const Event &b) { return a.tick < b.tick; });
    song->tempoChanges = (int)tempos.size();
    Time(&song->events, tempos, song->division, endTick, &song->lengthUs);
    return std::string();
}

} // namespace smf
