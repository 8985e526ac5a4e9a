/*
 * Test host of the real-platform suite: under Wine it plays the multimedia
 * system for TOLVEX.dll (loads it, sends driver and device messages, receives
 * notifications through winmm's DriverCallback) and talks to the module
 * simulator (tools/modsim.py) on the other end of COM1. One group a run:
 *     tolvex_wine_host.exe GROUP PATH\TOLVEX.dll
 * prints "PASS group.check" or "FAIL group.check: expected ..., got ..." per
 * check, then "END group".
 */
#define PSAPI_VERSION 1
#include <winsock2.h>
#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>
#include <psapi.h>
#include <setjmp.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

typedef DWORD(WINAPI *DeviceProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef LRESULT(WINAPI *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

const wchar_t kParamsKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";
const wchar_t kDevice0Key[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver";
const wchar_t kSetupCaption[] = L"ORBEL Veldor Driver Setup";
const wchar_t kWarningCaption[] = L"ORBEL TOLVEX MIDI Driver";
constexpr DWORD kWait = 3000;         /* ms to wait for anything the suite expects */
constexpr DWORD kSettle = 60;         /* ms of quiet on the line before its bytes are read */
constexpr DWORD kFakeHmidi = 0x4D49;  /* device handle the host assigns */
constexpr DWORD kInstance = 0xC11E17; /* client instance word */

std::wstring gDllPath;
std::string gGroup;
int gFailed;

/* ---- reporting ---- */

void Report(bool ok, const char *check, const char *fmt = nullptr, ...)
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

/* ---- the module simulator's control channel ---- */

SOCKET gSim = INVALID_SOCKET;

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

std::vector<BYTE> SimWire(DWORD settle = kSettle)
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

void StoreComId(DWORD port)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDevice0Key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) == 0) {
        RegSetValueExW(k, L"COMID", 0, REG_DWORD, (const BYTE *)&port, sizeof port);
        RegCloseKey(k);
    }
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
void DumpKey(HKEY parent, const std::wstring &name, std::string &out)
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

struct Event {
    UINT msg;
    DWORD_PTR hdrv, user, p1, p2;
    DWORD at; /* timeGetTime when it arrived */
};

CRITICAL_SECTION gEventLock;
std::vector<Event> gEvents;
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
std::vector<Event> WaitEvents(size_t count, DWORD ms = kWait)
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

MIDIOPENDESC gDesc;

DWORD OpenDevice(DeviceProc proc, UINT msg)
{
    gDesc = MIDIOPENDESC();
    gDesc.hMidi = (HMIDI)(DWORD_PTR)kFakeHmidi;
    gDesc.dwCallback = (DWORD_PTR)MidiProc;
    gDesc.dwInstance = kInstance;
    return proc(0, msg, 0, (DWORD_PTR)&gDesc, CALLBACK_FUNCTION);
}

/* ---- groups ---- */

std::set<std::wstring> ModuleNames()
{
    std::set<std::wstring> names;
    HMODULE mods[1024];
    DWORD needed = 0;
    if (!EnumProcessModules(GetCurrentProcess(), mods, sizeof mods, &needed))
        return names;
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; i++) {
        wchar_t name[MAX_PATH];
        if (GetModuleBaseNameW(GetCurrentProcess(), mods[i], name, MAX_PATH)) {
            std::wstring n = name;
            std::transform(n.begin(), n.end(), n.begin(), ::towlower);
            names.insert(n);
        }
    }
    return names;
}

/* The library brings nothing into the process but itself (its four system
   DLLs are loaded first, as the multimedia system has them loaded). */
void GroupLoad()
{
    ClearSetting();
    for (const wchar_t *dll : {L"kernel32.dll", L"user32.dll", L"advapi32.dll", L"winmm.dll"})
        LoadLibraryW(dll);
    std::set<std::wstring> before = ModuleNames();
    bool loaded = Load();
    Report(loaded, "loads", "LoadLibrary and the three exports, error %lu", (unsigned long)GetLastError());
    if (!loaded)
        return;
    std::set<std::wstring> after = ModuleNames();
    std::string added;
    for (const std::wstring &n : after)
        if (!before.count(n))
            added += (added.empty() ? "" : " ") + Utf8(n);
    Report(added == "tolvex.dll", "brings-in-only-itself", "expected new modules {tolvex.dll}, got {%s}",
           added.c_str());

    /* Exports: names and ordinals resolve to the same routines. */
    const char *names[] = {"DriverProc", "midMessage", "modMessage"};
    for (int ord = 1; ord <= 3; ord++) {
        FARPROC byName = GetProcAddress(gLib, names[ord - 1]);
        FARPROC byOrd = GetProcAddress(gLib, MAKEINTRESOURCEA(ord));
        char check[32];
        snprintf(check, sizeof check, "ordinal-%d", ord);
        Report(byName && byName == byOrd, check, "expected ordinal %d to be %s", ord, names[ord - 1]);
    }
    Report(GetProcAddress(gLib, MAKEINTRESOURCEA(4)) == nullptr, "three-exports", "an ordinal 4 exists");

    /* The export directory names the library "TOLVEX.dll". */
    BYTE *base = (BYTE *)gLib;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY *exp = (IMAGE_EXPORT_DIRECTORY *)(base + dir.VirtualAddress);
    const char *dllName = (const char *)(base + exp->Name);
    Report(strcmp(dllName, "TOLVEX.dll") == 0 && exp->Base == 1 && exp->NumberOfFunctions == 3, "export-directory",
           "expected TOLVEX.dll, base 1, 3 functions; got %s, base %lu, %lu functions", dllName,
           (unsigned long)exp->Base, (unsigned long)exp->NumberOfFunctions);

    Report(FreeLibrary(gLib) && GetModuleHandleW(L"TOLVEX.dll") == nullptr, "unloads",
           "still loaded after FreeLibrary");
}

/* One step of a VS_VERSIONINFO tree: key, value, children. */
struct VersionNode {
    std::wstring key;
    const BYTE *value;
    WORD valueLength;
    WORD type;
    std::vector<VersionNode> children;
};

