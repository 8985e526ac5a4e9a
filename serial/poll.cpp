/*
 * The poll's thread: woken every period by the multimedia timer, which only
 * sets an event (or, for the 1 ms period of low-latency input, by its own
 * waits running out), it hands what arrived to GetCommBuff. Whoever ends the
 * poll waits until the thread has parked for good, so that afterwards no
 * poll runs and none can start, on every NT: winmm never calls into the
 * library, and the thread leaves without returning into it. Whoever starts
 * it waits until it runs its own routine, so that an unload never has to
 * wait for a thread that the loader lock still holds at its start.
 */
#include "driver/driver.h"
#include "serial/serial.h"

namespace
{
constexpr UINT kResolutionMs = 1;    /* timer resolution held while the poll runs */
constexpr DWORD kStopWaitMs = 5000;  /* longer than any poll, unless a client's callback hangs it */
constexpr DWORD kSelfPacedMs = 1;    /* periods up to this the thread keeps itself */
constexpr DWORD kStartWaitMs = 5000; /* longer than a thread takes to start, unless the loader lock is held that long */

/* One port's poll. Every field has its value at load, with no code run. */
struct POLL {
    HANDLE ghPollWake = 0;               /* auto-reset, from the first start to unload: set by the timer and to stop */
    HANDLE ghPollStarted = 0;            /* auto-reset, like ghPollWake: set by a new poll's thread in its routine */
    HANDLE ghPollParked = 0;             /* manual-reset: set by the poll's thread as it parks for good */
    HANDLE ghPollThread = 0;             /* the poll's thread, from its start until it is reaped */
    std::atomic<DWORD> gidPollThread{0}; /* its identifier; 0 when there is none */
    std::atomic<DWORD> gfPollStop{1};    /* 1: the poll is to end; read by the poll's thread */
    UINT myTimerID = 0;                  /* the timer that wakes the poll, while it runs */
    DWORD gdwPollWait = 0;               /* ms the poll's thread waits for its wake: INFINITE when a timer sets it */
};

POLL gaPoll[kMaxPorts]; /* each written under its port's lock, but for what its thread says of itself */

/* The thread parks by queueing its own exit and signalling in one call with
   an alertable wait: the queued ExitThread runs inside that wait, so once
   ghPollParked is set the thread can no longer return into the library,
   which may be unmapped at once. The exit is the platform's own routine
   (imported, not a stub of ours), and nothing here waits for the thread to
   end, which would need the loader lock that an unload holds. */
DWORD WINAPI PollThread(LPVOID lpPort)
{
    UINT uPort = (UINT)(UINT_PTR)lpPort;
    POLL &p = gaPoll[uPort];
    /* Known as the poll before its first callback, whenever its creator gets to say so. */
    p.gidPollThread = GetCurrentThreadId();
    SetEvent(p.ghPollStarted);
    /* Stopped from a callback of its own, the timer no longer wakes it. */
    while (p.gfPollStop == 0 && WaitForSingleObject(p.ghPollWake, p.gdwPollWait) != WAIT_FAILED && p.gfPollStop == 0)
        GetCommBuff(uPort);
    /* ExitThread takes a DWORD where an APC takes a pointer-sized word: the
       same argument slot on both architectures, and the 0 fits either. */
    QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(ExitThread)), GetCurrentThread(), 0);
    SignalObjectAndWait(p.ghPollParked, GetCurrentThread(), INFINITE, TRUE);
    return 0;
}

/* A timer killed synchronously sets the event no more once the kill
   returns; winmm before XP may not know the flag, and a timer without it
   may set the event once more, which only wakes the poll once more. */
UINT StartTimer(HANDLE hWake, DWORD dwPeriod)
{
    constexpr UINT kFlags = TIME_PERIODIC | TIME_CALLBACK_EVENT_SET;
    UINT id = timeSetEvent(dwPeriod, 0, (LPTIMECALLBACK)hWake, 0, kFlags | TIME_KILL_SYNCHRONOUS);
    return id != 0 ? id : timeSetEvent(dwPeriod, 0, (LPTIMECALLBACK)hWake, 0, kFlags);
}

void KillTimer(POLL &p)
{
    if (p.myTimerID != 0)
        timeKillEvent(p.myTimerID);
    p.myTimerID = 0;
}

