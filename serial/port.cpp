/*
 * Each port's connection, which its two MIDI devices share: opened by the
 * first device open, closed by the last close. Its poll (poll.cpp) hands
 * each received byte to the port's input parser. A port whose device goes
 * away is reported once and opened again by its name about once a second,
 * while the devices stay open. Ports know nothing of one another.
 */
#include "config/config.h"
#include "midiin/midiin.h"
#include "serial/serial.h"
#include "serial/wformat.h"

DWORD DrvCont = 10; /* written at process attach; read at each first open */

namespace
{
constexpr UINT kQueueSize = 4096;  /* platform queue sizes asked of OpenComm (not used by it) */
constexpr int kNameChars = 20;     /* file name, terminator included */
constexpr int kSetupChars = 24;    /* settings description: com255:9999999,n,8,1 with room */
constexpr WORD kOpenFailed = 1;    /* OpenMIDICOM's failure result */
constexpr LONG kPlainNameLast = 9; /* COM1 to COM9 are DOS device names; higher ports are not */
constexpr DWORD kReopenMs = 1000;  /* between two tries to open a lost port again */
constexpr DWORD kPollTurnMs = 1;   /* the poll waits this long for the lock before looking again */

const WCHAR aszComm[] = WSTR("com");
const WCHAR aszDeviceComm[] = WSTR("\\\\.\\COM");          /* the device namespace, where every port is found */
const WCHAR aszCommOpenFormat[] = WSTR("%s%1d");           /* port 1: com1 */
const WCHAR aszCommSetupFormat[] = WSTR("%s%1d:%d,n,8,1"); /* port 1 at 38400: com1:38400,n,8,1 */

/* The rest of one port's connection; its values at load need no code run. */
struct PORTCONN {
    CRITICAL_SECTION gCommCrit;   /* serializes opening and closing the connection */
    CRITICAL_SECTION gPortCrit;   /* held by a writer using idComDev and by the poll replacing it */
    WCHAR szPortName[kNameChars]; /* the open port's file name, to open it again when lost */
    DCB dcb;                      /* settings built from the description alone */
    DCB Predcb;                   /* the port's settings as found at open; not given back */
    COMSTAT CloseStat;            /* filled by the error query at close; not used */

    std::atomic<DWORD> gfPortLost;       /* 1 from a failed handle until the port opens again */
    std::atomic<DWORD> gfLossUnreported; /* 1 from a loss until the poll has reported it */

    /* The poll's own state: only the poll's thread touches it. */
    BYTE RecData[kRecDataSize]; /* bytes of the last read */
    int GetCount;               /* bytes of the last read still to hand on */
    DWORD CommError;            /* error bits of the last poll */
    COMSTAT Stat;               /* filled by the poll's error query; not used */
    DWORD dwLastTry;            /* timeGetTime of the last try to open a lost port again */
};

PORTCONN gaConn[kMaxPorts];

void ClosePort(UINT uPort)
{
    COMMPORT &c = gaCommPort[uPort];
    PORTCONN &p = gaConn[uPort];
    ShareDisconnect(uPort); /* a shared port's record and claims, when it is one */
    EnterCriticalSection(&p.gPortCrit);
    if (c.idComDev != 0) {
        GetCommError(c.idComDev, &p.CloseStat);
        CloseHandle(c.idComDev);
    }
    c.idComDev = 0;
    p.gfPortLost = 0;
    p.gfLossUnreported = 0;
    LeaveCriticalSection(&p.gPortCrit);
}

/* Opens the port by szPortName and gives it the line's settings; 0 on failure. */
HANDLE OpenPortByName(UINT uPort)
{
    PORTCONN &p = gaConn[uPort];
    HANDLE h = OpenComm(p.szPortName, kQueueSize, kQueueSize);
    if (h != 0 && !SetCommState(h, &p.dcb)) {
        CloseHandle(h);
        h = 0;
    }
    return h;
}

} // namespace

HANDLE OpenPortLine(UINT uPort)
{
    PORTCONN &p = gaConn[uPort];
    LONG port = gaPortSetting[uPort].RSPort;
    WCHAR szSetup[kSetupChars];

    /* COM10 and above open only as \\.\COMn: a plain "com12" names no device. */
    LPCWSTR lpszPrefix = port > kPlainNameLast ? aszDeviceComm : aszComm;

    /* The stored port number is not ours to trust: texts that do not fit
       fail the open before anything is taken, rather than run past the buffer. */
    if (FormatW(p.szPortName, kNameChars, aszCommOpenFormat, lpszPrefix, (int)port) < 0 ||
        FormatW(szSetup, kSetupChars, aszCommSetupFormat, aszComm, (int)port, (int)gaPortSetting[uPort].dwBaud) < 0)
        return 0;

    HANDLE h = OpenComm(p.szPortName, kQueueSize, kQueueSize);
    if (h == 0)
        return 0;

    GetCommState(h, &p.Predcb);

    /* Built into dcb as it was left, not into Predcb: nothing the description
       leaves out is taken over from whatever the port was set to. A speed
       the port does not take fails here, as any other setting would. */
    if (BuildCommDCBW(szSetup, &p.dcb) != TRUE || !SetCommState(h, &p.dcb)) {
        GetCommError(h, &p.CloseStat);
        CloseHandle(h);
        return 0;
    }
    return h;
}