size_t Align4(size_t n) { return (n + 3) & ~(size_t)3; }

VersionNode ParseVersion(const BYTE *p, const BYTE *end)
{
    VersionNode n;
    WORD length = *(const WORD *)p;
    n.valueLength = *(const WORD *)(p + 2);
    n.type = *(const WORD *)(p + 4);
    const wchar_t *key = (const wchar_t *)(p + 6);
    n.key = key;
    const BYTE *q = p + Align4(6 + (n.key.size() + 1) * 2);
    n.value = q;
    size_t valueBytes = n.type == 1 ? n.valueLength * 2 : n.valueLength;
    q += Align4(valueBytes);
    const BYTE *stop = std::min(p + length, end);
    while (q + 6 < stop) {
        WORD childLength = *(const WORD *)q;
        if (childLength == 0)
            break;
        n.children.push_back(ParseVersion(q, stop));
        q += Align4(childLength);
    }
    return n;
}

const VersionNode *Child(const VersionNode &n, const wchar_t *key)
{
    for (const VersionNode &c : n.children)
        if (c.key == key)
            return &c;
    return nullptr;
}

/* The dialog template "MIDIRS_NT" as the setup dialog is laid out. */
std::vector<BYTE> ExpectedDialog()
{
    std::vector<BYTE> v;
    auto word = [&](DWORD w) { v.push_back((BYTE)w), v.push_back((BYTE)(w >> 8)); };
    auto dword = [&](DWORD d) { word(d & 0xFFFF), word(d >> 16); };
    auto text = [&](const char *utf8) {
        for (wchar_t c : Wide(utf8))
            word(c);
        word(0);
    };
    auto align = [&]() {
        while (v.size() % 4)
            v.push_back(0);
    };
    dword(0x80C800C0), dword(0), word(8), word(0), word(0), word(270), word(76);
    word(0), word(0); /* no menu, standard class */
    text("ORBEL Veldor Driver Setup");
    word(9), text("ＭＳ Ｐゴシック");
    struct Item {
        WORD id, cls;
        const char *text;
        DWORD style;
        WORD x, y, cx, cy;
    } items[] = {
        {1, 0x80, "OK", 0x50010001, 212, 49, 50, 14},
        {2, 0x80, "ｷｬﾝｾﾙ", 0x40010000, 206, 5, 50, 14},
        {1000, 0x80, "COM1", 0x50000009, 60, 47, 36, 10},
        {1001, 0x80, "COM2", 0x50000009, 135, 47, 36, 10},
        {1002, 0x80, "COM3", 0x40000009, 92, 53, 36, 10},
        {1003, 0x80, "COM4", 0x40000009, 168, 53, 36, 10},
        {1025, 0x82, "MIDI driver TOLVEX.DLL(Ver1.0)", 0x50020001, 49, 13, 157, 9},
        {1026, 0x82, nullptr, 0x5002000C, 21, 28, 214, 12},
    };
    for (const Item &it : items) {
        align();
        dword(it.style), dword(0), word(it.x), word(it.y), word(it.cx), word(it.cy), word(it.id);
        word(0xFFFF), word(it.cls);
        text(it.text ? it.text : "\x01"); /* the notice's text is the maker's own: compared apart */
        word(0);
    }
    return v;
}

std::wstring LoadText(UINT id)
{
    wchar_t buf[256];
    int n = LoadStringW(gLib, id, buf, 256);
    return std::wstring(buf, n > 0 ? n : 0);
}

BOOL CALLBACK CollectLang(HMODULE, LPCWSTR type, LPCWSTR name, WORD lang, LONG_PTR out)
{
    auto *s = (std::vector<std::string> *)out;
    char b[128];
    std::string n = IS_INTRESOURCE(name) ? std::to_string((ULONG_PTR)name) : Utf8(name);
    snprintf(b, sizeof b, "%lu/%s/%04x", (unsigned long)(ULONG_PTR)type, n.c_str(), lang);
    s->push_back(b);
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE mod, LPCWSTR type, LPWSTR name, LONG_PTR out)
{
    EnumResourceLanguagesW(mod, type, name, CollectLang, out);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE mod, LPWSTR type, LONG_PTR out)
{
    EnumResourceNamesW(mod, type, CollectName, out);
    return TRUE;
}

