/*
 * A reproducible, realistic MIDI stream for the soak and the benchmarks:
 * notes and controllers under running status, clock bytes between and inside
 * messages, system common, and system exclusive of every length, including
 * longer than an input buffer. Each item also says what an input client
 * should receive for it: short messages in delivery order and sysex bytes.
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace midistream
{

constexpr size_t kMaxItem = 1024;     /* bytes of the longest item */
constexpr size_t kMaxSysExData = 600; /* data bytes of the longest sysex */
constexpr uint8_t kClock = 0xF8;
constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEox = 0xF7;
constexpr uint8_t kMaker = 0x7D; /* the non-commercial manufacturer id */

/* One piece of the stream. On output a short item is one MODM_DATA word
   (starting with a data byte under running status) and a long one a whole
   MODM_LONGDATA buffer; on input both are simply bytes on the line. */
struct Item {
    uint8_t bytes[kMaxItem];
    size_t count;
    bool isLong;
    uint32_t word; /* short items: the packed word to send */
};

/* What the input side should deliver for an item. */
struct Expect {
    uint32_t shorts[8]; /* MIM_DATA words, in delivery order */
    size_t shortCount;
    const uint8_t *sysex; /* bytes that land in the queued buffers */
    size_t sysexCount;
};

class Generator
{
  public:
    explicit Generator(uint32_t seed) : state(seed ? seed : 1) {}

    /* The next item. With forOutput, nothing is produced that one short
       message word cannot carry, except inside a long buffer. */
    void Next(Item &it, Expect &ex, bool forOutput)
    {
        it.count = 0;
        it.isLong = false;
        it.word = 0;
        ex.shortCount = 0;
        ex.sysex = nullptr;
        ex.sysexCount = 0;

        uint32_t r = Rand(100);
        if (r < 60) {
            Channel(it, ex, false);
        } else if (r < 78) {
            Put(it, kClock);
            ex.shorts[ex.shortCount++] = kClock;
        } else if (r < 84) {
            /* A clock tick falls inside a message: it is delivered first. */
            Channel(it, ex, true);
            it.isLong = forOutput;
        } else if (r < 94) {
            SysEx(it, ex);
            it.isLong = true;
        } else {
            Common(it, ex);
        }
        if (!it.isLong)
            for (size_t i = 0; i < it.count && i < 4; i++)
                it.word |= (uint32_t)it.bytes[i] << (8 * i);
    }

  private:
    uint32_t state;
    uint8_t running = 0; /* the line's running status: last channel status, 0 after system common */

    uint32_t Rand(uint32_t n)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % n;
    }

    static void Put(Item &it, uint8_t b) { it.bytes[it.count++] = b; }

    static size_t Length(uint8_t status) { return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3; }

    void Channel(Item &it, Expect &ex, bool clockInside)
    {
        static const uint8_t kinds[] = {0x90, 0x90, 0x90, 0x80, 0xB0, 0xB0, 0xC0, 0xE0, 0xD0, 0xA0};
        uint8_t status;
        bool useRunning = running != 0 && Rand(10) < 7;
        if (useRunning) {
            status = running;
        } else {
            status = (uint8_t)(kinds[Rand(sizeof kinds)] | Rand(16));
            Put(it, status);
            running = status;
        }
        uint8_t data[2] = {(uint8_t)Rand(128), (uint8_t)Rand(128)};
        size_t n = Length(status) - 1;
        size_t clockAt = clockInside ? Rand((uint32_t)n) : n; /* before data byte clockAt */
        for (size_t i = 0; i < n; i++) {
            if (i == clockAt) {
                Put(it, kClock);
                ex.shorts[ex.shortCount++] = kClock;
            }
            Put(it, data[i]);
        }
        ex.shorts[ex.shortCount++] = Pack(status, data, n);
    }

    static uint32_t Pack(uint8_t status, const uint8_t *data, size_t n)
    {
        uint32_t w = status | (uint32_t)data[0] << 8;
        if (n > 1)
            w |= (uint32_t)data[1] << 16;
        return w;
    }

    void SysEx(Item &it, Expect &ex)
    {
        size_t n = Rand(8) == 0 ? 256 + Rand(kMaxSysExData - 256) : 2 + Rand(60);
        size_t clockAt = Rand(4) == 0 ? Rand((uint32_t)n) : n;
        size_t start = it.count;
        Put(it, kSysEx);
        Put(it, kMaker);
        for (size_t i = 1; i < n; i++) {
            if (i == clockAt) {
                Put(it, kClock);
                ex.shorts[ex.shortCount++] = kClock;
            }
            Put(it, (uint8_t)Rand(128));
        }
        Put(it, kEox);
        running = 0;
        /* The delivered bytes are the item without its clock. */
        size_t k = 0;
        for (size_t i = start; i < it.count; i++)
            if (it.bytes[i] != kClock)
                sysexOut[k++] = it.bytes[i];
        ex.sysex = sysexOut;
        ex.sysexCount = k;
    }

    void Common(Item &it, Expect &ex)
    {
        uint32_t w;
        switch (Rand(3)) {
        case 0: /* song position pointer */
            Put(it, 0xF2), Put(it, (uint8_t)Rand(128)), Put(it, (uint8_t)Rand(128));
            w = 0xF2 | (uint32_t)it.bytes[1] << 8 | (uint32_t)it.bytes[2] << 16;
            break;
        case 1: /* song select */
            Put(it, 0xF3), Put(it, (uint8_t)Rand(128));
            w = 0xF3 | (uint32_t)it.bytes[1] << 8;
            break;
        default: /* tune request */
            Put(it, 0xF6);
            w = 0xF6;
            break;
        }
        running = 0;
        ex.shorts[ex.shortCount++] = w;
    }

    uint8_t sysexOut[kMaxItem];
};

} // namespace midistream
