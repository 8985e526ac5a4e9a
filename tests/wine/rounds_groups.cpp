/*
 * Groups that end the port connection over and over while the module streams
 * at the full line rate: FreeLibrary with the input open, and close and
 * reopen of the input. A poll that outlives its connection shows as a crash,
 * as a callback after the close has returned, or as handles piling up.
 */
#include "groups.h"

#include <algorithm>
#include <cstdio>

namespace
{
constexpr int kUnloadRounds = 200;
constexpr int kCloseRounds = 500;
constexpr LONG kNotesPerRound = 4; /* MIM_DATA a round waits for: the stream is coming in */
constexpr DWORD kRoundWait = 2000; /* ms a round waits for them */
constexpr int kWarmRounds = 5;     /* rounds before the handle count is taken: first loads fill the platform's caches */
constexpr DWORD kHandleSlack = 5;  /* handles the platform may take for itself meanwhile; one a round would be 195 */
constexpr DWORD kTimerSpan = 250;  /* ms: 25 poll periods, in which a timer left behind would fire */
constexpr DWORD kAfterClose = 12;  /* ms after a close for a late callback to show: more than a poll period */
constexpr DWORD kHoldMs = 5;       /* ms a held callback keeps the poll inside the library */
constexpr DWORD kPhases = 10;      /* ms of poll period over which the other unloads are spread */
constexpr DWORD kUnloadLimitMs = 1000; /* an unload slower than this waited for something that could not come */

volatile LONG gData;   /* MIM_DATA since the last open */
volatile LONG gLate;   /* callbacks made after MIDM_CLOSE returned */
volatile LONG gClosed; /* set once MIDM_CLOSE has returned, cleared before the next open */
volatile LONG gHold;   /* set: the next MIM_DATA callback signals gHeld, then keeps the poll kHoldMs */
HANDLE gHeld;

void CALLBACK CountingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (gClosed)
        InterlockedIncrement(&gLate);
    if (msg != MIM_DATA)
        return;
    InterlockedIncrement(&gData);
    if (InterlockedExchange(&gHold, 0)) {
        SetEvent(gHeld);
        Sleep(kHoldMs);
    }
}

/* Every other round unloads while a callback holds the poll inside the
   library, where a poll that is not waited for returns into unmapped code;
   the rest at a moment that moves across the poll period. */
bool ReadyToUnload()
{
    if (gRound % 2 == 0) {
        gHold = 1;
        return WaitForSingleObject(gHeld, kRoundWait) == WAIT_OBJECT_0;
    }
    Sleep((DWORD)gRound % kPhases);
    return true;
}

bool WaitNotes(DWORD ms)
{
    DWORD start = GetTickCount();
    while (gData < kNotesPerRound) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(1);
    }
    return true;
}

DWORD Handles()
{
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

bool StartStream()
{
    std::string a = SimAsk("STREAM ON");
    Report(a == "OK", "stream", "expected the module to stream (OK), got \"%s\"", a.c_str());
    return a == "OK";
}

/* Opens and starts the input with the counting callback. */
DWORD OpenInput()
{
    gData = 0;
    DWORD r = OpenDevice(gMid, MIDM_OPEN, CountingProc);
    if (r == 0)
        gMid(0, MIDM_START, 0, 0, 0);
    return r;
}
} // namespace

/* Unload with the input open, the module streaming: the detach stops the
   poll and gives the port back before the code goes away. */
void GroupUnloadRounds()
{
    StoreComId(1);
    gHeld = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!StartStream())
        return;
    DWORD handlesWarm = 0, openResult = 0;
    int done = 0, openFailed = -1, starved = -1, stayed = -1;
    LONG starvedGot = 0;
    for (gRound = 0; gRound < kUnloadRounds; gRound++) {
        if (gRound == kWarmRounds)
            handlesWarm = Handles();
        gStage = "LoadLibrary";
        if (!LoadOrReport())
            break;
        gStage = "opening the input";
        openResult = OpenInput();
        if (openResult != 0) {
            openFailed = gRound;
            FreeLibrary(gLib);
            break;
        }
        gStage = "waiting for notes";
        if (!WaitNotes(kRoundWait) || !ReadyToUnload()) {
            starved = gRound;
            starvedGot = gData;
        }
        gStage =
            gRound % 2 ? "FreeLibrary with the input open" : "FreeLibrary with the input open, a callback under way";
        FreeLibrary(gLib);
        gStage = "after FreeLibrary with the input open";
        if (GetModuleHandleW(L"TOLVEX.dll") != nullptr && stayed < 0)
            stayed = gRound;
        if (gRound % 2 == 0)
            Sleep(2 * kHoldMs); /* the held callback returns before the next load maps the code again */
        if (starved >= 0 || stayed >= 0)
            break;
        done++;
    }
    Sleep(kTimerSpan);
    DWORD handlesEnd = Handles();
    gStage = "the end of the group";
    gRound = -1;
    SimAsk("STREAM OFF");
    CloseHandle(gHeld);
    printf("INFO %s rounds %d of %d\n", gGroup.c_str(), done, kUnloadRounds);
    Report(openFailed < 0, "every-open-succeeds", "expected MIDM_OPEN 0 in every round, got %lu in round %d",
           (unsigned long)openResult, openFailed);
    Report(starved < 0, "notes-arrive", "expected %ld MIM_DATA within %lu ms of the start, got %ld in round %d",
           (long)kNotesPerRound, (unsigned long)kRoundWait, (long)starvedGot, starved);
    Report(stayed < 0, "unloaded-every-round", "expected TOLVEX.dll gone after FreeLibrary, still loaded in round %d",
           stayed);
    Report(done == kUnloadRounds && handlesEnd <= handlesWarm + kHandleSlack, "handles-flat",
           "expected at most %lu handles after %d rounds (%lu after round %d), got %lu after %d rounds",
           (unsigned long)(handlesWarm + kHandleSlack), kUnloadRounds, (unsigned long)handlesWarm, kWarmRounds,
           (unsigned long)handlesEnd, done);
}