void GroupResources()
{
    ClearSetting();
    if (!LoadOrReport())
        return;

    /* Every resource, by type/name/language: exactly these. */
    std::vector<std::string> all;
    EnumResourceTypesW(gLib, CollectType, (LONG_PTR)&all);
    std::sort(all.begin(), all.end());
    std::string got;
    for (const std::string &s : all)
        got += (got.empty() ? "" : " ") + s;
    const char *expected = "14/107/0409 16/1/0409 3/1/0409 5/MIDIRS_NT/0409 6/1/0409";
    Report(got == expected, "inventory", "expected {%s}, got {%s}", expected, got.c_str());

    /* The string table: ids 2, 6 and 7 and no other. */
    std::map<UINT, std::wstring> strings;
    for (UINT id = 0; id <= 0xFFFF; id++) {
        std::wstring t = LoadText(id);
        if (!t.empty())
            strings[id] = t;
    }
    std::string table;
    for (auto &kv : strings)
        table += (table.empty() ? "" : " ") + std::to_string(kv.first) + "=\"" + Utf8(kv.second) + "\"";
    const char *wantTable = "2=\"VeldorNTDriver\" 6=\"VeldorNT MIDI In\" 7=\"VeldorNT MIDI Out\"";
    Report(table == wantTable, "string-table", "expected %s, got %s", wantTable, table.c_str());
    wchar_t cut[8];
    int n = LoadStringW(gLib, 7, cut, 8);
    Report(n == 7 && std::wstring(cut) == L"VeldorN", "string-cut-to-fit", "expected 7 \"VeldorN\", got %d \"%s\"", n,
           Utf8(cut).c_str());

    /* The version block, read through the version API. */
    DWORD handle = 0, size = GetFileVersionInfoSizeW(gDllPath.c_str(), &handle);
    std::vector<BYTE> info(size ? size : 1);
    bool haveInfo = size && GetFileVersionInfoW(gDllPath.c_str(), 0, size, info.data());
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    haveInfo = haveInfo && VerQueryValueW(info.data(), L"\\", (void **)&fixed, &len) && fixed;
    Report(haveInfo, "version-readable", "GetFileVersionInfo/VerQueryValue failed");
    if (haveInfo) {
        Report(fixed->dwFileVersionMS == 0x00030005 && fixed->dwFileVersionLS == 0 &&
                   fixed->dwProductVersionMS == 0x00030005 && fixed->dwProductVersionLS == 0,
               "version-fixed-numbers", "expected 3.5.0.0 twice, got %08lx.%08lx / %08lx.%08lx",
               (unsigned long)fixed->dwFileVersionMS, (unsigned long)fixed->dwFileVersionLS,
               (unsigned long)fixed->dwProductVersionMS, (unsigned long)fixed->dwProductVersionLS);
        Report(fixed->dwFileFlagsMask == 0x0030003F && fixed->dwFileFlags == 0 && fixed->dwFileOS == 0x00010001 &&
                   fixed->dwFileType == 3 && fixed->dwFileSubtype == 8 && fixed->dwFileDateMS == 0 &&
                   fixed->dwFileDateLS == 0,
               "version-fixed-kind",
               "expected mask 0030003f flags 0 os 00010001 type 3 subtype 8 date 0, got %08lx %lx %08lx %lu %lu %lx",
               (unsigned long)fixed->dwFileFlagsMask, (unsigned long)fixed->dwFileFlags, (unsigned long)fixed->dwFileOS,
               (unsigned long)fixed->dwFileType, (unsigned long)fixed->dwFileSubtype,
               (unsigned long)(fixed->dwFileDateMS | fixed->dwFileDateLS));
        struct {
            const wchar_t *name;
            const char *want; /* null: our own text, present and not empty */
        } entries[] = {
            {L"FileDescription", "1.0"},         {L"FileVersion", "1.00"},    {L"InternalName", "TOLVEX.DLL"},
            {L"OriginalFilename", "TOLVEX.DLL"}, {L"ProductVersion", "1.00"}, {L"CompanyName", nullptr},
            {L"LegalCopyright", nullptr},        {L"ProductName", nullptr},
        };
        for (auto &e : entries) {
            std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + e.name;
            wchar_t *val = nullptr;
            UINT vlen = 0;
            bool found = VerQueryValueW(info.data(), path.c_str(), (void **)&val, &vlen) && val;
            std::string s = found ? Utf8(val) : "(missing)";
            std::string check = "version-" + Utf8(e.name);
            Report(e.want ? s == e.want : found && !s.empty(), check.c_str(), "expected \"%s\", got \"%s\"",
                   e.want ? e.want : "(a text)", s.c_str());
        }
        DWORD *trans = nullptr;
        Report(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void **)&trans, &len) && len == 4 &&
                   *trans == MAKELONG(0x0409, 0x04E4),
               "version-translation", "expected 0409 04e4, got %08lx", trans ? (unsigned long)*trans : 0ul);
    }

    /* The string block's name, spelled exactly, straight from the resource. */
    HRSRC vr =
        FindResourceExW(gLib, (LPCWSTR)RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (vr) {
        const BYTE *p = (const BYTE *)LockResource(LoadResource(gLib, vr));
        VersionNode root = ParseVersion(p, p + SizeofResource(gLib, vr));
        const VersionNode *sfi = Child(root, L"StringFileInfo");
        std::string blocks;
        if (sfi)
            for (const VersionNode &c : sfi->children)
                blocks += (blocks.empty() ? "" : " ") + Utf8(c.key);
        Report(root.key == L"VS_VERSION_INFO" && blocks == "040904E4", "version-string-block",
               "expected one block \"040904E4\", got {%s}", blocks.c_str());
    } else {
        Report(false, "version-string-block", "no version resource in language 0409");
    }

    /* The dialog template, byte for byte (the notice's text apart). */
    HRSRC dr = FindResourceExW(gLib, (LPCWSTR)RT_DIALOG, L"MIDIRS_NT", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (dr) {
        const BYTE *p = (const BYTE *)LockResource(LoadResource(gLib, dr));
        std::vector<BYTE> got(p, p + SizeofResource(gLib, dr));
        std::vector<BYTE> want = ExpectedDialog();
        /* The last item's text stands in for the notice: splice the real one in. */
        size_t noticeAt = want.size() - 6; /* "\x01\0" NUL creation-data */
        bool prefix = got.size() >= noticeAt && std::equal(want.begin(), want.begin() + noticeAt, got.begin());
        size_t diff = 0;
        while (diff < noticeAt && diff < got.size() && got[diff] == want[diff])
            diff++;
        std::wstring notice;
        if (prefix)
            for (size_t i = noticeAt; i + 1 < got.size(); i += 2) {
                wchar_t c = (wchar_t)(got[i] | got[i + 1] << 8);
                if (!c)
                    break;
                notice += c;
            }
        Report(prefix, "dialog-template", "first difference at byte %u: expected %02x, got %02x (%u bytes)",
               (unsigned)diff, diff < want.size() ? want[diff] : 0, diff < got.size() ? got[diff] : 0,
               (unsigned)got.size());
        Report(prefix && !notice.empty(), "dialog-notice", "the notice line is empty");
    } else {
        Report(false, "dialog-template", "no dialog MIDIRS_NT in language 0409");
    }

    /* The icon group: one 32 by 32, 16-colour image, icon id 1. */
    HRSRC gr = FindResourceExW(gLib, (LPCWSTR)RT_GROUP_ICON, MAKEINTRESOURCEW(107),
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    HRSRC ir =
        FindResourceExW(gLib, (LPCWSTR)RT_ICON, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (gr && ir) {
        const BYTE *g = (const BYTE *)LockResource(LoadResource(gLib, gr));
        const BYTE *e = g + 6;
        WORD count = *(const WORD *)(g + 4);
        WORD planes = *(const WORD *)(e + 4), bits = *(const WORD *)(e + 6), id = *(const WORD *)(e + 12);
        DWORD bytes = *(const DWORD *)(e + 8);
        Report(count == 1 && e[0] == 32 && e[1] == 32 && e[2] == 16 && planes == 1 && bits == 4 && id == 1 &&
                   bytes == SizeofResource(gLib, ir),
               "icon-group",
               "expected 1 entry 32x32 16 colours 1 plane 4 bpp id 1, got %u entries %ux%u %u colours "
               "%u planes %u bpp id %u",
               count, e[0], e[1], e[2], planes, bits, id);
        const BITMAPINFOHEADER *bih = (const BITMAPINFOHEADER *)LockResource(LoadResource(gLib, ir));
        HICON icon = CreateIconFromResourceEx((BYTE *)bih, SizeofResource(gLib, ir), TRUE, 0x00030000, 32, 32, 0);
        Report(bih->biWidth == 32 && bih->biHeight == 64 && bih->biBitCount == 4 && icon != nullptr, "icon-image",
               "expected a usable 32x32 4 bpp image, got %ldx%ld %u bpp, icon %p", (long)bih->biWidth,
               (long)bih->biHeight, bih->biBitCount, (void *)icon);
        if (icon)
            DestroyIcon(icon);
    } else {
        Report(false, "icon-group", "group 107 or icon 1 missing in language 0409");
    }
    FreeLibrary(gLib);
}

/* No stored port: the attach succeeds, the device opens fail. */
void GroupNoPort()
{
    ClearSetting();
    if (!LoadOrReport())
        return;
    DWORD out = OpenDevice(gMod, MODM_OPEN);
    DWORD in = OpenDevice(gMid, MIDM_OPEN);
    Report(out == MMSYSERR_ALLOCATED && in == MMSYSERR_ALLOCATED, "opens-refused",
           "expected output and input open 4 and 4, got %lu and %lu", (unsigned long)out, (unsigned long)in);
    Report(Events().empty(), "nothing-notified", "got %s", Describe(Events()).c_str());
    FreeLibrary(gLib);
}

/* The port is the stored one, read once when the library is attached. */
void GroupAttachPort()
{
    StoreComId(2); /* COM2 leads nowhere in the suite's prefix */
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMod, MODM_OPEN);
    Report(r == MMSYSERR_ALLOCATED, "stored-port-used", "expected COMID 2 to fail the open with 4, got %lu",
           (unsigned long)r);
    FreeLibrary(gLib);

    StoreComId(1);
    Load();
    StoreComId(2); /* too late for this process */
    SimClear();
    r = OpenDevice(gMod, MODM_OPEN);
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    std::vector<BYTE> wire = SimWire();
    Report(r == 0 && wire == Bytes({0x90, 0x3C, 0x40}), "read-once-at-attach",
           "expected COM1 still in use: 0 and 903c40, got %lu and %s", (unsigned long)r, Hex(wire).c_str());
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
    StoreComId(1);
}

/* The driver messages, through winmm's installable-driver calls. */
void GroupDriverProc()
{
    StoreComId(1);
    HDRVR h = OpenDriver(gDllPath.c_str(), nullptr, 0);
    Report(h != nullptr, "open-driver", "OpenDriver failed");
    if (!h)
        return;
    LRESULT q = SendDriverMessage(h, DRV_QUERYCONFIGURE, 0, 0);
    LRESULT i = SendDriverMessage(h, DRV_INSTALL, 0, 0);
    Report(q == 1 && i == DRVCNF_RESTART, "query-and-install", "expected 1 and 2, got %ld and %ld", (long)q, (long)i);
    /* Unhandled messages answer what the default procedure answers. */
    for (UINT msg : {0u, (UINT)DRV_EXITSESSION, (UINT)DRV_POWER, 0x4000u}) {
        LRESULT got = SendDriverMessage(h, msg, 0x11, 0x22);
        LRESULT want = DefDriverProc(1, h, msg, 0x11, 0x22);
        char check[40];
        snprintf(check, sizeof check, "default-%u", msg);
        Report(got == want, check, "expected DefDriverProc's %ld, got %ld", (long)want, (long)got);
    }
    std::string before = DumpServiceKey();
    LRESULT r = SendDriverMessage(h, DRV_REMOVE, 0, 0);
    std::string after = DumpServiceKey();
    Report(r == DRVCNF_RESTART, "remove-answers-restart", "expected 2, got %ld", (long)r);
    Report(before == after && !before.empty(), "remove-leaves-registry", "before:\n%s\nafter:\n%s", before.c_str(),
           after.c_str());
    Report(CloseDriver(h, 0, 0) != 0, "close-driver", "CloseDriver failed");
}

void GroupOutput()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMod, MODM_OPEN);
    std::vector<Event> ev = WaitEvents(1, 200);
    Report(r == 0 && ev.size() == 1 && ev[0].msg == MOM_OPEN && ev[0].hdrv == kFakeHmidi && ev[0].user == kInstance,
           "open", "expected 0 and MOM_OPEN to our handle and instance, got %lu %s", (unsigned long)r,
           Describe(ev).c_str());
    if (r != 0) {
        FreeLibrary(gLib);
        return;
    }

    struct Row {
        const char *check;
        DWORD word;
        std::vector<BYTE> wire;
    } rows[] = {
        {"note-on", 0x403C90, Bytes({0x90, 0x3C, 0x40})},
        {"running-status", 0x00453C, Bytes({0x3C, 0x45})},
        {"program-change", 0x0005C1, Bytes({0xC1, 0x05})},
        {"real-time", 0x0000F8, Bytes({0xF8})},
        {"running-status-after-real-time", 0x000007, Bytes({0x07})}, /* program change: one data byte */
    };
    for (const Row &row : rows) {
        SimClear();
        DWORD res = gMod(0, MODM_DATA, 0, row.word, 0);
        std::vector<BYTE> wire = SimWire();
        Report(res == 0 && wire == row.wire, row.check, "expected 0 and %s on the wire, got %lu and %s",
               Hex(row.wire).c_str(), (unsigned long)res, Hex(wire).c_str());
    }

    /* A long buffer, and one longer than a single write. */
    for (size_t length : {(size_t)6, (size_t)5000}) {
        std::vector<BYTE> data(length);
        data[0] = 0xF0;
        for (size_t k = 1; k + 1 < length; k++)
            data[k] = (BYTE)(k & 0x7F);
        data[length - 1] = 0xF7;
        MIDIHDR hdr = {};
        hdr.lpData = (LPSTR)data.data();
        hdr.dwBufferLength = (DWORD)length;
        hdr.dwFlags = MHDR_PREPARED; /* the host prepares headers itself */
        ClearEvents();
        SimClear();
        DWORD res = gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
        std::vector<BYTE> wire = SimWire(150);
        ev = Events();
        bool done = ev.size() == 1 && ev[0].msg == MOM_DONE && ev[0].p1 == (DWORD_PTR)&hdr && (hdr.dwFlags & MHDR_DONE);
        std::string check = "long-buffer-" + std::to_string(length);
        Report(res == 0 && wire == data && done, check.c_str(),
               "expected 0, the %u bytes and MOM_DONE for the header, got %lu, %u bytes (%s...), %s", (unsigned)length,
               (unsigned long)res, (unsigned)wire.size(),
               Hex(std::vector<BYTE>(wire.begin(), wire.begin() + std::min<size_t>(wire.size(), 8))).c_str(),
               Describe(ev).c_str());
    }

    SimClear();
    DWORD res = gMod(0, MODM_RESET, 0, 0, 0);
    std::vector<BYTE> wire = SimWire();
    Report(res == 0 && wire == ResetBytes(), "reset", "expected 0 and the 96 reset bytes, got %lu and %s",
           (unsigned long)res, Hex(wire).c_str());

    /* The close: the client hears of it before the reset goes out. */
    SimClear();
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    ClearEvents();
    gWireAtCloseTaken = false;
    res = gMod(0, MODM_CLOSE, 0, 0, 0);
    wire = SimWire();
    ev = Events();
    std::vector<BYTE> note = Bytes({0x90, 0x3C, 0x40});
    std::vector<BYTE> reset = ResetBytes();
    std::vector<BYTE> all = note;
    all.insert(all.end(), reset.begin(), reset.end());
    Report(res == 0 && ev.size() == 1 && ev[0].msg == MOM_CLOSE, "close", "expected 0 and MOM_CLOSE, got %lu %s",
           (unsigned long)res, Describe(ev).c_str());
    Report(gWireAtCloseTaken && gWireAtClose == note, "close-notified-before-reset",
           "expected only %s on the wire at MOM_CLOSE, got %s", Hex(note).c_str(), Hex(gWireAtClose).c_str());
    Report(wire == all, "close-sends-reset", "expected %s, got %s", Hex(all).c_str(), Hex(wire).c_str());
    FreeLibrary(gLib);
}

