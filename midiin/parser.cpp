/*
 * Input byte parser, one for each port: turns the received bytes, a byte or
 * a read at a time, into short messages with running status resolved,
 * real-time and system-common messages, system-exclusive data for the queued
 * buffers, and errors for stray or broken data; each stamped in ms since
 * input was opened or started.
 */
#include "midiin/midiin.h"
#include "midiout/msglen.h"
#include "serial/serial.h"

constexpr BYTE kFirstStatus = 0x80;   /* bytes below are data bytes */
constexpr BYTE kLastChannel = 0xEF;   /* channel status bytes end here */
constexpr BYTE kChannelBase = 8;      /* high nibble of the first channel status */
constexpr BYTE kSysEx = 0xF0;         /* start of system exclusive */
constexpr BYTE kQuarterFrame = 0xF1;  /* time code quarter frame: one data byte */
constexpr BYTE kSongPosition = 0xF2;  /* song position pointer: two data bytes */
constexpr BYTE kSongSelect = 0xF3;    /* song select: one data byte */
constexpr BYTE kEox = 0xF7;           /* end of system exclusive */
constexpr BYTE kFirstRealTime = 0xF8; /* clock, start, stop...: alone, anywhere */
constexpr BYTE kSongPositionData = 2; /* data bytes of a song position pointer */
constexpr BYTE kOtherCommonData = 1;  /* data bytes of a quarter frame or song select */
constexpr BYTE kShortMsgBytes = 4;    /* bytes in dwShortMsg */
constexpr DWORD kLowByte = 0xFF;      /* mask of one byte of dwShortMsg */
constexpr UINT kBitsPerByte = 8;

static void midSetMsgByte(MIDIINCONTROL &gMIMC, BYTE bPos, BYTE b)
{
    UINT uShift = bPos * kBitsPerByte;
    gMIMC.dwShortMsg = (gMIMC.dwShortMsg & ~(kLowByte << uShift)) | ((DWORD)b << uShift);
}

/* Read only where a byte starts a message or is one, and at most once a
   pass: most received bytes take no stamp, and the clock costs more than
   parsing them. */
static DWORD midNow(MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    if (!lpPending->fClock) {
        lpPending->dwClock = timeGetTime();
        lpPending->fClock = 1;
    }
    /* A byte another process read just before this input started counts from the start. */
    DWORD dwSince = lpPending->dwClock - gMIMC.dwStartTime;
    return (LONG)dwSince < 0 ? 0 : dwSince;
}

/* A status byte cuts short the message under way: it is given up as an
   error, and no message is under way until the status byte is parsed. */
static void midCutShort(MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    if (gMIMC.dwShortMsg & kLowByte) {
        midPend(lpPending, MIM_ERROR, gMIMC.dwShortMsg, gMIMC.dwMsgTime);
        gMIMC.dwShortMsg = 0;
        gMIMC.bBytePos = 0;
    }
}

static void midStatusByte(BYTE b, MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    if (gMIMC.fSysExLost) {
        gMIMC.fSysExLost = 0;
        if (b == kEox)
            return; /* the end of what a port error broke, reported already */
    }
    if (gMIMC.fSysEx) {
        gMIMC.fSysEx = 0;
        /* An F0 is stored once, below, where it starts the message that
           follows in the same buffer. */
        if (b != kSysEx)
            midBufferWrite(b, lpPending);
        if (b == kEox)
            return;
    }

    midCutShort(lpPending);
    DWORD dwTime = midNow(lpPending);
    gMIMC.dwMsgTime = dwTime;

    if (b <= kLastChannel) {
        gMIMC.bRunningStatus = b;
        gMIMC.dwShortMsg = b;
        gMIMC.bBytePos = 1;
        gMIMC.bBytesLeft = (BYTE)(gabMsgLenChannel[(b >> 4) - kChannelBase] - 1);
        return;
    }

    gMIMC.bRunningStatus = 0;
    switch (b) {
    case kSysEx:
        gMIMC.fSysEx = 1;
        gMIMC.bBytePos = 0;
        midBufferWrite(b, lpPending);
        break;
    case kQuarterFrame:
    case kSongSelect:
    case kSongPosition:
        gMIMC.bBytesLeft = (b == kSongPosition) ? kSongPositionData : kOtherCommonData;
        gMIMC.bBytePos = 1;
        gMIMC.dwShortMsg = b;
        break;
    case kEox: /* no system exclusive to end */
        gMIMC.bBytePos = 0;
        midPend(lpPending, MIM_ERROR, b, gMIMC.dwMsgTime);
        break;
    default: /* F4, F5, F6: complete in themselves */
        gMIMC.bBytePos = 0;
        midPend(lpPending, MIM_DATA, b, dwTime);
        break;
    }
}

