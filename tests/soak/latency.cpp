/*
 * Latency of both roads under Wine, with the module's clock compared to
 * this one: from the modMessage call to the last byte at the module, and
 * from the module's write to MIM_DATA; and what the parser's platform calls
 * cost here.
 */
#include "soak_common.h"

#include <atomic>
#include <cmath>
#include <cstdlib>

namespace
{
constexpr int kLatencyCount = 1000;
constexpr DWORD kSharedWarmMs = 1000; /* after the first open of a shared port, before the first message */

/* When each probe message was delivered. */
long long gProbeAt[kLatencyCount];
std::atomic<int> gProbes{0};

void CALLBACK ProbeProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    if (msg != MIM_DATA)
        return;
    long long t = NowNs();
    int i = (int)(((p1 >> 8) & 0x7F) + 128 * (((p1 >> 16) & 0x7F) - 1));
    if (i >= 0 && i < kLatencyCount)
        gProbeAt[i] = t;
    gProbes++;
}
} // namespace

/* Output: from the modMessage call to the message's last byte at the
   module, in ms; empty when the device did not open or bytes are missing. */
std::vector<double> OutputLatency(int count)
{
    std::vector<double> ms;
    long long opening = NowNs();
    if (Open(gMod, MODM_OPEN, (DWORD_PTR)OutputProc) != MMSYSERR_NOERROR) {
        Report(false, "output-open", "the output device did not open");
        return ms;
    }
    Info("MODM_OPEN took %.1f ms", (NowNs() - opening) / 1e6);
    /* A shared port's owner has just started, as a program does: the figures are of it running. */
    Sleep(getenv("TOLVEX_SHARED") && atoi(getenv("TOLVEX_SHARED")) ? kSharedWarmMs : 50);
    Ask("CLEAR");
    std::vector<long long> called(count);
    std::vector<double> callMs(count);
    for (int i = 0; i < count; i++) {
        DWORD word = 0x90 | (DWORD)(i % 128) << 8 | (DWORD)(1 + i / 128) << 16;
        called[i] = NowNs();
        gMod(0, MODM_DATA, 0, word, 0);
        callMs[i] = (NowNs() - called[i]) / 1e6;
        Sleep(2);
    }
    Info("MODM_DATA call (the bytes handed to the port when it returns): median %.3f ms, 99th percentile %.3f ms, "
         "max %.3f ms",
         Percentile(callMs, 0.5), Percentile(callMs, 0.99), Percentile(callMs, 1.0));
    Sleep(200);
    std::vector<long long> arrived = Numbers(Ask("TIMES"));
    gMod(0, MODM_CLOSE, 0, 0, 0);
    if (arrived.size() < (size_t)count * 3) {
        Report(false, "output-latency", "expected %d bytes at the module, got %zu", count * 3, arrived.size());
        return ms;
    }
    for (int i = 0; i < count; i++)
        ms.push_back((arrived[3 * i + 2] - called[i]) / 1e6);
    return ms;
}

void Latency()
{
    double offsetMs = 0, boundMs = 0;
    bool clocks = CompareClocks(offsetMs, boundMs);
    Info("clocks: module minus host %.3f ms, within +-%.3f ms (best of 200 requests)", offsetMs, boundMs);
    Report(clocks && std::abs(offsetMs) <= boundMs + 0.05, "one-clock",
           "the module's clock differs by %.3f ms (bound %.3f ms): times cannot be compared", offsetMs, boundMs);

    std::vector<double> ms = OutputLatency(kLatencyCount);
    if (!ms.empty()) {
        double med = Percentile(ms, 0.5), p99 = Percentile(ms, 0.99);
        Info("output latency over %d messages: median %.3f ms, 99th percentile %.3f ms, max %.3f ms", kLatencyCount,
             med, p99, Percentile(ms, 1.0));
        Report(p99 <= 1.0, "output-within-1ms", "99th percentile %.3f ms", p99);
    }

    /* Input: from the write of the last byte at the module to MIM_DATA. */
    if (Open(gMid, MIDM_OPEN, (DWORD_PTR)ProbeProc) != MMSYSERR_NOERROR) {
        Report(false, "input-open", "the input device did not open");
        return;
    }
    gMid(0, MIDM_START, 0, 0, 0);
    Sleep(50);
    gProbes = 0;
    Ask("PROBE " + std::to_string(kLatencyCount) + " 6");
    DWORD waited = 0;
    while (gProbes < kLatencyCount && waited < 30000)
        Sleep(100), waited += 100;
    Sleep(50);
    std::vector<long long> sent = Numbers(Ask("PROBETIMES"));
    gMid(0, MIDM_RESET, 0, 0, 0);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    if (gProbes != kLatencyCount || sent.size() != (size_t)kLatencyCount) {
        Report(false, "input-latency", "expected %d messages each way, got %d delivered, %zu sent", kLatencyCount,
               gProbes.load(), sent.size());
        return;
    }
    ms.clear();
    for (int i = 0; i < kLatencyCount; i++)
        ms.push_back((gProbeAt[i] - sent[i]) / 1e6);
    double med = Percentile(ms, 0.5), p99 = Percentile(ms, 0.99);
    Info("input latency over %d messages: min %.3f ms, median %.3f ms, 99th percentile %.3f ms, max %.3f ms",
         kLatencyCount, Percentile(ms, 0), med, p99, Percentile(ms, 1.0));
    Report(p99 <= 12.0, "input-within-poll-plus-2ms", "99th percentile %.3f ms", p99);
}

/* What the parser's platform calls cost here: the input lock's pair and the
   clock read, each once per delivered message. */
void Platform()
{
    constexpr int kCalls = 2000000;
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    std::vector<double> lockNs, clockNs;
    volatile DWORD sink = 0;
    for (int rep = 0; rep < 7; rep++) {
        long long t = NowNs();
        for (int i = 0; i < kCalls; i++) {
            EnterCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        }
        lockNs.push_back((double)(NowNs() - t) / kCalls);
        t = NowNs();
        for (int i = 0; i < kCalls; i++)
            sink = sink + timeGetTime();
        clockNs.push_back((double)(NowNs() - t) / kCalls);
    }
    DeleteCriticalSection(&cs);
    Info("EnterCriticalSection+LeaveCriticalSection: median %.1f ns; timeGetTime: median %.1f ns (7 runs of %d)",
         Percentile(lockNs, 0.5), Percentile(clockNs, 0.5), kCalls);
    Report(true, "measured");
}