void GroupInput()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMid, MIDM_OPEN);
    DWORD opened = timeGetTime();
    std::vector<Event> ev = WaitEvents(1, 200);
    Report(r == 0 && ev.size() == 1 && ev[0].msg == MIM_OPEN, "open", "expected 0 and MIM_OPEN, got %lu %s",
           (unsigned long)r, Describe(ev).c_str());
    if (r != 0) {
        FreeLibrary(gLib);
        return;
    }

    /* A note 150 ms from now: delivered, stamped from the open. */
    ClearEvents();
    DWORD asked = timeGetTime();
    SimSend(150, Bytes({0x90, 0x3C, 0x40}));
    ev = WaitEvents(1);
    bool got = ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403C90;
    Report(got, "note-on", "expected MIM_DATA 0x403c90, got %s", Describe(ev).c_str());
    if (got) {
        long stamp = (long)ev[0].p2, since = (long)(ev[0].at - opened), sent = (long)(asked - opened) + 150;
        Report(stamp >= sent - 15 && stamp <= since + 5 && since - stamp <= 40, "timestamp",
               "expected a stamp between %ld and %ld ms after the open (arrival), got %ld", sent - 15, since + 5,
               stamp);
    }

    /* Running status and a real-time byte, in arrival order. */
    ClearEvents();
    SimSend(0, Bytes({0x3C, 0x00, 0xF8}));
    ev = WaitEvents(2);
    Report(ev.size() == 2 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x003C90 && ev[1].msg == MIM_DATA && ev[1].p1 == 0xF8,
           "running-status-and-real-time", "expected {MIM_DATA 0x3c90} {MIM_DATA 0xf8}, got %s", Describe(ev).c_str());

    /* System exclusive into a queued buffer. */
    char buf[16];
    MIDIHDR hdr = {};
    hdr.lpData = buf;
    hdr.dwBufferLength = sizeof buf;
    hdr.dwFlags = MHDR_PREPARED;
    ClearEvents();
    DWORD add = gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr, sizeof hdr);
    std::vector<BYTE> sx = Bytes({0xF0, 0x41, 0x10, 0x42, 0xF7});
    SimSend(0, sx);
    ev = WaitEvents(1);
    bool filled = ev.size() == 1 && ev[0].msg == MIM_LONGDATA && ev[0].p1 == (DWORD_PTR)&hdr &&
                  hdr.dwBytesRecorded == sx.size() && memcmp(buf, sx.data(), sx.size()) == 0 &&
                  (hdr.dwFlags & MHDR_DONE);
    Report(add == 0 && filled, "system-exclusive", "expected MIM_LONGDATA with %s, got %lu %s %u bytes %s",
           Hex(sx).c_str(), (unsigned long)add, Describe(ev).c_str(), (unsigned)hdr.dwBytesRecorded,
           Hex(std::vector<BYTE>(buf, buf + std::min<DWORD>(hdr.dwBytesRecorded, sizeof buf))).c_str());

    /* Start moves the time base. */
    Sleep(300);
    DWORD st = gMid(0, MIDM_START, 0, 0, 0);
    DWORD started = timeGetTime();
    ClearEvents();
    SimSend(100, Bytes({0x80, 0x3C, 0x00}));
    ev = WaitEvents(1);
    got = ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x003C80;
    long since = got ? (long)(ev[0].at - started) : 0;
    Report(st == 0 && got && (long)ev[0].p2 <= since + 5 && since - (long)ev[0].p2 <= 40, "start-moves-time-base",
           "expected 0 and MIM_DATA 0x3c80 stamped about %ld ms after the start, got %lu %s", since, (unsigned long)st,
           Describe(ev).c_str());

    /* Reset returns a queued buffer empty, and holds input back. */
    MIDIHDR hdr2 = {};
    hdr2.lpData = buf;
    hdr2.dwBufferLength = sizeof buf;
    hdr2.dwFlags = MHDR_PREPARED;
    gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr2, sizeof hdr2);
    ClearEvents();
    DWORD rs = gMid(0, MIDM_RESET, 0, 0, 0);
    ev = WaitEvents(1, 200);
    Report(rs == 0 && ev.size() == 1 && ev[0].msg == MIM_LONGDATA && ev[0].p1 == (DWORD_PTR)&hdr2 &&
               hdr2.dwBytesRecorded == 0,
           "reset-returns-buffers", "expected MIM_LONGDATA for the header with 0 bytes, got %lu %s", (unsigned long)rs,
           Describe(ev).c_str());
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x3D, 0x40}));
    ev = WaitEvents(1, 300);
    Report(ev.empty(), "reset-holds-input", "expected nothing after the reset, got %s", Describe(ev).c_str());

    /* What arrived while held waits in the port, and comes with the next start. */
    gMid(0, MIDM_START, 0, 0, 0);
    ev = WaitEvents(1);
    Report(ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403D90, "start-delivers-held-bytes",
           "expected MIM_DATA 0x403d90, got %s", Describe(ev).c_str());

    ClearEvents();
    DWORD cl = gMid(0, MIDM_CLOSE, 0, 0, 0);
    ev = WaitEvents(1, 200);
    Report(cl == 0 && ev.size() == 1 && ev[0].msg == MIM_CLOSE, "close", "expected 0 and MIM_CLOSE, got %lu %s",
           (unsigned long)cl, Describe(ev).c_str());
    FreeLibrary(gLib);
}