static void midDataByte(BYTE b, MIDIINPENDING *lpPending)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    if (gMIMC.fSysExLost)
        return;
    if (gMIMC.fSysEx) {
        midBufferWrite(b, lpPending);
        return;
    }
    if (gMIMC.bBytePos == 0) {
        midPend(lpPending, MIM_ERROR, b, gMIMC.dwMsgTime);
        return;
    }
    if (gMIMC.bBytePos >= kShortMsgBytes) {
        /* No byte sequence leads here; give the byte up rather than write
           past the message being gathered. */
        midPend(lpPending, MIM_ERROR, b, gMIMC.dwMsgTime);
        gMIMC.dwShortMsg = 0;
        gMIMC.bBytePos = 0;
        gMIMC.bRunningStatus = 0;
        return;
    }

    if (gMIMC.bRunningStatus != 0 && gMIMC.bBytePos == 1) {
        gMIMC.dwMsgTime = midNow(lpPending);
        midSetMsgByte(gMIMC, 0, gMIMC.bRunningStatus);
    }
    midSetMsgByte(gMIMC, gMIMC.bBytePos, b);
    gMIMC.bBytePos++;

    if (--gMIMC.bBytesLeft != 0)
        return;

    midPend(lpPending, MIM_DATA, gMIMC.dwShortMsg, gMIMC.dwMsgTime);
    gMIMC.dwShortMsg = 0;
    if (gMIMC.bRunningStatus != 0) {
        gMIMC.bBytesLeft = (BYTE)(gMIMC.bBytePos - 1);
        gMIMC.bBytePos = 1;
    } else {
        gMIMC.bBytePos = 0;
    }
}

/* One byte; the caller holds the input lock. */
static void midParseByte(BYTE b, MIDIINPENDING *lpPending)
{
    if (b >= kFirstRealTime)
        midPend(lpPending, MIM_DATA, b, midNow(lpPending));
    else if (b >= kFirstStatus)
        midStatusByte(b, lpPending);
    else
        midDataByte(b, lpPending);
}

void midByteRec(UINT uPort, DWORD dwByte)
{
    MIDIINPENDING pending;

    CritEnter(uPort);
    midPendInit(uPort, &pending);
    midParseByte(LOBYTE(dwByte), &pending);
    CritLeave(uPort);

    midNotifyPending(&pending);
}

void midResync(UINT uPort)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[uPort].gMIMC;
    gMIMC.fSysEx = 0;
    gMIMC.fSysExLost = 0;
    gMIMC.bRunningStatus = 0;
    gMIMC.bBytesLeft = 0;
    gMIMC.bBytePos = 0;
    gMIMC.dwShortMsg = 0;
}

void midPortError(UINT uPort)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[uPort].gMIMC;
    MIDIINPENDING pending;

    CritEnter(uPort);
    if (!gaMidiIn[uPort].gfMidiInOpen) {
        CritLeave(uPort);
        return; /* closed from a callback of the read that found the error */
    }
    midPendInit(uPort, &pending);
    if (gMIMC.fSysEx) {
        gMIMC.fSysEx = 0;
        gMIMC.fSysExLost = 1;
        if (!midBufferError(&pending))
            midPend(&pending, MIM_ERROR, 0, gMIMC.dwMsgTime);
    } else if (gMIMC.dwShortMsg & kLowByte) {
        BYTE bRunningStatus = gMIMC.bRunningStatus;
        midCutShort(&pending);
        if (bRunningStatus != 0) {
            /* The module's stream goes on under the same status. */
            gMIMC.bBytePos = 1;
            gMIMC.bBytesLeft = (BYTE)(gabMsgLenChannel[(bRunningStatus >> 4) - kChannelBase] - 1);
        }
    } else {
        midPend(&pending, MIM_ERROR, 0, gMIMC.dwMsgTime);
    }
    CritLeave(uPort);

    midNotifyPending(&pending);
}