namespace
{
WORD OpenFirst(UINT uPort)
{
    COMMPORT &c = gaCommPort[uPort];
    /* A shared port is reached through its owner; this program opens no port. */
    BOOL fShared = GetSharedConfig(uPort);
    if (fShared ? !ShareConnect(uPort) : (c.idComDev = OpenPortLine(uPort)) == 0)
        return kOpenFailed;

    /* The input mode is read here, so that a change takes effect at the
       next open of the connection, not at the next load of the library. */
    DWORD dwPeriod = GetLowLatencyConfig(uPort) ? kLowLatencyPeriod : DrvCont;

    /* Without the poll nothing received would ever arrive: fail the open rather than report it done. */
    if (!StartPoll(uPort, dwPeriod)) {
        ClosePort(uPort);
        return kOpenFailed;
    }
    c.UseComCount = 1;
    return 0;
}

/* The lock is free of long holders but for one that is ending the poll and
   waits for it: the poll, in a client's callback, must not wait for that
   one in turn. FALSE: the poll is ending, and the caller gives up. */
BOOL CommEnter(UINT uPort)
{
    CRITICAL_SECTION *lpCrit = &gaConn[uPort].gCommCrit;
    if (!OnPollThread(uPort)) {
        EnterCriticalSection(lpCrit);
        return TRUE;
    }
    while (!TryEnterCriticalSection(lpCrit)) {
        if (PollStopping(uPort))
            return FALSE;
        Sleep(kPollTurnMs);
    }
    return TRUE;
}

void MarkPortLost(PORTCONN &p)
{
    if (p.gfPortLost.exchange(1) == 0)
        p.gfLossUnreported = 1;
}

/* Reads what arrived and hands it on; finds out whether the port is lost. */
void ReadPort(UINT uPort)
{
    COMMPORT &c = gaCommPort[uPort];
    PORTCONN &p = gaConn[uPort];
    p.GetCount = 0;
    p.CommError = 0;
    /* Read everything that arrived: 32 bytes a poll cannot keep up with
       38400 bit/s (3840 bytes/s against 3200). */
    p.GetCount = ReadComm(c.idComDev, p.RecData, kRecDataSize);
    /* A port that cannot even be asked for its errors has gone away. */
    if (!QueryCommError(c.idComDev, &p.CommError, &p.Stat))
        MarkPortLost(p);
    if (p.GetCount < 0)
        p.GetCount = -p.GetCount; /* a failed read still delivered these */

    /* A reset or close on another thread drops the rest of this read: the
       parser looks at the gate before each byte (or run of exclusive data)
       and before making known the messages of each byte it has gathered. */
    for (int i = 0; p.GetCount > 0 && c.fCommIn == 0;) {
        UINT cb = midBytesRec(uPort, p.RecData + i, (UINT)p.GetCount);
        i += (int)cb;
        p.GetCount -= (int)cb;
    }
    p.GetCount = 0;

    /* Bytes were lost on the line: reported as an error, never as data. */
    if (p.CommError != 0 && !p.gfPortLost)
        midPortError(uPort);
}

/* While the port is lost: its handle goes, and about once a second the
   port is opened again by its name. The devices stay open meanwhile. */
void ReopenLostPort(UINT uPort)
{
    COMMPORT &c = gaCommPort[uPort];
    PORTCONN &p = gaConn[uPort];
    DWORD now = timeGetTime();
    /* Looked at again under the lock: a client's callback for the loss may
       have closed the connection, or opened it afresh, and that handle is
       not the lost one. */
    EnterCriticalSection(&p.gPortCrit);
    BOOL fLost = p.gfPortLost != 0;
    if (fLost && c.idComDev != 0) {
        CloseHandle(c.idComDev);
        c.idComDev = 0;
        p.dwLastTry = now;
    }
    LeaveCriticalSection(&p.gPortCrit);
    if (!fLost || now - p.dwLastTry < kReopenMs || PollStopping(uPort))
        return;
    p.dwLastTry = now;
    HANDLE h = OpenPortByName(uPort);
    if (h == 0)
        return;

    /* The open may take seconds (a wireless port out of range): a close that
       gave up waiting for it meanwhile has ended the connection, which the
       handle must not outlive. */
    EnterCriticalSection(&p.gPortCrit);
    BOOL fInstall = p.gfPortLost != 0 && c.idComDev == 0 && !PollStopping(uPort);
    if (fInstall) {
        c.idComDev = h;
        p.gfPortLost = 0;
        c.gdwPortEpoch++; /* the output's running status starts again */
    }
    LeaveCriticalSection(&p.gPortCrit);
    if (!fInstall) {
        CloseHandle(h);
        return;
    }
    CritEnter(uPort);
    midResync(uPort); /* what was under way when the port went is gone */
    CritLeave(uPort);
}
} // namespace