/* Opens both devices, reporting it; true when both opened. */
bool OpenBoth()
{
    DWORD o = OpenDevice(gMod, MODM_OPEN);
    DWORD i = OpenDevice(gMid, MIDM_OPEN);
    Report(o == 0 && i == 0, "both-open", "expected 0 and 0, got %lu and %lu", (unsigned long)o, (unsigned long)i);
    return o == 0 && i == 0;
}

/* Both devices on one port: each close leaves the other working. */
void GroupShared()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    if (!OpenBoth()) {
        FreeLibrary(gLib);
        return;
    }
    Sleep(100); /* let a few polls take whatever an earlier run left in the port */
    SimClear();
    ClearEvents();
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    SimSend(0, Bytes({0x80, 0x3C, 0x00}));
    std::vector<BYTE> wire = SimWire();
    std::vector<Event> ev = WaitEvents(1);
    Report(wire == Bytes({0x90, 0x3C, 0x40}) && ev.size() == 1 && ev[0].p1 == 0x003C80, "both-ways",
           "expected 903c40 out and MIM_DATA 0x3c80 in, got %s and %s", Hex(wire).c_str(), Describe(ev).c_str());

    gMod(0, MODM_CLOSE, 0, 0, 0);
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x3E, 0x40}));
    ev = WaitEvents(1);
    Report(ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403E90, "input-survives-output-close",
           "expected MIM_DATA 0x403e90, got %s", Describe(ev).c_str());

    DWORD o = OpenDevice(gMod, MODM_OPEN);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    SimClear();
    gMod(0, MODM_DATA, 0, 0x403F90, 0);
    wire = SimWire();
    Report(o == 0 && wire == Bytes({0x90, 0x3F, 0x40}), "output-survives-input-close",
           "expected 0 and 903f40, got %lu and %s", (unsigned long)o, Hex(wire).c_str());
    gMod(0, MODM_CLOSE, 0, 0, 0);

    /* All closed: the poll has stopped, nothing arrives. */
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x30, 0x40}));
    ev = WaitEvents(1, 200);
    Report(ev.empty(), "quiet-when-closed", "expected nothing, got %s", Describe(ev).c_str());
    FreeLibrary(gLib);
}

