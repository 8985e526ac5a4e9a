/*
 * Serial port access: thin wrappers over the platform's file and
 * communications services in the calling style of a 16-bit communications
 * interface, the one port handle, and the input and output gates.
 */
#include "serial/serial.h"

HANDLE idComDev;                /* written by the connection's first open and last close (port.cpp) */
BOOL fCommWaitable;             /* the port opens for overlapped I/O; written while no port is open */
std::atomic<DWORD> fCommIn{1};  /* written by the input device; read by the poll before every byte */
std::atomic<DWORD> fCommOut{1}; /* written by the output device; read by the framing */

namespace
{
constexpr DWORD kNoSharing = 0;                  /* the port is ours alone while open */
constexpr DWORD kReturnAtOnce = 0xFFFFFFFF;      /* read interval: hand back what has arrived */
constexpr DWORD kWriteWaitsForever = 0xFFFFFFFF; /* write total time-out parts */
constexpr DWORD kCancelWaitMs = 5000;            /* for a driver to complete a wait taken back */

/* Each request on a waitable port completes through its own record: the
   poll's reads and waits are the poll thread's, the writes are made under
   the writers' lock. Their events live from the first waitable open to
   unload. */
OVERLAPPED ovRead, ovWrite, ovWait;
OVERLAPPED *const kRecords[] = {&ovRead, &ovWrite, &ovWait};
std::atomic<HANDLE> idWaiting{0}; /* the port that the poll's wait is outstanding on */
DWORD dwEvents;                   /* what ended the last wait; not used */

/* Issues nothing itself: finishes a request that fDone says did or did not
   complete at once, waiting for it if it is still under way. */
BOOL Finish(HANDLE id, BOOL fDone, OVERLAPPED *ov, DWORD *pcb)
{
    if (!fDone && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    return GetOverlappedResult(id, ov, pcb, TRUE);
}

OVERLAPPED *Fresh(OVERLAPPED *ov)
{
    HANDLE h = ov->hEvent;
    *ov = OVERLAPPED();
    ov->hEvent = h;
    return ov;
}
} // namespace

BOOL CommEventsInit()
{
    for (OVERLAPPED *ov : kRecords)
        if (ov->hEvent == 0)
            ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ovRead.hEvent != 0 && ovWrite.hEvent != 0 && ovWait.hEvent != 0;
}

void CommEventsDelete()
{
    for (OVERLAPPED *ov : kRecords) {
        if (ov->hEvent != 0)
            CloseHandle(ov->hEvent);
        ov->hEvent = 0;
    }
}

HANDLE OpenComm(LPCWSTR lpszName, UINT, UINT)
{
    DWORD flags = FILE_FLAG_WRITE_THROUGH | (fCommWaitable ? FILE_FLAG_OVERLAPPED : 0);
    HANDLE h = CreateFileW(lpszName, GENERIC_READ | GENERIC_WRITE, kNoSharing, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;

    /* A read returns at once with whatever has arrived, possibly nothing:
       the poll must never wait on the line. */
    COMMTIMEOUTS to;
    to.ReadIntervalTimeout = kReturnAtOnce;
    to.ReadTotalTimeoutMultiplier = 0;
    to.ReadTotalTimeoutConstant = 0;
    to.WriteTotalTimeoutMultiplier = kWriteWaitsForever;
    to.WriteTotalTimeoutConstant = kWriteWaitsForever;
    /* A waitable port is waited on for bytes that arrive. */
    if (!SetCommTimeouts(h, &to) || (fCommWaitable && !SetCommMask(h, EV_RXCHAR))) {
        CloseHandle(h); /* opened, but no serial port */
        return 0;
    }
    return h;
}

int ReadComm(HANDLE id, BYTE *lpBuf, int cbRead)
{
    DWORD cb = 0;
    BOOL ok = fCommWaitable ? Finish(id, ReadFile(id, lpBuf, (DWORD)cbRead, nullptr, Fresh(&ovRead)), &ovRead, &cb)
                            : ReadFile(id, lpBuf, (DWORD)cbRead, &cb, nullptr);
    return ok ? (int)cb : -(int)cb;
}

int WriteComm(HANDLE id, const BYTE *lpBuf, int cbWrite)
{
    DWORD cb = 0;
    BOOL ok = fCommWaitable ? Finish(id, WriteFile(id, lpBuf, (DWORD)cbWrite, nullptr, Fresh(&ovWrite)), &ovWrite, &cb)
                            : WriteFile(id, lpBuf, (DWORD)cbWrite, &cb, nullptr);
    return ok ? (int)cb : -(int)cb;
}

BOOL WaitComm(HANDLE id, HANDLE hWake, DWORD ms)
{
    if (idWaiting == 0) {
        if (WaitCommEvent(id, &dwEvents, Fresh(&ovWait)))
            return TRUE;
        if (GetLastError() != ERROR_IO_PENDING) {
            WaitForSingleObject(hWake, ms); /* not as a spin: the read that follows finds out why */
            return FALSE;
        }
        idWaiting = id;
    }
    HANDLE wait[2] = {ovWait.hEvent, hWake};
    if (WaitForMultipleObjects(2, wait, FALSE, ms) == WAIT_OBJECT_0) {
        DWORD cb;
        GetOverlappedResult(id, &ovWait, &cb, FALSE);
        idWaiting = 0;
    }
    return TRUE;
}

void EndWaitComm()
{
    HANDLE id = idWaiting.exchange(0);
    if (id == 0)
        return;
    /* A new mask completes the wait at once; it must be over before the
       port closes and the record is used again. */
    SetCommMask(id, 0);
    WaitForSingleObject(ovWait.hEvent, kCancelWaitMs);
}

DWORD GetCommError(HANDLE id, COMSTAT *lpStat)
{
    DWORD errors = 0;
    if (!QueryCommError(id, &errors, lpStat))
        return CE_IOE;
    return errors;
}

BOOL QueryCommError(HANDLE id, DWORD *lpErrors, COMSTAT *lpStat)
{
    *lpErrors = 0;
    return ClearCommError(id, lpErrors, lpStat);
}

void EnableCommIn() { fCommIn = 0; }
void DisableCommIn() { fCommIn = 1; }
void EnableCommOut() { fCommOut = 0; }
void DisableCommOut() { fCommOut = 1; }
