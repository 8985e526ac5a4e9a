/*
 * The output devices' message procedure, modMessage: one device for each
 * port, device n for port n, which writes to that port through the output
 * framing.
 */
#include "driver/driver.h"
#include "driver/midiclient.h"
#include "midiout/midiout.h"
#include "res/resource.h"
#include "serial/serial.h"

namespace
{
constexpr MMVERSION kDriverVersion = 0x0100; /* 1.0 */
constexpr WORD kAllChannels = 0xFFFF;        /* wChannelMask */
constexpr DWORD kOutClosing = 2;             /* gfMidiOutOpen while a close runs */

/* Send, long-send and reset requests inside modMessage, for each port: the
   one that raises it from 0 goes ahead, any other (another thread, a
   callback) is turned away. */
std::atomic<WORD> wMidiOutEntered[kMaxPorts];

DWORD modAcquireHardware() { return 0; }
DWORD modReleaseHardware() { return 0; }

DWORD modGetDevCaps(UINT uPort, LPMIDIOUTCAPSW lpCaps, DWORD_PTR cbSize)
{
    if (lpCaps == nullptr)
        return MMSYSERR_INVALPARAM;

    MIDIOUTCAPSW caps = {};
    caps.wMid = 0;
    caps.wPid = 0;
    caps.vDriverVersion = kDriverVersion;
    GetDeviceName(uPort, IDS_MIDIOUTNAME, caps.szPname);
    caps.wTechnology = MOD_MIDIPORT;
    caps.wVoices = 0;
    caps.wNotes = 0;
    caps.wChannelMask = kAllChannels;
    caps.dwSupport = 0;

    /* The caller's size may be that of an older, shorter record. */
    DWORD cb = LOWORD(cbSize) < sizeof(caps) ? LOWORD(cbSize) : (DWORD)sizeof(caps);
    const BYTE *src = reinterpret_cast<const BYTE *>(&caps);
    BYTE *dst = reinterpret_cast<BYTE *>(lpCaps);
    for (DWORD k = 0; k < cb; k++)
        dst[k] = src[k];
    return MMSYSERR_NOERROR;
}

/* Claimed by a compare-and-swap, as the input is: of two opens at once,
   one takes the device and the other is refused. */
DWORD modOpen(UINT uPort, const MIDIOPENDESC *lpDesc, DWORD dwFlags)
{
    MIDIOUTPORT &out = gaMidiOut[uPort];
    if (lpDesc == nullptr)
        return MMSYSERR_INVALPARAM;
    if (modAcquireHardware() != 0)
        return MMSYSERR_ALLOCATED;
    DWORD dwClosed = 0;
    if (!out.gfMidiOutOpen.compare_exchange_strong(dwClosed, 1))
        return MMSYSERR_ALLOCATED; /* open already: the first client keeps it */
    if (OpenMIDICOM(uPort) != 0) {
        out.gfMidiOutOpen = 0;
        return MMSYSERR_ALLOCATED;
    }
    /* A shared port takes one of its outputs' slots, or the open is refused as any other. */
    if (PortShared(uPort) && !ShareClaim(uPort, TRUE)) {
        CloseMIDICOM(uPort);
        out.gfMidiOutOpen = 0;
        return MMSYSERR_ALLOCATED;
    }

    out.gMidiOutClient.dwCallback = lpDesc->dwCallback;
    out.gMidiOutClient.dwInstance = lpDesc->dwInstance;
    out.gMidiOutClient.hMidi = (DWORD_PTR)lpDesc->hMidi;
    out.gMidiOutClient.dwFlags = dwFlags;
    EnableCommOut(uPort);
    out.gbMidiOutCurrentStatus = 0;
    midiCallback(&out.gMidiOutClient, MOM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD modClose(UINT uPort)
{
    MIDIOUTPORT &out = gaMidiOut[uPort];
    /* A close of a closed device would take the shared port's count below
       the other device's open; of two closes at once, one goes ahead. */
    DWORD dwOpen = 1;
    if (gaCommPort[uPort].fCommOut != 0 || !out.gfMidiOutOpen.compare_exchange_strong(dwOpen, kOutClosing))
        return MMSYSERR_INVALHANDLE;

    /* The client hears of the close at once; the reset's 30 ms wait follows,
       while the gate is still open so that its bytes reach the module. */
    midiCallback(&out.gMidiOutClient, MOM_CLOSE, 0, 0);
    modReset(uPort);
    DisableCommOut(uPort);
    modReleaseHardware();
    DisableCommOut(uPort);
    ShareRelease(uPort, TRUE); /* once the reset has left the ring */
    CloseMIDICOM(uPort);
    out.gfMidiOutOpen = 0;
    return MMSYSERR_NOERROR;
}

DWORD modGuarded(UINT uPort, UINT uMsg, DWORD_PTR dwParam1)
{
    DWORD result = MIDIERR_NOTREADY;
    if (wMidiOutEntered[uPort].fetch_add(1) == 0) {
        switch (uMsg) {
        case MODM_DATA:
            modSendShortMsg(uPort, (DWORD)dwParam1);
            result = MMSYSERR_NOERROR;
            break;
        case MODM_LONGDATA:
            result = modSendLongData(uPort, reinterpret_cast<LPMIDIHDR>(dwParam1));
            break;
        case MODM_RESET:
            modReset(uPort);
            result = MMSYSERR_NOERROR;
            break;
        }
    }
    wMidiOutEntered[uPort].fetch_sub(1);
    return result;
}
} // namespace

extern "C" DWORD WINAPI modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    UINT uPort = LOWORD(uDeviceID); /* device n is port n */
    if (uPort >= gcPorts)
        return MMSYSERR_BADDEVICEID;

    switch (uMsg) {
    case MODM_GETNUMDEVS:
        return gcPorts;
    case MODM_GETDEVCAPS:
        return modGetDevCaps(uPort, reinterpret_cast<LPMIDIOUTCAPSW>(dwParam1), dwParam2);
    case MODM_OPEN:
        return modOpen(uPort, reinterpret_cast<const MIDIOPENDESC *>(dwParam1), (DWORD)dwParam2);
    case MODM_CLOSE:
        return modClose(uPort);
    case MODM_DATA:
    case MODM_LONGDATA:
    case MODM_RESET:
        return modGuarded(uPort, uMsg, dwParam1);
    default: /* MODM_PREPARE and MODM_UNPREPARE too: the system prepares headers */
        return MMSYSERR_NOTSUPPORTED;
    }
}