/* FreeLibrary with both devices open: the process keeps running. */
void GroupUnload()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    OpenBoth();
    SimSend(0, Bytes({0x90, 0x3C, 0x40}));
    SimSend(30, Bytes({0x80, 0x3C, 0x00}));
    Sleep(20);
    BOOL freed = FreeLibrary(gLib);
    HMODULE still = GetModuleHandleW(L"TOLVEX.dll");
    SimSend(20, Bytes({0x90, 0x3C, 0x40}));
    Sleep(250); /* 25 poll periods: a timer left behind would have fired */
    /* Reaching this line at all is the point: the runner fails a group that ends without "END". */
    Report(freed && still == nullptr, "freed-and-survives", "expected the library gone, got FreeLibrary %d, module %p",
           freed, (void *)still);

    /* The port was given back: a new load opens it again and writes. */
    if (Load()) {
        SimClear();
        DWORD o = OpenDevice(gMod, MODM_OPEN);
        gMod(0, MODM_DATA, 0, 0x403C90, 0);
        std::vector<BYTE> wire = SimWire();
        Report(o == 0 && wire == Bytes({0x90, 0x3C, 0x40}), "reload-opens-port", "expected 0 and 903c40, got %lu %s",
               (unsigned long)o, Hex(wire).c_str());
        gMod(0, MODM_CLOSE, 0, 0, 0);
        FreeLibrary(gLib);
    } else {
        Report(false, "reload-opens-port", "LoadLibrary failed");
    }
}

/* A client's exception, raised in its callback and caught around the
   request, must come back through the library's frames and winmm's
   DriverCallback, with nothing on the way swallowing it. MOM_DONE comes from
   deep inside a guarded request.
   64-bit: a C++ throw, which unwinds by every frame's unwind tables, the
   library's included.
   32-bit: a structured exception, taken by a frame-based handler around the
   request. That is what a 32-bit client's C++ throw is on Windows (MSVC
   raises one and walks the handler chain, which asks nothing of the frames
   in between); the library passes it as long as it neither catches it nor
   breaks the chain. This host's own g++ throw cannot be the check there:
   Debian's i686 mingw unwinds by DWARF-2 tables and calls terminate() at the
   first frame it has none for (DriverCallback, the library), so a client
   built that way gets no exception back through any driver. */
