/*
 * What the groups of the Wine test host share: reporting, the module
 * simulator's control channel, the driver's registry setting, the library
 * under test and the notifications it makes to the host's callback.
 */
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include <initializer_list>
#include <string>
#include <vector>

typedef DWORD(WINAPI *DeviceProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef LRESULT(WINAPI *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

constexpr DWORD kWait = 3000;         /* ms to wait for anything the suite expects */
constexpr DWORD kSettle = 60;         /* ms of quiet on the line before its bytes are read */
constexpr DWORD kFakeHmidi = 0x4D49;  /* device handle the host assigns */
constexpr DWORD kInstance = 0xC11E17; /* client instance word */

extern std::wstring gDllPath;
extern std::string gGroup;
extern int gFailed;
extern const char *volatile gStage; /* what the group is doing, for a crash report */
extern volatile LONG gRound;        /* the round of a repeating group, or -1 */

/* ---- reporting ---- */

void Report(bool ok, const char *check, const char *fmt = nullptr, ...);
std::string Utf8(const std::wstring &w);
std::wstring Wide(const char *utf8);
std::string Hex(const std::vector<BYTE> &v);
std::vector<BYTE> Bytes(std::initializer_list<int> l);
std::vector<BYTE> ResetBytes();
LONG WINAPI ReportCrash(EXCEPTION_POINTERS *ep);

/* ---- the module simulator's control channel ---- */

bool SimConnect();
std::string SimAsk(const std::string &cmd);
void SimClear();
std::vector<BYTE> SimWire(DWORD settle = kSettle);
void SimSend(DWORD delayMs, const std::vector<BYTE> &bytes);

/* ---- registry ---- */

void ClearSetting();
void StoreDevice(UINT port, const wchar_t *name, long long value); /* a REG_DWORD under Device<port>; -1 deletes it */
void StoreDevice0(const wchar_t *name, long long value);
void StoreName(UINT port, const wchar_t *name);
/* One port, as the single-port groups expect: Device0's COMID, no speed or
   name of its own, and no Device1 on, whatever a group of several left. */
void StoreComId(DWORD port);
long long ReadComId();
bool KeyExists(const wchar_t *path);
std::string DumpServiceKey();

/* ---- the library ---- */

extern HMODULE gLib;
extern DeviceProc gMod, gMid;
extern DriverProcFn gDriverProc;

bool Load();
bool LoadOrReport();

/* ---- notifications ---- */

struct Event {
    UINT msg;
    DWORD_PTR hdrv, user, p1, p2;
    DWORD at; /* timeGetTime when it arrived */
};

extern CRITICAL_SECTION gEventLock;
extern std::vector<BYTE> gWireAtClose; /* what the module had received when MOM_CLOSE came */
extern bool gWireAtCloseTaken;

void CALLBACK MidiProc(HDRVR hdrv, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2);
std::vector<Event> Events();
void ClearEvents();
std::vector<Event> WaitEvents(size_t count, DWORD ms = kWait);
std::string Describe(const std::vector<Event> &v);
DWORD OpenDevice(DeviceProc proc, UINT msg, LPDRVCALLBACK callback = MidiProc);
DWORD OpenDeviceOn(DeviceProc proc, UINT msg, UINT id, LPDRVCALLBACK callback, DWORD_PTR instance);
bool OpenBoth();
