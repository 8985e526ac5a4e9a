/*
 * A program's side of a shared port: the names and the security of the
 * shared objects, joining the port's shared record (starting its owner when
 * none runs), claiming an open of a direction, and the poll and the writes
 * that go through the record instead of the port. An owner that ends is a
 * lost port: reported once, and a new one started about once a second.
 */
#include "midiin/midiin.h"
#include "serial/serial.h"
#include "serial/share.h"
#include "serial/sharename.h"

namespace
{
constexpr DWORD kOwnerStartMs = 5000; /* an owner that has not taken the port by then has failed */
constexpr DWORD kWriteWaitMs = 5000;  /* a write waits this long for room, as for a slow line */
constexpr DWORD kRejoinMs = 1000;     /* between two tries to start a new owner */
constexpr DWORD kRoomTurnMs = 1;      /* a write looks for room again after this */
constexpr UINT kTakeMax = 4096;       /* received bytes taken in one poll, as a read of the port */
constexpr int kNoSlot = -1;

/* One port's join, in this program. Written under the port's connection
   lock, but for what the poll keeps of a lost owner. */
struct SHARECONN {
    HANDLE hMap;                    /* the shared record's mapping */
    SHAREDPORT *lpShare;            /* its view; null while the port is not shared */
    HANDLE hOwner;                  /* the owner's process, to see it end */
    HANDLE hWork;                   /* auto-reset: wakes the owner for output */
    int iOut, iIn;                  /* the slots this program holds; kNoSlot: none */
    std::atomic<DWORD> fLost;       /* 1 from the owner's end until a new one runs */
    std::atomic<DWORD> fUnreported; /* 1 from a loss until the poll has reported it */
    DWORD dwLastTry;                /* timeGetTime of the last try to start an owner */
    DWORD dwLineErrors;             /* the owner's count of line errors as last seen */
    BYTE abTake[kTakeMax];          /* received bytes of one poll */
};

SHARECONN gaShare[kMaxPorts];

void CloseObject(HANDLE *ph)
{
    if (*ph != 0)
        CloseHandle(*ph);
    *ph = 0;
}

/* The owner runs and holds the port: the one this program watches, or,
   with the record's lock held, one it started. */
BOOL OwnerRunning(SHARECONN &c)
{
    return c.hOwner != 0 && WaitForSingleObject(c.hOwner, 0) == WAIT_TIMEOUT &&
           c.lpShare->dwOwnerState == kOwnerRunning;
}

/* With the record's lock held: watches the owner that runs, or starts one
   and waits until it holds the port or has failed. */
BOOL EnsureOwner(UINT uPort, SHARESECURITY *lpSecurity)
{
    SHARECONN &c = gaShare[uPort];
    CloseObject(&c.hOwner);
    if (c.lpShare->dwOwnerState == kOwnerRunning)
        c.hOwner = OpenProcess(SYNCHRONIZE, FALSE, c.lpShare->dwOwnerPid);
    if (OwnerRunning(c))
        return TRUE;
    CloseObject(&c.hOwner);

    HANDLE hReady = ShareObject(uPort, kShareReady, lpSecurity);
    if (hReady == 0)
        return FALSE;
    ResetEvent(hReady);
    c.lpShare->dwOwnerState = kOwnerNone;
    c.hOwner = StartOwner(uPort);
    BOOL fRunning = c.hOwner != 0;
    if (fRunning) {
        /* The owner sets the event when it holds the port or has failed; one
           that ends first without a word has failed too. */
        HANDLE ah[] = {hReady, c.hOwner};
        fRunning = WaitForMultipleObjects(2, ah, FALSE, kOwnerStartMs) == WAIT_OBJECT_0 && OwnerRunning(c);
    }
    CloseHandle(hReady);
    if (!fRunning)
        CloseObject(&c.hOwner);
    return fRunning;
}

/* With the lock held: the record mapped, and an owner that runs. */
BOOL Join(UINT uPort)
{
    SHARECONN &c = gaShare[uPort];
    SHARESECURITY security;
    if (!ShareSecurity(&security))
        return FALSE; /* objects that anyone could reach are not made */
    if (c.lpShare == nullptr) {
        c.hMap = ShareObject(uPort, kShareMap, &security);
        BOOL fNew = c.hMap != 0 && GetLastError() != ERROR_ALREADY_EXISTS;
        c.lpShare =
            c.hMap != 0 ? (SHAREDPORT *)MapViewOfFile(c.hMap, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SHAREDPORT)) : nullptr;
        if (c.lpShare != nullptr && fNew)
            ShareLayout(c.lpShare);
        /* Another version's record is not one to write into. */
        if (c.lpShare != nullptr && (c.lpShare->dwMagic != kShareMagic || c.lpShare->dwSize != sizeof(SHAREDPORT))) {
            UnmapViewOfFile(c.lpShare);
            c.lpShare = nullptr;
        }
        if (c.hWork == 0)
            c.hWork = ShareObject(uPort, kShareWork, &security);
    }
    if (c.lpShare == nullptr || c.hWork == 0)
        return FALSE;
    c.lpShare->dwLastJoin = timeGetTime(); /* the owner stays while the joiner claims its open */
    return EnsureOwner(uPort, &security);
}

SHARESLOT *Slots(SHARECONN &c, BOOL fOutput) { return fOutput ? c.lpShare->aOut : c.lpShare->aIn; }

void FreeSlot(SHARECONN &c, BOOL fOutput)
{
    int &iSlot = fOutput ? c.iOut : c.iIn;
    if (iSlot != kNoSlot)
        ShareFreeSlot(&Slots(c, fOutput)[iSlot], GetCurrentProcessId());
    iSlot = kNoSlot;
}