#if defined(__i386__)
constexpr DWORD kClientException = 0xE0C11E17; /* what the callback raises (customer bit set) */

struct ClientHandler {
    EXCEPTION_REGISTRATION_RECORD record; /* first: the chain links to it */
    jmp_buf resume;                       /* where the handler takes the client back to */
    volatile DWORD code;                  /* the exception that reached the handler */
};

EXCEPTION_DISPOSITION NTAPI TakeClientException(EXCEPTION_RECORD *rec, PVOID frame, CONTEXT *, PVOID)
{
    if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    ClientHandler *h = (ClientHandler *)frame;
    h->code = rec->ExceptionCode;
    longjmp(h->resume, 1); /* the C library's: it first unwinds the chain down to our record, as __except does */
}

void CALLBACK ThrowingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MOM_DONE)
        RaiseException(kClientException, 0, 0, nullptr);
}

/* The request under a handler of the client's own: the exception's code, 0 for none. */
DWORD LongDataCatching(MIDIHDR *hdr)
{
    NT_TIB *tib;
    __asm__("movl %%fs:0x18, %0" : "=r"(tib)); /* the block's Self field (NtCurrentTeb trips -Warray-bounds) */
    ClientHandler h = {};
    h.record.Handler = TakeClientException;
    h.record.Next = tib->ExceptionList;
    tib->ExceptionList = &h.record;
    if (setjmp(h.resume) == 0)
        gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)hdr, sizeof *hdr);
    tib->ExceptionList = h.record.Next;
    return h.code;
}

const char kUnwindWant[] = "expected open 0 and the client's structured exception e0c11e17 back at its handler";
bool CameBack(DWORD code) { return code == kClientException; }
#else
void CALLBACK ThrowingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MOM_DONE)
        throw 42;
}

DWORD LongDataCatching(MIDIHDR *hdr)
{
    try {
        gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)hdr, sizeof *hdr);
    } catch (int v) {
        return (DWORD)v;
    }
    return 0;
}

const char kUnwindWant[] = "expected open 0 and the client's C++ exception 42 caught";
bool CameBack(DWORD code) { return code == 42; }
#endif

void GroupUnwind()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    MIDIOPENDESC desc = {};
    desc.dwCallback = (DWORD_PTR)ThrowingProc;
    DWORD r = gMod(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    BYTE data[] = {0xF0, 0x01, 0xF7};
    MIDIHDR hdr = {};
    hdr.lpData = (LPSTR)data;
    hdr.dwBufferLength = sizeof data;
    hdr.dwFlags = MHDR_PREPARED;
    DWORD caught = LongDataCatching(&hdr);
    Report(r == 0 && CameBack(caught), "through-the-library", "%s, got %lu, %lx", kUnwindWant, (unsigned long)r,
           (unsigned long)caught);
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
}

/* ---- the setup dialog, driven from a second thread ---- */

HWND WaitWindow(const wchar_t *caption, DWORD ms = 10000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        HWND w = FindWindowW(L"#32770", caption);
        if (w && IsWindowVisible(w))
            return w;
        Sleep(20);
    }
    return nullptr;
}

bool WaitGone(HWND w, DWORD ms = 5000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (!IsWindow(w))
            return true;
        Sleep(20);
    }
    return false;
}

/* A warning box with the single OK button: the platform's warning icon in
   the box's icon control, and no button but OK. */
HICON gWarningIcon; /* loaded up front: a helper thread may not load resources while the loader lock is held */

bool IsWarningWithOk(HWND box)
{
    const int kIconControl = 0x0440; /* the message box template's icon */
    HICON shown = (HICON)SendMessageW(GetDlgItem(box, kIconControl), STM_GETICON, 0, 0);
    bool onlyOk = GetDlgItem(box, IDOK) && !GetDlgItem(box, IDCANCEL) && !GetDlgItem(box, IDYES) &&
                  !GetDlgItem(box, IDNO) && !GetDlgItem(box, IDABORT) && !GetDlgItem(box, IDRETRY);
    return shown && shown == gWarningIcon && onlyOk;
}

