/*
 * Inside the MIDI file reader: one track's bytes read event by event, each
 * length checked against what the track holds. smf.cpp reads every track
 * with it twice, to check and count, then to merge.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace smf
{

constexpr uint8_t kSysEx = 0xF0; /* a system exclusive event; the file leaves the byte out of its data */

struct Cursor {
    const uint8_t *data;
    size_t pos;
    size_t end;
    int track;
};

int ChannelLength(uint8_t status); /* bytes of a channel message with this status, the status among them */

/* What a track holds next, as Next reads it. */
struct Item {
    enum Kind { kShort, kLong, kTempo, kEnd } kind;
    uint64_t tick;
    uint32_t value;      /* kShort: the message packed low byte first; kTempo: us per quarter note */
    bool withF0;         /* kLong: an F0 goes before the data (the file leaves it out) */
    const uint8_t *data; /* kLong: the bytes in the file */
    uint32_t size;
};

/* Reads one track's events in order. Everything a track holds is checked
   here, so that a second reading of the same track cannot fail. */
class TrackReader
{
  public:
    explicit TrackReader(const Cursor &c) : c_(c) {}

    /* The next message, tempo change or the track's end; false with *error
       set when the track is damaged. After kEnd it keeps answering kEnd. */
    bool Next(Item *item, std::string *error);

  private:
    Cursor c_;
    uint64_t tick_ = 0;
    uint8_t status_ = 0; /* running status; kept across meta and sysex events, as lenient readers do */
    bool ended_ = false;
};

} // namespace smf
