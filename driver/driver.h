/*
 * Driver lifetime and driver messages: the entry point, process attach and
 * detach, and DriverProc (driver.cpp); the ports the driver serves, read at
 * attach, and their devices' names (ports.cpp).
 */
#pragma once

#include "platform/platform.h"

extern HINSTANCE ghModule; /* the library's module: string table and dialog template */

constexpr UINT kMaxPorts = 16;        /* device keys read: Device0 to Device15 */
constexpr DWORD kDefaultBaud = 38400; /* line speed when none is stored */

/* One port's stored settings: a pair of devices, output and input, with the
   port's index as their device id. Written at process attach. */
struct PORTSETTING {
    LONG RSPort;               /* configured port number; -1 when nothing is stored */
    DWORD dwBaud;              /* line speed, bit/s */
    WCHAR szName[MAXPNAMELEN]; /* stored name of both devices; empty: the default */
};
extern PORTSETTING gaPortSetting[kMaxPorts];
extern UINT gcPorts; /* ports stored, and so devices of each direction: 1 to kMaxPorts */

extern "C" BOOL WINAPI DllInstanceInit(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
BOOL LibMain(HINSTANCE hInstance, WORD wDataSeg, WORD cbHeapSize);
BOOL WEP(int nParam);
WORD WinVer();
/* Keeps the library mapped until the process ends: for code that may run
   once no unload can wait for it any more. */
void PinLibrary();
/* ports.cpp */
void ReadPorts();
/* The name of port uPort's device whose default name is the string uIdsName:
   a stored one or the default, unique among the driver's devices of that
   direction; lpszName holds MAXPNAMELEN characters. */
void GetDeviceName(UINT uPort, UINT uIdsName, LPWSTR lpszName);

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
