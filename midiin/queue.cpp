/*
 * Input buffer queue: each port's application buffers for system-exclusive
 * data, linked in arrival order, filled at the head by the parser and handed
 * back with MIM_LONGDATA when complete, full, or when input is reset.
 */
#include "midiin/midiin.h"
#include "serial/serial.h"

constexpr BYTE kFirstStatus = 0x80; /* bytes below are data bytes */
constexpr BYTE kSysEx = 0xF0;       /* start of system exclusive */
constexpr BYTE kEox = 0xF7;         /* end of system exclusive */

constexpr DWORD kNotesWaitMs = 5000; /* longer than any callback, unless a client's hangs */

MIDIINPORT gaMidiIn[kMaxPorts];

/* The rest of a port's input: its lock, and what a close or reset waits for. */
struct MIDIINSYNC {
    /* The poll thread fills and returns buffers while application threads
       queue and reset them: without the lock a buffer queued as the head is
       returned is lost or returned twice. */
    CRITICAL_SECTION gcsMidiIn;
    /* Notifications of the parser being made, and buffers it took off the
       queue and has still to hand back: a close or reset waits until none
       is left. Only the thread that runs the parser changes the count. */
    std::atomic<LONG> gcNotesMaking;
    std::atomic<LONG> gcNotesWaiters;  /* closes and resets waiting for the count to reach 0 */
    std::atomic<DWORD> gidNotesThread; /* the thread making them, while it does */
    HANDLE ghNotesDone;                /* auto-reset: set when the count reaches 0 with a waiter */
};

static MIDIINSYNC gaSync[kMaxPorts];

