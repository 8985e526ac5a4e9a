/*
 * The input device's message procedure: count, capabilities, open, queue a
 * buffer, start, stop, reset and close. It opens the shared port connection,
 * gates received bytes, and sets the time base of every input timestamp.
 */
#include "driver/driver.h"
#include "midiin/midiin.h"
#include "res/resource.h"
#include "serial/serial.h"

#include <cstring>

constexpr DWORD kNumInDevs = 1;              /* one input device, index 0 */
constexpr MMVERSION kDriverVersion = 0x0100; /* 1.0 */

static DWORD midGetDevCaps(LPMIDIINCAPSW lpCaps, DWORD dwSize)
{
    if (lpCaps == nullptr)
        return MMSYSERR_INVALPARAM;

    MIDIINCAPSW caps = {};
    caps.vDriverVersion = kDriverVersion;
    LoadStringW(ghModule, IDS_MIDIINNAME, caps.szPname, MAXPNAMELEN);
    size_t cb = LOWORD(dwSize) < sizeof caps ? LOWORD(dwSize) : sizeof caps;
    memcpy(lpCaps, &caps, cb);
    return MMSYSERR_NOERROR;
}

static DWORD midOpen(LPMIDIOPENDESC lpDesc, DWORD dwFlags)
{
    if (lpDesc == nullptr)
        return MMSYSERR_INVALPARAM;

    /* One client at a time, also while input is held after a reset: a
       second open would take the device from the first and raise the port's
       use count once more, so that the port would never be released. */
    DWORD dwClosed = 0;
    if (!gfMidiInOpen.compare_exchange_strong(dwClosed, 1))
        return MMSYSERR_ALLOCATED;

    if (OpenMIDICOM(RSPort) != 0) {
        gfMidiInOpen = 0;
        return MMSYSERR_ALLOCATED;
    }

    CritEnter();
    gMidiInClient.dwCallback = lpDesc->dwCallback;
    gMidiInClient.dwInstance = lpDesc->dwInstance;
    gMidiInClient.hMidi = (DWORD_PTR)lpDesc->hMidi;
    gMidiInClient.dwFlags = dwFlags;
    /* The parser's state is kept: only a start restarts it. */
    gMIMC.dwBufOffset = 0;
    gMIMC.lpQueue = nullptr;
    gMIMC.dwStartTime = timeGetTime();
    gMIMC.dwMsgTime = 0; /* a stamp left from the last use counts from another start: it could lie in the future */
    DWORD dwEpoch = ++gdwInputEpoch;
    MIDICLIENT client = gMidiInClient;
    CritLeave();

    /* The client hears of the open before any input: the gate opens after
       MIM_OPEN, unless its callback reset, started or closed the input. */
    midiCallback(&client, MIM_OPEN, 0, 0);
    CritEnter();
    if (gdwInputEpoch == dwEpoch)
        EnableCommIn();
    CritLeave();
    return MMSYSERR_NOERROR;
}

static DWORD midClose()
{
    CritEnter();
    DWORD dwResult = MMSYSERR_NOERROR;
    if (!gfMidiInOpen) {
        dwResult = MMSYSERR_INVALHANDLE;
    } else if (gMIMC.lpQueue != nullptr) {
        dwResult = MIDIERR_STILLPLAYING; /* the client resets first */
    } else {
        DisableCommIn();
        gdwInputEpoch++;
        gfMidiInOpen = 0;
    }
    MIDICLIENT client = gMidiInClient;
    CritLeave();
    if (dwResult != MMSYSERR_NOERROR)
        return dwResult;

    /* Outside the lock: closing the connection waits for a running poll,
       which may be waiting for the lock. With the output still open the
       poll goes on, so a callback of it under way is waited for too. */
    CloseMIDICOM(RSPort);
    midWaitNotes();
    midiCallback(&client, MIM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

static DWORD midStartInput()
{
    CritEnter();
    if (!gfMidiInOpen) {
        CritLeave();
        return MMSYSERR_INVALHANDLE;
    }
    midResync();
    gMIMC.dwStarts++;
    gMIMC.dwMsgTime = 0;
    gMIMC.dwBufOffset = 0;
    gMIMC.dwStartTime = timeGetTime();
    gdwInputEpoch++;
    EnableCommIn();
    CritLeave();
    return MMSYSERR_NOERROR;
}

/* Input keeps flowing after a stop; only a reset holds it. */
static DWORD midStopInput() { return gfMidiInOpen ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE; }

static DWORD midReset()
{
    CritEnter();
    if (!gfMidiInOpen) {
        CritLeave();
        return MMSYSERR_INVALHANDLE;
    }
    DisableCommIn();
    gdwInputEpoch++;
    CritLeave();
    /* A buffer the poll took off the queue comes back before the rest, and
       before the reset returns: its client may free it then. */
    midWaitNotes();
    midFreeQ();
    return MMSYSERR_NOERROR;
}

extern "C" DWORD WINAPI midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    if (LOWORD(uDeviceID) != 0)
        return MMSYSERR_BADDEVICEID;

    switch (uMsg) {
    case MIDM_GETNUMDEVS:
        return kNumInDevs;
    case MIDM_GETDEVCAPS:
        return midGetDevCaps((LPMIDIINCAPSW)dwParam1, (DWORD)dwParam2);
    case MIDM_OPEN:
        return midOpen((LPMIDIOPENDESC)dwParam1, (DWORD)dwParam2);
    case MIDM_CLOSE:
        return midClose();
    case MIDM_ADDBUFFER:
        return midAddBuffer((LPMIDIHDR)dwParam1);
    case MIDM_START:
        return midStartInput();
    case MIDM_STOP:
        return midStopInput();
    case MIDM_RESET:
        return midReset();
    default: /* MIDM_PREPARE and MIDM_UNPREPARE included: the system prepares */
        return MMSYSERR_NOTSUPPORTED;
    }
}
