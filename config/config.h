/*
 * Configuration: the stored port setting and driver removal (store.cpp), and
 * the setup dialog "MIDIRS_NT" (dialog.cpp).
 */
#pragma once

#include "platform/platform.h"
#include "regsvc/regsvc.h"

extern RegAccessBlock RegAccess;    /* the process's one access record; only lpDriverName is ever set */
extern const WCHAR aszDriverName[]; /* "tolvex midi driver" */

/* store.cpp */
void InitConfiguration(LPDWORD lpdwPort);
LONG GetDriverConfig(DWORD dwDevice, LPDWORD lpdwPort);
LONG SetDriverConfig(DWORD dwDevice, LPDWORD lpdwPort);
/* A port's stored settings; FALSE when no port number is stored, which ends the ports. */
BOOL GetPortConfig(UINT uPort, struct PORTSETTING *lpSetting);
BOOL PortKeyNamed(UINT uPort);        /* the key "Device<uPort>" exists */
BOOL GetLowLatencyConfig(UINT uPort); /* absent, unreadable or 0: the standard mode */
BOOL GetSharedConfig(UINT uPort);     /* absent, unreadable or 0: the port is this program's alone */
DWORD ConfigRemove();

/* dialog.cpp */
extern DWORD NumberOfCards; /* device keys counted by Config before the dialog */

LONG Config(HWND hWnd, HINSTANCE hInstance);
INT_PTR CALLBACK ConfigDlgProcRS(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
LONG PortToIdRS(DWORD dwPort);
WORD GetPortRS(HWND hDlg);
WORD IdToPortRS(LONG id);
