/*
 * The owner of a shared port, in a process of its own that rundll32 runs
 * with this library: it holds the serial port, puts every received byte in
 * the shared record with the clock reading of its read, and puts the
 * programs' output on the line message by message. It notices a program
 * that ends, and ends itself about two seconds after the last one left, or
 * at once when the port goes away: the programs then see a lost port.
 */
#include "serial/serial.h"
#include "serial/share.h"
#include "serial/sharename.h"

namespace
{
constexpr UINT kResolutionMs = 1; /* timer resolution held while the owner runs */
constexpr DWORD kTurnMs = 1;      /* the owner reads the port this often, and sooner for output */
constexpr DWORD kLookMs = 50;     /* how often it looks for programs that ended */
constexpr DWORD kLingerMs = 2000; /* it ends this long after the last program left */
constexpr UINT kReadSize = 4096;  /* bytes of one read */
constexpr UINT kWriteMax = 4096;  /* bytes of one write: a long message goes in pieces */
constexpr DWORD kNoPid = 0;

OWNERSTATE gOwner;                /* the owner's view of the output slots */
HANDLE ahProcess[2][kShareSlots]; /* each slot's program's process, output and input */
DWORD adwPid[2][kShareSlots];     /* the program each of those is of */
BOOL afGone[2][kShareSlots];      /* that program had ended before it could be watched */
BYTE abRead[kReadSize];
BYTE abWrite[kWriteMax];

/* Each slot's program is watched from when it is seen; one that has ended
   with its slot still its own gives it back, so that its output's half-sent
   message is ended (OwnerNextWrite) and the slot comes free. TRUE: a slot
   is in use. */
BOOL LookAtPrograms(SHAREDPORT *lpShare)
{
    HANDLE ah[2 * kShareSlots];
    UINT aiSlot[2 * kShareSlots]; /* direction * kShareSlots + slot of each */
    DWORD n = 0;
    for (UINT d = 0; d < 2; d++) {
        SHARESLOT *aSlot = d == 0 ? lpShare->aOut : lpShare->aIn;
        for (UINT s = 0; s < kShareSlots; s++) {
            DWORD dwPid = aSlot[s].dwPid;
            HANDLE &hProcess = ahProcess[d][s];
            if (adwPid[d][s] != dwPid) {
                if (hProcess != 0)
                    CloseHandle(hProcess);
                hProcess = dwPid != kNoPid ? OpenProcess(SYNCHRONIZE, FALSE, dwPid) : 0;
                /* A process that this one may not watch is not taken for one that ended. */
                afGone[d][s] = dwPid != kNoPid && hProcess == 0 && GetLastError() == ERROR_INVALID_PARAMETER;
                adwPid[d][s] = dwPid;
            }
            if (dwPid != kNoPid && hProcess == 0 && afGone[d][s])
                ShareFreeSlot(&aSlot[s], dwPid); /* gone before it could be watched */
            if (dwPid != kNoPid && hProcess != 0) {
                ah[n] = hProcess;
                aiSlot[n++] = d * kShareSlots + s;
            }
        }
    }
    /* One question for all of them, each answer an ended program: a wait
       is a call to the system, and the line's output waits meanwhile. */
    for (DWORD r; n != 0 && (r = WaitForMultipleObjects(n, ah, FALSE, 0)) < WAIT_OBJECT_0 + n;) {
        UINT i = aiSlot[r - WAIT_OBJECT_0], d = i / kShareSlots, s = i % kShareSlots;
        ShareFreeSlot(&(d == 0 ? lpShare->aOut : lpShare->aIn)[s], adwPid[d][s]);
        ah[r - WAIT_OBJECT_0] = ah[--n];
        aiSlot[r - WAIT_OBJECT_0] = aiSlot[n];
    }
    BOOL fInUse = FALSE;
    for (UINT s = 0; s < kShareSlots; s++)
        fInUse = fInUse || lpShare->aOut[s].dwPid != kNoPid || lpShare->aIn[s].dwPid != kNoPid;
    return fInUse;
}

/* The record's lock taken, no program in it and none that just joined:
   the owner ends, the port closed before another owner can want it. */
BOOL EndWhenLeft(UINT uPort, SHAREDPORT *lpShare, HANDLE hPort)
{
    HANDLE hLock = ShareLock(uPort);
    if (hLock == 0)
        return FALSE;
    BOOL fEnd = !LookAtPrograms(lpShare) && timeGetTime() - lpShare->dwLastJoin >= kLingerMs;
    if (fEnd) {
        lpShare->dwOwnerState = kOwnerEnded;
        lpShare->dwOwnerPid = 0;
        CloseHandle(hPort);
    }
    ShareUnlock(hLock);
    return fEnd;
}

void Run(UINT uPort, SHAREDPORT *lpShare, HANDLE hPort, HANDLE hWork)
{
    DWORD dwLastLook = timeGetTime(), dwLastUse = dwLastLook;
    for (;;) {
        WaitForSingleObject(hWork, kTurnMs);
        /* Output first: a program's message that woke the owner waits for no read. */
        DWORD dwErrors, now = timeGetTime();
        UINT cbOut = OwnerFill(lpShare, &gOwner, abWrite, kWriteMax, now);
        if (cbOut != 0 && WriteComm(hPort, abWrite, (int)cbOut) != (int)cbOut &&
            !QueryCommError(hPort, &dwErrors, nullptr))
            break;

        /* Stamped as read: a write may have taken the line's time. */
        DWORD dwRead = timeGetTime();
        int cb = ReadComm(hPort, abRead, kReadSize);
        if (cb < 0)
            cb = -cb;
        if (cb > 0)
            SharePutInput(lpShare, abRead, (DWORD)cb, dwRead);
        if (!QueryCommError(hPort, &dwErrors, nullptr))
            break; /* the port went away: the programs see the loss when this process ends */
        if (dwErrors != 0)
            lpShare->dwLineErrors++;

        if (now - dwLastLook >= kLookMs) {
            dwLastLook = now;
            if (LookAtPrograms(lpShare))
                dwLastUse = now;
            else if (now - dwLastUse >= kLingerMs && EndWhenLeft(uPort, lpShare, hPort))
                return;
        }
    }
    lpShare->dwOwnerState = kOwnerFailed;
    lpShare->dwOwnerPid = 0;
    CloseHandle(hPort);
}

UINT ParsePort(LPCSTR lpsz)
{
    UINT uPort = 0;
    while (*lpsz == ' ')
        lpsz++;
    for (; *lpsz >= '0' && *lpsz <= '9' && uPort < kMaxPorts; lpsz++)
        uPort = uPort * 10 + (UINT)(*lpsz - '0');
    return uPort;
}
} // namespace

