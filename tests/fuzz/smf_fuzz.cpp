/*
 * Fuzz target of tolvexctl's MIDI file reader: any bytes as a file image.
 * A file is read or refused with a reason; what is read never has a time
 * going back, nothing after the song's end, a song longer than the bound,
 * or a message that is not whole; its room is made once, to the event.
 * FUZZ_TRACE=1 prints the timeline of a file replayed by hand.
 */
#include "tools/tolvexctl/smf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
[[noreturn]] void Broken(const char *what, const char *fmt, ...)
{
    fprintf(stderr, "invariant broken: %s: ", what);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    abort();
}

#define SMF_CHECK(cond, ...)                                                                                           \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            Broken(#cond, __VA_ARGS__);                                                                                \
    } while (0)

/* Bytes of a channel message by its status, written out again here. */
size_t ChannelBytes(uint8_t status) { return (status & 0xE0) == 0xC0 ? 2 : 3; }

const bool kTrace = getenv("FUZZ_TRACE") != nullptr;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* An exact-size copy: ASan sees any read past the end. */
    std::vector<uint8_t> file(data, data + size);
    smf::Song song;
    std::string error = smf::Read(file.data(), file.size(), &song);
    if (kTrace)
        fprintf(stderr, "%zu bytes: %s\n", size, error.empty() ? "read" : error.c_str());
    if (!error.empty()) {
        SMF_CHECK(song.events.empty() && song.lengthUs == 0, "refused (%s) but %zu events kept, length %llu",
                  error.c_str(), song.events.size(), (unsigned long long)song.lengthUs);
        return 0;
    }

    SMF_CHECK(song.lengthUs <= smf::kMaxLengthUs, "length %llu us", (unsigned long long)song.lengthUs);
    SMF_CHECK(song.events.size() <= size / 2, "%zu events from %zu bytes", song.events.size(), size);
    SMF_CHECK(song.events.capacity() == song.events.size(), "room for %zu events, %zu kept", song.events.capacity(),
              song.events.size());
    SMF_CHECK(!song.longStarts.empty() && song.longStarts.back() == song.longBytes.size(),
              "%zu long starts, the last at %u of %zu bytes", song.longStarts.size(),
              song.longStarts.empty() ? 0u : song.longStarts.back(), song.longBytes.size());
    SMF_CHECK(song.longBytes.capacity() == song.longBytes.size(), "room for %zu long bytes, %zu kept",
              song.longBytes.capacity(), song.longBytes.size());

    uint64_t previous = 0;
    uint32_t longs = 0;
    for (size_t k = 0; k < song.events.size(); k++) {
        const smf::Event &e = song.events[k];
        SMF_CHECK(e.Us() >= previous, "event %zu at %llu us, after one at %llu", k, (unsigned long long)e.Us(),
                  (unsigned long long)previous);
        SMF_CHECK(e.Us() <= song.lengthUs, "event %zu at %llu us, after the end at %llu", k, (unsigned long long)e.Us(),
                  (unsigned long long)song.lengthUs);
        previous = e.Us();
        std::vector<uint8_t> bytes = song.Bytes(e);
        if (kTrace) {
            fprintf(stderr, "  %llu us %s", (unsigned long long)e.Us(), e.Sysex() ? "long" : "short");
            for (size_t i = 0; i < bytes.size() && i < 16; i++)
                fprintf(stderr, " %02x", bytes[i]);
            fprintf(stderr, "%s\n", bytes.size() > 16 ? " ..." : "");
        }
        if (e.Sysex()) {
            SMF_CHECK(e.Payload() == longs, "event %zu is long message %u, %u expected", k, e.Payload(), longs);
            SMF_CHECK(longs + 1 < song.longStarts.size() && song.longStarts[longs] < song.longStarts[longs + 1],
                      "long message %u empty or past the table", longs);
            longs++;
            continue;
        }
        SMF_CHECK(bytes.size() >= 2 && bytes[0] >= 0x80 && bytes[0] < 0xF0 && bytes.size() == ChannelBytes(bytes[0]),
                  "event %zu: %zu bytes, status %02x", k, bytes.size(), bytes.empty() ? 0 : bytes[0]);
        for (size_t i = 1; i < bytes.size(); i++)
            SMF_CHECK(bytes[i] < 0x80, "event %zu: data byte %zu is %02x", k, i, bytes[i]);
        SMF_CHECK(e.Payload() >> (8 * bytes.size()) == 0, "event %zu: payload %06x beyond its %zu bytes", k,
                  e.Payload(), bytes.size());
    }
    SMF_CHECK(longs + 1 == song.longStarts.size(), "%u long events, %zu long starts", longs, song.longStarts.size());
    return 0;
}
