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

HANDLE ghPollWake;                   /* auto-reset, from the first start to unload: set by the timer and to stop */
HANDLE ghPollStarted;                /* auto-reset, like ghPollWake: set by a new poll's thread in its own routine */
HANDLE ghPollParked;                 /* manual-reset: set by the poll's thread as it parks for good */
HANDLE ghPollThread;                 /* the poll's thread, from its start until it is reaped */
std::atomic<DWORD> gidPollThread{0}; /* its identifier; 0 when there is none */
std::atomic<DWORD> gfPollStop{1};    /* 1: the poll is to end; read by the poll's thread */
UINT myTimerID;                      /* the timer that wakes the poll, while it runs */
DWORD gdwPollWait;                   /* ms the poll's thread waits for its wake: INFINITE when a timer sets it */

/* The thread parks by queueing its own exit and signalling in one call with
   an alertable wait: the queued ExitThread runs inside that wait, so once
   ghPollParked is set the thread can no longer return into the library,
   which may be unmapped at once. The exit is the platform's own routine
   (imported, not a stub of ours), and nothing here waits for the thread to
   end, which would need the loader lock that an unload holds. */
DWORD WINAPI PollThread(LPVOID lpParked)
{
    /* Known as the poll before its first callback, whenever its creator gets to say so. */
    gidPollThread = GetCurrentThreadId();
    SetEvent(ghPollStarted);
    /* Stopped from a callback of its own, the timer no longer wakes it. */
    while (gfPollStop == 0 && WaitForSingleObject(ghPollWake, gdwPollWait) != WAIT_FAILED && gfPollStop == 0)
        GetCommBuff();
    /* ExitThread takes a DWORD where an APC takes a pointer-sized word: the
       same argument slot on both architectures, and the 0 fits either. */
    QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(ExitThread)), GetCurrentThread(), 0);
    SignalObjectAndWait((HANDLE)lpParked, GetCurrentThread(), INFINITE, TRUE);
    return 0;
}

/* A timer killed synchronously sets the event no more once the kill
   returns; winmm before XP may not know the flag, and a timer without it
   may set the event once more, which only wakes the poll once more. */
UINT StartTimer(DWORD dwPeriod)
{
    constexpr UINT kFlags = TIME_PERIODIC | TIME_CALLBACK_EVENT_SET;
    UINT id = timeSetEvent(dwPeriod, 0, (LPTIMECALLBACK)ghPollWake, 0, kFlags | TIME_KILL_SYNCHRONOUS);
    return id != 0 ? id : timeSetEvent(dwPeriod, 0, (LPTIMECALLBACK)ghPollWake, 0, kFlags);
}

void KillTimer()
{
    if (myTimerID != 0)
        timeKillEvent(myTimerID);
    myTimerID = 0;
}
} // namespace

BOOL StartPoll(DWORD dwPeriod)
{
    BOOL fGoesOn = OnPollThread(); /* reopened from a callback of the poll that was ending */
    /* A poll that ended itself from a callback may still be on its way out;
       one that a client's callback still holds cannot be replaced. */
    if (!fGoesOn && !ReapPoll())
        return FALSE;
    if (ghPollWake == 0)
        ghPollWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (ghPollStarted == 0)
        ghPollStarted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (ghPollWake == 0 || ghPollStarted == 0)
        return FALSE;

    gfPollStop = 0;
    timeBeginPeriod(kResolutionMs);
    /* The shortest period is kept by the thread's own waits: a timer's
       thread waking it would be one more hand-over, each a source of delay. */
    gdwPollWait = dwPeriod <= kSelfPacedMs ? dwPeriod : INFINITE;
    if (gdwPollWait == INFINITE)
        myTimerID = StartTimer(dwPeriod);
    if (gdwPollWait == INFINITE && myTimerID == 0) {
        StopPoll();
        return FALSE;
    }
    if (fGoesOn)
        return TRUE;

    ResetEvent(ghPollWake); /* a wake meant for an earlier poll: this one starts with the period */
    ResetEvent(ghPollStarted);
    ghPollParked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    if (ghPollParked != 0)
        ghPollThread = CreateThread(nullptr, 0, PollThread, ghPollParked, 0, &id);
    if (ghPollThread == 0) {
        StopPoll();
        return FALSE;
    }
    gidPollThread = id;
    /* As the multimedia timer's own thread runs: input is stamped as it is read. */
    SetThreadPriority(ghPollThread, THREAD_PRIORITY_TIME_CRITICAL);
    /* A new thread runs the loader's thread attach, under the loader lock,
       before its routine; an unload holds that lock, so it can wait only for
       a thread that is past it. One that the lock holds longer than any
       start takes will run the library's code when it can: the library then
       stays mapped until the process ends. */
    if (WaitForSingleObject(ghPollStarted, kStartWaitMs) != WAIT_OBJECT_0)
        PinLibrary();
    return TRUE;
}

void StopPoll()
{
    gfPollStop = 1;
    KillTimer();
    timeEndPeriod(kResolutionMs);
    if (OnPollThread())
        return; /* a client's callback on the poll: it parks once the callback returns */
    if (ghPollWake != 0)
        SetEvent(ghPollWake);
    ReapPoll();
}

BOOL ReapPoll()
{
    if (OnPollThread())
        return FALSE;
    /* Past the limit a client's callback holds the poll: it is kept, but it
       touches the port no more once that returns, so a close goes ahead. */
    if (ghPollThread != 0 && WaitForSingleObject(ghPollParked, kStopWaitMs) != WAIT_OBJECT_0)
        return FALSE;
    /* The identifier first: once the handle is closed, another thread may take it. */
    gidPollThread = 0;
    if (ghPollThread != 0)
        CloseHandle(ghPollThread);
    ghPollThread = 0;
    if (ghPollParked != 0)
        CloseHandle(ghPollParked);
    ghPollParked = 0;
    return TRUE;
}

BOOL OnPollThread()
{
    DWORD id = gidPollThread;
    return id != 0 && id == GetCurrentThreadId();
}

BOOL PollStopping() { return gfPollStop != 0; }

void PollDelete()
{
    if (ghPollWake != 0)
        CloseHandle(ghPollWake);
    ghPollWake = 0;
    if (ghPollStarted != 0)
        CloseHandle(ghPollStarted);
    ghPollStarted = 0;
}
