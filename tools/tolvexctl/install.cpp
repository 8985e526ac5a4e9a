/*
 * Installation by hand: the DLL goes to the system directory that matches
 * its own architecture (a 32-bit DLL to the 32-bit system directory on
 * 64-bit Windows) and is registered in the same architecture's registry view,
 * because that is where the matching winmm looks for it.
 */
#include "install.h"
#include "device.h"

#include <cstring>
#include <cwctype>

const wchar_t kDriverFile[] = L"tolvex.dll";
const wchar_t kDriverDescription[] = L"Tolvex serial MIDI driver";

namespace
{
const wchar_t kDrivers32[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const wchar_t kDriversDesc[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
const wchar_t kDevice0[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
constexpr int kSettingsParents = 2; /* Parameters and the driver's key: removed with Device0 when empty */
const wchar_t kComId[] = L"COMID";
const wchar_t kLowLatency[] = L"LowLatency"; /* not 0: the driver reads its input every millisecond */
constexpr int kAliases = 10;                 /* midi, midi1 ... midi9: what winmm enumerates */
constexpr WORD kMachineI386 = 0x014C;        /* IMAGE_FILE_MACHINE_I386 */
constexpr WORD kMachineAmd64 = 0x8664;       /* IMAGE_FILE_MACHINE_AMD64 */

std::wstring Lower(std::wstring s)
{
    for (wchar_t &c : s)
        c = (wchar_t)towlower(c);
    return s;
}

std::string Win32Error(const char *what, DWORD code)
{
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ' || t.back() == '.'))
        t.pop_back();
    std::string s = std::string(what) + ": " + (t.empty() ? "error" : t) + " (" + std::to_string(code) + ")";
    if (code == ERROR_ACCESS_DENIED)
        s += "; run it from an administrator's command prompt";
    return s;
}

REGSAM View(int bits) { return bits == 32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

bool IsWow64()
{
    BOOL wow = FALSE;
    typedef BOOL(WINAPI * Fn)(HANDLE, PBOOL);
    Fn fn = (Fn)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    return fn && fn(GetCurrentProcess(), &wow) && wow;
}

/* The system directory that a program of `bits` sees as its own. */
std::string SystemDirectory(int bits, std::wstring *dir)
{
    wchar_t buf[MAX_PATH];
    UINT n;
    if (bits == NativeBits()) {
        n = GetSystemDirectoryW(buf, MAX_PATH);
    } else if (bits == 32) {
        n = GetSystemWow64DirectoryW(buf, MAX_PATH);
        if (n == 0)
            return "no 32-bit system directory on this Windows";
    } else {
        if (!IsWow64())
            return "32-bit Windows takes no 64-bit driver";
        n = GetWindowsDirectoryW(buf, MAX_PATH);
        if (n > 0 && n < MAX_PATH - 12)
            wcscat(buf, L"\\Sysnative"); /* the real system32, past the 32-bit redirection */
    }
    if (n == 0 || n >= MAX_PATH)
        return Win32Error("system directory", GetLastError());
    *dir = buf;
    return std::string();
}

/* 32 or 64 from the DLL's own header, or 0 when it is no such DLL. */
int DllBits(const std::wstring &path, std::string *error)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        *error = Win32Error(("cannot open " + Narrow(path)).c_str(), GetLastError());
        return 0;
    }
    BYTE head[4096];
    DWORD got = 0;
    ReadFile(f, head, sizeof head, &got, nullptr);
    CloseHandle(f);
    IMAGE_DOS_HEADER dos;
    if (got >= sizeof dos) {
        memcpy(&dos, head, sizeof dos);
        if (dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 && (DWORD)dos.e_lfanew + 6 <= got &&
            memcmp(head + dos.e_lfanew, "PE\0\0", 4) == 0) {
            WORD machine;
            memcpy(&machine, head + dos.e_lfanew + 4, sizeof machine);
            if (machine == kMachineI386)
                return 32;
            if (machine == kMachineAmd64)
                return 64;
        }
    }
    *error = Narrow(path) + " is not a 32-bit or 64-bit Windows DLL";
    return 0;
}

std::wstring AliasName(int k) { return k == 0 ? L"midi" : L"midi" + std::to_wstring(k); }

/* The value's text, or empty when it is absent or no string. */
std::wstring ReadText(HKEY key, const wchar_t *name)
{
    wchar_t buf[MAX_PATH] = L"";
    DWORD type = 0, size = sizeof buf - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)buf, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    buf[size / sizeof(wchar_t)] = 0;
    return buf;
}

/* Drivers32 names the DLL by file name, sometimes with a path. */
bool IsOurs(const std::wstring &value)
{
    std::wstring v = Lower(value);
    size_t slash = v.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? v : v.substr(slash + 1)) == kDriverFile;
}
} // namespace

