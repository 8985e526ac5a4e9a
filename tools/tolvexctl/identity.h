/*
 * tolvexctl identity: asks the module who it is with the General MIDI
 * identity request and prints the reply that comes back through the input.
 */
#pragma once

#include "device.h"

/* Opens input inId and output outId, sends F0 7E 7F 06 01 F7 and waits up to
   waitMs for an identity reply in a queued buffer. Prints
   "identity: f0 7e ... f7" and what it says, or "identity: no reply".
   Returns 0 for a reply, 1 otherwise. */
int CmdIdentity(Devices *dev, UINT inId, UINT outId, DWORD waitMs);
