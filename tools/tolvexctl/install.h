/*
 * What tolvexctl changes on the machine: the driver's file in the system
 * directory, its Drivers32 entry and description (the stored settings are
 * settings.h's). The INF (install/tolvex.inf) registers the same names.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

extern const wchar_t kDriverFile[];        /* "tolvex.dll", as Drivers32 names it */
extern const wchar_t kDriverDescription[]; /* drivers.desc text */

int NativeBits();                              /* 32 or 64: the architecture this program was built for */
int WindowsBits();                             /* 32 or 64: the Windows it runs on */
int DllArchitecture(const std::wstring &path); /* 32 or 64 from the DLL's header; 0 when it is no such DLL */

/* The Drivers32 alias ("midi2") under which the driver of that architecture
   is registered, or empty. */
std::wstring InstalledAlias(int bits);

/* Copies the DLL into the system directory of its architecture and
   registers it in the first free of midi2 ... midi9 (midi and midi1 are
   Windows' own). With reclaim and no free slot, in place of a repeated
   wdmaud.drv, recorded for Uninstall to give back. Whether the
   architecture can be registered is decided before the file is copied, so
   a failure leaves no file behind. Empty string on success, else what
   failed; *report says what was done. */
std::string Install(const std::wstring &dllPath, bool reclaim, std::string *report);
std::string Uninstall(int bits, std::string *report);

/* What doctor reads of one architecture: its registry view and file. */
struct Registration {
    std::string error;                /* the architecture has no system directory here */
    std::wstring ours;                /* the slot of ours that winmm reads (midi ... midi9), or empty */
    std::vector<std::wstring> strays; /* entries of ours that winmm never reads (midi0, midi10 ...) */
    std::wstring midi, midi1;         /* what Windows' own two slots hold */
    bool midiSrv = false;             /* MidiSrvTransferComplete is 1: Windows MIDI Services is on */
    std::wstring file;                /* the driver's file in the system directory */
    bool fileThere = false;
};
Registration ReadRegistration(int bits);
bool IsWindowsMidiPair(const Registration &r); /* midi = wdmaud.drv, midi1 = wdmaud2.drv */

/* The DLLs in dir under the release zip's names (TOLVEX.dll, TOLVEX32.dll),
   by what each file holds, that this Windows takes: this program's own
   architecture first. *notes says what was passed over or is missing. */
std::vector<std::wstring> DllsBeside(const std::wstring &dir, std::string *notes);
