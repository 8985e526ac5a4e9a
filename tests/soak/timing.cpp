/*
 * Input timing in one input mode (TOLVEX_LOWLATENCY=0 or 1, stored before
 * the port opens): the module sends MIDI clock bytes on an exact 120 BPM
 * grid, alone and inside a note stream at the line rate, or beside a second
 * port whose client is slow. For each clock byte, its stamp is compared
 * with the moment the module wrote it, on one clock. Also the output
 * latency and the CPU time that the process and the Wine server spend per
 * minute, busy or with the ports idle. Prints one "ROW" line per figure for
 * tools/soak's side-by-side table.
 */
#include "soak_common.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
constexpr double kGridMs = 60000.0 / (120 * 24); /* MIDI clock at 120 BPM: 20.833 ms */
constexpr int kMaxClocks = 20000;
constexpr int kMaxNotes = 200000;
constexpr int kOutputCount = 500;
constexpr DWORD kClockByte = 0xF8;
constexpr DWORD kDrainMs = 5000;
constexpr DWORD kSlowCallbackMs = 50; /* what the slow client of the second port takes for each message */
constexpr int kProbeGapMs = 20;       /* between two of its messages: 20 to 30 ms, so that it is never done */
constexpr DWORD kWarmMs = 1000;       /* after the opens, before CPU time is counted */

/* What the callback saw; only the driver's thread writes, in order. */
struct Seen {
    std::atomic<int> clocks{0};
    long long clockAt[kMaxClocks]; /* NowNs at the callback */
    DWORD clockStamp[kMaxClocks];
    std::atomic<int> notes{0}, wrongNotes{0}, errors{0};
    DWORD lastNoteStamp;
    bool noteStampsBack;
} gSeen;

/* The k-th note of the stream: note-on then note-off, notes counting up. */
DWORD NoteWord(int k)
{
    DWORD note = (DWORD)(k / 2) % 128;
    return k % 2 == 0 ? 0x90 | note << 8 | 0x40u << 16 : 0x80 | note << 8;
}

void CALLBACK TimingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2)
{
    long long at = NowNs();
    if (msg == MIM_ERROR)
        gSeen.errors++;
    if (msg != MIM_DATA)
        return;
    if (p1 == kClockByte) {
        int i = gSeen.clocks;
        if (i < kMaxClocks) {
            gSeen.clockAt[i] = at;
            gSeen.clockStamp[i] = (DWORD)p2;
        }
        gSeen.clocks = i + 1;
        return;
    }
    int k = gSeen.notes;
    if (p1 != NoteWord(k))
        gSeen.wrongNotes++;
    gSeen.noteStampsBack |= k > 0 && (DWORD)p2 < gSeen.lastNoteStamp;
    gSeen.lastNoteStamp = (DWORD)p2;
    gSeen.notes = k + 1;
}

/* The module's clock bytes on the grid; the figures of the clocks seen since `from`. */
void Grid(const char *phase, int count, double moduleMinusHostMs, double tickOffsetMs, DWORD start, int from)
{
    Ask("GRID " + std::to_string(count) + " " + std::to_string((long long)(kGridMs * 1e6)));
    DWORD waited = 0;
    while (gSeen.clocks < from + count && waited < (DWORD)(count * kGridMs) + kDrainMs)
        Sleep(50), waited += 50;
    std::vector<long long> wrote = Numbers(Ask("GRIDTIMES"));
    int seen = gSeen.clocks - from;
    Report(seen == count && (int)wrote.size() == count, (std::string(phase) + "-clocks-delivered").c_str(),
           "expected %d clock bytes, the module wrote %zu and %d were delivered", count, wrote.size(), seen);
    if (seen != count || (int)wrote.size() != count)
        return;

    std::vector<double> stampError, interval, latency;
    bool backwards = false;
    for (int i = 0; i < count; i++) {
        double wroteMs = (double)wrote[i] / 1e6 - moduleMinusHostMs; /* on this process's clock */
        double stampedMs = (double)(start + gSeen.clockStamp[from + i]) + tickOffsetMs;
        stampError.push_back(std::fabs(stampedMs - wroteMs));
        latency.push_back((double)gSeen.clockAt[from + i] / 1e6 - wroteMs);
        if (i > 0) {
            DWORD d = gSeen.clockStamp[from + i] - gSeen.clockStamp[from + i - 1];
            backwards |= (LONG)d < 0;
            interval.push_back(std::fabs((double)d - kGridMs));
        }
    }
    Report(!backwards, (std::string(phase) + "-stamps-in-order").c_str(), "a clock byte was stamped before the last");
    Row((std::string(phase) + ".stamp-error").c_str(), stampError);
    Row((std::string(phase) + ".interval-deviation").c_str(), interval);
    Row((std::string(phase) + ".input-latency").c_str(), latency);
}

