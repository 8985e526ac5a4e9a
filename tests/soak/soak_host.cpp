/*
 * Soak and line benchmarks under Wine: plays the multimedia system for
 * TOLVEX.dll while tests/soak/linemod.py, on the other end of each port's
 * line (COM1, and COM2 to COM4 with TOLVEX_LINEMOD's further addresses),
 * streams at the line rate. Checks every byte both ways and watches the
 * process's handles and memory; or measures latency and throughput.
 *     tolvex_soak_host.exe MODE SECONDS PATH\TOLVEX.dll
 * MODE: soak (both ways), in (input only), outlong (6000-byte buffers only),
 * latency (SECONDS unused), timing (input stamps and costs in the input mode
 * that TOLVEX_LOWLATENCY names; timing.cpp), isolation (COM1's stamps beside
 * COM2's slow client), idle (CPU time with every port open and idle),
 * platform (the cost of the lock and the clock), hold and rounds (SECONDS:
 * rounds; shared.cpp). COM1 is shared when TOLVEX_SHARED is 1; several
 * programs on it are each this host with TOLVEX_PROGRAM=k of
 * TOLVEX_PROGRAMS=n. Prints PASS/FAIL/INFO lines, then "END MODE".
 */
#include "soak_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr DWORD kDrainMs = 5000; /* for the last bytes to arrive at the end */
constexpr DWORD kLoopMs = 5;     /* the pacing loop's turn */
constexpr DWORD kSettleMs = 100; /* a poll's worth and more, for the last deliveries to show */

/* Waits for the modules to write all they were fed, then for the deliveries to stop. */
void Drain()
{
    DWORD waited = 0;
    for (UINT p = 0; p < gPorts; p++)
        while (PortPending(p) > 0 && waited < kDrainMs)
            Sleep(50), waited += 50;
    Sleep(kSettleMs);
    for (long long last = -1, now = 0; waited < kDrainMs; Sleep(kSettleMs), waited += kSettleMs) {
        now = 0;
        for (UINT p = 0; p < gPorts; p++)
            now += PortDelivered(p);
        if (now == last)
            break;
        last = now;
    }
}

/* Each port's line at the speed stored for it, as its module's end reads it. */
void CheckSpeeds()
{
    for (UINT p = 0; p < gPorts; p++) {
        std::string want = "SPEED " + std::to_string(gBaud[p]), got = AskOn(p, "SPEED");
        Report(got == want, PortCheck(p, "line-speed").c_str(), "expected \"%s\", got \"%s\"", want.c_str(),
               got.c_str());
    }
}
} // namespace

/* Both ways (soak), input only (in), or long output buffers only (outlong),
   on every port at once. */
void Stream(double seconds)
{
    bool in = gMode != "outlong", out = gMode != "in";
    bool feeds = gProgram <= 0; /* of several programs on a shared port, program 0 feeds the module */
    bool outOk[kMaxSoakPorts];
    for (UINT p = 0; p < gPorts; p++) {
        if (feeds)
            AskOn(p, "CLEAR");
        if (!PortOpen(p, in, out))
            return;
        outOk[p] = out && gProgram < 0; /* the line holds several programs' bytes: checked at the end */
    }
    if (gPorts > 1)
        CheckSpeeds();
    ResourcesInit();
    if (gProgram >= 0)
        WaitGo("READY");

    std::vector<Sample> samples;
    samples.reserve((size_t)seconds + 16);
    long long start = NowNs();
    double nextSample = 0;
    while (Seconds(start) < seconds) {
        double t = Seconds(start);
        for (UINT p = 0; p < gPorts; p++) {
            if (in && feeds)
                PortFeed(p, t, seconds);
            if (out)
                PortSend(p, t, gMode == "outlong");
        }
        if (t >= nextSample) {
            samples.push_back(TakeSample(start));
            nextSample += 1;
        }
        /* Mid-run, the output so far: the bytes sent by the last mark must have arrived intact. */
        for (UINT p = 0; p < gPorts; p++)
            outOk[p] = outOk[p] && PortCheckMidway(p, t);
        Sleep(kLoopMs);
    }
    samples.push_back(TakeSample(start));
    double ran = Seconds(start);

    if (in) {
        Drain();
        for (UINT p = 0; p < gPorts; p++) {
            if (!feeds)
                PortFeedCounted(p, seconds);
            PortInputEnd(p);
        }
    }
    if (out)
        for (UINT p = 0; p < gPorts; p++)
            PortOutputEnd(p, ran);
    ReportResources(samples, ran);
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr,
                "usage: %s soak|in|outlong|latency|timing|isolation|idle|platform|hold|rounds SECONDS "
                "PATH\\TOLVEX.dll\n",
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
    } else if (gMode == "hold" || gMode == "rounds") {
        if (gMode == "hold")
            Hold();
        else
            Rounds((int)seconds);
        FreeLibrary(gLib);
    } else if (gMode == "isolation" || gMode == "idle") {
        (gMode == "idle" ? Idle : Isolation)(seconds);
        FreeLibrary(gLib);
        StorePortsBack();
    } else if (gMode == "soak" || gMode == "in" || gMode == "outlong") {
        const char *low = getenv("TOLVEX_LOWLATENCY"); /* the input mode the port opens in */
        StoreLowLatency(low ? (DWORD)atoi(low) : 0);
        Stream(seconds);
        FreeLibrary(gLib);
        StorePortsBack();
    } else {
        fprintf(stderr, "unknown mode %s\n", gMode.c_str());
        return 2;
    }
    printf("END %s\n", gMode.c_str());
    fflush(stdout);
    timeEndPeriod(1);
    return gFailed ? 1 : 0;
}