int NativeBits() { return sizeof(void *) == 8 ? 64 : 32; }

int WindowsBits() { return NativeBits() == 64 || IsWow64() ? 64 : 32; }

std::wstring InstalledAlias(int bits)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | View(bits), &key) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring found;
    for (int k = 0; k < kAliases && found.empty(); k++)
        if (IsOurs(ReadText(key, AliasName(k).c_str())))
            found = AliasName(k);
    RegCloseKey(key);
    return found;
}

std::string Install(const std::wstring &dllPath, std::string *report)
{
    std::string error;
    int bits = DllBits(dllPath, &error);
    if (bits == 0)
        return error;
    std::wstring dir;
    if (!(error = SystemDirectory(bits, &dir)).empty())
        return error;
    std::wstring target = dir + L"\\" + kDriverFile;
    if (!CopyFileW(dllPath.c_str(), target.c_str(), FALSE))
        return Win32Error(("cannot copy to " + Narrow(target)).c_str(), GetLastError());
    *report = "copied " + Narrow(dllPath) + " to " + Narrow(target) + "\n";

    HKEY key;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_READ | KEY_SET_VALUE | View(bits),
                             nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot open Drivers32", (DWORD)r);
    std::wstring alias, freeAlias;
    for (int k = 0; k < kAliases && alias.empty(); k++) {
        std::wstring v = ReadText(key, AliasName(k).c_str());
        DWORD type, size;
        bool taken = RegQueryValueExW(key, AliasName(k).c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
        if (IsOurs(v))
            alias = AliasName(k);
        else if (!taken && freeAlias.empty())
            freeAlias = AliasName(k);
    }
    bool already = !alias.empty();
    if (!already) {
        if (freeAlias.empty()) {
            RegCloseKey(key);
            return "every MIDI driver entry (midi, midi1 ... midi9) in Drivers32 is taken";
        }
        alias = freeAlias;
        r = RegSetValueExW(key, alias.c_str(), 0, REG_SZ, (const BYTE *)kDriverFile,
                           (DWORD)((wcslen(kDriverFile) + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot write Drivers32", (DWORD)r);
    *report += (already ? "already registered as " : "registered as ") + Narrow(alias) + " (" + std::to_string(bits) +
               "-bit)\n";

    r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, nullptr, 0, KEY_SET_VALUE | View(bits), nullptr, &key,
                        nullptr);
    if (r == ERROR_SUCCESS) {
        r = RegSetValueExW(key, kDriverFile, 0, REG_SZ, (const BYTE *)kDriverDescription,
                           (DWORD)((wcslen(kDriverDescription) + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot write drivers.desc", (DWORD)r);
    return std::string();
}

std::string Uninstall(int bits, std::string *report)
{
    report->clear();
    /* First: on 32-bit Windows the one registry view holds the 32-bit
       driver, which "uninstall 64" must not take away. */
    std::wstring dir;
    std::string error = SystemDirectory(bits, &dir);
    if (!error.empty())
        return error;
    HKEY key;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | KEY_SET_VALUE | View(bits), &key);
    if (r == ERROR_SUCCESS) {
        for (int k = 0; k < kAliases; k++) {
            std::wstring name = AliasName(k);
            if (!IsOurs(ReadText(key, name.c_str())))
                continue;
            r = RegDeleteValueW(key, name.c_str());
            if (r != ERROR_SUCCESS) {
                RegCloseKey(key);
                return Win32Error(("cannot remove Drivers32 " + Narrow(name)).c_str(), (DWORD)r);
            }
            *report += "removed Drivers32 " + Narrow(name) + "\n";
        }
        RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, KEY_SET_VALUE | View(bits), &key) == ERROR_SUCCESS) {
        if (RegDeleteValueW(key, kDriverFile) == ERROR_SUCCESS)
            *report += "removed the description\n";
        RegCloseKey(key);
    }

    std::wstring target = dir + L"\\" + kDriverFile;
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (DeleteFileW(target.c_str()))
            *report += "deleted " + Narrow(target) + "\n";
        else if (MoveFileExW(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            *report += Narrow(target) + " is in use: it goes at the next restart\n";
        else
            return Win32Error(("cannot delete " + Narrow(target)).c_str(), GetLastError());
    }
    if (report->empty())
        *report = "nothing to remove: the " + std::to_string(bits) + "-bit driver is not installed\n";
    return std::string();
}

std::vector<std::wstring> DllsBeside(const std::wstring &dir, std::string *notes)
{
    const wchar_t *const names[] = {L"TOLVEX.dll", L"TOLVEX32.dll"};
    std::wstring byBits[2]; /* [0] 32-bit, [1] 64-bit */
    for (const wchar_t *name : names) {
        std::wstring path = dir + name;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        std::string error;
        int bits = DllBits(path, &error);
        if (bits == 0)
            *notes += "passed over: " + error + "\n";
        else if (bits > WindowsBits())
            *notes += "passed over " + Narrow(path) + ": 32-bit Windows takes no 64-bit driver\n";
        else if (!byBits[bits == 64].empty())
            *notes += "passed over " + Narrow(path) + ": " + Narrow(byBits[bits == 64]) + " is " +
                      std::to_string(bits) + "-bit too\n";
        else
            byBits[bits == 64] = path;
    }
    std::vector<std::wstring> found;
    for (int bits : {NativeBits(), NativeBits() == 64 ? 32 : 64}) {
        if (bits > WindowsBits())
            continue;
        if (!byBits[bits == 64].empty())
            found.push_back(byBits[bits == 64]);
        else if (!byBits[bits != 64].empty())
            *notes += "no " + std::to_string(bits) + "-bit DLL in " + Narrow(dir) + ": " + std::to_string(bits) +
                      "-bit programs will not see the driver\n";
    }
    return found;
}

std::string RemoveSettingsIfUnused(std::string *report)
{
    for (int bits : {32, 64})
        if (bits <= WindowsBits() && !InstalledAlias(bits).empty())
            return std::string();
    std::wstring key = kDevice0;
    LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    if (r == ERROR_FILE_NOT_FOUND)
        return std::string();
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot remove the stored settings", (DWORD)r);
    *report += "removed the stored port and input mode\n";
    /* Only as far up as nothing else is kept there: a service of that name
       would keep its own values. */
    for (int k = 0; k < kSettingsParents; k++) {
        key.erase(key.find_last_of(L'\\'));
        HKEY h;
        DWORD subkeys = 1, values = 1;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            break;
        RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr);
        RegCloseKey(h);
        if (subkeys != 0 || values != 0 || RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()) != ERROR_SUCCESS)
            break;
    }
    return std::string();
}

/* A REG_DWORD of ...\Parameters\Device0. */
static std::string StoreSetting(const wchar_t *name, DWORD value, const char *what)
{
    HKEY key;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDevice0, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (r == ERROR_SUCCESS) {
        r = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
        RegCloseKey(key);
    }
    return r == ERROR_SUCCESS ? std::string() : Win32Error(what, (DWORD)r);
}

static bool ReadSetting(const wchar_t *name, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDevice0, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof *value;
    LONG r = RegQueryValueExW(key, name, nullptr, &type, (BYTE *)value, &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_DWORD;
}

std::string StorePort(DWORD port) { return StoreSetting(kComId, port, "cannot store the port"); }

/* As the driver reads it: a REG_DWORD of up to 4 bytes (a shorter one's high
   bytes 0), anything else no port at all. Empty string for a usable port. */
std::string ReadPort(DWORD *port)
{
    *port = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDevice0, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "no port is stored";
    BYTE data[2 * sizeof(DWORD)] = {}; /* room to tell a value longer than a REG_DWORD */
    DWORD type = REG_NONE, size = sizeof data;
    LONG r = RegQueryValueExW(key, kComId, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (r == ERROR_FILE_NOT_FOUND)
        return "no port is stored";
    if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
        return Win32Error("cannot read the stored port", (DWORD)r);
    const std::string noPort = "; the driver takes it as no port";
    if (type != REG_DWORD)
        return "the stored port (COMID) is not a REG_DWORD" + noPort;
    if (size > sizeof(DWORD))
        return "the stored port (COMID) is a REG_DWORD of " + std::to_string(size) + " bytes, not 4" + noPort;
    memcpy(port, data, sizeof(DWORD));
    if (*port < kPortFirst || *port > kPortLast)
        return "the stored value " + std::to_string(*port) + " is not a port (COM" + std::to_string(kPortFirst) +
               " to COM" + std::to_string(kPortLast) + ")";
    return std::string();
}

std::string StoreLowLatency(bool on) { return StoreSetting(kLowLatency, on ? 1 : 0, "cannot store the input mode"); }

bool ReadLowLatency()
{
    DWORD value = 0;
    return ReadSetting(kLowLatency, &value) && value != 0;
}
