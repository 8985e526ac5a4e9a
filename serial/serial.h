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
void EnableCommIn();
void DisableCommIn();
void EnableCommOut();
void DisableCommOut();

/* port.cpp */
constexpr UINT kRecDataSize = 4096; /* bytes of RecData */
extern DWORD DrvCont;               /* poll period, ms; set at process attach */
extern LONG UseComCount;            /* device opens sharing the port; 0 when the connection is closed */

void CommCritInit();   /* at process attach, before any device opens */
void CommCritDelete(); /* at unload, after ReleaseMIDICOM */
WORD OpenMIDICOM(LONG port);
WORD CloseMIDICOM(LONG port);
void ReleaseMIDICOM(); /* gives the whole connection back, whatever the use count */
void CALLBACK TimeFunction(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
void GetCommBuff();
