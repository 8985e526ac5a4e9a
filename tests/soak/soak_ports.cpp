/*
 * The soak's streams of one port, both ways: the module's input stream fed
 * to it ahead of the line and checked in order as it is delivered, and the
 * host's output stream paced at the port's line rate, checked at the module
 * by count and CRC-32. Each port has streams of its own seeds, so that
 * bytes that reached the wrong port show as mismatches.
 */
#include "soak_stream.h"

#include "soak_input.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

double gRate = kLineBaud / 10.0;

namespace
{
constexpr uint32_t kOutSeed = 0x4D5E6F; /* the stream the driver sends */
constexpr int kInBuffers = 4;
constexpr DWORD kInBufferSize = 256;
constexpr int kOutBuffers = 2;
constexpr double kFeedAhead = 1.0;       /* s of input handed to the module ahead of the line */
constexpr DWORD kDrainMs = 5000;         /* for the last bytes to arrive at the end */
constexpr size_t kBigLong = 6000;        /* bytes of each buffer in the outlong mode */
constexpr double kCheckEvery = 10;       /* s between two looks at the output so far */
constexpr size_t kMaxLongCalls = 100000; /* MODM_LONGDATA calls timed */

/* ---- CRC-32 (the one zlib uses), of the bytes sent ---- */

uint32_t gCrcTable[256];
} // namespace

void CrcInit()
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        gCrcTable[n] = c;
    }
}

