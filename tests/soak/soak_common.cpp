/*
 * What the soak host's modes share: reporting, the clock, the module's
 * control channel and the library under test.
 */
#include "soak_common.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string gMode;
int gFailed;
LONGLONG gQpcFreq;
HMODULE gLib;
DeviceProc gMod, gMid;
UINT gPorts = 1;
DWORD gBaud[kMaxSoakPorts] = {kLineBaud, kLineBaud, kLineBaud, kLineBaud};

namespace
{
const wchar_t kDeviceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device";
constexpr UINT kDriverPorts = 16; /* device keys the driver reads */
SOCKET gSock[kMaxSoakPorts];
CRITICAL_SECTION gSockLock;
} // namespace

void Report(bool ok, const char *check, const char *fmt, ...)
{
    char detail[1024] = "";
    if (!ok && fmt) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(detail, sizeof detail, fmt, ap);
        va_end(ap);
    }
    printf(ok ? "PASS %s.%s\n" : "FAIL %s.%s: %s\n", gMode.c_str(), check, detail);
    fflush(stdout);
    gFailed += !ok;
}

void Info(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printf("INFO %s: ", gMode.c_str());
    vprintf(fmt, ap);
    printf("\n");
    fflush(stdout);
    va_end(ap);
}

/* ---- clocks: QueryPerformanceCounter in ns ---- */

long long NowNs()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return (long long)((double)c.QuadPart * 1e9 / (double)gQpcFreq);
}

double Seconds(long long fromNs) { return (double)(NowNs() - fromNs) / 1e9; }

/* ---- the module's control channel (one request at a time) ---- */

bool Connect()
{
    const char *addrs = getenv("TOLVEX_LINEMOD");
    if (!addrs)
        return false;
    InitializeCriticalSection(&gSockLock);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const char *baud = getenv("TOLVEX_BAUDS");
    gPorts = 0;
    for (const char *a = addrs; *a && gPorts < kMaxSoakPorts; gPorts++) {
        const char *colon = strchr(a, ':');
        if (!colon)
            return false;
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((u_short)atoi(colon + 1));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        SOCKET &s = gSock[gPorts];
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&noDelay, sizeof noDelay);
        if (connect(s, (sockaddr *)&sa, sizeof sa) != 0)
            return false;
        if (baud && *baud) {
            gBaud[gPorts] = (DWORD)strtoul(baud, nullptr, 10);
            baud = strchr(baud, ',') ? strchr(baud, ',') + 1 : "";
        }
        a = strchr(a, ',') ? strchr(a, ',') + 1 : "";
    }
    return gPorts > 0;
}

std::string Ask(const std::string &cmd) { return AskOn(0, cmd); }

std::string AskOn(UINT port, const std::string &cmd)
{
    EnterCriticalSection(&gSockLock);
    SOCKET sock = gSock[port];
    std::string line = cmd + "\n";
    send(sock, line.c_str(), (int)line.size(), 0);
    std::string answer;
    char buf[4096];
    for (;;) {
        int n = recv(sock, buf, sizeof buf, MSG_PEEK);
        if (n <= 0)
            break;
        const char *nl = (const char *)memchr(buf, '\n', n);
        int take = nl ? (int)(nl - buf) + 1 : n;
        recv(sock, buf, take, 0);
        answer.append(buf, nl ? take - 1 : take);
        if (nl)
            break;
    }
    LeaveCriticalSection(&gSockLock);
    return answer;
}

std::vector<long long> Numbers(const std::string &answer)
{
    std::vector<long long> v;
    size_t at = answer.find(' ');
    while (at != std::string::npos && at + 1 < answer.size()) {
        v.push_back(strtoll(answer.c_str() + at + 1, nullptr, 10));
        at = answer.find(',', at + 1);
    }
    return v;
}

/* ---- the library ---- */

namespace
{
std::wstring DeviceKey(UINT port) { return kDeviceKey + std::to_wstring(port); }

void StoreDevice(UINT port, const wchar_t *name, DWORD value)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DeviceKey(port).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) == 0) {
        RegSetValueExW(k, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
        RegCloseKey(k);
    }
}
} // namespace

void StorePortsBack()
{
    StoreDevice(0, L"COMID", 1);
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DeviceKey(0).c_str(), 0, KEY_SET_VALUE, &k) == 0) {
        RegDeleteValueW(k, L"Baud");
        RegCloseKey(k);
    }
    for (UINT u = 1; u < kDriverPorts; u++)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, DeviceKey(u).c_str());
}

void StoreLowLatency(DWORD value)
{
    for (UINT u = 0; u < gPorts; u++)
        StoreDevice(u, L"LowLatency", value);
}

bool Load(const std::wstring &path)
{
    StorePortsBack();
    const char *shared = getenv("TOLVEX_SHARED"); /* read at the port's first open */
    StoreDevice(0, L"Shared", shared ? (DWORD)atoi(shared) : 0);
    for (UINT u = 0; u < gPorts; u++) {
        StoreDevice(u, L"COMID", u + 1);
        if (gBaud[u] != kLineBaud) /* the others by the default, as most users' */
            StoreDevice(u, L"Baud", gBaud[u]);
    }
    gLib = LoadLibraryW(path.c_str());
    if (!gLib)
        return false;
    gMod = (DeviceProc)(void *)GetProcAddress(gLib, "modMessage");
    gMid = (DeviceProc)(void *)GetProcAddress(gLib, "midMessage");
    return gMod && gMid;
}

void CALLBACK OutputProc(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

DWORD Open(DeviceProc proc, UINT msg, DWORD_PTR callback) { return OpenOn(0, proc, msg, callback); }

DWORD OpenOn(UINT port, DeviceProc proc, UINT msg, DWORD_PTR callback)
{
    MIDIOPENDESC d = {}; /* the driver keeps what it needs of it */
    d.dwCallback = callback;
    d.dwInstance = port;
    return proc(port, msg, 0, (DWORD_PTR)&d, CALLBACK_FUNCTION);
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

/* Both clocks, QueryPerformanceCounter here and CLOCK_MONOTONIC_RAW at the
   module: the module's reading against the midpoint of each request. */
bool CompareClocks(double &offsetMs, double &boundMs)
{
    double bestRtt = 1e18;
    for (int i = 0; i < 200; i++) {
        long long t1 = NowNs();
        std::vector<long long> n = Numbers(Ask("NOW"));
        long long t2 = NowNs();
        if (n.empty())
            return false;
        if (t2 - t1 < bestRtt) {
            bestRtt = (double)(t2 - t1);
            offsetMs = (n[0] - (t1 + t2) / 2) / 1e6;
            boundMs = bestRtt / 2e6;
        }
    }
    return true;
}
