/*
 * The test host's shared helpers (host.h): reporting, the module simulator's
 * control channel, the registry, loading the library, notifications.
 */
#include "host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{
const wchar_t kDevice0Key[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver";
constexpr UINT kMaxPorts = 16; /* device keys the driver reads */

std::wstring DeviceKey(UINT port)
{
    std::wstring key = kDevice0Key;
    return key.substr(0, key.size() - 1) + std::to_wstring(port);
}

SOCKET gSim = INVALID_SOCKET;
MIDIOPENDESC gDesc;
std::vector<Event> gEvents;
} // namespace

std::wstring gDllPath;
std::string gGroup;
int gFailed;
const char *volatile gStage = "the group";
volatile LONG gRound = -1;

/* ---- reporting ---- */

void Report(bool ok, const char *check, const char *fmt, ...)
{
    if (ok) {
        printf("PASS %s.%s\n", gGroup.c_str(), check);
    } else {
        char detail[2048] = "";
        if (fmt) {
            va_list ap;
            va_start(ap, fmt);
            vsnprintf(detail, sizeof detail, fmt, ap);
            va_end(ap);
        }
        printf("FAIL %s.%s: %s\n", gGroup.c_str(), check, detail);
        gFailed++;
    }
    fflush(stdout);
}

std::string Utf8(const std::wstring &w)
{
    if (w.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Wide(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n);
    return w;
}

std::string Hex(const std::vector<BYTE> &v)
{
    std::string s;
    char b[4];
    for (BYTE x : v) {
        snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

std::vector<BYTE> Bytes(std::initializer_list<int> l)
{
    std::vector<BYTE> v;
    for (int x : l)
        v.push_back((BYTE)x);
    return v;
}

/* The 96 bytes of the reset: damper off, then all notes off, channel by channel. */
std::vector<BYTE> ResetBytes()
{
    std::vector<BYTE> v;
    for (int ch = 0; ch < 16; ch++) {
        v.insert(v.end(), {(BYTE)(0xB0 + ch), 0x40, 0x00});
        v.insert(v.end(), {(BYTE)(0xB0 + ch), 0x7B, 0x00});
    }
    return v;
}

/* An exception nobody handles, on any thread (a poll returning into an
   unloaded library is one): said as the group's failure before the process
   ends. Written straight to the handle: the thread that faulted may be
   anywhere, the runtime's stream lock held by another. */
LONG WINAPI ReportCrash(EXCEPTION_POINTERS *ep)
{
    char line[512];
    int n = snprintf(line, sizeof line, "FAIL %s.crash: exception 0x%08lx at %p during: %s (round %ld)\n",
                     gGroup.c_str(), (unsigned long)ep->ExceptionRecord->ExceptionCode,
                     ep->ExceptionRecord->ExceptionAddress, gStage, (long)gRound);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)std::min(n, (int)sizeof line - 1), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

/* ---- the module simulator's control channel ---- */

bool SimConnect()
{
    const char *addr = getenv("TOLVEX_MODSIM");
    if (!addr)
        return false;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const char *colon = strrchr(addr, ':');
    if (!colon)
        return false;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((u_short)atoi(colon + 1));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    gSim = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeout = 10000;
    setsockopt(gSim, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    return connect(gSim, (sockaddr *)&sa, sizeof sa) == 0;
}

std::string SimAsk(const std::string &cmd)
{
    std::string line = cmd + "\n";
    send(gSim, line.c_str(), (int)line.size(), 0);
    std::string answer;
    char c;
    while (recv(gSim, &c, 1, 0) == 1 && c != '\n')
        answer += c;
    return answer;
}

void SimClear() { SimAsk("CLEAR"); }

std::vector<BYTE> SimWire(DWORD settle)
{
    std::string a = SimAsk("WIRE " + std::to_string(settle));
    std::vector<BYTE> v;
    if (a.compare(0, 5, "WIRE ") != 0)
        return v;
    for (size_t i = 5; i + 1 < a.size(); i += 2)
        v.push_back((BYTE)strtoul(a.substr(i, 2).c_str(), nullptr, 16));
    return v;
}

void SimSend(DWORD delayMs, const std::vector<BYTE> &bytes)
{
    SimAsk("SEND " + std::to_string(delayMs) + " " + Hex(bytes));
}

/* ---- registry ---- */

void ClearSetting() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey); }

void StoreDevice(UINT port, const wchar_t *name, long long value)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DeviceKey(port).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) == 0) {
        DWORD v = (DWORD)value;
        if (value < 0)
            RegDeleteValueW(k, name);
        else
            RegSetValueExW(k, name, 0, REG_DWORD, (const BYTE *)&v, sizeof v);
        RegCloseKey(k);
    }
}

void StoreDevice0(const wchar_t *name, long long value) { StoreDevice(0, name, value); }

void StoreName(UINT port, const wchar_t *name)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DeviceKey(port).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) == 0) {
        RegSetValueExW(k, L"Name", 0, REG_SZ, (const BYTE *)name, (DWORD)((wcslen(name) + 1) * sizeof(wchar_t)));
        RegCloseKey(k);
    }
}

void StoreComId(DWORD port)
{
    StoreDevice0(L"COMID", port);
    StoreDevice0(L"Baud", -1);
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDevice0Key, 0, KEY_SET_VALUE, &k) == 0) {
        RegDeleteValueW(k, L"Name");
        RegCloseKey(k);
    }
    for (UINT u = 1; u < kMaxPorts; u++)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, DeviceKey(u).c_str());
}

