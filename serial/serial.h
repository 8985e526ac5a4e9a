/*
 * Serial link: the port wrappers in the calling style of a 16-bit
 * communications interface, the port handle and the two gates (comm.cpp);
 * the shared, use-counted port connection and its input poll (port.cpp).
 */
#pragma once

#include "platform/platform.h"

/* comm.cpp */
extern HANDLE idComDev;             /* open port; set by the first open of the connection */
extern std::atomic<DWORD> fCommIn;  /* input gate: 0 passes received bytes, 1 holds them back */
extern std::atomic<DWORD> fCommOut; /* output gate: 0 writes to the port, 1 does not */

HANDLE OpenComm(LPCWSTR lpszName, UINT cbInQueue, UINT cbOutQueue);
int ReadComm(HANDLE id, BYTE *lpBuf, int cbRead);
int WriteComm(HANDLE id, const BYTE *lpBuf, int cbWrite);
DWORD GetCommError(HANDLE id, COMSTAT *lpStat);
BOOL QueryCommError(HANDLE id, DWORD *lpErrors, COMSTAT *lpStat); /* FALSE: the query itself failed */
void EnableCommIn();
void DisableCommIn();
void EnableCommOut();
void DisableCommOut();

/* port.cpp */
constexpr UINT kRecDataSize = 4096;     /* bytes of RecData */
extern DWORD DrvCont;                   /* poll period of the standard mode, ms; set at process attach */
constexpr DWORD kLowLatencyPeriod = 1;  /* poll period of the low-latency mode, ms */
extern LONG UseComCount;                /* device opens sharing the port; 0 when the connection is closed */
extern std::atomic<DWORD> gdwPortEpoch; /* raised each time a lost port is opened again */

void CommCritInit();   /* at process attach, before any device opens */
void CommCritDelete(); /* at unload, after ReleaseMIDICOM */
WORD OpenMIDICOM(LONG port);
WORD CloseMIDICOM(LONG port);
/* Gives the whole connection back, whatever the use count; returns when no
   poll runs and none can start. */
void ReleaseMIDICOM();
/* Writes to the port unless it is lost, or was opened again since the
   writer read gdwPortEpoch as dwEpoch (it framed the bytes for the port
   before); a write that finds the device gone marks the port lost. */
void PortWrite(const BYTE *lpBuf, int cb, DWORD dwEpoch);
void GetCommBuff();

/* poll.cpp: the poll's thread, woken every period */
BOOL StartPoll(DWORD dwPeriod); /* gCommCrit held; ms between two polls */
void StopPoll();                /* gCommCrit held; waits for the poll unless called on its own thread */
BOOL ReapPoll();                /* gCommCrit held; waits for an ended poll to be gone; FALSE: it is not */
BOOL OnPollThread();            /* the caller is the poll, in a client's callback */
BOOL PollStopping();            /* the poll has been told to end */
void PollDelete();              /* at unload, after ReleaseMIDICOM */
