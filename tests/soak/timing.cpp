/*
 * Input timing in one input mode (TOLVEX_LOWLATENCY=0 or 1, stored before
 * the port opens): the module sends MIDI clock bytes on an exact 120 BPM
 * grid, alone and inside a note stream at the line rate. For each clock
 * byte, its stamp is compared with the moment the module wrote it, on one
 * clock. Also the output latency and the CPU time that the process and the
 * Wine server spend per minute. Prints one "ROW" line per figure for
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

/* timeGetTime counts whole ms of a clock that may be offset from this one by
   a fraction: the offset D in timeGetTime() == floor(NowNs / 1e6 - D), from
   the ticks seen in 100 ms of spinning. */
double TickOffsetMs()
{
    std::vector<double> d;
    DWORD last = timeGetTime();
    long long before = NowNs();
    for (long long until = before + 100000000; NowNs() < until;) {
        long long t0 = NowNs();
        DWORD now = timeGetTime();
        if (now != last)
            d.push_back((double)(t0 + before) / 2e6 - now); /* the tick fell between the two readings */
        last = now;
        before = t0;
    }
    return d.empty() ? 0 : Percentile(d, 0.5);
}

/* MIDM_START just after a tick, so that the stamps' origin is that tick. */
DWORD StartOnTick()
{
    for (int tries = 0; tries < 50; tries++) {
        DWORD t = timeGetTime();
        while (timeGetTime() == t) {
        }
        DWORD start = timeGetTime();
        gMid(0, MIDM_START, 0, 0, 0);
        if (timeGetTime() == start)
            return start;
        gMid(0, MIDM_STOP, 0, 0, 0);
    }
    return 0;
}

/* CPU time in ms of a Linux process, all its threads, the ended ones too
   (Wine's own process times leave ended threads out), read through Wine's
   Z: drive; -1 when it cannot be read. */
double LinuxCpuMs(const char *pid)
{
    if (!pid)
        return -1;
    char path[64];
    snprintf(path, sizeof path, "Z:\\proc\\%s\\stat", pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char text[1024] = "";
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    const char *p = strrchr(text, ')'); /* the name may hold blanks */
    unsigned long long utime = 0, stime = 0;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) * 10.0; /* clock ticks of 10 ms */
}

struct Cpu {
    long long at;
    double process, server;
};

/* This process's Linux pid: the one whose name is this program's, as the
   kernel shortens it. Wine opens files in its server, so /proc/self is the
   server's. */
std::string OwnLinuxPid()
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
    std::string found;
    if (h == INVALID_HANDLE_VALUE)
        return found;
    do {
        if (fd.cFileName[0] < '1' || fd.cFileName[0] > '9')
            continue;
        char path[64], comm[64] = "";
        snprintf(path, sizeof path, "Z:\\proc\\%s\\comm", fd.cFileName);
        if (FILE *f = fopen(path, "r")) {
            if (fgets(comm, sizeof comm, f) && strncmp(comm, "tolvex_soak_hos", 15) == 0)
                found = fd.cFileName;
            fclose(f);
        }
    } while (found.empty() && FindNextFileA(h, &fd));
    FindClose(h);
    return found;
}

/* This process, and the Wine server (TOLVEX_SERVER_PID), which answers most of its calls. */
Cpu CpuNow()
{
    static std::string own = OwnLinuxPid();
    return {NowNs(), LinuxCpuMs(own.empty() ? nullptr : own.c_str()), LinuxCpuMs(getenv("TOLVEX_SERVER_PID"))};
}

void Row(const char *name, const std::vector<double> &v)
{
    printf("ROW %s %.3f %.3f %.3f %zu\n", name, Percentile(v, 0.5), Percentile(v, 0.99), Percentile(v, 1.0), v.size());
    fflush(stdout);
}

void CpuRow(const char *name, const Cpu &a, const Cpu &b)
{
    double minutes = (double)(b.at - a.at) / 60e9;
    auto per = [minutes](double x, double y) { return x < 0 || y < 0 ? -1.0 : (y - x) / minutes; };
    printf("ROW %s %.1f %.1f\n", name, per(a.process, b.process), per(a.server, b.server));
    fflush(stdout);
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

/* The note stream for `seconds` of the line, handed to the module to pace. */
int FeedNotes(double seconds)
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
        Ask(hex);
    }
    return messages;
}
} // namespace

void Timing(double seconds)
{
    const char *mode = getenv("TOLVEX_LOWLATENCY");
    StoreLowLatency(mode ? (DWORD)atoi(mode) : 0);
    double offsetMs = 0, boundMs = 0;
    bool clocks = CompareClocks(offsetMs, boundMs);
    Report(clocks && std::fabs(offsetMs) <= boundMs + 0.05, "one-clock",
           "the module's clock differs by %.3f ms (bound %.3f ms): times cannot be compared", offsetMs, boundMs);
    double tick = TickOffsetMs();
    Info("module minus host %.3f ms (+-%.3f); timeGetTime lags this clock by %.3f ms", offsetMs, boundMs, tick);

    std::vector<double> out = OutputLatency(kOutputCount);
    if (!out.empty())
        Row("output-latency", out);

    if (Open(gMid, MIDM_OPEN, (DWORD_PTR)TimingProc) != MMSYSERR_NOERROR) {
        Report(false, "input-open", "the input device did not open");
        return;
    }
    DWORD start = StartOnTick();
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