/* The stored COMID under Device0, or -1 when there is none. */
long long ReadComId()
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDevice0Key, 0, KEY_READ, &k) != 0)
        return -1;
    DWORD v = 0, type = 0, size = sizeof v;
    LONG r = RegQueryValueExW(k, L"COMID", nullptr, &type, (BYTE *)&v, &size);
    RegCloseKey(k);
    return r == 0 && type == REG_DWORD ? (long long)v : -1;
}

bool KeyExists(const wchar_t *path)
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k) != 0)
        return false;
    RegCloseKey(k);
    return true;
}

/* Every key and value below a key, as text, to compare two moments. */
static void DumpKey(HKEY parent, const std::wstring &name, std::string &out)
{
    HKEY k;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &k) != 0)
        return;
    out += "[" + Utf8(name) + "]\n";
    for (DWORD i = 0;; i++) {
        wchar_t vname[256];
        BYTE data[1024];
        DWORD cname = 256, cdata = sizeof data, type = 0;
        if (RegEnumValueW(k, i, vname, &cname, nullptr, &type, data, &cdata) != 0)
            break;
        out += Utf8(vname) + "=" + std::to_string(type) + ":" +
               Hex(std::vector<BYTE>(data, data + std::min<DWORD>(cdata, sizeof data))) + "\n";
    }
    for (DWORD i = 0;; i++) {
        wchar_t sub[256];
        DWORD csub = 256;
        if (RegEnumKeyExW(k, i, sub, &csub, nullptr, nullptr, nullptr, nullptr) != 0)
            break;
        DumpKey(k, sub, out);
    }
    RegCloseKey(k);
}

std::string DumpServiceKey()
{
    std::string s;
    DumpKey(HKEY_LOCAL_MACHINE, kServiceKey, s);
    return s;
}

/* ---- the library ---- */

HMODULE gLib;
DeviceProc gMod, gMid;
DriverProcFn gDriverProc;

bool Load()
{
    gLib = LoadLibraryW(gDllPath.c_str());
    if (!gLib)
        return false;
    gMod = (DeviceProc)(void *)GetProcAddress(gLib, "modMessage");
    gMid = (DeviceProc)(void *)GetProcAddress(gLib, "midMessage");
    gDriverProc = (DriverProcFn)(void *)GetProcAddress(gLib, "DriverProc");
    return gMod && gMid && gDriverProc;
}

/* Load, reporting a library that does not load as the group's failure. */
bool LoadOrReport()
{
    if (Load())
        return true;
    Report(false, "loads", "LoadLibrary failed, error %lu", (unsigned long)GetLastError());
    return false;
}

/* ---- notifications ---- */

CRITICAL_SECTION gEventLock;
std::vector<BYTE> gWireAtClose;
bool gWireAtCloseTaken;

void CALLBACK MidiProc(HDRVR hdrv, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    Event e{msg, (DWORD_PTR)hdrv, user, p1, p2, timeGetTime()};
    if (msg == MOM_CLOSE) {
        /* What the module has received when the client hears of the close. */
        gWireAtClose = SimWire();
        gWireAtCloseTaken = true;
    }
    EnterCriticalSection(&gEventLock);
    gEvents.push_back(e);
    LeaveCriticalSection(&gEventLock);
}

std::vector<Event> Events()
{
    EnterCriticalSection(&gEventLock);
    std::vector<Event> v = gEvents;
    LeaveCriticalSection(&gEventLock);
    return v;
}

void ClearEvents()
{
    EnterCriticalSection(&gEventLock);
    gEvents.clear();
    LeaveCriticalSection(&gEventLock);
}

/* Waits until `count` notifications have arrived, or the time is up. */
std::vector<Event> WaitEvents(size_t count, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<Event> v = Events();
        if (v.size() >= count || GetTickCount() - start > ms)
            return v;
        Sleep(5);
    }
}

std::string Describe(const std::vector<Event> &v)
{
    std::string s = "[";
    char b[96];
    for (const Event &e : v) {
        snprintf(b, sizeof b, "%s{0x%x,%#llx,%#llx}", s.size() > 1 ? " " : "", e.msg, (unsigned long long)e.p1,
                 (unsigned long long)e.p2);
        s += b;
    }
    return s + "]";
}

DWORD OpenDevice(DeviceProc proc, UINT msg, LPDRVCALLBACK callback)
{
    return OpenDeviceOn(proc, msg, 0, callback, kInstance);
}

/* The driver keeps what it needs of the description: one will do for every open. */
DWORD OpenDeviceOn(DeviceProc proc, UINT msg, UINT id, LPDRVCALLBACK callback, DWORD_PTR instance)
{
    gDesc = MIDIOPENDESC();
    gDesc.hMidi = (HMIDI)(DWORD_PTR)kFakeHmidi;
    gDesc.dwCallback = (DWORD_PTR)callback;
    gDesc.dwInstance = instance;
    return proc(id, msg, 0, (DWORD_PTR)&gDesc, CALLBACK_FUNCTION);
}

/* Opens both devices, reporting it; true when both opened. */
bool OpenBoth()
{
    DWORD o = OpenDevice(gMod, MODM_OPEN);
    DWORD i = OpenDevice(gMid, MIDM_OPEN);
    Report(o == 0 && i == 0, "both-open", "expected 0 and 0, got %lu and %lu", (unsigned long)o, (unsigned long)i);
    return o == 0 && i == 0;
}
