/*
 * What the soak host's modes share: reporting, the clock, the module's
 * control channel (tests/soak/linemod.py) and the library under test.
 */
#pragma once
#define PSAPI_VERSION 1
#include <winsock2.h>
#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include <string>
#include <vector>

typedef DWORD(WINAPI *DeviceProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

extern std::string gMode; /* the mode being run; prefixes every check */
extern int gFailed;
extern LONGLONG gQpcFreq;
extern HMODULE gLib;
extern DeviceProc gMod, gMid;

void Report(bool ok, const char *check, const char *fmt = nullptr, ...);
void Info(const char *fmt, ...);

long long NowNs(); /* QueryPerformanceCounter, in ns */
double Seconds(long long fromNs);
double Percentile(std::vector<double> v, double p);

bool Connect(); /* to the module at TOLVEX_LINEMOD */
std::string Ask(const std::string &cmd);
std::vector<long long> Numbers(const std::string &answer);
/* The module's clock against this one, from the quickest of 200 requests. */
bool CompareClocks(double &offsetMs, double &boundMs);

bool Load(const std::wstring &path); /* stores COM1 first */
void StoreLowLatency(DWORD value);   /* the input mode, read at the next open of the port */
DWORD Open(DeviceProc proc, UINT msg, DWORD_PTR callback);
void CALLBACK OutputProc(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

/* ms from the modMessage call to each message's last byte at the module;
   empty when that could not be measured (and reported). */
std::vector<double> OutputLatency(int count);

/* The modes */
void Stream(double seconds); /* soak, in, outlong */
void Latency();
void Platform();
void Timing(double seconds);