HANDLE NewEvent(HANDLE *phEvent, BOOL fManualReset)
{
    if (*phEvent == 0)
        *phEvent = CreateEventW(nullptr, fManualReset, FALSE, nullptr);
    return *phEvent;
}

void CloseObject(HANDLE *ph)
{
    if (*ph != 0)
        CloseHandle(*ph);
    *ph = 0;
}
} // namespace

BOOL StartPoll(UINT uPort, DWORD dwPeriod)
{
    POLL &p = gaPoll[uPort];
    BOOL fGoesOn = OnPollThread(uPort); /* reopened from a callback of the poll that was ending */
    /* A poll that ended itself from a callback may still be on its way out;
       one that a client's callback still holds cannot be replaced. */
    if (!fGoesOn && !ReapPoll(uPort))
        return FALSE;
    if (NewEvent(&p.ghPollWake, FALSE) == 0 || NewEvent(&p.ghPollStarted, FALSE) == 0)
        return FALSE;

    p.gfPollStop = 0;
    timeBeginPeriod(kResolutionMs);
    /* The shortest period is kept by the thread's own waits: a timer's
       thread waking it would be one more hand-over, each a source of delay. */
    p.gdwPollWait = dwPeriod <= kSelfPacedMs ? dwPeriod : INFINITE;
    if (p.gdwPollWait == INFINITE)
        p.myTimerID = StartTimer(p.ghPollWake, dwPeriod);
    if (p.gdwPollWait == INFINITE && p.myTimerID == 0) {
        StopPoll(uPort);
        return FALSE;
    }
    if (fGoesOn)
        return TRUE;

    ResetEvent(p.ghPollWake); /* a wake meant for an earlier poll: this one starts with the period */
    ResetEvent(p.ghPollStarted);
    DWORD id = 0;
    if (NewEvent(&p.ghPollParked, TRUE) != 0)
        p.ghPollThread = CreateThread(nullptr, 0, PollThread, (LPVOID)(UINT_PTR)uPort, 0, &id);
    if (p.ghPollThread == 0) {
        StopPoll(uPort);
        return FALSE;
    }
    p.gidPollThread = id;
    /* As the multimedia timer's own thread runs: input is stamped as it is read. */
    SetThreadPriority(p.ghPollThread, THREAD_PRIORITY_TIME_CRITICAL);
    /* A new thread runs the loader's thread attach, under the loader lock,
       before its routine; an unload holds that lock, so it can wait only for
       a thread that is past it. One that the lock holds longer than any
       start takes will run the library's code when it can: the library then
       stays mapped until the process ends. */
    if (WaitForSingleObject(p.ghPollStarted, kStartWaitMs) != WAIT_OBJECT_0)
        PinLibrary();
    return TRUE;
}

void StopPoll(UINT uPort)
{
    POLL &p = gaPoll[uPort];
    p.gfPollStop = 1;
    KillTimer(p);
    timeEndPeriod(kResolutionMs);
    if (OnPollThread(uPort))
        return; /* a client's callback on the poll: it parks once the callback returns */
    if (p.ghPollWake != 0)
        SetEvent(p.ghPollWake);
    ReapPoll(uPort);
}

BOOL ReapPoll(UINT uPort)
{
    POLL &p = gaPoll[uPort];
    if (OnPollThread(uPort))
        return FALSE;
    /* Past the limit a client's callback holds the poll: it is kept, but it
       touches the port no more once that returns, so a close goes ahead. */
    if (p.ghPollThread != 0 && WaitForSingleObject(p.ghPollParked, kStopWaitMs) != WAIT_OBJECT_0)
        return FALSE;
    /* The identifier first: once the handle is closed, another thread may take it. */
    p.gidPollThread = 0;
    CloseObject(&p.ghPollThread);
    CloseObject(&p.ghPollParked);
    return TRUE;
}

BOOL OnPollThread(UINT uPort)
{
    DWORD id = gaPoll[uPort].gidPollThread;
    return id != 0 && id == GetCurrentThreadId();
}

BOOL PollStopping(UINT uPort) { return gaPoll[uPort].gfPollStop != 0; }

void PollDelete()
{
    for (POLL &p : gaPoll) {
        CloseObject(&p.ghPollWake);
        CloseObject(&p.ghPollStarted);
    }
}
