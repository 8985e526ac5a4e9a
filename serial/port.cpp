/*
 * The port connection that both MIDI devices share: opened by the first
 * device open, closed by the last close, with a 10 ms timer that polls the
 * port and hands each received byte to the input parser.
 */
#include "midiin/midiin.h"
#include "serial/serial.h"
#include "serial/wformat.h"

DWORD DrvCont = 10; /* written at process attach; read at each first open */
LONG UseComCount;   /* written under gCommCrit only */

namespace
{
constexpr UINT kQueueSize = 4096;    /* platform queue sizes asked of OpenComm (not used by it) */
constexpr UINT kResolutionMs = 1;    /* timer resolution held while the connection is open */
constexpr int kNameChars = 20;       /* file name and settings description, terminator included */
constexpr int kLineBaud = CBR_38400; /* the module's line speed */
constexpr WORD kOpenFailed = 1;      /* OpenMIDICOM's failure result */
constexpr DWORD kErrorByte = 0x00;   /* handed to the parser after a port error */
constexpr LONG kPlainNameLast = 9;   /* COM1 to COM9 are DOS device names; higher ports are not */

const WCHAR aszComm[] = WSTR("com");
const WCHAR aszDeviceComm[] = WSTR("\\\\.\\COM");          /* the device namespace, where every port is found */
const WCHAR aszCommOpenFormat[] = WSTR("%s%1d");           /* port 1: com1 */
const WCHAR aszCommSetupFormat[] = WSTR("%s%1d:%d,n,8,1"); /* port 1: com1:38400,n,8,1 */

CRITICAL_SECTION gCommCrit; /* serializes opening and closing the connection */
UINT myTimerID;             /* the poll timer, while the connection is open */
DCB dcb;                    /* settings built from the description alone */
DCB Predcb;                 /* the port's settings as found at open; not given back */
COMSTAT CloseStat;          /* filled by the error query at close; not used */

/* The poll's own state: only the timer thread touches it. */
BYTE RecData[kRecDataSize]; /* bytes of the last read */
int GetCount;               /* bytes of the last read still to hand on */
DWORD CommError;            /* error bits of the last poll */
COMSTAT Stat;               /* filled by the poll's error query; not used */

/* Gives back the timer and the resolution that an open took. */
void StopPoll()
{
    if (myTimerID != 0)
        timeKillEvent(myTimerID); /* no poll runs once this returns */
    myTimerID = 0;
    timeEndPeriod(kResolutionMs);
}

void ClosePort()
{
    GetCommError(idComDev, &CloseStat);
    CloseHandle(idComDev);
    idComDev = 0;
}

WORD OpenFirst(LONG port)
{
    WCHAR szName[kNameChars];
    WCHAR szSetup[kNameChars];

    /* COM10 and above open only as \\.\COMn: a plain "com12" names no device. */
    LPCWSTR lpszPrefix = port > kPlainNameLast ? aszDeviceComm : aszComm;

    /* The stored port number is not ours to trust: texts that do not fit
       fail the open before anything is taken, rather than run past the buffer. */
    if (FormatW(szName, kNameChars, aszCommOpenFormat, lpszPrefix, (int)port) < 0 ||
        FormatW(szSetup, kNameChars, aszCommSetupFormat, aszComm, (int)port, kLineBaud) < 0)
        return kOpenFailed;

    idComDev = OpenComm(szName, kQueueSize, kQueueSize);
    timeBeginPeriod(kResolutionMs);
    myTimerID = timeSetEvent(DrvCont, 0, TimeFunction, 0, TIME_PERIODIC);
    if (idComDev == 0) {
        StopPoll();
        return kOpenFailed;
    }
    if (myTimerID == 0) {
        /* Without the poll nothing received would ever arrive: fail the open rather than report it done. */
        StopPoll();
        ClosePort();
        return kOpenFailed;
    }

    GetCommState(idComDev, &Predcb);

    /* Built into dcb as it was left, not into Predcb: nothing the description
       leaves out is taken over from whatever the port was set to. */
    if (BuildCommDCBW(szSetup, &dcb) != TRUE || !SetCommState(idComDev, &dcb)) {
        StopPoll();
        ClosePort();
        return kOpenFailed;
    }

    UseComCount = 1;
    return 0;
}
} // namespace

void CommCritInit() { InitializeCriticalSection(&gCommCrit); }
void CommCritDelete() { DeleteCriticalSection(&gCommCrit); }

/* The lock makes two devices opened at the same moment share one port. */
WORD OpenMIDICOM(LONG port)
{
    EnterCriticalSection(&gCommCrit);
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
    EnterCriticalSection(&gCommCrit);
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
    EnterCriticalSection(&gCommCrit);
    if (UseComCount > 0) {
        DisableCommIn();
        DisableCommOut(); /* nothing may write to the handle about to close */
        StopPoll();
        ClosePort();
        UseComCount = 0;
    }
    LeaveCriticalSection(&gCommCrit);
}

void CALLBACK TimeFunction(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) { GetCommBuff(); }

void GetCommBuff()
{
    if (fCommIn != 0)
        return; /* held back: the bytes wait in the platform's queue */

    GetCount = 0;
    CommError = 0;
    /* Read everything that arrived: 32 bytes a poll cannot keep up with
       38400 bit/s (3840 bytes/s against 3200). */
    GetCount = ReadComm(idComDev, RecData, kRecDataSize);
    CommError = GetCommError(idComDev, &Stat);
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

    if (CommError != 0)
        midByteRec(kErrorByte);
}