void midCritInit()
{
    for (MIDIINSYNC &y : gaSync) {
        InitializeCriticalSection(&y.gcsMidiIn);
        y.ghNotesDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
}

void midCritDelete()
{
    for (MIDIINSYNC &y : gaSync) {
        if (y.ghNotesDone != 0)
            CloseHandle(y.ghNotesDone);
        y.ghNotesDone = 0;
        DeleteCriticalSection(&y.gcsMidiIn);
    }
}

void CritEnter(UINT uPort) { EnterCriticalSection(&gaSync[uPort].gcsMidiIn); }
void CritLeave(UINT uPort) { LeaveCriticalSection(&gaSync[uPort].gcsMidiIn); }

static void midNoteBegin(UINT uPort) { gaSync[uPort].gcNotesMaking++; }

static void midNoteEnd(UINT uPort)
{
    MIDIINSYNC &y = gaSync[uPort];
    if (--y.gcNotesMaking == 0 && y.gcNotesWaiters != 0)
        SetEvent(y.ghNotesDone);
}

void midWaitNotes(UINT uPort)
{
    MIDIINSYNC &y = gaSync[uPort];
    /* None under way: none can start either, as the caller closed the gate
       or moved the epoch on. A close or reset from a callback cannot wait
       for the callback it is in. */
    if (y.gcNotesMaking == 0 || y.gidNotesThread == GetCurrentThreadId())
        return;
    y.gcNotesWaiters++;
    /* A set left from an earlier wait is taken first; one taken from another
       waiter is passed on below, as the count is then 0. */
    WaitForSingleObject(y.ghNotesDone, 0);
    if (y.gcNotesMaking != 0)
        WaitForSingleObject(y.ghNotesDone, kNotesWaitMs);
    if (--y.gcNotesWaiters != 0 && y.gcNotesMaking == 0)
        SetEvent(y.ghNotesDone);
}

void midPendInit(UINT uPort, MIDIINPENDING *lpPending)
{
    lpPending->uPort = uPort;
    lpPending->client = gaMidiIn[uPort].gMidiInClient;
    lpPending->dwEpoch = gaMidiIn[uPort].gdwInputEpoch;
    lpPending->cNotes = 0;
    lpPending->iFirst = 0;
    lpPending->iByte = 0;
    lpPending->fNewByte = 0;
    lpPending->fClock = 0;
}

void midPend(MIDIINPENDING *lpPending, WORD wMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    if (lpPending->cNotes < kMaxPending) {
        lpPending->aNotes[lpPending->cNotes++] =
            MIDIINNOTE{wMsg, lpPending->fNewByte, lpPending->iByte, dwParam1, dwParam2};
        /* A returned buffer is done: a reset or close waits until its client has it. */
        if (wMsg == MIM_LONGDATA || wMsg == MIM_LONGERROR)
            midNoteBegin(lpPending->uPort);
    }
    lpPending->fNewByte = 0;
}

/* A notification is made only while the gate stays open and input was not
   opened, closed, started or reset since it arose: it is counted as made
   under the input lock, where those change, so that they can wait for it.
   A buffer taken off the queue is handed back whatever happened meanwhile
   (it was counted when taken): it is always first in its batch. A start
   meanwhile makes the parser take the bytes whose messages were not made
   again, from its new state. */
UINT midNotifyPending(const MIDIINPENDING *lpPending)
{
    UINT uPort = lpPending->uPort;
    MIDIINPORT &in = gaMidiIn[uPort];
    UINT i = 0;
    gaSync[uPort].gidNotesThread = GetCurrentThreadId();
    for (; i < lpPending->cNotes; i++) {
        const MIDIINNOTE &n = lpPending->aNotes[i];
        if (n.wMsg != MIM_LONGDATA && n.wMsg != MIM_LONGERROR) {
            CritEnter(uPort);
            BOOL fCurrent = gaCommPort[uPort].fCommIn == 0 && in.gdwInputEpoch == lpPending->dwEpoch;
            if (fCurrent)
                midNoteBegin(uPort);
            CritLeave(uPort);
            if (!fCurrent)
                break;
        }
        midiCallback(&lpPending->client, n.wMsg, n.dwParam1, n.dwParam2);
        midNoteEnd(uPort);
    }
    gaSync[uPort].gidNotesThread = 0;
    return i;
}

DWORD midAddBuffer(UINT uPort, LPMIDIHDR lpHdr)
{
    /* A buffer of no capacity would take a byte beyond its end. */
    if (lpHdr == nullptr || lpHdr->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;

    MIDIINCONTROL &gMIMC = gaMidiIn[uPort].gMIMC;
    CritEnter(uPort);
    DWORD dwResult = MMSYSERR_NOERROR;
    if (!gaMidiIn[uPort].gfMidiInOpen) {
        dwResult = MMSYSERR_INVALHANDLE;
    } else if (!(lpHdr->dwFlags & MHDR_PREPARED)) {
        dwResult = MIDIERR_UNPREPARED;
    } else if (lpHdr->dwFlags & MHDR_INQUEUE) {
        dwResult = MIDIERR_STILLPLAYING;
    } else {
        lpHdr->dwFlags = (lpHdr->dwFlags | MHDR_INQUEUE) & ~(DWORD)MHDR_DONE;
        lpHdr->dwBytesRecorded = 0;
        lpHdr->lpNext = nullptr;
        if (gMIMC.lpQueue == nullptr) {
            gMIMC.lpQueue = lpHdr;
        } else {
            LPMIDIHDR lpLast = gMIMC.lpQueue;
            while (lpLast->lpNext != nullptr)
                lpLast = lpLast->lpNext;
            lpLast->lpNext = lpHdr;
        }
    }
    CritLeave(uPort);
    return dwResult;
}

/* Takes the head buffer off the queue with what it holds. */
static void midBufferReturn(WORD wMsg, MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    gMIMC.lpQueue = lpHdr->lpNext;
    lpHdr->dwBytesRecorded = gMIMC.dwBufOffset;
    gMIMC.dwBufOffset = 0;
    lpHdr->dwFlags = (lpHdr->dwFlags | MHDR_DONE) & ~(DWORD)MHDR_INQUEUE;
    midPend(lpPending, wMsg, (DWORD_PTR)lpHdr, gMIMC.dwMsgTime);
}

void midBufferWrite(BYTE b, MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    if (lpHdr == nullptr)
        return;

    if (b < kFirstStatus || b == kSysEx || b == kEox) {
        if (gMIMC.dwBufOffset < lpHdr->dwBufferLength)
            lpHdr->lpData[gMIMC.dwBufOffset++] = (char)b;
        if (b != kEox && gMIMC.dwBufOffset < lpHdr->dwBufferLength)
            return;
    }

    /* Complete: an F7 ended the message, the buffer is full, or another
       status byte cut the message short (and is not stored). */
    midBufferReturn(MIM_LONGDATA, lpPending);
}

BOOL midBufferError(MIDIINPENDING *lpPending)
{
    if (gaMidiIn[lpPending->uPort].gMIMC.lpQueue == nullptr)
        return FALSE;
    midBufferReturn(MIM_LONGERROR, lpPending);
    return TRUE;
}

UINT midBufferWriteData(const BYTE *lpb, UINT cb, MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    UINT n = 0;
    if (lpHdr == nullptr) {
        while (n < cb && lpb[n] < kFirstStatus)
            n++; /* nowhere to go: dropped, as one at a time */
        return n;
    }
    /* No room (the client may have shortened a queued buffer): one byte,
       which returns the buffer, exactly as midBufferWrite does. */
    if (gMIMC.dwBufOffset >= lpHdr->dwBufferLength) {
        midBufferWrite(lpb[0], lpPending);
        return 1;
    }
    DWORD dwRoom = lpHdr->dwBufferLength - gMIMC.dwBufOffset;
    BYTE *lpOut = reinterpret_cast<BYTE *>(lpHdr->lpData) + gMIMC.dwBufOffset;
    while (n < cb && n < dwRoom && lpb[n] < kFirstStatus) {
        lpOut[n] = lpb[n];
        n++;
    }
    gMIMC.dwBufOffset += n;
    if (n == dwRoom && n != 0) {
        /* The byte that filled the buffer completes it, as midBufferWrite does. */
        gMIMC.dwBufOffset--;
        midBufferWrite(lpb[n - 1], lpPending);
    }
    return n;
}

void midFreeQ(UINT uPort)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[uPort].gMIMC;
    CritEnter(uPort);
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    gMIMC.lpQueue = nullptr;
    gMIMC.dwBufOffset = 0;
    DWORD dwTime = timeGetTime() - gMIMC.dwStartTime;
    MIDICLIENT client = gaMidiIn[uPort].gMidiInClient;
    CritLeave(uPort);

    /* Each header is marked done under the lock, its successor read first:
       once done, its client may queue it again from the callback. */
    while (lpHdr != nullptr) {
        CritEnter(uPort);
        LPMIDIHDR lpNext = lpHdr->lpNext;
        lpHdr->dwBytesRecorded = 0;
        lpHdr->dwFlags = (lpHdr->dwFlags | MHDR_DONE) & ~(DWORD)MHDR_INQUEUE;
        CritLeave(uPort);
        midiCallback(&client, MIM_LONGDATA, (DWORD_PTR)lpHdr, dwTime);
        lpHdr = lpNext;
    }
}
