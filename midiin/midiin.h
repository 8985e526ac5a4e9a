/*
 * MIDI input: the queue of application buffers (queue.cpp), the byte parser
 * (parser.cpp) and the input device's message procedure (midmessage.cpp).
 */
#pragma once

#include "driver/driver.h"
#include "driver/midiclient.h"
#include "platform/platform.h"

/* A port's input state, shared by the queue, the parser and the input
   device. Every field is read and written only under the port's input lock
   (CritEnter). */
struct MIDIINCONTROL {
    BYTE fSysEx;         /* 1 while a system-exclusive message is being received */
    BYTE fSysExLost;     /* 1 after a port error broke one: its data up to the F7 is dropped */
    BYTE bRunningStatus; /* last channel status received; 0 when none */
    BYTE bBytesLeft;     /* data bytes still expected for the message under way */
    BYTE bBytePos;       /* byte of dwShortMsg where the next byte goes; 0: no message under way */
    DWORD dwShortMsg;    /* message being gathered, first byte low; low byte non-zero while pending */
    DWORD dwMsgTime;     /* ms since dwStartTime of the message under way and of returned buffers */
    DWORD dwStartTime;   /* timeGetTime when input was opened or last started */
    DWORD dwBufOffset;   /* bytes already written into the head buffer */
    DWORD dwStarts;      /* raised by every start, which begins the parser again */
    LPMIDIHDR lpQueue;   /* oldest queued buffer; null when empty */
};

/* One port's input device. Routines take the port's index and name its
   records as they were named when there was one port (gMIMC). */
struct MIDIINPORT {
    MIDIINCONTROL gMIMC;
    MIDICLIENT gMidiInClient;         /* written by the input open, read by every input notification */
    std::atomic<DWORD> gfMidiInOpen;  /* 1 from an input open (claimed before the port opens) to its close */
    std::atomic<DWORD> gdwInputEpoch; /* raised, under the input lock, by every open, close, start and reset */
};
extern MIDIINPORT gaMidiIn[kMaxPorts];

/* Notifications gathered under the input lock and made once it is released,
   so that a client may queue a buffer from inside its own callback. */
constexpr UINT kMaxPending = 48;  /* notifications gathered before they are made */
constexpr UINT kNotesPerByte = 3; /* one byte causes at most: a buffer, a cut message, its own */

struct MIDIINNOTE {
    WORD wMsg;          /* MIM_DATA, MIM_ERROR, MIM_LONGDATA or MIM_LONGERROR */
    BYTE fByteStart;    /* 1: the first notification of its byte */
    UINT iByte;         /* index in the read of the byte that gave it */
    DWORD_PTR dwParam1; /* packed message, stray byte or header */
    DWORD_PTR dwParam2; /* timestamp, ms */
};

struct MIDIINPENDING {
    UINT uPort;        /* the port whose input it is */
    MIDICLIENT client; /* the input client as it was when the notifications arose */
    DWORD dwEpoch;     /* gdwInputEpoch then */
    UINT cNotes;
    UINT iFirst;   /* index in the read of the batch's first byte */
    UINT iByte;    /* index in the read of the byte being parsed */
    BYTE fNewByte; /* 1 until the byte being parsed gives its first notification */
    BYTE fClock;   /* 1 once dwClock holds this pass's clock reading */
    DWORD dwClock; /* timeGetTime, read at most once a pass */
    MIDIINNOTE aNotes[kMaxPending];
};

/* queue.cpp */
void midCritInit(); /* every port's */
void midCritDelete();
void CritEnter(UINT uPort);
void CritLeave(UINT uPort);
void midPendInit(UINT uPort, MIDIINPENDING *lpPending);
void midPend(MIDIINPENDING *lpPending, WORD wMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
/* Makes the notifications, the lock released; returns how many were made.
   It stops once the gate has closed or input was opened, closed, started or
   reset meanwhile, but hands back a buffer it took off the queue. */
UINT midNotifyPending(const MIDIINPENDING *lpPending);
/* Returns once no notification of the port's parser is being made or owed,
   or after a limit; at once on the thread that makes them, from its callback. */
void midWaitNotes(UINT uPort);
DWORD midAddBuffer(UINT uPort, LPMIDIHDR lpHdr);
void midBufferWrite(BYTE b, MIDIINPENDING *lpPending); /* caller holds the input lock */
/* Returns the head buffer, broken by a port error, with MIM_LONGERROR;
   FALSE when none is queued. The caller holds the input lock. */
BOOL midBufferError(MIDIINPENDING *lpPending);
/* The leading data bytes of lpb, as midBufferWrite would take them one by one,
   up to the end of the head buffer (which is then returned); returns how
   many were taken. The caller holds the input lock. */
UINT midBufferWriteData(const BYTE *lpb, UINT cb, MIDIINPENDING *lpPending);
void midFreeQ(UINT uPort);

/* parser.cpp */
void midByteRec(UINT uPort, DWORD b);
/* Bytes were lost on the line, or the port went away: what was under way
   is given up as an error, never completed with data. */
void midPortError(UINT uPort);
/* Input starts again or the port was opened again: nothing under way
   survives, not even the running status. The caller holds the input lock. */
void midResync(UINT uPort);
/* Received bytes of one read in order, while the input gate stays open;
   every notification is made before it returns, all stamped with one clock
   reading; returns how many were taken. */
UINT midBytesRec(UINT uPort, const BYTE *lpb, UINT cb);
/* The same, for bytes another process read: stamped with its clock reading
   dwReadTime where fRead, as if this one had taken it. */
UINT midBytesRecAt(UINT uPort, const BYTE *lpb, UINT cb, BOOL fRead, DWORD dwReadTime);

/* midmessage.cpp */
extern "C" DWORD WINAPI midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