/* The note stream for `seconds` of the line, handed to port's module to pace. */
int FeedNotes(double seconds, UINT port = 0)
{
    static const char digits[] = "0123456789abcdef";
    int messages = (int)(seconds * 3840 / 3) & ~1;
    for (int k = 0; k < messages;) {
        std::string hex = "FEED ";
        for (int n = 0; n < 2000 && k < messages; n++, k++) {
            DWORD w = NoteWord(k);
            for (int b = 0; b < 3; b++) {
                BYTE x = (BYTE)(w >> (8 * b));
                hex += digits[x >> 4];
                hex += digits[x & 15];
            }
        }
        AskOn(port, hex);
    }
    return messages;
}

/* The second port's client: it counts, and takes its time when told. */
std::atomic<DWORD> gOtherMs{0};
std::atomic<int> gOtherData{0};

void CALLBACK OtherProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg != MIM_DATA)
        return;
    gOtherData++;
    if (DWORD ms = gOtherMs)
        Sleep(ms);
}

/* Waits until port's module has written all it was fed and the deliveries have stopped. */
void DrainOther(UINT port)
{
    DWORD waited = 0;
    while (Numbers(AskOn(port, "PENDING"))[0] > 0 && waited < kDrainMs)
        Sleep(50), waited += 50;
    for (int last = -1; gOtherData != last && waited < kDrainMs; waited += 100)
        last = gOtherData, Sleep(100);
}

/* The module's clock against this one, checked; false when they cannot be compared. */
bool OneClock(double &offsetMs, double &tickMs)
{
    double boundMs = 0;
    bool clocks = CompareClocks(offsetMs, boundMs);
    Report(clocks && std::fabs(offsetMs) <= boundMs + 0.05, "one-clock",
           "the module's clock differs by %.3f ms (bound %.3f ms): times cannot be compared", offsetMs, boundMs);
    tickMs = TickOffsetMs();
    Info("module minus host %.3f ms (+-%.3f); timeGetTime lags this clock by %.3f ms", offsetMs, boundMs, tickMs);
    return clocks;
}
} // namespace

void Timing(double seconds)
{
    const char *mode = getenv("TOLVEX_LOWLATENCY");
    StoreLowLatency(mode ? (DWORD)atoi(mode) : 0);
    double offsetMs = 0, tick = 0;
    OneClock(offsetMs, tick);

    std::vector<double> out = OutputLatency(kOutputCount);
    if (!out.empty())
        Row("output-latency", out);

    if (Open(gMid, MIDM_OPEN, (DWORD_PTR)TimingProc) != MMSYSERR_NOERROR) {
        Report(false, "input-open", "the input device did not open");
        return;
    }
    DWORD start = StartOnTick(0);
    Report(start != 0, "start-on-a-tick", "MIDM_START never fell within one tick");
    int count = (int)(seconds * 1000 / kGridMs);

    Grid("idle", count, offsetMs, tick, start, 0);
    Cpu a = CpuNow();
    Sleep((DWORD)(seconds * 1000));
    CpuRow("cpu-idle", a, CpuNow());

    Ask("CLEAR");
    int notes = FeedNotes(seconds + 1);
    a = CpuNow();
    Grid("linerate", count, offsetMs, tick, start, gSeen.clocks);
    CpuRow("cpu-linerate", a, CpuNow());
    DWORD waited = 0;
    while (Numbers(Ask("PENDING"))[0] > 0 && waited < (DWORD)(seconds * 1000) + kDrainMs)
        Sleep(50), waited += 50;
    for (int last = -1; gSeen.notes != last && waited < 30000; waited += 100)
        last = gSeen.notes, Sleep(100);
    Report(gSeen.notes == notes && gSeen.wrongNotes == 0 && gSeen.errors == 0, "linerate-none-lost",
           "expected %d notes in order, got %d with %d out of order and %d MIM_ERROR", notes, gSeen.notes.load(),
           gSeen.wrongNotes.load(), gSeen.errors.load());
    Report(!gSeen.noteStampsBack, "linerate-note-stamps-in-order", "a note was stamped before the one before it");

    gMid(0, MIDM_RESET, 0, 0, 0);
    DWORD r = gMid(0, MIDM_CLOSE, 0, 0, 0);
    Report(r == MMSYSERR_NOERROR, "input-close", "expected 0, got %lu", (unsigned long)r);
}

