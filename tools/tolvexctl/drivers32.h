/*
 * Inside tolvexctl's install: the registry helpers that install, doctor
 * and the stored settings share, and the ten Drivers32 slots that winmm
 * reads (which one is ours, which are free, which repeat wdmaud.drv).
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

extern const wchar_t kDrivers32[];   /* HKLM's Drivers32 key */
extern const wchar_t kDriversDesc[]; /* HKLM's drivers.desc key */

constexpr int kAliases = 10;  /* midi, midi1 ... midi9: what winmm enumerates */
constexpr int kFirstOurs = 2; /* midi and midi1 are Windows': its synthesizer, Windows MIDI Services */

/* ---- registry helpers ---- */
std::wstring Lower(std::wstring s);
/* "what: the system's text (code)", with a hint when it takes an administrator. */
std::string Win32Error(const char *what, DWORD code);
REGSAM View(int bits);                                /* the registry view of that architecture */
std::wstring ReadText(HKEY key, const wchar_t *name); /* empty when absent or no string */
std::vector<std::wstring> ValueNames(HKEY key);
LONG CopyValue(HKEY from, const std::wstring &fromName, HKEY to, const std::wstring &toName);
LONG SetText(HKEY key, const wchar_t *name, const wchar_t *text);

/* The system directory that a program of `bits` sees as its own (install.cpp). */
std::string SystemDirectory(int bits, std::wstring *dir);

/* ---- the slots ---- */
std::wstring AliasName(int k); /* "midi", "midi1" ... */
bool IsOurs(const std::wstring &value);

/* The ten slots of one view: each one's text, and whether a value is there
   at all (one that is no string still takes its slot). */
struct Slots {
    std::wstring text[kAliases];
    bool taken[kAliases] = {};
};
Slots ReadSlots(HKEY key);
bool Repeats(const Slots &s, int k);        /* slot k (midi2 ... midi9) holds a wdmaud.drv that another holds too */
std::vector<std::wstring> Strays(HKEY key); /* entries of ours that winmm never reads */
/* Why the view has no slot for the driver, what holds each one, and what to do. */
std::string NoSlot(int bits, const Slots &s);
