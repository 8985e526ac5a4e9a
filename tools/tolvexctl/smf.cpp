/*
 * Standard MIDI File reader: the header and chunks, and the tracks merged
 * by time (smf_track.cpp reads each track). Every time is checked against a
 * bound before it is made, so that crafted delta times cannot wrap it. The
 * tracks are read twice: once to check and count them, then merged straight
 * into room made once, with no sorting.
 */
#include "smf.h"
#include "smf_track.h"

#include <algorithm>
#include <cstdio>

namespace smf
{
namespace
{
constexpr size_t kChunkHeader = 8;         /* four-letter id and 32-bit length */
constexpr size_t kHeaderData = 6;          /* format, track count, division */
constexpr uint32_t kDefaultTempo = 500000; /* us per quarter note until a set-tempo (120 bpm) */

static_assert(sizeof(Event) == 8, "an event stays 8 bytes: a file may hold millions");
static_assert(kMaxLengthUs <= Event::kMaxUs, "every time read fits an event");

uint32_t Be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }
uint16_t Be16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

/* a * b / c when it is at most limit; false when it is more. Nothing here
   overflows while (limit + 1) * c does not. */
bool MulDiv(uint64_t a, uint64_t b, uint64_t c, uint64_t limit, uint64_t *out)
{
    if (b != 0 && a > ((limit + 1) * c - 1) / b)
        return false;
    *out = a * b / c;
    return true;
}

/* Microseconds for ticks that never go back, following the tempo changes as
   they come. Every time is checked against kMaxLengthUs before it is made. */
class Timer
{
  public:
    explicit Timer(int division)
    {
        if (division & 0x8000) {
            /* SMPTE: frames per second (29 means 29.97, drop frame) times ticks per frame. */
            int fps = -(int8_t)(division >> 8);
            uint64_t perFrame = (uint64_t)(division & 0xFF);
            smpte_ = true;
            mul_ = fps == 29 ? 100000000 : 1000000;
            div_ = fps == 29 ? 2997 * perFrame : (uint64_t)fps * perFrame;
        } else {
            mul_ = kDefaultTempo;
            div_ = (uint64_t)division;
        }
    }

    bool At(uint64_t tick, uint64_t *us) const
    {
        if (smpte_)
            return MulDiv(tick, mul_, div_, kMaxLengthUs, us);
        uint64_t since;
        if (!MulDiv(tick - baseTick_, mul_, div_, kMaxLengthUs - baseUs_, &since))
            return false;
        *us = baseUs_ + since;
        return true;
    }

    bool Tempo(uint64_t tick, uint32_t usPerQuarter)
    {
        if (smpte_)
            return true; /* SMPTE time does not follow the tempo */
        if (!At(tick, &baseUs_))
            return false;
        baseTick_ = tick;
        mul_ = usPerQuarter;
        return true;
    }

  private:
    bool smpte_ = false;
    uint64_t mul_, div_; /* us = ticks * mul_ / div_ from the last tempo change */
    uint64_t baseTick_ = 0, baseUs_ = 0;
};

std::string TooLong(uint64_t tick)
{
    return "the song would last longer than " + std::to_string(kMaxLengthUs / 3600000000) + " hours (at tick " +
           std::to_string(tick) + "), the longest that tolvexctl plays";
}

struct Head { /* a track's next item in the merge */
    uint64_t tick;
    uint32_t track;
};
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