/* FreeLibrary at once after an open, with the device open: the poll's thread
   was created a moment ago, and an unload that waited for a thread still
   held at its start by the loader lock would hang, then leave the thread to
   start in unmapped code. Each device, kUnloadRounds times. */
void GroupUnloadAtOnce()
{
    StoreComId(1);
    for (DeviceProc *proc : {&gMod, &gMid}) {
        bool output = proc == &gMod;
        double worst = 0;
        int slow = -1, openFailed = -1, done = 0;
        LARGE_INTEGER freq, t0, t1;
        QueryPerformanceFrequency(&freq);
        for (gRound = 0; gRound < kUnloadRounds && slow < 0 && openFailed < 0; gRound++) {
            gStage = "LoadLibrary";
            if (!LoadOrReport())
                return;
            gStage = "opening";
            if (OpenDevice(*proc, output ? MODM_OPEN : MIDM_OPEN, CountingProc) != 0)
                openFailed = gRound;
            else if (output)
                gMod(0, MODM_DATA, 0, 0x403C90, 0);
            gStage =
                output ? "FreeLibrary at once after the output's open" : "FreeLibrary at once after the input's open";
            QueryPerformanceCounter(&t0);
            FreeLibrary(gLib);
            QueryPerformanceCounter(&t1);
            double ms = (double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)freq.QuadPart;
            worst = std::max(worst, ms);
            if (ms > kUnloadLimitMs)
                slow = gRound;
            done++;
        }
        gStage = "after the last FreeLibrary";
        Sleep(kTimerSpan); /* a thread left to start in unmapped code crashes the host here */
        gRound = -1;
        const char *dev = output ? "output" : "input";
        printf("INFO %s %s: %d rounds, worst FreeLibrary %.3f ms\n", gGroup.c_str(), dev, done, worst);
        std::string check = std::string(dev) + "-unloads-at-once";
        Report(openFailed < 0 && slow < 0 && done == kUnloadRounds, check.c_str(),
               "expected %d rounds each unloaded within %lu ms, got %d rounds, open failed in round %d, worst "
               "%.1f ms in round %d",
               kUnloadRounds, (unsigned long)kUnloadLimitMs, done, openFailed, worst, slow);
    }
}

/* Close and reopen of the input, the module streaming: every close returns
   with no poll running and none to come, and the port opens again at once. */
void GroupCloseRounds()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    if (!StartStream()) {
        FreeLibrary(gLib);
        return;
    }
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    std::vector<double> closeMs;
    DWORD openResult = OpenInput(), closeResult = 0;
    int openFailed = openResult ? 0 : -1, starved = -1, closeFailed = -1;
    LONG starvedGot = 0;
    gLate = 0;
    for (gRound = 0; gRound < kCloseRounds && openFailed < 0; gRound++) {
        gStage = "waiting for notes";
        if (!WaitNotes(kRoundWait)) {
            starved = gRound;
            starvedGot = gData;
            break;
        }
        gStage = "closing the input";
        QueryPerformanceCounter(&t0);
        DWORD r = gMid(0, MIDM_CLOSE, 0, 0, 0);
        QueryPerformanceCounter(&t1);
        gClosed = 1;
        closeMs.push_back((double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)freq.QuadPart);
        if (r != 0 && closeFailed < 0) {
            closeFailed = gRound;
            closeResult = r;
        }
        gStage = "after closing the input";
        Sleep(kAfterClose);
        gClosed = 0;
        gStage = "reopening the input";
        openResult = OpenInput();
        if (openResult != 0)
            openFailed = gRound;
    }
    int done = (int)closeMs.size();
    gStage = "the end of the group";
    gRound = -1;
    if (openFailed < 0)
        gMid(0, MIDM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
    SimAsk("STREAM OFF");

    std::sort(closeMs.begin(), closeMs.end());
    if (done > 0)
        printf("INFO %s close of the streaming input over %d rounds: median %.3f ms, p99 %.3f ms, worst %.3f ms\n",
               gGroup.c_str(), done, closeMs[done / 2], closeMs[std::min(done - 1, done * 99 / 100)], closeMs.back());
    Report(openFailed < 0, "every-open-succeeds", "expected MIDM_OPEN 0 in every round, got %lu in round %d",
           (unsigned long)openResult, openFailed);
    Report(closeFailed < 0, "every-close-succeeds", "expected MIDM_CLOSE 0 in every round, got %lu in round %d",
           (unsigned long)closeResult, closeFailed);
    Report(starved < 0 && done == kCloseRounds, "data-keeps-arriving",
           "expected %ld MIM_DATA within %lu ms of each reopen for %d rounds, got %ld in round %d (%d closes)",
           (long)kNotesPerRound, (unsigned long)kRoundWait, kCloseRounds, (long)starvedGot, starved, done);
    Report(gLate == 0, "nothing-after-close", "expected no callback once MIDM_CLOSE has returned, got %ld",
           (long)gLate);
}