/* Called and returns with the lock held. When input was started meanwhile
   and messages were not made, moves *pi back to the byte after the last one
   whose messages were (or to the batch's first), so that the parser takes
   the bytes from there again from its new beginning. */
static void midFlushPending(MIDIINPENDING *lpPending, UINT *pi)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[lpPending->uPort].gMIMC;
    DWORD dwStartTime = gMIMC.dwStartTime;
    DWORD dwStarts = gMIMC.dwStarts;
    UINT uPort = lpPending->uPort;
    CritLeave(uPort);
    UINT cMade = midNotifyPending(lpPending);
    CritEnter(uPort);
    BOOL fStarted = gMIMC.dwStarts != dwStarts;
    if (fStarted || gMIMC.dwStartTime != dwStartTime)
        lpPending->fClock = 0; /* restarted meanwhile: a reading from before would stamp below zero */
    if (cMade < lpPending->cNotes && fStarted && gaCommPort[uPort].fCommIn == 0)
        *pi = cMade != 0 ? lpPending->aNotes[cMade - 1].iByte + 1 : lpPending->iFirst;
    lpPending->iFirst = *pi;
    lpPending->client = gaMidiIn[uPort].gMidiInClient;
    lpPending->dwEpoch = gaMidiIn[uPort].gdwInputEpoch;
    lpPending->cNotes = 0;
}

/* Whether b goes to the buffer queue, where it may fill or end the head
   buffer and hand it back. */
static BOOL midToQueue(const MIDIINCONTROL &gMIMC, BYTE b)
{
    return b == kSysEx || (gMIMC.fSysEx && b < kFirstRealTime);
}

UINT midBytesRec(UINT uPort, const BYTE *lpb, UINT cb) { return midBytesRecAt(uPort, lpb, cb, FALSE, 0); }

UINT midBytesRecAt(UINT uPort, const BYTE *lpb, UINT cb, BOOL fRead, DWORD dwReadTime)
{
    MIDIINCONTROL &gMIMC = gaMidiIn[uPort].gMIMC;
    const std::atomic<DWORD> &fCommIn = gaCommPort[uPort].fCommIn;
    MIDIINPENDING pending;
    UINT i = 0;

    /* Every byte of the read had arrived before it, so one clock reading
       stamps them all. Notifications are gathered with the lock held and
       made with it released: when the list is full, at the end, after a
       byte that returns a buffer, and before any byte that goes to the
       buffer queue. The last two keep a buffer's notification first in its
       batch, so that a callback acts where it would a byte at a time: a
       buffer it queues takes the exclusive data that follows, and a reset
       it makes finds every buffer not yet made known still queued. After a
       start it makes, the bytes that follow its own are parsed again from
       the parser's new beginning, as they would have been a byte at a time. */
    CritEnter(uPort);
    midPendInit(uPort, &pending);
    pending.fClock = (BYTE)(fRead != 0);
    pending.dwClock = dwReadTime;
    for (;;) {
        while (i < cb && fCommIn == 0) {
            BYTE b = lpb[i];
            pending.fNewByte = 1;
            pending.iByte = i;
            if (midToQueue(gMIMC, b)) {
                /* What an F0 cuts short is made known before a buffer it fills. */
                midCutShort(&pending);
                if (pending.cNotes != 0) {
                    midFlushPending(&pending, &i);
                    continue; /* the gate may have closed meanwhile */
                }
            }
            /* Exclusive data goes into the buffer a run at a time: it is most of
               what a busy line carries. */
            if (gMIMC.fSysEx && b < kFirstStatus)
                i += midBufferWriteData(lpb + i, cb - i, &pending);
            else
                midParseByte(lpb[i++], &pending);
            /* A returned buffer is made known at once: its callback may queue it
               again, reset or restart, for the bytes that follow. */
            if (pending.cNotes != 0 &&
                (pending.aNotes[0].wMsg == MIM_LONGDATA || pending.cNotes > kMaxPending - kNotesPerByte))
                midFlushPending(&pending, &i);
        }
        if (pending.cNotes == 0)
            break;
        UINT iEnd = i;
        midFlushPending(&pending, &i);
        if (i >= iEnd)
            break;
    }
    CritLeave(uPort);
    return i;
}
