/*
 * Soak and line benchmarks under Wine: plays the multimedia system for
 * TOLVEX.dll while tests/soak/linemod.py, on COM1's other end, streams at
 * the line rate. Checks every byte both ways and watches the process's
 * handles and memory; or measures latency and throughput.
 *     tolvex_soak_host.exe MODE SECONDS PATH\TOLVEX.dll
 * MODE: soak (both ways), in (input only), outlong (6000-byte buffers only),
 * latency (SECONDS unused), timing (input stamps and costs in the input mode
 * that TOLVEX_LOWLATENCY names; timing.cpp), platform (the cost of the lock
 * and the clock), hold and rounds (SECONDS: rounds; shared.cpp). COM1 is
 * shared when TOLVEX_SHARED is 1. Prints PASS/FAIL/INFO lines, then "END MODE".
 */
#include "soak_common.h"

#include <psapi.h>

#include "midistream.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr double kLineRate = 3840.0;    /* bytes/s: 38400 bit/s, 10 bits a byte */
double gRate = kLineRate;               /* the streams' pace; TOLVEX_RATE asks for another, to find the headroom */
constexpr uint32_t kInSeed = 0x1A2B3C;  /* the stream the module sends */
constexpr uint32_t kOutSeed = 0x4D5E6F; /* the stream the driver sends */
constexpr int kInBuffers = 4;
constexpr DWORD kInBufferSize = 256;
constexpr int kOutBuffers = 2;
constexpr double kFeedAhead = 1.0; /* s of input handed to the module ahead of the line */
constexpr DWORD kDrainMs = 5000;   /* for the last bytes to arrive at the end */
constexpr size_t kBigLong = 6000;  /* bytes of each buffer in the outlong mode */

/* ---- input: what the module sends, checked as it is delivered ---- */

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
    /* Counts of what arrived; only the poll thread writes them. */
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
} gIn;

MIDIHDR gInHdr[kInBuffers];
char gInData[kInBuffers][kInBufferSize];
std::atomic<bool> gInputClosing{false};

void CALLBACK InputProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2)
{
    switch (msg) {
    case MIM_DATA:
        gIn.Short(p1, p2);
        break;
    case MIM_LONGDATA:
        gIn.Long((const MIDIHDR *)p1);
        if (!gInputClosing) /* queued again from the callback, as a recording client does */
            gMid(0, MIDM_ADDBUFFER, 0, p1, sizeof(MIDIHDR));
        break;
    case MIM_ERROR:
        gIn.errors++;
        break;
    }
}

/* Hands the module the input stream, about kFeedAhead s ahead of the line. */
struct Feeder {
    midistream::Generator gen{kInSeed};
    midistream::Item item;
    midistream::Expect ex;
    long long bytes, shorts, sysexBytes;
    std::string hex;

    /* Without send, only counted: what another program fed. */
    void FeedUntil(double lineSeconds, bool send = true)
    {
        static const char digits[] = "0123456789abcdef";
        hex = "FEED ";
        while (bytes < (long long)(lineSeconds * gRate)) {
            gen.Next(item, ex, false);
            for (size_t i = 0; i < item.count; i++) {
                hex += digits[item.bytes[i] >> 4];
                hex += digits[item.bytes[i] & 15];
            }
            bytes += (long long)item.count;
            shorts += (long long)ex.shortCount;
            sysexBytes += (long long)ex.sysexCount;
        }
        if (hex.size() > 5 && send)
            Ask(hex);
    }
} gFeed;

/* ---- output: the driver's stream, paced at the line rate ---- */

struct Output {
    midistream::Generator gen{kOutSeed};
    struct {
        uint8_t bytes[kBigLong];
        size_t count;
        bool isLong;
        uint32_t word;
    } item;
    midistream::Item genItem;
    midistream::Expect ex;
    MIDIHDR hdr[kOutBuffers];
    char data[kOutBuffers][kBigLong];
    int next;
    long long bytes, shortCalls, longCalls, refused;
    uint32_t crc;
    std::vector<long long> longCallNs;

