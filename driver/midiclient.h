/*
 * Client records and the one routine that notifies applications. Each device
 * keeps the data its client gave at open; every notification goes through
 * midiCallback to the multimedia system's DriverCallback.
 */
#pragma once

#include "platform/platform.h"

/* One per device (gMidiInClient, gMidiOutClient of each port), filled at
   each successful open and never cleared. */
struct MIDICLIENT {
    DWORD_PTR dwCallback; /* callback target by type; 0: notify nobody */
    DWORD_PTR dwInstance; /* client's instance word, passed back unchanged */
    DWORD_PTR hMidi;      /* device handle the multimedia system assigned */
    DWORD dwFlags;        /* open flags; high word holds the callback type */
};

void midiCallback(const MIDICLIENT *client, WORD msg, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
