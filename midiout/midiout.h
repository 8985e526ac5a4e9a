/*
 * MIDI output: framing of short and long messages with the output running
 * status, the reset sequence (framing.cpp), and the output device's message
 * procedure (modmessage.cpp).
 */
#pragma once

#include "platform/platform.h"

constexpr DWORD kStagingSize = 4096; /* bytes of one write */

/* framing.cpp */
extern BYTE gbMidiOutCurrentStatus; /* output running status: last channel status sent; 0 when none */

BYTE modSendShortMsg(DWORD dwMsg);
/* Stages and writes the bytes; they reach only the port that the caller's
   framing followed (modSendShortMsg, modSendLongData), never a newer one. */
void modSendData(const BYTE *lpData, DWORD cbLength);
DWORD modSendLongData(LPMIDIHDR lpHdr);
void modReset();

/* modmessage.cpp */
extern std::atomic<DWORD> gfMidiOutOpen; /* 1 from an output open (claimed before the port opens) to its close */
extern "C" DWORD WINAPI modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