bool Checked(HWND dlg, int id) { return SendMessageW(GetDlgItem(dlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

std::string Checks(HWND dlg)
{
    std::string s;
    for (int id = 1000; id <= 1003; id++)
        if (Checked(dlg, id))
            s += (s.empty() ? "" : ",") + std::string("COM") + std::to_string(id - 999);
    return s.empty() ? "none" : s;
}

void PressEscape(HWND dlg)
{
    /* As the keyboard delivers it: to the focused control, through the dialog manager. */
    HWND focus = GetDlgItem(dlg, IDOK);
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

void PressOk(HWND dlg) { PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dlg, IDOK)); }

enum Scenario { kChooseCom2, kEscape, kCloseBox, kNoPortWarning };
Scenario gScenario;

DWORD WINAPI DriveDialog(LPVOID)
{
    HWND dlg = WaitWindow(kSetupCaption);
    if (!dlg) {
        Report(false, "dialog-shown", "no window \"ORBEL Veldor Driver Setup\" within 10 s");
        printf("END %s\n", gGroup.c_str());
        fflush(stdout);
        ExitProcess(3);
    }
    switch (gScenario) {
    case kChooseCom2:
        Report(Checks(dlg) == "COM1", "stored-port-checked", "expected COM1 checked at start, got %s",
               Checks(dlg).c_str());
        SendMessageW(GetDlgItem(dlg, 1001), BM_CLICK, 0, 0);
        Report(Checks(dlg) == "COM2", "click-moves-check", "expected only COM2 checked, got %s", Checks(dlg).c_str());
        PressOk(dlg);
        break;
    case kEscape: /* a choice made, then abandoned */
        SendMessageW(GetDlgItem(dlg, 1000), BM_CLICK, 0, 0);
        PressEscape(dlg);
        break;
    case kCloseBox:
        SendMessageW(GetDlgItem(dlg, 1000), BM_CLICK, 0, 0);
        PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case kNoPortWarning: {
        Report(Checks(dlg) == "none", "nothing-checked", "expected no port checked, got %s", Checks(dlg).c_str());
        PressOk(dlg);
        HWND box = WaitWindow(kWarningCaption, 5000);
        wchar_t text[256] = L"";
        if (box)
            GetDlgItemTextW(box, 0xFFFF, text, 256); /* the message box's text control */
        std::string want = "ＣＯＭポートが選択されていません";
        Report(box && Utf8(text) == want && GetWindow(box, GW_OWNER) == nullptr, "warning-box",
               "expected an ownerless box \"%s\" captioned \"ORBEL TOLVEX MIDI Driver\", got %s \"%s\"", want.c_str(),
               box ? "a box" : "no box", Utf8(text).c_str());
        Report(box && IsWarningWithOk(box), "warning-box-style", "expected the warning icon and only an OK button");
        if (box) {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            WaitGone(box);
        }
        Report(IsWindow(dlg) && IsWindowVisible(dlg), "dialog-stays-open", "the dialog closed after the warning");
        PressEscape(dlg);
        break;
    }
    }
    return 0;
}

LRESULT Configure(HDRVR h, Scenario s)
{
    gScenario = s;
    HANDLE t = CreateThread(nullptr, 0, DriveDialog, nullptr, 0, nullptr);
    LRESULT r = SendDriverMessage(h, DRV_CONFIGURE, 0, 0);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    return r;
}

void GroupConfigure()
{
    StoreComId(1);
    HDRVR h = OpenDriver(gDllPath.c_str(), nullptr, 0);
    Report(h != nullptr, "open-driver", "OpenDriver failed");
    if (!h)
        return;

    LRESULT r = Configure(h, kChooseCom2);
    Report(r == DRVCNF_RESTART && ReadComId() == 2, "ok-stores-choice", "expected 2 and COMID 2, got %ld and %lld",
           (long)r, ReadComId());

    r = Configure(h, kEscape);
    Report(r == DRVCNF_CANCEL && ReadComId() == 2, "escape-cancels", "expected 0 and COMID still 2, got %ld and %lld",
           (long)r, ReadComId());

    r = Configure(h, kCloseBox);
    Report(r == DRVCNF_CANCEL && ReadComId() == 2, "close-box-cancels",
           "expected 0 and COMID still 2, got %ld and %lld", (long)r, ReadComId());

    ClearSetting();
    r = Configure(h, kNoPortWarning);
    Report(r == DRVCNF_CANCEL && ReadComId() == -1 && KeyExists(kParamsKey), "no-port-stores-nothing",
           "expected 0, no COMID, the Parameters key made; got %ld, %lld, key %s", (long)r, ReadComId(),
           KeyExists(kParamsKey) ? "present" : "absent");
    CloseDriver(h, 0, 0);
}

/* Outside the NT family (the prefix reports another version for this run):
   the warning box, and the library refuses to load. */
HANDLE gStarted;

DWORD WINAPI DismissVersionBox(LPVOID)
{
    SetEvent(gStarted);
    HWND box = WaitWindow(L"Tolvex MIDI  Driver", 10000);
    wchar_t text[256] = L"";
    if (box)
        GetDlgItemTextW(box, 0xFFFF, text, 256);
    std::string want = "使用しているＷＩＮＤＯＷＳバージョンが違います。";
    Report(box && Utf8(text) == want && GetWindow(box, GW_OWNER) == nullptr, "warning-box",
           "expected an ownerless box \"%s\" captioned \"Tolvex MIDI  Driver\", got %s \"%s\"", want.c_str(),
           box ? "a box" : "no box", Utf8(text).c_str());
    Report(box && IsWarningWithOk(box), "warning-box-style", "expected the warning icon and only an OK button");
    if (box)
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

void GroupWrongVersion()
{
    DWORD v = GetVersion();
    Report((v & 0x80000000) != 0, "platform-reports-other-family", "GetVersion gave %08lx", (unsigned long)v);
    /* The helper must be running before LoadLibrary takes the loader lock,
       which a starting thread needs for its attach notifications. */
    gStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, DismissVersionBox, nullptr, 0, nullptr);
    WaitForSingleObject(gStarted, 5000);
    HMODULE lib = LoadLibraryW(gDllPath.c_str());
    WaitForSingleObject(t, 12000);
    CloseHandle(t);
    Report(lib == nullptr && GetModuleHandleW(L"TOLVEX.dll") == nullptr, "refused", "expected the load refused");
}

struct Group {
    const char *name;
    void (*run)();
    bool needsSim;
};

const Group kGroups[] = {
    {"load", GroupLoad, false},
    {"resources", GroupResources, false},
    {"noport", GroupNoPort, false},
    {"driverproc", GroupDriverProc, false},
    {"output", GroupOutput, true},
    {"input", GroupInput, true},
    {"attachport", GroupAttachPort, true},
    {"shared", GroupShared, true},
    {"unwind", GroupUnwind, false},
    {"unload", GroupUnload, true},
    {"configure", GroupConfigure, false},
    {"wrongversion", GroupWrongVersion, false},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s GROUP PATH\\TOLVEX.dll\n", argv[0]);
        return 2;
    }
    gGroup = argv[1];
    gDllPath = Wide(argv[2]);
    InitializeCriticalSection(&gEventLock);
    gWarningIcon = LoadIconW(nullptr, IDI_WARNING);
    timeBeginPeriod(1); /* the host's own clock reads, for the stamps */
    for (const Group &g : kGroups) {
        if (gGroup != g.name)
            continue;
        if (g.needsSim && !SimConnect()) {
            Report(false, "modsim", "cannot reach the module simulator at TOLVEX_MODSIM");
        } else {
            g.run();
        }
        printf("END %s\n", gGroup.c_str());
        fflush(stdout);
        timeEndPeriod(1);
        return gFailed ? 1 : 0;
    }
    fprintf(stderr, "unknown group %s\n", argv[1]);
    return 2;
}
