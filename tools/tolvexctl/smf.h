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

struct Event {
    uint64_t tick;              /* absolute, in the file's division */
    uint64_t us;                /* from the start of the song */
    int track;                  /* 0-based MTrk chunk it came from */
    bool sysex;                 /* goes out as a long message */
    std::vector<uint8_t> bytes; /* exactly what goes on the wire */
};

struct Song {
    int format = 0;
    int tracks = 0;
    int division = 0;          /* the header word as stored */
    int tempoChanges = 0;      /* set-tempo events seen */
    uint64_t lengthUs = 0;     /* up to the last end of track */
    std::vector<Event> events; /* in playing order */
};

/* Reads the whole file image. Returns an empty string on success, otherwise
   what is wrong and where ("track 2, byte 0x1a3: ..."). */
std::string Read(const uint8_t *data, size_t size, Song *song);

} // namespace smf
