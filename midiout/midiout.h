/*
 * MIDI output: framing of short and long messages with the output running
 * status, the reset sequence (framing.cpp), and the output devices' message
 * procedure (modmessage.cpp), one device for each port.
 */
#pragma once

#include "driver/driver.h"
#include "driver/midiclient.h"
#include "platform/platform.h"

constexpr DWORD kStagingSize = 4096; /* bytes of one write */

/* One port's output device. Routines take the port's index and name its
   fields as they were named when there was one port. Its values at load
   need no code run. */
struct MIDIOUTPORT {
    MIDICLIENT gMidiOutClient = {};      /* written by the output open, read by every output notification */
    std::atomic<DWORD> gfMidiOutOpen{0}; /* 1 from an output open (claimed before the port opens) to its close */
    /* Output running status: last channel status sent, 0 when none. Written
       by modSendData, the output open and modReset; one sender at a time
       (the output device's re-entry guard). */
    BYTE gbMidiOutCurrentStatus = 0;
};
extern MIDIOUTPORT gaMidiOut[kMaxPorts];

/* framing.cpp */
BYTE modSendShortMsg(UINT uPort, DWORD dwMsg);
/* Stages and writes the bytes; they reach only the port that the caller's
   framing followed (modSendShortMsg, modSendLongData), never a newer one. */
void modSendData(UINT uPort, const BYTE *lpData, DWORD cbLength);
DWORD modSendLongData(UINT uPort, LPMIDIHDR lpHdr);
void modReset(UINT uPort);

/* modmessage.cpp */
extern "C" DWORD WINAPI modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