    /* First reading: every track checked, its events counted, so that the
       second can store them in room made once, to the byte. */
    std::vector<Cursor> found;
    uint64_t endTick = 0;
    size_t events = 0, longs = 0, longBytes = 0;
    size_t pos = kChunkHeader + headerLen;
    while ((int)found.size() < song->tracks) {
        if (size - pos < kChunkHeader)
            return "the header announces " + std::to_string(song->tracks) + " tracks, the file ends after " +
                   std::to_string(found.size());
        uint32_t len = Be32(data + pos + 4);
        bool isTrack = std::string((const char *)data + pos, 4) == "MTrk";
        if (len > size - pos - kChunkHeader) {
            char b[160];
            snprintf(b, sizeof b, "%s at byte 0x%zx claims %u bytes, only %zu remain (truncated file?)",
                     isTrack ? ("track " + std::to_string(found.size() + 1)).c_str() : "a chunk", pos, len,
                     size - pos - kChunkHeader);
            return b;
        }
        if (isTrack) { /* other chunk types are skipped, as the format asks */
            Cursor c{data, pos + kChunkHeader, pos + kChunkHeader + len, (int)found.size()};
            TrackReader track(c);
            Item item;
            std::string error;
            do {
                if (!track.Next(&item, &error))
                    return error;
                events += item.kind == Item::kShort || item.kind == Item::kLong;
                longs += item.kind == Item::kLong;
                longBytes += item.kind == Item::kLong ? item.size + item.withF0 : 0;
                song->tempoChanges += item.kind == Item::kTempo;
            } while (item.kind != Item::kEnd);
            endTick = std::max(endTick, item.tick);
            found.push_back(c);
        }
        pos += kChunkHeader + len;
    }
    if (longs > Event::kMaxPayload || longBytes > UINT32_MAX)
        return std::to_string(longs) + " system exclusive events of " + std::to_string(longBytes) +
               " bytes in all: more than tolvexctl keeps";

    /* Second reading: the tracks merged by time; at one tick, tracks in file
       order and events in track order. Tempo changes are met in the same
       order and timed as they come: a change at a tick moves only what comes
       after that tick. */
    song->events.reserve(events);
    song->longBytes.reserve(longBytes);
    song->longStarts.reserve(longs + 1);
    std::vector<TrackReader> readers;
    for (const Cursor &c : found)
        readers.emplace_back(c);
    std::vector<Item> next(found.size());
    std::vector<Head> heads; /* a min-heap: the earliest tick on top, the first track at one tick */
    auto later = [](const Head &a, const Head &b) { return a.tick != b.tick ? a.tick > b.tick : a.track > b.track; };
    std::string error;
    for (uint32_t t = 0; t < readers.size(); t++) {
        readers[t].Next(&next[t], &error); /* read without fault the first time */
        if (next[t].kind != Item::kEnd)
            heads.push_back({next[t].tick, t});
    }
    std::make_heap(heads.begin(), heads.end(), later);
    Timer timer(song->division);
    while (!heads.empty()) {
        std::pop_heap(heads.begin(), heads.end(), later);
        uint32_t t = heads.back().track;
        heads.pop_back();
        const Item &item = next[t];
        uint64_t us = 0;
        if (item.kind == Item::kTempo ? !timer.Tempo(item.tick, item.value) : !timer.At(item.tick, &us)) {
            *song = Song();
            return TooLong(item.tick);
        }
        if (item.kind == Item::kShort) {
            song->events.emplace_back(us, false, item.value);
        } else if (item.kind == Item::kLong) {
            song->events.emplace_back(us, true, (uint32_t)song->longStarts.size());
            song->longStarts.push_back((uint32_t)song->longBytes.size());
            if (item.withF0)
                song->longBytes.push_back(kSysEx);
            song->longBytes.insert(song->longBytes.end(), item.data, item.data + item.size);
        }
        readers[t].Next(&next[t], &error);
        if (next[t].kind != Item::kEnd) {
            heads.push_back({next[t].tick, t});
            std::push_heap(heads.begin(), heads.end(), later);
        }
    }
    song->longStarts.push_back((uint32_t)song->longBytes.size());
    if (!timer.At(endTick, &song->lengthUs)) {
        *song = Song();
        return TooLong(endTick);
    }
    return std::string();
}

std::vector<uint8_t> Song::Bytes(const Event &e) const
{
    uint32_t p = e.Payload();
    if (e.Sysex())
        return std::vector<uint8_t>(longBytes.begin() + longStarts[p], longBytes.begin() + longStarts[p + 1]);
    std::vector<uint8_t> b;
    for (int k = 0; k < ChannelLength((uint8_t)p); k++)
        b.push_back((uint8_t)(p >> (8 * k)));
    return b;
}

} // namespace smf
