/*
 * Serial link: the port wrappers in the calling style of a 16-bit
 * communications interface, each port's handle and two gates (comm.cpp);
 * each port's shared, use-counted connection and its input poll (port.cpp,
 * poll.cpp). Every port stands alone: routines take its index.
 */
#pragma once

#include "driver/driver.h"
#include "platform/platform.h"

/* What a port's devices share of its connection; its values at load need
   no code run. */
struct COMMPORT {
    HANDLE idComDev = 0;                /* open port; set by the first open of the connection */
    std::atomic<DWORD> fCommIn{1};      /* input gate: 0 passes received bytes, 1 holds them back */
    std::atomic<DWORD> fCommOut{1};     /* output gate: 0 writes to the port, 1 does not */
    LONG UseComCount = 0;               /* device opens sharing the port; 0 when closed; under the port's lock */
    std::atomic<DWORD> gdwPortEpoch{0}; /* raised each time a lost port is opened again */
};

/* comm.cpp */
extern COMMPORT gaCommPort[kMaxPorts];

HANDLE OpenComm(LPCWSTR lpszName, UINT cbInQueue, UINT cbOutQueue);
int ReadComm(HANDLE id, BYTE *lpBuf, int cbRead);
int WriteComm(HANDLE id, const BYTE *lpBuf, int cbWrite);
DWORD GetCommError(HANDLE id, COMSTAT *lpStat);
BOOL QueryCommError(HANDLE id, DWORD *lpErrors, COMSTAT *lpStat); /* FALSE: the query itself failed */
void EnableCommIn(UINT uPort);
void DisableCommIn(UINT uPort);
void EnableCommOut(UINT uPort);
void DisableCommOut(UINT uPort);

/* port.cpp */
constexpr UINT kRecDataSize = 4096;    /* bytes of a port's RecData */
extern DWORD DrvCont;                  /* poll period of the standard mode, ms; set at process attach */
constexpr DWORD kLowLatencyPeriod = 1; /* poll period of the low-latency mode, ms */

/* Opens port uPort's serial port by its stored number, with the line's
   settings; 0 on failure. */
HANDLE OpenPortLine(UINT uPort);
void CommCritInit();   /* at process attach, before any device opens */
void CommCritDelete(); /* at unload, after ReleaseMIDICOM */
WORD OpenMIDICOM(UINT uPort);
WORD CloseMIDICOM(UINT uPort);
/* Gives every port's whole connection back, whatever the use counts;
   returns when no poll runs and none can start. */
void ReleaseMIDICOM();
/* Writes to the port unless it is lost, or was opened again since the
   writer read gdwPortEpoch as dwEpoch (it framed the bytes for the port
   before); a write that finds the device gone marks the port lost. */
void PortWrite(UINT uPort, const BYTE *lpBuf, int cb, DWORD dwEpoch);
void GetCommBuff(UINT uPort);

/* share.cpp: a port that several programs share, through its owner */
BOOL ShareConnect(UINT uPort);             /* the port's shared record, its owner started when none runs */
void ShareDisconnect(UINT uPort);          /* gives back what ShareConnect and the claims took; nothing when unshared */
BOOL PortShared(UINT uPort);               /* the connection goes through the owner */
BOOL ShareClaim(UINT uPort, BOOL fOutput); /* one of the kShareSlots opens of that direction; FALSE: none free */
void ShareRelease(UINT uPort, BOOL fOutput); /* once the owner has put out what the output left */
void ShareWrite(UINT uPort, const BYTE *lpBuf, int cb);
void SharePoll(UINT uPort); /* the poll of a shared port: what the owner received, and a lost owner */

/* poll.cpp: each port's poll on a thread of its own, woken every period */
BOOL StartPoll(UINT uPort, DWORD dwPeriod); /* port's lock held; ms between two polls */
void StopPoll(UINT uPort);                  /* port's lock held; waits for the poll unless called on its thread */
BOOL ReapPoll(UINT uPort);                  /* port's lock held; waits for an ended poll to be gone; FALSE: it is not */
BOOL OnPollThread(UINT uPort);              /* the caller is the port's poll, in a client's callback */
BOOL PollStopping(UINT uPort);              /* the poll has been told to end */
void PollDelete();                          /* at unload, after ReleaseMIDICOM */
