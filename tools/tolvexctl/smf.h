/*
 * Standard MIDI File reader for tolvexctl's play command: formats 0 and 1,
 * tracks merged into one list of wire-ready messages, each timed in
 * microseconds through the tempo map. Plain C++, no platform headers.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smf
{

/* The longest song read: a file whose timing runs past it is refused, so that
   no time can wrap or overflow on the way. */
constexpr uint64_t kMaxLengthUs = 24ull * 60 * 60 * 1000000; /* a day */

/* One message of the song in 8 bytes, since a file of a few megabytes can
   hold millions: its time, and either a channel message (packed low byte
   first, as midiOutShortMsg takes it) or the number of a long message in
   Song::longStarts. */
class Event
{
  public:
    static constexpr int kPayloadBits = 23;              /* a status and two 7-bit data bytes fit */
    static constexpr int kUsShift = 24;                  /* the payload, then the long flag below the time */
    static constexpr uint64_t kMaxUs = (1ull << 40) - 1; /* 12.7 days: kMaxLengthUs fits */
    static constexpr uint32_t kMaxPayload = (1u << kPayloadBits) - 1;

    Event(uint64_t us, bool sysex, uint32_t payload)
        : word_(us << kUsShift | (uint64_t)(sysex ? 1 : 0) << kPayloadBits | payload)
    {
    }
    uint64_t Us() const { return word_ >> kUsShift; }               /* from the start of the song */
    bool Sysex() const { return (word_ >> kPayloadBits & 1) != 0; } /* goes out as a long message */
    uint32_t Payload() const { return (uint32_t)(word_ & kMaxPayload); }

  private:
    uint64_t word_;
};

struct Song {
    int format = 0;
    int tracks = 0;
    int division = 0;                 /* the header word as stored */
    int tempoChanges = 0;             /* set-tempo events seen */
    uint64_t lengthUs = 0;            /* up to the last end of track; never above kMaxLengthUs */
    std::vector<Event> events;        /* in playing order, times never going back */
    std::vector<uint8_t> longBytes;   /* the long messages' bytes, one after another */
    std::vector<uint32_t> longStarts; /* where each starts in longBytes, and one more: where the last ends */

    /* Exactly what the event puts on the wire. */
    std::vector<uint8_t> Bytes(const Event &e) const;
};

/* Reads the whole file image. Returns an empty string on success, otherwise
   what is wrong and where ("track 2, byte 0x1a3: ..."). The song holds no
   pointer into the image. */
std::string Read(const uint8_t *data, size_t size, Song *song);

} // namespace smf