void CommCritInit()
{
    for (PORTCONN &p : gaConn) {
        InitializeCriticalSection(&p.gCommCrit);
        InitializeCriticalSection(&p.gPortCrit);
    }
}

void CommCritDelete()
{
    for (PORTCONN &p : gaConn) {
        DeleteCriticalSection(&p.gPortCrit);
        DeleteCriticalSection(&p.gCommCrit);
    }
}

/* The lock makes two devices opened at the same moment share one port. */
WORD OpenMIDICOM(UINT uPort)
{
    if (!CommEnter(uPort))
        return kOpenFailed; /* the connection is being ended by another thread */
    COMMPORT &c = gaCommPort[uPort];
    WORD result = 0;
    if (c.UseComCount != 0)
        c.UseComCount++; /* open for the other device */
    else
        result = OpenFirst(uPort);
    LeaveCriticalSection(&gaConn[uPort].gCommCrit);
    return result;
}

WORD CloseMIDICOM(UINT uPort)
{
    if (!CommEnter(uPort))
        return 0; /* another thread is ending the whole connection */
    COMMPORT &c = gaCommPort[uPort];
    if (c.UseComCount == 1) {
        StopPoll(uPort); /* before the handle goes: the poll reads it */
        ClosePort(uPort);
        c.UseComCount = 0;
    } else if (c.UseComCount > 1) {
        c.UseComCount--; /* never below 0: that would make the next open skip the port */
    }
    LeaveCriticalSection(&gaConn[uPort].gCommCrit);
    return 0;
}

void ReleaseMIDICOM()
{
    for (UINT uPort = 0; uPort < kMaxPorts; uPort++) {
        if (!CommEnter(uPort))
            continue;
        COMMPORT &c = gaCommPort[uPort];
        /* One wait either way: a second after the first ran out would only
           double the hang of an unload. */
        if (c.UseComCount > 0) {
            DisableCommIn(uPort);
            DisableCommOut(uPort); /* nothing may write to the handle about to close */
            StopPoll(uPort);
            ClosePort(uPort);
            c.UseComCount = 0;
        } else {
            ReapPoll(uPort); /* a poll ended from its own callback, on its way out */
        }
        LeaveCriticalSection(&gaConn[uPort].gCommCrit);
    }
}

void PortWrite(UINT uPort, const BYTE *lpBuf, int cb, DWORD dwEpoch)
{
    COMMPORT &c = gaCommPort[uPort];
    PORTCONN &p = gaConn[uPort];
    if (PortShared(uPort)) {
        if (c.gdwPortEpoch == dwEpoch)
            ShareWrite(uPort, lpBuf, cb);
        return;
    }
    EnterCriticalSection(&p.gPortCrit);
    if (!p.gfPortLost && c.idComDev != 0 && c.gdwPortEpoch == dwEpoch) {
        DWORD dwErrors;
        /* A failed write is not reported, but a device gone is noticed; one
           that goes while the write waits may still report success, short. */
        if (WriteComm(c.idComDev, lpBuf, cb) != cb && !QueryCommError(c.idComDev, &dwErrors, nullptr))
            MarkPortLost(p);
    }
    LeaveCriticalSection(&p.gPortCrit);
}

void GetCommBuff(UINT uPort)
{
    PORTCONN &p = gaConn[uPort];
    if (PortShared(uPort)) {
        SharePoll(uPort);
        return;
    }
    if (!p.gfPortLost && gaCommPort[uPort].fCommIn == 0)
        ReadPort(uPort); /* held back otherwise: the bytes wait in the platform's queue */
    if (!p.gfPortLost || PollStopping(uPort))
        return; /* ended from a callback: the handle is no longer the poll's */

    /* Reported once, with the rules of any port error; not once a poll. The
       report's callback may end or renew the connection: ReopenLostPort
       looks again. */
    if (p.gfLossUnreported.exchange(0) != 0 && gaCommPort[uPort].fCommIn == 0)
        midPortError(uPort);
    ReopenLostPort(uPort);
}
