/*
 * The port connection that both MIDI devices share: opened by the first
 * device open, closed by the last close. Its poll (poll.cpp) hands each
 * received byte to the input parser. A port whose device goes away is
 * reported once and opened again by its name about once a second, while the
 * devices stay open.
 */
#include "config/config.h"
#include "midiin/midiin.h"
#include "serial/serial.h"
#include "serial/wformat.h"

DWORD DrvCont = 10;                 /* written at process attach; read at each first open */
LONG UseComCount;                   /* written under gCommCrit only */
std::atomic<DWORD> gdwPortEpoch{0}; /* written by the poll; read by the output framing */

namespace
{
constexpr UINT kQueueSize = 4096;    /* platform queue sizes asked of OpenComm (not used by it) */
constexpr int kNameChars = 20;       /* file name and settings description, terminator included */
constexpr int kLineBaud = CBR_38400; /* the module's line speed */
constexpr WORD kOpenFailed = 1;      /* OpenMIDICOM's failure result */
constexpr LONG kPlainNameLast = 9;   /* COM1 to COM9 are DOS device names; higher ports are not */
constexpr DWORD kReopenMs = 1000;    /* between two tries to open a lost port again */
constexpr DWORD kPollTurnMs = 1;     /* the poll waits this long for the lock before looking again */
constexpr DWORD kDevice0 = 0;        /* the one device key whose settings are read */

const WCHAR aszComm[] = WSTR("com");
const WCHAR aszDeviceComm[] = WSTR("\\\\.\\COM");          /* the device namespace, where every port is found */
const WCHAR aszCommOpenFormat[] = WSTR("%s%1d");           /* port 1: com1 */
const WCHAR aszCommSetupFormat[] = WSTR("%s%1d:%d,n,8,1"); /* port 1: com1:38400,n,8,1 */

CRITICAL_SECTION gCommCrit;   /* serializes opening and closing the connection */
CRITICAL_SECTION gPortCrit;   /* held by a writer using idComDev and by the poll replacing it */
WCHAR szPortName[kNameChars]; /* the open port's file name, to open it again when lost */
DCB dcb;                      /* settings built from the description alone */
DCB Predcb;                   /* the port's settings as found at open; not given back */
COMSTAT CloseStat;            /* filled by the error query at close; not used */

std::atomic<DWORD> gfPortLost{0};       /* 1 from a failed handle until the port opens again */
std::atomic<DWORD> gfLossUnreported{0}; /* 1 from a loss until the poll has reported it */

/* The poll's own state: only the poll's thread touches it. */
BYTE RecData[kRecDataSize]; /* bytes of the last read */
int GetCount;               /* bytes of the last read still to hand on */
DWORD CommError;            /* error bits of the last poll */
COMSTAT Stat;               /* filled by the poll's error query; not used */
DWORD dwLastTry;            /* timeGetTime of the last try to open a lost port again */

void ClosePort()
{
    EnterCriticalSection(&gPortCrit);
    if (idComDev != 0) {
        GetCommError(idComDev, &CloseStat);
        CloseHandle(idComDev);
    }
    idComDev = 0;
    gfPortLost = 0;
    gfLossUnreported = 0;
    LeaveCriticalSection(&gPortCrit);
}

/* Opens the port by szPortName and gives it the line's settings; 0 on failure. */
HANDLE OpenPortByName()
{
    HANDLE h = OpenComm(szPortName, kQueueSize, kQueueSize);
    if (h != 0 && !SetCommState(h, &dcb)) {
        CloseHandle(h);
        h = 0;
    }
    return h;
}

WORD OpenFirst(LONG port)
{
    WCHAR szSetup[kNameChars];

    /* COM10 and above open only as \\.\COMn: a plain "com12" names no device. */
    LPCWSTR lpszPrefix = port > kPlainNameLast ? aszDeviceComm : aszComm;

    /* The stored port number is not ours to trust: texts that do not fit
       fail the open before anything is taken, rather than run past the buffer. */
    if (FormatW(szPortName, kNameChars, aszCommOpenFormat, lpszPrefix, (int)port) < 0 ||
        FormatW(szSetup, kNameChars, aszCommSetupFormat, aszComm, (int)port, kLineBaud) < 0)
        return kOpenFailed;

    idComDev = OpenComm(szPortName, kQueueSize, kQueueSize);
    if (idComDev == 0)
        return kOpenFailed;

    GetCommState(idComDev, &Predcb);

    /* Built into dcb as it was left, not into Predcb: nothing the description
       leaves out is taken over from whatever the port was set to. */
    if (BuildCommDCBW(szSetup, &dcb) != TRUE || !SetCommState(idComDev, &dcb)) {
        ClosePort();
        return kOpenFailed;
    }

    /* The input mode is read here, so that a change takes effect at the
       next open of the connection, not at the next load of the library. */
    DWORD dwPeriod = GetLowLatencyConfig(kDevice0) ? kLowLatencyPeriod : DrvCont;

    /* Without the poll nothing received would ever arrive: fail the open rather than report it done. */
    if (!StartPoll(dwPeriod)) {
        ClosePort();
        return kOpenFailed;
    }
    UseComCount = 1;
    return 0;
}

/* The lock is free of long holders but for one that is ending the poll and
   waits for it: the poll, in a client's callback, must not wait for that
   one in turn. FALSE: the poll is ending, and the caller gives up. */
BOOL CommEnter()
{
    if (!OnPollThread()) {
        EnterCriticalSection(&gCommCrit);
        return TRUE;
    }
    while (!TryEnterCriticalSection(&gCommCrit)) {
        if (PollStopping())
            return FALSE;
        Sleep(kPollTurnMs);
    }
    return TRUE;
}

void MarkPortLost()
{
    if (gfPortLost.exchange(1) == 0)
        gfLossUnreported = 1;
}

/* Reads what arrived and hands it on; finds out whether the port is lost. */
void ReadPort()
{
    GetCount = 0;
    CommError = 0;
    /* Read everything that arrived: 32 bytes a poll cannot keep up with
       38400 bit/s (3840 bytes/s against 3200). */
    GetCount = ReadComm(idComDev, RecData, kRecDataSize);
    /* A port that cannot even be asked for its errors has gone away. */
    if (!QueryCommError(idComDev, &CommError, &Stat))
        MarkPortLost();
    if (GetCount < 0)
        GetCount = -GetCount; /* a failed read still delivered these */

    /* A reset or close on another thread drops the rest of this read: the
       parser looks at the gate before each byte (or run of exclusive data)
       and before making known the messages of each byte it has gathered. */
    for (int i = 0; GetCount > 0 && fCommIn == 0;) {
        UINT cb = midBytesRec(RecData + i, (UINT)GetCount);
        i += (int)cb;
        GetCount -= (int)cb;
    }
    GetCount = 0;

    /* Bytes were lost on the line: reported as an error, never as data. */
    if (CommError != 0 && !gfPortLost)
        midPortError();
}

/* While the port is lost: its handle goes, and about once a second the
   port is opened again by its name. The devices stay open meanwhile. */
void ReopenLostPort()
{
    DWORD now = timeGetTime();
    /* Looked at again under the lock: a client's callback for the loss may
       have closed the connection, or opened it afresh, and that handle is
       not the lost one. */
    EnterCriticalSection(&gPortCrit);
    BOOL fLost = gfPortLost != 0;
    if (fLost && idComDev != 0) {
        CloseHandle(idComDev);
        idComDev = 0;
        dwLastTry = now;
    }
    LeaveCriticalSection(&gPortCrit);
    if (!fLost || now - dwLastTry < kReopenMs || PollStopping())
        return;
    dwLastTry = now;
    HANDLE h = OpenPortByName();
    if (h == 0)
        return;

    /* The open may take seconds (a wireless port out of range): a close that
       gave up waiting for it meanwhile has ended the connection, which the
       handle must not outlive. */
    EnterCriticalSection(&gPortCrit);
    BOOL fInstall = gfPortLost != 0 && idComDev == 0 && !PollStopping();
    if (fInstall) {
        idComDev = h;
        gfPortLost = 0;
        gdwPortEpoch++; /* the output's running status starts again */
    }
    LeaveCriticalSection(&gPortCrit);
    if (!fInstall) {
        CloseHandle(h);
        return;
    }
    CritEnter();
    midResync(); /* what was under way when the port went is gone */
    CritLeave();
}
} // namespace

