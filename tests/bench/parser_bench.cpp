/*
 * Input parser speed: midByteRec against ALSA's snd_midi_event_encode_byte on
 * the same realistic stream, in ns per received byte. Both sides hand each
 * finished message to the same counting routine; sysex goes into 256-byte
 * application buffers on both sides (the driver's queue, a copy out of ALSA's).
 */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "midistream.h"
#include "platform/host/sim.h"
#include "serial/serial.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

constexpr size_t kStreamBytes = 1 << 16; /* one iteration: about 17 s of a busy line */
constexpr DWORD kBufferSize = 256;       /* each input buffer, as a client might queue them */
constexpr int kBuffers = 4;
constexpr uint32_t kSeed = 0x5EED;
constexpr DWORD_PTR kCallback = 0xC0FFEE;
constexpr size_t kPollBytes = 39; /* what one 10 ms poll finds on a full line */

struct Stream {
    std::vector<uint8_t> bytes;
    size_t shorts = 0;     /* MIM_DATA expected over one pass */
    size_t sysexBytes = 0; /* bytes expected in buffers over one pass */
};

const Stream &TheStream()
{
    static Stream s = [] {
        Stream st;
        midistream::Generator gen(kSeed);
        static midistream::Item it;
        midistream::Expect ex;
        while (st.bytes.size() < kStreamBytes) {
            gen.Next(it, ex, false);
            st.bytes.insert(st.bytes.end(), it.bytes, it.bytes + it.count);
            st.shorts += ex.shortCount;
            st.sysexBytes += ex.sysexCount;
        }
        return st;
    }();
    return s;
}

/* The one routine both parsers report to: counts, and a sum that keeps the
   compiler from dropping the work. */
struct Tally {
    size_t shorts, sysexBytes, errors;
    uintptr_t sum;
} gTally;

__attribute__((noinline)) void Deliver(bool isSysEx, uintptr_t value, size_t count)
{
    if (isSysEx)
        gTally.sysexBytes += count;
    else
        gTally.shorts++;
    gTally.sum += value;
}

bool Matches(benchmark::State &state, const Tally &t, size_t passes)
{
    const Stream &s = TheStream();
    if (t.shorts != s.shorts * passes || t.sysexBytes != s.sysexBytes * passes || t.errors != 0) {
        char why[160];
        snprintf(why, sizeof why, "expected %zu messages and %zu sysex bytes, got %zu, %zu and %zu errors",
                 s.shorts * passes, s.sysexBytes * passes, t.shorts, t.sysexBytes, t.errors);
        state.SkipWithError(why);
        return false;
    }
    return true;
}