/* COM1's clock bytes on the grid, both ports in the input mode that
   TOLVEX_LOWLATENCY names: alone, beside COM2 streaming at its line rate
   into a quick client, and beside COM2 whose client takes 50 ms for each
   message, so that COM2's poll is never free. */
void Isolation(double seconds)
{
    const char *mode = getenv("TOLVEX_LOWLATENCY");
    StoreLowLatency(mode ? (DWORD)atoi(mode) : 0);
    double offsetMs = 0, tick = 0;
    OneClock(offsetMs, tick);
    if (gPorts < 2 || Open(gMid, MIDM_OPEN, (DWORD_PTR)TimingProc) != MMSYSERR_NOERROR) {
        Report(false, "input-open", "expected COM1's input to open beside a second port (%u)", gPorts);
        return;
    }
    DWORD start = StartOnTick(0);
    Report(start != 0, "start-on-a-tick", "MIDM_START never fell within one tick");
    int count = (int)(seconds * 1000 / kGridMs);
    Grid("alone", count, offsetMs, tick, start, 0);

    DWORD r = OpenOn(1, gMid, MIDM_OPEN, (DWORD_PTR)OtherProc);
    DWORD st = gMid(1, MIDM_START, 0, 0, 0);
    Report(r == 0 && st == 0, "second-port-open", "expected 0 and 0, got %lu and %lu", (unsigned long)r,
           (unsigned long)st);
    Sleep(kWarmMs); /* what an earlier run left in COM2 goes first */
    gOtherData = 0;
    int notes = FeedNotes(seconds, 1);
    Grid("beside", count, offsetMs, tick, start, gSeen.clocks);
    DrainOther(1);
    Report(gOtherData == notes, "beside-second-port-whole", "expected %d notes on COM2, got %d", notes,
           gOtherData.load());

    gOtherMs = kSlowCallbackMs;
    int before = gOtherData;
    size_t probes = (size_t)(seconds * 1000 / (kProbeGapMs * 5 / 4));
    AskOn(1, "PROBE " + std::to_string(probes) + " " + std::to_string(kProbeGapMs));
    Grid("beside-slow", count, offsetMs, tick, start, gSeen.clocks);
    int slow = gOtherData - before;
    /* None left to come once COM2 closes: they would wait in its line for the next run. */
    for (DWORD waited = 0; Numbers(AskOn(1, "PROBETIMES")).size() < probes && waited < kDrainMs; waited += 50)
        Sleep(50);
    Info("COM2's client took %lu ms for each of %d messages meanwhile", (unsigned long)kSlowCallbackMs, slow);
    Report((double)slow * kSlowCallbackMs >= seconds * 1000 * 0.8, "beside-slow-second-port-busy",
           "expected COM2's callbacks to take most of the phase, got %d of %lu ms", slow,
           (unsigned long)kSlowCallbackMs);
    Report(gSeen.errors == 0, "no-errors", "%d MIM_ERROR on COM1", gSeen.errors.load());

    gMid(1, MIDM_RESET, 0, 0, 0);
    gMid(1, MIDM_CLOSE, 0, 0, 0);
    gMid(0, MIDM_RESET, 0, 0, 0);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
}

/* Every port's devices open, input started, nothing on the lines; the input
   mode TOLVEX_LOWLATENCY names. */
void Idle(double seconds)
{
    const char *mode = getenv("TOLVEX_LOWLATENCY");
    StoreLowLatency(mode ? (DWORD)atoi(mode) : 0);
    bool ok = true;
    for (UINT p = 0; p < gPorts; p++)
        ok = OpenOn(p, gMid, MIDM_OPEN, (DWORD_PTR)OtherProc) == 0 && gMid(p, MIDM_START, 0, 0, 0) == 0 &&
             OpenOn(p, gMod, MODM_OPEN, (DWORD_PTR)OutputProc) == 0 && ok;
    Report(ok, "opens", "expected both devices of all %u ports to open", gPorts);
    Sleep(kWarmMs);
    Cpu a = CpuNow();
    Sleep((DWORD)(seconds * 1000));
    Cpu b = CpuNow();
    Report(a.process >= 0 && a.server >= 0 && b.process >= 0 && b.server >= 0, "cpu-time-read",
           "this process's or the server's CPU time is unknown: %.0f, %.0f, %.0f, %.0f ms", a.process, a.server,
           b.process, b.server);
    CpuRow("cpu-idle", a, b);
    for (UINT p = 0; p < gPorts; p++) {
        gMid(p, MIDM_RESET, 0, 0, 0);
        gMid(p, MIDM_CLOSE, 0, 0, 0);
        gMod(p, MODM_CLOSE, 0, 0, 0);
    }
}