extern "C" void CALLBACK PortOwner(HWND, HINSTANCE, LPSTR lpszCmdLine, int)
{
    UINT uPort = ParsePort(lpszCmdLine);
    if (uPort >= gcPorts)
        return;
    SHARESECURITY security;
    if (!ShareSecurity(&security))
        return;
    HANDLE hMap = ShareObject(uPort, kShareMap, &security);
    HANDLE hWork = ShareObject(uPort, kShareWork, &security);
    HANDLE hReady = ShareObject(uPort, kShareReady, &security);
    SHAREDPORT *lpShare =
        hMap != 0 ? (SHAREDPORT *)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SHAREDPORT)) : nullptr;
    if (lpShare != nullptr && lpShare->dwMagic == kShareMagic && hWork != 0 && hReady != 0) {
        HANDLE hPort = OpenPortLine(uPort);
        OwnerReset(&gOwner);
        lpShare->dwOwnerPid = hPort != 0 ? GetCurrentProcessId() : 0;
        lpShare->dwOwnerState = hPort != 0 ? kOwnerRunning : kOwnerFailed;
        SetEvent(hReady);
        if (hPort != 0) {
            timeBeginPeriod(kResolutionMs);
            /* Every program's poll and output wait on this thread: it runs as
               their polls' threads do. */
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
            Run(uPort, lpShare, hPort, hWork);
            timeEndPeriod(kResolutionMs);
        }
    }
    if (lpShare != nullptr)
        UnmapViewOfFile(lpShare);
    HANDLE ahOwn[] = {hMap, hWork, hReady};
    for (HANDLE h : ahOwn)
        if (h != 0)
            CloseHandle(h);
}