void Report(benchmark::State &state)
{
    size_t bytes = TheStream().bytes.size();
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
    state.counters["bytes_per_msg"] = (double)bytes / (double)TheStream().shorts;
    state.counters["ns_per_byte"] = benchmark::Counter(
        (double)bytes * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/* ---- the driver: midByteRec, notifications through the simulated DriverCallback ---- */

/* Clock readings per delivered message, since DriverOpen: under Wine each
   costs several times what it does here. */
void ReportClockReads(benchmark::State &state)
{
    state.counters["clock_reads_per_msg"] =
        (double)sim::ClockReads() / (double)(TheStream().shorts * state.iterations());
}

MIDIHDR gHdr[kBuffers];
char gData[kBuffers][kBufferSize];

void DriverSink(const sim::Notification &n)
{
    if (n.dwMsg == MIM_LONGDATA) {
        LPMIDIHDR h = (LPMIDIHDR)n.dwParam1;
        Deliver(true, (uintptr_t)h->lpData[0], h->dwBytesRecorded);
        midAddBuffer(0, h); /* queued again from the callback, as a client does */
    } else if (n.dwMsg == MIM_DATA) {
        Deliver(false, n.dwParam1, 1);
    } else {
        gTally.errors++;
    }
}

void DriverOpen()
{
    sim::ResetAll();
    midCritInit();
    gaMidiIn[0].gMIMC = MIDIINCONTROL{};
    gaMidiIn[0].gMidiInClient = MIDICLIENT{kCallback, 0, 0, CALLBACK_FUNCTION};
    gaMidiIn[0].gfMidiInOpen = 1;
    EnableCommIn(0);
    sim::SetNotificationSink(&DriverSink);
    for (int i = 0; i < kBuffers; i++) {
        gHdr[i] = MIDIHDR{};
        gHdr[i].lpData = gData[i];
        gHdr[i].dwBufferLength = kBufferSize;
        gHdr[i].dwFlags = MHDR_PREPARED;
        midAddBuffer(0, &gHdr[i]);
    }
}

void DriverClose()
{
    gaMidiIn[0].gfMidiInOpen = 0;
    DisableCommIn(0);
    sim::SetNotificationSink(nullptr);
    midCritDelete();
}

void BM_Tolvex_midByteRec(benchmark::State &state)
{
    const Stream &s = TheStream();
    DriverOpen();
    gTally = Tally{};
    for (auto _ : state)
        for (uint8_t b : s.bytes)
            midByteRec(0, b);
    if (Matches(state, gTally, state.iterations())) {
        Report(state);
        ReportClockReads(state);
    }
    DriverClose();
}

/* The poll's own road: each read's bytes handed on as GetCommBuff hands them. */
void BM_Tolvex_poll(benchmark::State &state)
{
    const Stream &s = TheStream();
    DriverOpen();
    gTally = Tally{};
    for (auto _ : state) {
        for (size_t at = 0; at < s.bytes.size(); at += kPollBytes) {
            UINT cb = (UINT)std::min(kPollBytes, s.bytes.size() - at);
            for (UINT i = 0; i < cb;)
                i += midBytesRec(0, &s.bytes[at + i], cb - i);
        }
    }
    if (Matches(state, gTally, state.iterations())) {
        Report(state);
        ReportClockReads(state);
    }
    DriverClose();
}

/* ---- ALSA: snd_midi_event_encode_byte into a sequencer event ---- */

char gAlsaCopy[kBufferSize]; /* the application's buffer for a sysex piece */

/* kStampedLocked adds what the driver must do besides parsing, on the same
   simulated platform: each finished message stamped by the clock, and the
   input lock taken once for it (the queue is shared with client threads). */
template <bool kStampedLocked> void AlsaEncode(benchmark::State &state)
{
    const Stream &s = TheStream();
    snd_midi_event_t *dev = nullptr;
    if (snd_midi_event_new(kBufferSize, &dev) < 0) {
        state.SkipWithError("snd_midi_event_new failed");
        return;
    }
    if constexpr (kStampedLocked)
        midCritInit();
    gTally = Tally{};
    snd_seq_event_t ev;
    memset(&ev, 0, sizeof ev);
    for (auto _ : state) {
        for (uint8_t b : s.bytes) {
            if (snd_midi_event_encode_byte(dev, b, &ev) != 1)
                continue;
            if constexpr (kStampedLocked) {
                CritEnter(0);
                ev.time.tick = timeGetTime();
                CritLeave(0);
            }
            if (ev.type == SND_SEQ_EVENT_SYSEX) {
                memcpy(gAlsaCopy, ev.data.ext.ptr, ev.data.ext.len);
                Deliver(true, (uintptr_t)gAlsaCopy[0], ev.data.ext.len);
            } else {
                Deliver(false, ev.data.raw32.d[0] ^ ev.data.raw32.d[1] ^ ev.type ^ ev.time.tick, 1);
            }
        }
    }
    if constexpr (kStampedLocked)
        midCritDelete();
    snd_midi_event_free(dev);
    if (Matches(state, gTally, state.iterations()))
        Report(state);
}

void BM_Alsa_encode_byte(benchmark::State &state) { AlsaEncode<false>(state); }
void BM_Alsa_encode_byte_stamped_locked(benchmark::State &state) { AlsaEncode<true>(state); }

/* ---- what the simulated platform adds: the input lock and the clock ---- */

void BM_Platform_lock_pair(benchmark::State &state)
{
    midCritInit();
    for (auto _ : state) {
        CritEnter(0);
        CritLeave(0);
    }
    midCritDelete();
}

void BM_Platform_clock_read(benchmark::State &state)
{
    sim::ResetAll();
    for (auto _ : state)
        benchmark::DoNotOptimize(timeGetTime());
}

} // namespace

BENCHMARK(BM_Tolvex_midByteRec);
BENCHMARK(BM_Tolvex_poll);
BENCHMARK(BM_Alsa_encode_byte);
BENCHMARK(BM_Alsa_encode_byte_stamped_locked);
BENCHMARK(BM_Platform_lock_pair);
BENCHMARK(BM_Platform_clock_read);
BENCHMARK_MAIN();
