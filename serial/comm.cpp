/*
 * Serial port access: thin wrappers over the platform's file and
 * communications services in the calling style of a 16-bit communications
 * interface, and each port's handle and input and output gates.
 */
#include "serial/serial.h"

/* idComDev written by the connection's first open and last close (port.cpp);
   fCommIn by the input device, read by the poll before every byte; fCommOut
   by the output device, read by the framing. */
COMMPORT gaCommPort[kMaxPorts];

namespace
{
constexpr DWORD kNoSharing = 0;                  /* the port is ours alone while open */
constexpr DWORD kReturnAtOnce = 0xFFFFFFFF;      /* read interval: hand back what has arrived */
constexpr DWORD kWriteWaitsForever = 0xFFFFFFFF; /* write total time-out parts */
} // namespace

HANDLE OpenComm(LPCWSTR lpszName, UINT, UINT)
{
    HANDLE h = CreateFileW(lpszName, GENERIC_READ | GENERIC_WRITE, kNoSharing, nullptr, OPEN_EXISTING,
                           FILE_FLAG_WRITE_THROUGH, nullptr);
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
    if (!SetCommTimeouts(h, &to)) {
        CloseHandle(h); /* opened, but no serial port */
        return 0;
    }
    return h;
}

int ReadComm(HANDLE id, BYTE *lpBuf, int cbRead)
{
    DWORD cb = 0;
    if (!ReadFile(id, lpBuf, (DWORD)cbRead, &cb, nullptr))
        return -(int)cb;
    return (int)cb;
}

int WriteComm(HANDLE id, const BYTE *lpBuf, int cbWrite)
{
    DWORD cb = 0;
    if (!WriteFile(id, lpBuf, (DWORD)cbWrite, &cb, nullptr))
        return -(int)cb;
    return (int)cb;
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

void EnableCommIn(UINT uPort) { gaCommPort[uPort].fCommIn = 0; }
void DisableCommIn(UINT uPort) { gaCommPort[uPort].fCommIn = 1; }
void EnableCommOut(UINT uPort) { gaCommPort[uPort].fCommOut = 0; }
void DisableCommOut(UINT uPort) { gaCommPort[uPort].fCommOut = 1; }
