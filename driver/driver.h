/*
 * Driver lifetime and driver messages: the entry point, process attach and
 * detach, and DriverProc.
 */
#pragma once

#include "platform/platform.h"

extern HINSTANCE ghModule; /* the library's module: string table and dialog template */
extern LONG RSPort;        /* configured port number; -1 when nothing is stored */

extern "C" BOOL WINAPI DllInstanceInit(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
BOOL LibMain(HINSTANCE hInstance, WORD wDataSeg, WORD cbHeapSize);
BOOL WEP(int nParam);
WORD WinVer();
/* Keeps the library mapped until the process ends: for code that may run
   once no unload can wait for it any more. */
void PinLibrary();
extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
