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

constexpr UINT kMaxSoakPorts = 4;  /* COM1 to COM4: the ports the prefix maps */
constexpr DWORD kLineBaud = 38400; /* a port's speed unless TOLVEX_BAUDS says otherwise */

extern std::string gMode; /* the mode being run; prefixes every check */
extern int gFailed;
extern LONGLONG gQpcFreq;
extern HMODULE gLib;
extern DeviceProc gMod, gMid;
extern UINT gPorts;                /* ports in use, one for each address in TOLVEX_LINEMOD */
extern DWORD gBaud[kMaxSoakPorts]; /* each one's line speed, from TOLVEX_BAUDS */

void Report(bool ok, const char *check, const char *fmt = nullptr, ...);
void Info(const char *fmt, ...);

long long NowNs(); /* QueryPerformanceCounter, in ns */
double Seconds(long long fromNs);
double Percentile(std::vector<double> v, double p);

/* To the module's end of each port's line: TOLVEX_LINEMOD holds their
   addresses, separated by commas, COM1's first. */
bool Connect();
std::string Ask(const std::string &cmd); /* of COM1's */
std::string AskOn(UINT port, const std::string &cmd);
std::vector<long long> Numbers(const std::string &answer);
/* The module's clock against this one, from the quickest of 200 requests. */
bool CompareClocks(double &offsetMs, double &boundMs);

bool Load(const std::wstring &path); /* stores the ports first: port n on COMn+1, at its speed */
void StorePortsBack();               /* one port again, as the Wine suite's groups expect */
void StoreLowLatency(DWORD value);   /* the input mode, read at the next open of the port */
DWORD Open(DeviceProc proc, UINT msg, DWORD_PTR callback);
DWORD OpenOn(UINT port, DeviceProc proc, UINT msg, DWORD_PTR callback); /* the instance word is the port */
void CALLBACK OutputProc(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

/* Where timeGetTime's ticks fall on NowNs's clock: timeGetTime() ==
   floor(NowNs / 1e6 - offset). */
double TickOffsetMs();
/* MIDM_START on port just after a tick, so that the stamps' origin is that
   tick: the tick, or 0 when no start fell within one. */
DWORD StartOnTick(UINT port);
struct Cpu {
    long long at;
    double process, server; /* ms of CPU time: this process, and the Wine server (TOLVEX_SERVER_PID); -1 unknown */
};
Cpu CpuNow();
/* "ROW name p50 p99 max count" of v; "ROW name process server" of the CPU ms a minute between a and b. */
void Row(const char *name, const std::vector<double> &v);
void CpuRow(const char *name, const Cpu &a, const Cpu &b);

/* ms from the modMessage call to each message's last byte at the module;
   empty when that could not be measured (and reported). */
std::vector<double> OutputLatency(int count);

/* The modes */
void Stream(double seconds); /* soak, in, outlong */
void Latency();
void Platform();
void Timing(double seconds);
void Isolation(double seconds); /* COM1's stamps beside COM2's slow client (timing.cpp) */
void Idle(double seconds);      /* CPU time with the ports open and idle (timing.cpp) */