/* The owner ended: reported once; about once a second a new one is started,
   which takes over this program's slots as they are. */
void Rejoin(UINT uPort)
{
    SHARECONN &c = gaShare[uPort];
    if (c.fLost.exchange(1) == 0) {
        c.fUnreported = 1;
        c.dwLastTry = timeGetTime();
    }
    if (c.fUnreported.exchange(0) != 0 && gaCommPort[uPort].fCommIn == 0)
        midPortError(uPort);
    DWORD now = timeGetTime();
    if (now - c.dwLastTry < kRejoinMs || PollStopping(uPort))
        return;
    c.dwLastTry = now;
    HANDLE hLock = ShareLock(uPort);
    BOOL fJoined = hLock != 0 && Join(uPort);
    if (hLock != 0)
        ShareUnlock(hLock);
    if (!fJoined)
        return;
    c.dwLineErrors = c.lpShare->dwLineErrors;
    c.fLost = 0;
    gaCommPort[uPort].gdwPortEpoch++; /* the output's running status starts again */
    CritEnter(uPort);
    midResync(uPort); /* what was under way when the owner went is gone */
    CritLeave(uPort);
}
} // namespace

BOOL PortShared(UINT uPort) { return gaShare[uPort].lpShare != nullptr; }

BOOL ShareConnect(UINT uPort)
{
    SHARECONN &c = gaShare[uPort];
    c.iOut = c.iIn = kNoSlot;
    c.fLost = 0;
    c.fUnreported = 0;
    HANDLE hLock = ShareLock(uPort);
    BOOL fJoined = hLock != 0 && Join(uPort);
    if (hLock != 0)
        ShareUnlock(hLock);
    if (!fJoined) {
        ShareDisconnect(uPort);
        return FALSE;
    }
    c.dwLineErrors = c.lpShare->dwLineErrors;
    return TRUE;
}

void ShareDisconnect(UINT uPort)
{
    SHARECONN &c = gaShare[uPort];
    if (c.lpShare != nullptr) {
        FreeSlot(c, TRUE);
        FreeSlot(c, FALSE);
        UnmapViewOfFile(c.lpShare);
        c.lpShare = nullptr;
    }
    CloseObject(&c.hMap);
    CloseObject(&c.hOwner);
    CloseObject(&c.hWork);
}

BOOL ShareClaim(UINT uPort, BOOL fOutput)
{
    SHARECONN &c = gaShare[uPort];
    UINT s = ShareClaimSlot(c.lpShare, fOutput, GetCurrentProcessId());
    if (s == kShareSlots)
        return FALSE;
    (fOutput ? c.iOut : c.iIn) = (int)s;
    return TRUE;
}

void ShareRelease(UINT uPort, BOOL fOutput)
{
    SHARECONN &c = gaShare[uPort];
    if (c.lpShare == nullptr)
        return;
    /* What the output put in reaches the line first, the close's reset
       included, unless the owner is gone. */
    if (fOutput && c.iOut != kNoSlot) {
        SHARESLOT &slot = c.lpShare->aOut[c.iOut];
        for (DWORD dwWaited = 0; slot.dwTail != slot.dwHead && dwWaited < kWriteWaitMs && !c.fLost;
             dwWaited += kRoomTurnMs) {
            SetEvent(c.hWork);
            if (OwnerRunning(c))
                Sleep(kRoomTurnMs);
            else
                break;
        }
    }
    FreeSlot(c, fOutput);
    SetEvent(c.hWork); /* the owner sees the slot go at once */
}

void ShareWrite(UINT uPort, const BYTE *lpBuf, int cb)
{
    SHARECONN &c = gaShare[uPort];
    if (c.iOut == kNoSlot || c.fLost)
        return; /* dropped, as on a lost port */
    SHARESLOT &slot = c.lpShare->aOut[c.iOut];
    for (DWORD dwWaited = 0; !SharePut(&slot, lpBuf, (DWORD)cb); dwWaited += kRoomTurnMs) {
        /* The ring is full: the line is slower than the program, as a port's
           own write would wait. A gone owner takes nothing more. */
        if (dwWaited >= kWriteWaitMs || !OwnerRunning(c))
            return;
        SetEvent(c.hWork);
        Sleep(kRoomTurnMs);
    }
    SetEvent(c.hWork);
}

void SharePoll(UINT uPort)
{
    SHARECONN &c = gaShare[uPort];
    if (c.fLost || !OwnerRunning(c)) {
        Rejoin(uPort);
        return;
    }
    if (c.iIn == kNoSlot || gaCommPort[uPort].fCommIn != 0)
        return; /* held back meanwhile: the bytes wait in the ring, as in the port's queue */
    SHARESLOT &slot = c.lpShare->aIn[c.iIn];
    for (UINT cbTaken = 0; cbTaken < kTakeMax && gaCommPort[uPort].fCommIn == 0;) {
        DWORD dwTime = 0;
        BOOL fLost = FALSE;
        UINT cb = ShareTakeInput(c.lpShare, &slot, c.abTake, kTakeMax - cbTaken, &dwTime, &fLost);
        if (fLost)
            midPortError(uPort); /* fell behind: bytes were lost, as when the port's queue overruns */
        if (cb == 0)
            break;
        cbTaken += cb;
        for (UINT i = 0; i < cb && gaCommPort[uPort].fCommIn == 0;)
            i += midBytesRecAt(uPort, c.abTake + i, cb - i, TRUE, dwTime);
    }
    DWORD dwErrors = c.lpShare->dwLineErrors;
    if (dwErrors != c.dwLineErrors) {
        c.dwLineErrors = dwErrors;
        midPortError(uPort); /* bytes lost on the line: an error, never data */
    }
}
