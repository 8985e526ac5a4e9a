/*
 * Output framing, one for each port: short messages by the message-length
 * tables, under the output running status; long buffers whole; all of it
 * staged and written to the port one write per message. The reset sequence
 * silences the module.
 */
#include "driver/midiclient.h"
#include "midiout/midiout.h"
#include "midiout/msglen.h"
#include "serial/serial.h"

MIDIOUTPORT gaMidiOut[kMaxPorts];

namespace
{
constexpr BYTE kChannelFirst = 0x80;  /* lowest channel status byte */
constexpr BYTE kSystemFirst = 0xF0;   /* lowest system status byte */
constexpr BYTE kRealTimeFirst = 0xF8; /* real-time bytes leave the running status alone */
constexpr int kStatusShift = 4;       /* high nibble of a channel status byte */
constexpr int kChannels = 16;
constexpr DWORD kDamperOff = 0x40B0;   /* B0 40 00: control 64, damper pedal, off */
constexpr DWORD kAllNotesOff = 0x7BB0; /* B0 7B 00: control 123, all notes off */
constexpr DWORD kResetWaitMs = 30;     /* lets the module act on the reset before anything else */
constexpr int kShortMsgMax = 4;        /* bytes in a packed short message */

/* A port's framing; its values at load need no code run. */
struct FRAMING {
    BYTE bBytes[kStagingSize] = {}; /* staging buffer of one write; only the holder of InCode touches it */
    std::atomic<WORD> InCode{0};    /* 1 while modSendData is at work */
    DWORD dwPortEpochSeen = 0;      /* gdwPortEpoch of the port the running status and the bytes are for */
};

FRAMING gaFraming[kMaxPorts];

BYTE ChannelLength(BYTE status) { return gabMsgLenChannel[(status >> kStatusShift) - (kChannelFirst >> kStatusShift)]; }

/* A port that went away and came back may have reached a module that
   forgot the status: a message without one is not sent until one is. */
void FollowPort(UINT uPort)
{
    DWORD dwEpoch = gaCommPort[uPort].gdwPortEpoch;
    if (dwEpoch != gaFraming[uPort].dwPortEpochSeen) {
        gaFraming[uPort].dwPortEpochSeen = dwEpoch;
        gaMidiOut[uPort].gbMidiOutCurrentStatus = 0;
    }
}

void FollowRunningStatus(BYTE &gbMidiOutCurrentStatus, BYTE b)
{
    if (b >= kSystemFirst && b < kRealTimeFirst)
        gbMidiOutCurrentStatus = 0;
    else if (b >= kChannelFirst && b < kSystemFirst)
        gbMidiOutCurrentStatus = b;
}
} // namespace

BYTE modSendShortMsg(UINT uPort, DWORD dwMsg)
{
    FollowPort(uPort);
    BYTE gbMidiOutCurrentStatus = gaMidiOut[uPort].gbMidiOutCurrentStatus;
    BYTE b = LOBYTE(dwMsg);
    BYTE cb;
    if (b >= kSystemFirst)
        cb = gabMsgLenSystem[b - kSystemFirst];
    else if (b >= kChannelFirst)
        cb = ChannelLength(b);
    else if (gbMidiOutCurrentStatus == 0)
        return 0; /* a data byte with no status to run under */
    else
        cb = ChannelLength(gbMidiOutCurrentStatus) - 1;

    BYTE ab[kShortMsgMax];
    for (int k = 0; k < kShortMsgMax; k++)
        ab[k] = (BYTE)(dwMsg >> (8 * k));
    modSendData(uPort, ab, cb);
    return cb;
}

void modSendData(UINT uPort, const BYTE *lpData, DWORD cbLength)
{
    FRAMING &f = gaFraming[uPort];
    BYTE &gbMidiOutCurrentStatus = gaMidiOut[uPort].gbMidiOutCurrentStatus;
    /* A second sender's bytes are dropped rather than mixed into ours. */
    if (f.InCode.exchange(1) != 0)
        return;

    /* Long buffers go whole, in staging-buffer pieces: dropping a block above
       4096 bytes and still reporting it done would lose it unseen. */
    DWORD cbSent = 0;
    do {
        DWORD cbPiece = cbLength - cbSent < kStagingSize ? cbLength - cbSent : kStagingSize;
        bool fWrite = gaCommPort[uPort].fCommOut == 0; /* one look per piece: staged and written agree */
        for (DWORD k = 0; k < cbPiece; k++) {
            BYTE b = lpData[cbSent + k];
            FollowRunningStatus(gbMidiOutCurrentStatus, b); /* kept also while nothing is written */
            if (fWrite)
                f.bBytes[k] = b;
        }
        if (fWrite)
            PortWrite(uPort, f.bBytes, (int)cbPiece,
                      f.dwPortEpochSeen); /* framed for that port, not one opened since */
        cbSent += cbPiece;
    } while (cbSent < cbLength);

    f.InCode = 0;
}

DWORD modSendLongData(UINT uPort, LPMIDIHDR lpHdr)
{
    if (lpHdr == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((lpHdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;

    FollowPort(uPort);
    modSendData(uPort, reinterpret_cast<const BYTE *>(lpHdr->lpData), lpHdr->dwBufferLength);
    lpHdr->dwFlags |= MHDR_DONE;
    midiCallback(&gaMidiOut[uPort].gMidiOutClient, MOM_DONE, (DWORD_PTR)lpHdr, 0);
    return MMSYSERR_NOERROR;
}

void modReset(UINT uPort)
{
    for (int ch = 0; ch < kChannels; ch++) {
        modSendShortMsg(uPort, kDamperOff + ch);
        modSendShortMsg(uPort, kAllNotesOff + ch);
    }

    if (gaCommPort[uPort].fCommIn == 0 || gaCommPort[uPort].fCommOut == 0) {
        /* Elapsed time by difference, so that a clock wrapping to 0 still waits. */
        DWORD start = timeGetTime();
        while (timeGetTime() - start < kResetWaitMs) {
        }
    }

    gaMidiOut[uPort].gbMidiOutCurrentStatus = 0;
}
