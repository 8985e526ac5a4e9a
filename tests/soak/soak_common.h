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

#include <cstdint>
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

/* soak_resources.cpp and soak_ports.cpp: what the soak watches of a process, and its CRC */
void ResourcesInit();          /* the system's handle list's room, taken once */
DWORD CountHandles(DWORD pid); /* open handles of a process of this prefix */
extern const char *gHandleMethod;
SIZE_T HeapBytes(); /* bytes in use in every heap of this process */
void CrcInit();
uint32_t Crc(uint32_t crc, const uint8_t *p, size_t n); /* CRC-32, the one zlib uses */

/* shared.cpp: several programs on COM1 shared (TOLVEX_SHARED=1), each a
   process of this host with TOLVEX_PROGRAM=k of TOLVEX_PROGRAMS=n */
extern int gProgram;           /* this program's number; -1: the port's only program */
extern int gPrograms;          /* programs on the port, each sending its share of the line rate */
void WaitGo(const char *said); /* says it on stdout and waits for a line on stdin, so that all start together */
DWORD OwnerPid();              /* the owner process of COM1's shared record; 0 when none runs */
/* Program k's copy of an output item: its channel, its exclusive maker;
   false for what no program can be told by (system common). */
bool OwnItem(uint8_t *bytes, size_t count);
void CountSent(const uint8_t *bytes, size_t count); /* into the CRC of the messages, status written out */
void SayOutput();                                   /* that CRC, for tools/soak to find on the line */

/* The modes */
void Stream(double seconds); /* soak, in, outlong */
void Latency();
void Platform();
void Timing(double seconds);
void Isolation(double seconds); /* COM1's stamps beside COM2's slow client (timing.cpp) */
void Idle(double seconds);      /* CPU time with the ports open and idle (timing.cpp) */
void Hold();                    /* hold: both devices open until told, for the latency of several programs */
void Rounds(int rounds);        /* rounds: open and close both devices, resources before and after */
