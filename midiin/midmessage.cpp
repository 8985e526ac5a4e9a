/*
 * The input devices' message procedure, one device for each port: count,
 * capabilities, open, queue a buffer, start, stop, reset and close. It opens
 * the port's shared connection, gates received bytes, and sets the time
 * base of every input timestamp.
 */
#include "driver/driver.h"
#include "midiin/midiin.h"
#include "res/resource.h"
#include "serial/serial.h"

#include <cstring>

constexpr MMVERSION kDriverVersion = 0x0100; /* 1.0 */

static DWORD midGetDevCaps(UINT uPort, LPMIDIINCAPSW lpCaps, DWORD dwSize)
{
    if (lpCaps == nullptr)
        return MMSYSERR_INVALPARAM;

    MIDIINCAPSW caps = {};
    caps.vDriverVersion = kDriverVersion;
    GetDeviceName(uPort, IDS_MIDIINNAME, caps.szPname);
    size_t cb = LOWORD(dwSize) < sizeof caps ? LOWORD(dwSize) : sizeof caps;
    memcpy(lpCaps, &caps, cb);
    return MMSYSERR_NOERROR;
}

static DWORD midOpen(UINT uPort, LPMIDIOPENDESC lpDesc, DWORD dwFlags)
{
    if (lpDesc == nullptr)
        return MMSYSERR_INVALPARAM;

    MIDIINPORT &in = gaMidiIn[uPort];
    MIDIINCONTROL &gMIMC = in.gMIMC;
    /* One client at a time, also while input is held after a reset: a
       second open would take the device from the first and raise the port's
       use count once more, so that the port would never be released. */
    DWORD dwClosed = 0;
    if (!in.gfMidiInOpen.compare_exchange_strong(dwClosed, 1))
        return MMSYSERR_ALLOCATED;

    if (OpenMIDICOM(uPort) != 0) {
        in.gfMidiInOpen = 0;
        return MMSYSERR_ALLOCATED;
    }
    /* A shared port takes one of its inputs' slots, or the open is refused as any other. */
    if (PortShared(uPort) && !ShareClaim(uPort, FALSE)) {
        CloseMIDICOM(uPort);
        in.gfMidiInOpen = 0;
        return MMSYSERR_ALLOCATED;
    }

    CritEnter(uPort);
    in.gMidiInClient.dwCallback = lpDesc->dwCallback;
    in.gMidiInClient.dwInstance = lpDesc->dwInstance;
    in.gMidiInClient.hMidi = (DWORD_PTR)lpDesc->hMidi;
    in.gMidiInClient.dwFlags = dwFlags;
    /* The parser's state is kept: only a start restarts it. */
    gMIMC.dwBufOffset = 0;
    gMIMC.lpQueue = nullptr;
    gMIMC.dwStartTime = timeGetTime();
    gMIMC.dwMsgTime = 0; /* a stamp left from the last use counts from another start: it could lie in the future */
    DWORD dwEpoch = ++in.gdwInputEpoch;
    MIDICLIENT client = in.gMidiInClient;
    CritLeave(uPort);

    /* The client hears of the open before any input: the gate opens after
       MIM_OPEN, unless its callback reset, started or closed the input. */
    midiCallback(&client, MIM_OPEN, 0, 0);
    CritEnter(uPort);
    if (in.gdwInputEpoch == dwEpoch)
        EnableCommIn(uPort);
    CritLeave(uPort);
    return MMSYSERR_NOERROR;
}

static DWORD midClose(UINT uPort)
{
    MIDIINPORT &in = gaMidiIn[uPort];
    CritEnter(uPort);
    DWORD dwResult = MMSYSERR_NOERROR;
    if (!in.gfMidiInOpen) {
        dwResult = MMSYSERR_INVALHANDLE;
    } else if (in.gMIMC.lpQueue != nullptr) {
        dwResult = MIDIERR_STILLPLAYING; /* the client resets first */
    } else {
        DisableCommIn(uPort);
        in.gdwInputEpoch++;
        in.gfMidiInOpen = 0;
    }
    MIDICLIENT client = in.gMidiInClient;
    CritLeave(uPort);
    if (dwResult != MMSYSERR_NOERROR)
        return dwResult;

    /* Outside the lock: closing the connection waits for a running poll,
       which may be waiting for the lock. With the output still open the
       poll goes on, so a callback of it under way is waited for too. */
    ShareRelease(uPort, FALSE);
    CloseMIDICOM(uPort);
    midWaitNotes(uPort);
    midiCallback(&client, MIM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

static DWORD midStartInput(UINT uPort)
{
    MIDIINPORT &in = gaMidiIn[uPort];
    CritEnter(uPort);
    if (!in.gfMidiInOpen) {
        CritLeave(uPort);
        return MMSYSERR_INVALHANDLE;
    }
    midResync(uPort);
    in.gMIMC.dwStarts++;
    in.gMIMC.dwMsgTime = 0;
    in.gMIMC.dwBufOffset = 0;
    in.gMIMC.dwStartTime = timeGetTime();
    in.gdwInputEpoch++;
    EnableCommIn(uPort);
    CritLeave(uPort);
    return MMSYSERR_NOERROR;
}

/* Input keeps flowing after a stop; only a reset holds it. */
static DWORD midStopInput(UINT uPort) { return gaMidiIn[uPort].gfMidiInOpen ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE; }

static DWORD midReset(UINT uPort)
{
    CritEnter(uPort);
    if (!gaMidiIn[uPort].gfMidiInOpen) {
        CritLeave(uPort);
        return MMSYSERR_INVALHANDLE;
    }
    DisableCommIn(uPort);
    gaMidiIn[uPort].gdwInputEpoch++;
    CritLeave(uPort);
    /* A buffer the poll took off the queue comes back before the rest, and
       before the reset returns: its client may free it then. */
    midWaitNotes(uPort);
    midFreeQ(uPort);
    return MMSYSERR_NOERROR;
}

extern "C" DWORD WINAPI midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    UINT uPort = LOWORD(uDeviceID); /* device n is port n */
    if (uPort >= gcPorts)
        return MMSYSERR_BADDEVICEID;

    switch (uMsg) {
    case MIDM_GETNUMDEVS:
        return gcPorts;
    case MIDM_GETDEVCAPS:
        return midGetDevCaps(uPort, (LPMIDIINCAPSW)dwParam1, (DWORD)dwParam2);
    case MIDM_OPEN:
        return midOpen(uPort, (LPMIDIOPENDESC)dwParam1, (DWORD)dwParam2);
    case MIDM_CLOSE:
        return midClose(uPort);
    case MIDM_ADDBUFFER:
        return midAddBuffer(uPort, (LPMIDIHDR)dwParam1);
    case MIDM_START:
        return midStartInput(uPort);
    case MIDM_STOP:
        return midStopInput(uPort);
    case MIDM_RESET:
        return midReset(uPort);
    default: /* MIDM_PREPARE and MIDM_UNPREPARE included: the system prepares */
        return MMSYSERR_NOTSUPPORTED;
    }
}
