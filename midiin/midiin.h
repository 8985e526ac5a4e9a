/*
 * MIDI input: the queue of application buffers (queue.cpp), the byte parser
 * (parser.cpp) and the input device's message procedure (midmessage.cpp).
 */
#pragma once

#include "platform/platform.h"

/* Input state, shared by the queue, the parser and the input device. */
struct MIDIINCONTROL {
    BYTE fSysEx;         /* 1 while a system-exclusive message is being received */
    BYTE bRunningStatus; /* last channel status received; 0 when none */
    BYTE bBytesLeft;     /* data bytes still expected for the message under way */
    BYTE bBytePos;       /* byte of dwShortMsg where the next byte goes; 0: no message under way */
    DWORD dwShortMsg;    /* message being gathered, first byte low; low byte non-zero while pending */
    DWORD dwMsgTime;     /* ms since dwStartTime of the message under way and of returned buffers */
    DWORD dwStartTime;   /* timeGetTime when input was opened or last started */
    DWORD dwBufOffset;   /* bytes already written into the head buffer */
    LPMIDIHDR lpQueue;   /* oldest queued buffer; null when empty */
};

extern MIDIINCONTROL gMIMC;

/* queue.cpp */
DWORD midAddBuffer(LPMIDIHDR lpHdr);
void midBufferWrite(BYTE b);
void midFreeQ();
void CritEnter();
void CritLeave();

/* parser.cpp */
void midByteRec(DWORD b);

/* midmessage.cpp */
extern "C" DWORD WINAPI midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