void CommCritInit()
{
    InitializeCriticalSection(&gCommCrit);
    InitializeCriticalSection(&gPortCrit);
}

void CommCritDelete()
{
    DeleteCriticalSection(&gPortCrit);
    DeleteCriticalSection(&gCommCrit);
}

/* The lock makes two devices opened at the same moment share one port. */
WORD OpenMIDICOM(LONG port)
{
    if (!CommEnter())
        return kOpenFailed; /* the connection is being ended by another thread */
    WORD result = 0;
    if (UseComCount != 0)
        UseComCount++; /* open for the other device; the port number is not compared */
    else
        result = OpenFirst(port);
    LeaveCriticalSection(&gCommCrit);
    return result;
}

WORD CloseMIDICOM(LONG)
{
    if (!CommEnter())
        return 0; /* another thread is ending the whole connection */
    if (UseComCount == 1) {
        StopPoll(); /* before the handle goes: the poll reads it */
        ClosePort();
        UseComCount = 0;
    } else if (UseComCount > 1) {
        UseComCount--; /* never below 0: that would make the next open skip the port */
    }
    LeaveCriticalSection(&gCommCrit);
    return 0;
}

void ReleaseMIDICOM()
{
    if (!CommEnter())
        return;
    /* One wait either way: a second after the first ran out would only
       double the hang of an unload. */
    if (UseComCount > 0) {
        DisableCommIn();
        DisableCommOut(); /* nothing may write to the handle about to close */
        StopPoll();
        ClosePort();
        UseComCount = 0;
    } else {
        ReapPoll(); /* a poll ended from its own callback, on its way out */
    }
    LeaveCriticalSection(&gCommCrit);
}

void PortWrite(const BYTE *lpBuf, int cb, DWORD dwEpoch)
{
    EnterCriticalSection(&gPortCrit);
    if (!gfPortLost && idComDev != 0 && gdwPortEpoch == dwEpoch) {
        DWORD dwErrors;
        /* A failed write is not reported, but a device gone is noticed; one
           that goes while the write waits may still report success, short. */
        if (WriteComm(idComDev, lpBuf, cb) != cb && !QueryCommError(idComDev, &dwErrors, nullptr))
            MarkPortLost();
    }
    LeaveCriticalSection(&gPortCrit);
}

void GetCommBuff()
{
    if (!gfPortLost && fCommIn == 0)
        ReadPort(); /* held back otherwise: the bytes wait in the platform's queue */
    if (!gfPortLost || PollStopping())
        return; /* ended from a callback: the handle is no longer the poll's */

    /* Reported once, with the rules of any port error; not once a poll. The
       report's callback may end or renew the connection: ReopenLostPort
       looks again. */
    if (gfLossUnreported.exchange(0) != 0 && fCommIn == 0)
        midPortError();
    ReopenLostPort();
}