    void Generated()
    {
        do {
            gen.Next(genItem, ex, true);
            memcpy(item.bytes, genItem.bytes, genItem.count);
            item.count = genItem.count;
        } while (gProgram >= 0 && !OwnItem(item.bytes, item.count));
        item.isLong = genItem.isLong;
        item.word = 0;
        for (size_t i = 0; !item.isLong && i < item.count; i++)
            item.word |= (uint32_t)item.bytes[i] << (8 * i);
    }

    /* One system-exclusive message of kBigLong bytes: longer than the
       driver's staging buffer, so it goes to the port in two writes. */
    uint32_t big = 0x2545F491;
    void BigSysEx()
    {
        item.count = 0;
        item.isLong = true;
        item.bytes[item.count++] = midistream::kSysEx;
        item.bytes[item.count++] = midistream::kMaker;
        while (item.count < kBigLong - 1) {
            big ^= big << 13, big ^= big >> 17, big ^= big << 5;
            item.bytes[item.count++] = (uint8_t)(big & 0x7F);
        }
        item.bytes[item.count++] = midistream::kEox;
    }

    /* Sends items until the stream has reached `seconds` of the line. */
    void SendUntil(double seconds, bool longOnly)
    {
        while (bytes < (long long)(seconds * gRate / gPrograms)) {
            if (longOnly)
                BigSysEx();
            else
                Generated();
            DWORD r;
            if (item.isLong) {
                MIDIHDR &h = hdr[next];
                next = (next + 1) % kOutBuffers;
                memcpy(data[&h - hdr], item.bytes, item.count);
                h = MIDIHDR();
                h.lpData = data[&h - hdr];
                h.dwBufferLength = (DWORD)item.count;
                h.dwFlags = MHDR_PREPARED;
                long long t = NowNs();
                r = gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)&h, sizeof h);
                if (longCallNs.size() < longCallNs.capacity())
                    longCallNs.push_back(NowNs() - t);
                longCalls++;
            } else {
                r = gMod(0, MODM_DATA, 0, item.word, 0);
                shortCalls++;
            }
            if (r != MMSYSERR_NOERROR) {
                refused++;
                continue;
            }
            crc = Crc(crc, item.bytes, item.count);
            if (gProgram >= 0)
                CountSent(item.bytes, item.count);
            bytes += (long long)item.count;
        }
    }
} gOut;

/* ---- the process's resources ---- */

struct Sample {
    double at;
    DWORD handles;
    SIZE_T heapBytes, virtualBytes, workingSet;
    DWORD ownerHandles; /* of a shared port's owner, sampled by program 0; 0 otherwise */
};

Sample TakeSample(long long start)
{
    Sample s = {Seconds(start), CountHandles(GetCurrentProcessId()), HeapBytes(), 0, 0, 0};
    if (gProgram == 0)
        s.ownerHandles = CountHandles(OwnerPid());
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
        s.virtualBytes = pmc.PagefileUsage;
        s.workingSet = pmc.WorkingSetSize;
    }
    return s;
}

/* ---- modes ---- */

bool OpenInput()
{
    DWORD r = Open(gMid, MIDM_OPEN, (DWORD_PTR)InputProc);
    if (r != MMSYSERR_NOERROR) {
        Report(false, "input-open", "expected 0, got %lu", (unsigned long)r);
        return false;
    }
    for (int i = 0; i < kInBuffers; i++) {
        gInHdr[i] = MIDIHDR();
        gInHdr[i].lpData = gInData[i];
        gInHdr[i].dwBufferLength = kInBufferSize;
        gInHdr[i].dwFlags = MHDR_PREPARED;
        gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&gInHdr[i], sizeof(MIDIHDR));
    }
    gMid(0, MIDM_START, 0, 0, 0);
    return true;
}

void CloseInput()
{
    gInputClosing = true;
    gMid(0, MIDM_RESET, 0, 0, 0);
    DWORD r = gMid(0, MIDM_CLOSE, 0, 0, 0);
    Report(r == MMSYSERR_NOERROR, "input-close", "expected 0, got %lu", (unsigned long)r);
}

} // namespace

