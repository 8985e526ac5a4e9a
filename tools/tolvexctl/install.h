/*
 * What tolvexctl changes on the machine: the driver's file in the system
 * directory, its Drivers32 entry and description, the stored port and input
 * mode.
 * The INF (install/tolvex.inf) registers the same names.
 */
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t kDriverFile[];        /* "tolvex.dll", as Drivers32 names it */
extern const wchar_t kDriverDescription[]; /* drivers.desc text */

int NativeBits(); /* 32 or 64: the architecture this program was built for */

/* The Drivers32 alias ("midi1") under which the driver of that architecture
   is registered, or empty. */
std::wstring InstalledAlias(int bits);

/* Copies the DLL into the system directory of its architecture and
   registers it. Empty string on success, else what failed; *report says
   what was done. */
std::string Install(const std::wstring &dllPath, std::string *report);
std::string Uninstall(int bits, std::string *report);

/* The port under ...\Parameters\Device0, value "COMID". */
std::string StorePort(DWORD port);
std::string ReadPort(DWORD *port); /* empty string when a value was read */

/* The input mode beside it, value "LowLatency"; absent means standard. */
std::string StoreLowLatency(bool on);
bool ReadLowLatency();