uint32_t Crc(uint32_t crc, const uint8_t *p, size_t n)
{
    if (gCrcTable[1] == 0)
        CrcInit();
    crc = ~crc;
    while (n--)
        crc = gCrcTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

namespace
{
/* Hands the module the input stream, about kFeedAhead s ahead of the line. */
struct Feeder {
    midistream::Generator gen{kInSeed};
    midistream::Item item;
    midistream::Expect ex;
    long long bytes, shorts, sysexBytes;
    std::string hex;

    /* Without send, only counted: what another program fed. */
    void FeedUntil(UINT port, double lineSeconds, double rate, bool send = true)
    {
        static const char digits[] = "0123456789abcdef";
        hex = "FEED ";
        while (bytes < (long long)(lineSeconds * rate)) {
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
            AskOn(port, hex);
    }
};

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
    /* The mid-run check: what had been sent at the last mark. */
    double nextCheck = kCheckEvery;
    long long bytesAtMark = -1, checkedBytes;
    uint32_t crcAtMark;

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
    void SendUntil(UINT port, double seconds, double rate, bool longOnly)
    {
        while (bytes < (long long)(seconds * rate / gPrograms)) {
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
                r = gMod(port, MODM_LONGDATA, 0, (DWORD_PTR)&h, sizeof h);
                if (longCallNs.size() < longCallNs.capacity())
                    longCallNs.push_back(NowNs() - t);
                longCalls++;
            } else {
                r = gMod(port, MODM_DATA, 0, item.word, 0);
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
};

/* One port's streams and the client's buffers. */
struct Port {
    InputCheck in;
    Feeder feed;
    Output out;
    MIDIHDR inHdr[kInBuffers];
    char inData[kInBuffers][kInBufferSize];
    std::atomic<bool> inputClosing{false};
    bool hasIn, hasOut;
};
Port gPort[kMaxSoakPorts];

double Rate(UINT port) { return gRate * gBaud[port] / kLineBaud; }

void CALLBACK InputProc(HDRVR, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    UINT port = (UINT)user;
    Port &p = gPort[port];
    switch (msg) {
    case MIM_DATA:
        p.in.Short(p1, p2);
        break;
    case MIM_LONGDATA:
        p.in.Long((const MIDIHDR *)p1);
        if (!p.inputClosing) /* queued again from the callback, as a recording client does */
            gMid(port, MIDM_ADDBUFFER, 0, p1, sizeof(MIDIHDR));
        break;
    case MIM_ERROR:
        p.in.errors++;
        break;
    }
}

bool OpenInput(UINT port)
{
    Port &p = gPort[port];
    DWORD r = OpenOn(port, gMid, MIDM_OPEN, (DWORD_PTR)InputProc);
    if (r != MMSYSERR_NOERROR) {
        Report(false, PortCheck(port, "input-open").c_str(), "expected 0, got %lu", (unsigned long)r);
        return false;
    }
    for (int i = 0; i < kInBuffers; i++) {
        p.inHdr[i] = MIDIHDR();
        p.inHdr[i].lpData = p.inData[i];
        p.inHdr[i].dwBufferLength = kInBufferSize;
        p.inHdr[i].dwFlags = MHDR_PREPARED;
        gMid(port, MIDM_ADDBUFFER, 0, (DWORD_PTR)&p.inHdr[i], sizeof(MIDIHDR));
    }
    gMid(port, MIDM_START, 0, 0, 0);
    return true;
}
} // namespace

std::string PortCheck(UINT port, const char *check)
{
    return gPorts == 1 ? check : "port" + std::to_string(port) + "." + check;
}

std::string PortLabel(UINT port) { return gPorts == 1 ? "" : "port " + std::to_string(port) + " "; }

bool PortOpen(UINT port, bool in, bool out)
{
    Port &p = gPort[port];
    p.in.gen = midistream::Generator(kInSeed + port);
    p.feed.gen = midistream::Generator(kInSeed + port);
    p.out.gen = midistream::Generator(kOutSeed + port);
    /* Written through once, so that its pages are in before memory is
       watched: a reserved block is in use for the heap from the start, but
       its pages would come in one by one as the calls are timed. */
    p.out.longCallNs.assign(kMaxLongCalls, 0);
    p.out.longCallNs.clear();
    p.hasIn = in;
    p.hasOut = out;
    if (in && !OpenInput(port))
        return false;
    if (out && OpenOn(port, gMod, MODM_OPEN, (DWORD_PTR)OutputProc) != MMSYSERR_NOERROR) {
        Report(false, PortCheck(port, "output-open").c_str(), "the output device did not open");
        return false;
    }
    return true;
}

void PortFeed(UINT port, double t, double seconds)
{
    Feeder &f = gPort[port].feed;
    if (f.bytes < (long long)((t + kFeedAhead / 2) * Rate(port)))
        f.FeedUntil(port, std::min(t + kFeedAhead, seconds), Rate(port));
}

void PortFeedCounted(UINT port, double seconds)
{
    Feeder &f = gPort[port].feed;
    f.FeedUntil(port, seconds, Rate(port), false);
}

void PortSend(UINT port, double t, bool longOnly) { gPort[port].out.SendUntil(port, t, Rate(port), longOnly); }

bool PortCheckMidway(UINT port, double t)
{
    Output &o = gPort[port].out;
    if (t < o.nextCheck)
        return true;
    o.nextCheck += kCheckEvery;
    if (o.bytesAtMark >= 0) {
        std::string a = AskOn(port, "CRCAT " + std::to_string(o.bytesAtMark) + " 2000");
        char want[32];
        snprintf(want, sizeof want, "CRCAT %lld %08x", o.bytesAtMark, o.crcAtMark);
        if (a != want) {
            Report(false, PortCheck(port, "output-intact-midway").c_str(), "expected \"%s\", got \"%s\"", want,
                   a.c_str());
            return false;
        }
        o.checkedBytes = o.bytesAtMark;
    }
    o.bytesAtMark = o.bytes;
    o.crcAtMark = o.crc;
    return true;
}

long long PortPending(UINT port) { return Numbers(AskOn(port, "PENDING"))[0]; }

long long PortDelivered(UINT port)
{
    const InputCheck &in = gPort[port].in;
    return in.shortsOk + in.mismatches + in.sysexOk;
}

void PortInputEnd(UINT port)
{
    Port &p = gPort[port];
    InputCheck &in = p.in;
    /* Sysex still in a buffer that has not filled is returned by the reset. */
    p.inputClosing = true;
    gMid(port, MIDM_RESET, 0, 0, 0);
    DWORD r = gMid(port, MIDM_CLOSE, 0, 0, 0);
    Report(r == MMSYSERR_NOERROR, PortCheck(port, "input-close").c_str(), "expected 0, got %lu", (unsigned long)r);
    double span = (in.lastAt - in.firstAt) / 1e9;
    Info("%sinput: the module sent %lld bytes (%.1f s at %.0f bytes/s); %lld messages and %lld sysex bytes in %lld "
         "buffers delivered, the first and last %.1f s apart (%.0f line bytes/s)",
         PortLabel(port).c_str(), p.feed.bytes, p.feed.bytes / Rate(port), Rate(port), in.shortsOk.load(),
         in.sysexOk.load(), in.buffers.load(), span, span > 0 ? p.feed.bytes / span : 0.0);
    Report(in.mismatches == 0, PortCheck(port, "input-in-order").c_str(), "%lld mismatches, the first %s",
           in.mismatches.load(), in.firstMismatch);
    Report(in.shortsOk == p.feed.shorts && in.sysexOk == p.feed.sysexBytes && !in.overflow,
           PortCheck(port, "input-none-lost").c_str(), "expected %lld messages and %lld sysex bytes, got %lld and %lld",
           p.feed.shorts, p.feed.sysexBytes, in.shortsOk.load(), in.sysexOk.load());
    Report(in.errors == 0, PortCheck(port, "input-no-errors").c_str(), "%lld MIM_ERROR", in.errors.load());
    Report(!in.stampsBackwards, PortCheck(port, "input-stamps-in-order").c_str(),
           "a clock tick was stamped before the one before it");
}

void PortOutputEnd(UINT port, double ran)
{
    Output &o = gPort[port].out;
    if (gProgram >= 0) { /* of several programs on a shared port: tools/soak finds each one's messages on the line */
        SayOutput();
        Report(o.refused == 0, "output-accepted", "%lld messages refused", o.refused);
        WaitGo("DONE"); /* the line is read before any close puts its reset on it */
        gMod(port, MODM_CLOSE, 0, 0, 0);
        return;
    }
    std::string a = AskOn(port, "CRCAT " + std::to_string(o.bytes) + " " + std::to_string(kDrainMs));
    char want[32];
    snprintf(want, sizeof want, "CRCAT %lld %08x", o.bytes, o.crc);
    std::vector<long long> recv = Numbers(AskOn(port, "RECV"));
    Info("%soutput: %lld bytes in %lld short and %lld long messages in %.1f s (%.0f bytes/s)", PortLabel(port).c_str(),
         o.bytes, o.shortCalls, o.longCalls, ran, o.bytes / ran);
    Report(a == want && !recv.empty() && recv[0] == o.bytes && o.refused == 0, PortCheck(port, "output-intact").c_str(),
           "expected \"%s\" and %lld bytes in all, %d refused; got \"%s\", %lld bytes, %lld refused (checked to "
           "%lld)",
           want, o.bytes, 0, a.c_str(), recv.empty() ? -1 : recv[0], o.refused, o.checkedBytes);
    if (!o.longCallNs.empty()) {
        std::vector<long long> v = o.longCallNs;
        std::sort(v.begin(), v.end());
        Info("MODM_LONGDATA call: median %.3f ms, 99th percentile %.3f ms, max %.3f ms over %zu calls",
             v[v.size() / 2] / 1e6, v[v.size() * 99 / 100] / 1e6, v.back() / 1e6, v.size());
    }
    DWORD r = gMod(port, MODM_CLOSE, 0, 0, 0);
    Report(r == MMSYSERR_NOERROR, PortCheck(port, "output-close").c_str(), "expected 0, got %lu", (unsigned long)r);
}
