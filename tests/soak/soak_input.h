/*
 * The soak's check of what the module sends: the same generator as the
 * module's end, and every message and exclusive byte compared in order as
 * it is delivered, with nothing allocated while memory is watched.
 */
#pragma once
#include "midistream.h"
#include "soak_common.h"

#include <atomic>
#include <cstdio>

constexpr uint32_t kInSeed = 0x1A2B3C; /* the stream the module sends, port 0's; port n's is seed + n */

/* Fixed rings, so that checking allocates nothing while memory is watched. */
template <class T, size_t N> struct Ring {
    T v[N];
    size_t head, tail;
    bool Empty() const { return head == tail; }
    bool Push(T x)
    {
        if (tail - head == N)
            return false;
        v[tail++ % N] = x;
        return true;
    }
    T Pop() { return v[head++ % N]; }
};

struct InputCheck {
    midistream::Generator gen{kInSeed};
    midistream::Item item;
    midistream::Expect ex;
    Ring<uint32_t, 4096> shorts;
    Ring<uint8_t, 16384> sysex;
    bool overflow;
    /* Counts of what arrived; only the port's poll thread writes them. */
    std::atomic<long long> shortsOk{0}, sysexOk{0}, buffers{0}, errors{0}, mismatches{0};
    DWORD_PTR lastClockStamp;
    long long firstAt, lastAt; /* ns, first and last delivery */
    bool stampsBackwards;
    char firstMismatch[256];

    void Refill()
    {
        gen.Next(item, ex, false);
        for (size_t i = 0; i < ex.shortCount; i++)
            overflow |= !shorts.Push(ex.shorts[i]);
        for (size_t i = 0; i < ex.sysexCount; i++)
            overflow |= !sysex.Push(ex.sysex[i]);
    }

    void Mismatch(const char *what, unsigned expected, unsigned got)
    {
        if (mismatches++ == 0)
            snprintf(firstMismatch, sizeof firstMismatch, "%s: expected %#x, got %#x after %lld messages, %lld bytes",
                     what, expected, got, shortsOk.load(), sysexOk.load());
    }

    void Delivered()
    {
        lastAt = NowNs();
        if (firstAt == 0)
            firstAt = lastAt;
    }

    void Short(DWORD_PTR word, DWORD_PTR stamp)
    {
        Delivered();
        while (shorts.Empty() && !overflow)
            Refill();
        uint32_t want = shorts.Empty() ? 0 : shorts.Pop();
        if (want == (uint32_t)word)
            shortsOk++;
        else
            Mismatch("short message", want, (unsigned)word);
        /* A message is stamped when it starts, and a clock tick inside it is
           delivered first: only the ticks' own stamps must never go back. */
        if (word == midistream::kClock) {
            stampsBackwards |= stamp < lastClockStamp;
            lastClockStamp = stamp;
        }
    }

    void Long(const MIDIHDR *h)
    {
        if (h->dwBytesRecorded != 0)
            Delivered();
        buffers++;
        for (DWORD i = 0; i < h->dwBytesRecorded; i++) {
            while (sysex.Empty() && !overflow)
                Refill();
            uint8_t want = sysex.Empty() ? 0 : sysex.Pop();
            if (want == (uint8_t)h->lpData[i])
                sysexOk++;
            else
                Mismatch("sysex byte", want, (uint8_t)h->lpData[i]);
        }
    }
};
