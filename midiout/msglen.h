/*
 * MIDI message lengths, shared by the output framing and the input parser.
 */
#pragma once

#include "platform/platform.h"

/* By the high nibble of a channel status byte minus 8: bytes including the status. */
extern const BYTE gabMsgLenChannel[8];
/* By a system status byte minus 0xF0: bytes that an output short message sends. */
extern const BYTE gabMsgLenSystem[16];
