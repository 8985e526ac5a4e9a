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
void modSendData(const BYTE *lpData, DWORD cbLength);
DWORD modSendLongData(LPMIDIHDR lpHdr);
void modReset();

/* modmessage.cpp */
extern "C" DWORD WINAPI modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
