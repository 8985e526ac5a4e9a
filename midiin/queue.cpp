/*
 * Input buffer queue: the application's buffers for system-exclusive data,
 * linked in arrival order, filled at the head by the parser and handed back
 * with MIM_LONGDATA when complete, full, or when input is reset.
 */
#include "midiin/midiin.h"
#include "serial/serial.h"

constexpr BYTE kFirstStatus = 0x80; /* bytes below are data bytes */
constexpr BYTE kSysEx = 0xF0;       /* start of system exclusive */
constexpr BYTE kEox = 0xF7;         /* end of system exclusive */

constexpr DWORD kNotesWaitMs = 5000; /* longer than any callback, unless a client's hangs */

MIDIINCONTROL gMIMC;
std::atomic<DWORD> gfMidiInOpen{0};
std::atomic<DWORD> gdwInputEpoch{0};

/* The poll thread fills and returns buffers while application threads queue
   and reset them: without the lock a buffer queued as the head is returned is
   lost or returned twice. */
static CRITICAL_SECTION gcsMidiIn;

/* Notifications of the parser being made, and buffers it took off the
   queue and has still to hand back: a close or reset waits until none is
   left. Only the thread that runs the parser changes the count. */
static std::atomic<LONG> gcNotesMaking{0};
static std::atomic<LONG> gcNotesWaiters{0};  /* closes and resets waiting for the count to reach 0 */
static std::atomic<DWORD> gidNotesThread{0}; /* the thread making them, while it does */
static HANDLE ghNotesDone;                   /* auto-reset: set when the count reaches 0 with a waiter */

void midCritInit()
{
    InitializeCriticalSection(&gcsMidiIn);
    ghNotesDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void midCritDelete()
{
    if (ghNotesDone != 0)
        CloseHandle(ghNotesDone);
    ghNotesDone = 0;
    DeleteCriticalSection(&gcsMidiIn);
}

void CritEnter() { EnterCriticalSection(&gcsMidiIn); }
void CritLeave() { LeaveCriticalSection(&gcsMidiIn); }

static void midNoteBegin() { gcNotesMaking++; }

static void midNoteEnd()
{
    if (--gcNotesMaking == 0 && gcNotesWaiters != 0)
        SetEvent(ghNotesDone);
}

void midWaitNotes()
{
    /* None under way: none can start either, as the caller closed the gate
       or moved the epoch on. A close or reset from a callback cannot wait
       for the callback it is in. */
    if (gcNotesMaking == 0 || gidNotesThread == GetCurrentThreadId())
        return;
    gcNotesWaiters++;
    /* A set left from an earlier wait is taken first; one taken from another
       waiter is passed on below, as the count is then 0. */
    WaitForSingleObject(ghNotesDone, 0);
    if (gcNotesMaking != 0)
        WaitForSingleObject(ghNotesDone, kNotesWaitMs);
    if (--gcNotesWaiters != 0 && gcNotesMaking == 0)
        SetEvent(ghNotesDone);
}

void midPendInit(MIDIINPENDING *lpPending)
{
    lpPending->client = gMidiInClient;
    lpPending->dwEpoch = gdwInputEpoch;
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
            midNoteBegin();
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
    UINT i = 0;
    gidNotesThread = GetCurrentThreadId();
    for (; i < lpPending->cNotes; i++) {
        const MIDIINNOTE &n = lpPending->aNotes[i];
        if (n.wMsg != MIM_LONGDATA && n.wMsg != MIM_LONGERROR) {
            CritEnter();
            BOOL fCurrent = fCommIn == 0 && gdwInputEpoch == lpPending->dwEpoch;
            if (fCurrent)
                midNoteBegin();
            CritLeave();
            if (!fCurrent)
                break;
        }
        midiCallback(&lpPending->client, n.wMsg, n.dwParam1, n.dwParam2);
        midNoteEnd();
    }
    gidNotesThread = 0;
    return i;
}

DWORD midAddBuffer(LPMIDIHDR lpHdr)
{
    /* A buffer of no capacity would take a byte beyond its end. */
    if (lpHdr == nullptr || lpHdr->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;

    CritEnter();
    DWORD dwResult = MMSYSERR_NOERROR;
    if (!gfMidiInOpen) {
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
    CritLeave();
    return dwResult;
}

/* Takes the head buffer off the queue with what it holds. */
static void midBufferReturn(WORD wMsg, MIDIINPENDING *lpPending)
{
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    gMIMC.lpQueue = lpHdr->lpNext;
    lpHdr->dwBytesRecorded = gMIMC.dwBufOffset;
    gMIMC.dwBufOffset = 0;
    lpHdr->dwFlags = (lpHdr->dwFlags | MHDR_DONE) & ~(DWORD)MHDR_INQUEUE;
    midPend(lpPending, wMsg, (DWORD_PTR)lpHdr, gMIMC.dwMsgTime);
}

void midBufferWrite(BYTE b, MIDIINPENDING *lpPending)
{
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
    if (gMIMC.lpQueue == nullptr)
        return FALSE;
    midBufferReturn(MIM_LONGERROR, lpPending);
    return TRUE;
}

UINT midBufferWriteData(const BYTE *lpb, UINT cb, MIDIINPENDING *lpPending)
{
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

void midFreeQ()
{
    CritEnter();
    LPMIDIHDR lpHdr = gMIMC.lpQueue;
    gMIMC.lpQueue = nullptr;
    gMIMC.dwBufOffset = 0;
    DWORD dwTime = timeGetTime() - gMIMC.dwStartTime;
    MIDICLIENT client = gMidiInClient;
    CritLeave();

    /* Each header is marked done under the lock, its successor read first:
       once done, its client may queue it again from the callback. */
    while (lpHdr != nullptr) {
        CritEnter();
        LPMIDIHDR lpNext = lpHdr->lpNext;
        lpHdr->dwBytesRecorded = 0;
        lpHdr->dwFlags = (lpHdr->dwFlags | MHDR_DONE) & ~(DWORD)MHDR_INQUEUE;
        CritLeave();
        midiCallback(&client, MIM_LONGDATA, (DWORD_PTR)lpHdr, dwTime);
        lpHdr = lpNext;
    }
}