/* Both ways (soak), input only (in), or long output buffers only (outlong). */
void Stream(double seconds)
{
    bool in = gMode != "outlong", out = gMode != "in";
    bool feeds = gProgram <= 0; /* of several programs on a shared port, program 0 feeds the module */
    if (feeds)
        Ask("CLEAR");
    if (in && !OpenInput())
        return;
    if (out && Open(gMod, MODM_OPEN, (DWORD_PTR)OutputProc) != MMSYSERR_NOERROR) {
        Report(false, "output-open", "the output device did not open");
        return;
    }
    gOut.longCallNs.reserve(100000);
    ResourcesInit();
    if (gProgram >= 0)
        WaitGo("READY");

    std::vector<Sample> samples;
    samples.reserve((size_t)seconds + 16);
    long long start = NowNs();
    double nextSample = 0, nextCheck = 10;
    long long checkedBytes = 0;
    uint32_t crcAtMark = 0;
    long long bytesAtMark = -1;
    while (Seconds(start) < seconds) {
        double t = Seconds(start);
        if (in && feeds && gFeed.bytes < (long long)((t + kFeedAhead / 2) * gRate))
            gFeed.FeedUntil(std::min(t + kFeedAhead, seconds));
        if (out)
            gOut.SendUntil(t, gMode == "outlong");
        if (t >= nextSample) {
            samples.push_back(TakeSample(start));
            nextSample += 1;
        }
        /* Mid-run, the output so far: the bytes sent by a second ago must have arrived intact. */
        if (out && gProgram < 0 && t >= nextCheck) {
            if (bytesAtMark >= 0) {
                std::string a = Ask("CRCAT " + std::to_string(bytesAtMark) + " 2000");
                char want[32];
                snprintf(want, sizeof want, "CRCAT %lld %08x", bytesAtMark, crcAtMark);
                if (a != want) {
                    Report(false, "output-intact-midway", "expected \"%s\", got \"%s\"", want, a.c_str());
                    out = false;
                }
                checkedBytes = bytesAtMark;
            }
            bytesAtMark = gOut.bytes;
            crcAtMark = gOut.crc;
            nextCheck += 10;
        }
        Sleep(5);
    }
    samples.push_back(TakeSample(start));
    double ran = Seconds(start);

    /* Let the line drain: the module's queue, then the last poll. */
    if (in) {
        DWORD waited = 0;
        while (Numbers(Ask("PENDING"))[0] > 0 && waited < kDrainMs)
            Sleep(50), waited += 50;
        Sleep(100);
        long long lastShorts = -1, lastBytes = -1;
        while ((gIn.shortsOk + gIn.mismatches != lastShorts || gIn.sysexOk != lastBytes) && waited < kDrainMs) {
            lastShorts = gIn.shortsOk + gIn.mismatches;
            lastBytes = gIn.sysexOk;
            Sleep(100), waited += 100;
        }
        /* Sysex still in a buffer that has not filled is returned by the reset. */
        CloseInput();
        if (!feeds)
            gFeed.FeedUntil(seconds, false);
        double span = (gIn.lastAt - gIn.firstAt) / 1e9;
        Info("input: the module sent %lld bytes (%.1f s at %.0f bytes/s); %lld messages and %lld sysex bytes in %lld "
             "buffers delivered, the first and last %.1f s apart (%.0f line bytes/s)",
             gFeed.bytes, gFeed.bytes / gRate, gRate, gIn.shortsOk.load(), gIn.sysexOk.load(), gIn.buffers.load(), span,
             span > 0 ? gFeed.bytes / span : 0.0);
        Report(gIn.mismatches == 0, "input-in-order", "%lld mismatches, the first %s", gIn.mismatches.load(),
               gIn.firstMismatch);
        Report(gIn.shortsOk == gFeed.shorts && gIn.sysexOk == gFeed.sysexBytes && !gIn.overflow, "input-none-lost",
               "expected %lld messages and %lld sysex bytes, got %lld and %lld", gFeed.shorts, gFeed.sysexBytes,
               gIn.shortsOk.load(), gIn.sysexOk.load());
        Report(gIn.errors == 0, "input-no-errors", "%lld MIM_ERROR", gIn.errors.load());
        Report(!gIn.stampsBackwards, "input-stamps-in-order", "a clock tick was stamped before the one before it");
    }
    if (out && gProgram >= 0) {
        SayOutput();
        Report(gOut.refused == 0, "output-accepted", "%lld messages refused", gOut.refused);
        WaitGo("DONE"); /* the line is read before any close puts its reset on it */
        gMod(0, MODM_CLOSE, 0, 0, 0);
    } else if (out) {
        std::string a = Ask("CRCAT " + std::to_string(gOut.bytes) + " " + std::to_string(kDrainMs));
        char want[32];
        snprintf(want, sizeof want, "CRCAT %lld %08x", gOut.bytes, gOut.crc);
        std::vector<long long> recv = Numbers(Ask("RECV"));
        Info("output: %lld bytes in %lld short and %lld long messages in %.1f s (%.0f bytes/s)", gOut.bytes,
             gOut.shortCalls, gOut.longCalls, ran, gOut.bytes / ran);
        Report(a == want && !recv.empty() && recv[0] == gOut.bytes && gOut.refused == 0, "output-intact",
               "expected \"%s\" and %lld bytes in all, %d refused; got \"%s\", %lld bytes, %lld refused (checked to "
               "%lld)",
               want, gOut.bytes, 0, a.c_str(), recv.empty() ? -1 : recv[0], gOut.refused, checkedBytes);
        if (!gOut.longCallNs.empty()) {
            std::vector<long long> v = gOut.longCallNs;
            std::sort(v.begin(), v.end());
            Info("MODM_LONGDATA call: median %.3f ms, 99th percentile %.3f ms, max %.3f ms over %zu calls",
                 v[v.size() / 2] / 1e6, v[v.size() * 99 / 100] / 1e6, v.back() / 1e6, v.size());
        }
        DWORD r = gMod(0, MODM_CLOSE, 0, 0, 0);
        Report(r == MMSYSERR_NOERROR, "output-close", "expected 0, got %lu", (unsigned long)r);
    }

    /* Flat resources: after a warm-up (a fifth of the run, at least 2 s),
       the last samples hold no more than the first ones did. Three of each,
       so that a handle or block that comes and goes does not count. */
    double warm = std::max(2.0, ran / 5);
    std::vector<Sample> kept;
    for (const Sample &s : samples)
        if (s.at >= warm)
            kept.push_back(s);
    if (kept.size() >= 6) {
        Sample first = kept[0], last = kept.back();
        DWORD maxHandles = 0;
        for (size_t i = 0; i < kept.size(); i++) {
            const Sample &s = kept[i];
            maxHandles = std::max(maxHandles, s.handles);
            if (i < 3) {
                first.handles = std::max(first.handles, s.handles);
                first.heapBytes = std::max(first.heapBytes, s.heapBytes);
                first.virtualBytes = std::max(first.virtualBytes, s.virtualBytes);
                first.ownerHandles = std::max(first.ownerHandles, s.ownerHandles);
            }
            if (i + 3 >= kept.size()) {
                last.handles = std::min(last.handles, s.handles);
                last.heapBytes = std::min(last.heapBytes, s.heapBytes);
                last.virtualBytes = std::min(last.virtualBytes, s.virtualBytes);
                last.ownerHandles = std::min(last.ownerHandles, s.ownerHandles);
            }
        }
        /* The shape, for a person: a step is not a slope. */
        std::string shape;
        double every = std::max(1.0, std::floor(ran / 10));
        double next = 0;
        for (const Sample &s : samples) {
            if (s.at + 0.5 < next)
                continue;
            char part[64];
            snprintf(part, sizeof part, " %.0fs:%lu/%zu/%zu", s.at, (unsigned long)s.handles,
                     (size_t)s.heapBytes / 1024, (size_t)s.virtualBytes / 1024);
            shape += part;
            next = s.at + every;
        }
        Info("samples (s:handles/heap KB/pagefile KB):%s", shape.c_str());
        const Sample *base = &first;
        Info("resources from %.0f s to %.0f s: handles (%s) %lu -> %lu (max %lu); heap in use %zu -> %zu KB; "
             "pagefile usage %zu -> %zu KB; working set %zu -> %zu KB",
             base->at, last.at, gHandleMethod, (unsigned long)base->handles, (unsigned long)last.handles,
             (unsigned long)maxHandles, (size_t)base->heapBytes / 1024, (size_t)last.heapBytes / 1024,
             (size_t)base->virtualBytes / 1024, (size_t)last.virtualBytes / 1024, (size_t)base->workingSet / 1024,
             (size_t)last.workingSet / 1024);
        Report(base->handles > 0 && last.handles <= base->handles, "handles-flat",
               "handle count %lu at first, %lu at the end", (unsigned long)base->handles, (unsigned long)last.handles);
        if (gProgram == 0) {
            Info("the owner's handles from %.0f s to %.0f s: %lu -> %lu", base->at, last.at,
                 (unsigned long)base->ownerHandles, (unsigned long)last.ownerHandles);
            Report(base->ownerHandles > 0 && last.ownerHandles <= base->ownerHandles, "owner-handles-flat",
                   "the owner's handle count %lu at first, %lu at the end", (unsigned long)base->ownerHandles,
                   (unsigned long)last.ownerHandles);
        }
        constexpr SIZE_T kSlack = 64 * 1024; /* the heap's own bookkeeping, far below a leak per message */
        Report(last.heapBytes <= base->heapBytes + kSlack, "heap-flat", "heap in use rose from %zu KB to %zu KB",
               (size_t)base->heapBytes / 1024, (size_t)last.heapBytes / 1024);
        Report(last.virtualBytes <= base->virtualBytes + 4 * kSlack, "memory-flat",
               "pagefile usage rose from %zu KB to %zu KB", (size_t)base->virtualBytes / 1024,
               (size_t)last.virtualBytes / 1024);
    } else {
        Report(false, "resources-sampled", "the run was too short to sample after a warm-up");
    }
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s soak|in|outlong|latency|timing|platform|hold|rounds SECONDS PATH\\TOLVEX.dll\n",
                argv[0]);
        return 2;
    }
    gMode = argv[1];
    double seconds = atof(argv[2]);
    int n = MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, nullptr, 0);
    std::wstring dll(n > 0 ? n - 1 : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, &dll[0], n);
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    gQpcFreq = f.QuadPart;
    if (getenv("TOLVEX_RATE"))
        gRate = atof(getenv("TOLVEX_RATE"));
    if (getenv("TOLVEX_PROGRAM")) {
        gProgram = atoi(getenv("TOLVEX_PROGRAM"));
        gPrograms = std::max(1, atoi(getenv("TOLVEX_PROGRAMS") ? getenv("TOLVEX_PROGRAMS") : "1"));
    }
    CrcInit();
    timeBeginPeriod(1); /* Sleep(5) in the pacing loop, not 15.6 */

    if (gMode != "platform" && !Connect()) {
        Report(false, "linemod", "cannot reach the module at TOLVEX_LINEMOD");
    } else if (!Load(dll)) {
        Report(false, "loads", "LoadLibrary failed, error %lu", (unsigned long)GetLastError());
    } else if (gMode == "platform") {
        Platform();
    } else if (gMode == "latency") {
        Latency();
        FreeLibrary(gLib);
    } else if (gMode == "timing") {
        Timing(seconds);
        FreeLibrary(gLib);
    } else if (gMode == "hold") {
        Hold();
        FreeLibrary(gLib);
    } else if (gMode == "rounds") {
        Rounds((int)seconds);
        FreeLibrary(gLib);
    } else if (gMode == "soak" || gMode == "in" || gMode == "outlong") {
        const char *low = getenv("TOLVEX_LOWLATENCY"); /* the input mode the port opens in */
        StoreLowLatency(low ? (DWORD)atoi(low) : 0);
        Stream(seconds);
        FreeLibrary(gLib);
    } else {
        fprintf(stderr, "unknown mode %s\n", gMode.c_str());
        return 2;
    }
    printf("END %s\n", gMode.c_str());
    fflush(stdout);
    timeEndPeriod(1);
    return gFailed ? 1 : 0;
}
