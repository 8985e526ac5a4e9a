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

constexpr int kFirstOurs = 2;              /* midi and midi1 are Windows': its synthesizer, Windows MIDI Services */
const wchar_t kWdmaud[] = L"wdmaud.drv";   /* Windows' audio driver; machines often hold it in several slots */
const wchar_t kWdmaud2[] = L"wdmaud2.drv"; /* midi1 when Windows MIDI Services is on */
const wchar_t kMidiSrv[] = L"MidiSrvTransferComplete"; /* REG_DWORD 1 beside them when it is on */
/* Per architecture (32 or 64 appended): each value a Drivers32 slot that
   install --reclaim took, with what it held, for uninstall to give back. */
const wchar_t kReclaimed[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Reclaimed";

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

/* Drivers32 names a DLL by file name, sometimes with a path. */
std::wstring FileName(const std::wstring &value)
{
    std::wstring v = Lower(value);
    size_t slash = v.find_last_of(L"\\/");
    return slash == std::wstring::npos ? v : v.substr(slash + 1);
}

bool IsOurs(const std::wstring &value) { return FileName(value) == kDriverFile; }

/* The ten slots of one view: each one's text, and whether a value is there
   at all (one that is no string still takes its slot). */
struct Slots {
    std::wstring text[kAliases];
    bool taken[kAliases] = {};
};

Slots ReadSlots(HKEY key)
{
    Slots s;
    for (int k = 0; k < kAliases; k++) {
        s.text[k] = ReadText(key, AliasName(k).c_str());
        s.taken[k] = RegQueryValueExW(key, AliasName(k).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    return s;
}

/* Slot k (midi2 ... midi9) holds wdmaud.drv, which another of the ten holds too. */
bool Repeats(const Slots &s, int k)
{
    int n = 0;
    for (const std::wstring &t : s.text)
        n += FileName(t) == kWdmaud;
    return k >= kFirstOurs && FileName(s.text[k]) == kWdmaud && n >= 2;
}

std::vector<std::wstring> ValueNames(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD i = 0;; i++) {
        wchar_t name[256];
        DWORD n = 256;
        LONG r = RegEnumValueW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r == ERROR_SUCCESS)
            names.push_back(std::wstring(name, n));
    }
    return names;
}

/* Entries of ours that winmm never reads: any name but the ten slots. */
std::vector<std::wstring> Strays(HKEY key)
{
    std::vector<std::wstring> out;
    for (const std::wstring &name : ValueNames(key)) {
        bool slot = false;
        for (int k = 0; k < kAliases; k++)
            slot = slot || Lower(name) == AliasName(k);
        if (!slot && IsOurs(ReadText(key, name.c_str())))
            out.push_back(name);
    }
    return out;
}

LONG CopyValue(HKEY from, const std::wstring &fromName, HKEY to, const std::wstring &toName)
{
    BYTE data[2048];
    DWORD type = 0, size = sizeof data;
    LONG r = RegQueryValueExW(from, fromName.c_str(), nullptr, &type, data, &size);
    return r != ERROR_SUCCESS ? r : RegSetValueExW(to, toName.c_str(), 0, type, data, size);
}

LONG SetText(HKEY key, const wchar_t *name, const wchar_t *text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
}

std::wstring ReclaimedKey(int bits) { return kReclaimed + std::to_wstring(bits); }

std::string RegistryPath(int bits)
{
    return bits == 32 && WindowsBits() == 64
               ? "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32"
               : "HKLM\\" + Narrow(kDrivers32);
}

/* Why the view has no slot for the driver, what holds each one, and what
   to do. */
std::string NoSlot(int bits, const Slots &s)
{
    std::string arch = std::to_string(bits) + "-bit";
    std::string m = "no free slot for the " + arch + " driver in " + RegistryPath(bits) +
                    ": winmm reads only midi, midi1 ... midi9, midi and midi1 are Windows' own, and the others are "
                    "taken:\n";
    int repeat = -1;
    for (int k = 0; k < kAliases; k++) {
        std::string held = !s.taken[k] ? "(free)" : s.text[k].empty() ? "(not a file name)" : Narrow(s.text[k]);
        std::string name = Narrow(AliasName(k));
        m += "  " + name + std::string(7 - name.size(), ' ') + held;
        if (k < kFirstOurs)
            m += "   Windows' own";
        else if (Repeats(s, k))
            m += "   repeats wdmaud.drv";
        m += "\n";
        if (repeat < 0 && Repeats(s, k))
            repeat = k;
    }
    if (repeat >= 0)
        return m + "\"tolvexctl install --reclaim\" takes " + Narrow(AliasName(repeat)) +
               " in place of its repeated wdmaud.drv, records it and gives it back on uninstall";
    return m +
           "none of midi2 ... midi9 repeats wdmaud.drv, so there is nothing to reclaim. To free a slot, "
           "uninstall a MIDI driver that is no longer used (with its own uninstaller or in Device Manager), or "
           "delete its midiN value in regedit under " +
           RegistryPath(bits) + "; then run tolvexctl install again";
}
} // namespace

int NativeBits() { return sizeof(void *) == 8 ? 64 : 32; }

int WindowsBits() { return NativeBits() == 64 || IsWow64() ? 64 : 32; }

int DllArchitecture(const std::wstring &path)
{
    std::string error;
    return DllBits(path, &error);
}

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

std::string Install(const std::wstring &dllPath, bool reclaim, std::string *report)
{
    std::string error;
    int bits = DllBits(dllPath, &error);
    if (bits == 0)
        return error;
    std::wstring dir;
    if (!(error = SystemDirectory(bits, &dir)).empty())
        return error;
    std::string arch = " (" + std::to_string(bits) + "-bit)";

    /* The slot first: an architecture that cannot be registered gets no file. */
    HKEY key;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_READ | KEY_SET_VALUE | View(bits),
                             nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot open Drivers32", (DWORD)r);
    Slots s = ReadSlots(key);
    int slot = -1;
    bool already = false, replace = false;
    for (int k = kFirstOurs; k < kAliases && slot < 0; k++)
        if (IsOurs(s.text[k]))
            slot = k, already = true;
    for (int k = kFirstOurs; k < kAliases && slot < 0; k++)
        if (!s.taken[k])
            slot = k;
    for (int k = kFirstOurs; k < kAliases && slot < 0 && reclaim; k++)
        if (Repeats(s, k))
            slot = k, replace = true;
    if (slot < 0) {
        RegCloseKey(key);
        return NoSlot(bits, s);
    }
    std::wstring alias = AliasName(slot);

    std::wstring target = dir + L"\\" + kDriverFile;
    bool existed = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!CopyFileW(dllPath.c_str(), target.c_str(), FALSE)) {
        RegCloseKey(key);
        return Win32Error(("cannot copy to " + Narrow(target)).c_str(), GetLastError());
    }
    HKEY record = nullptr, desc = nullptr;
    bool recorded = false, written = false;
    auto undo = [&](const std::string &why) {
        if (written)
            replace ? CopyValue(record, alias, key, alias) : RegDeleteValueW(key, alias.c_str());
        if (recorded)
            RegDeleteValueW(record, alias.c_str());
        for (HKEY h : {key, record, desc})
            if (h)
                RegCloseKey(h);
        if (!existed)
            DeleteFileW(target.c_str());
        return why + "; undone, nothing of it is left";
    };
    if (replace) {
        r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str(), 0, nullptr, 0, KEY_READ | KEY_SET_VALUE,
                            nullptr, &record, nullptr);
        if (r == ERROR_SUCCESS && (r = CopyValue(key, alias, record, alias)) == ERROR_SUCCESS)
            recorded = true;
        if (r != ERROR_SUCCESS)
            return undo(Win32Error("cannot record what the slot held", (DWORD)r));
    }
    if (!already) {
        if ((r = SetText(key, alias.c_str(), kDriverFile)) != ERROR_SUCCESS)
            return undo(Win32Error("cannot write Drivers32", (DWORD)r));
        written = true;
    }
    r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, nullptr, 0, KEY_SET_VALUE | View(bits), nullptr, &desc,
                        nullptr);
    if (r != ERROR_SUCCESS || (r = SetText(desc, kDriverFile, kDriverDescription)) != ERROR_SUCCESS)
        return undo(Win32Error("cannot write drivers.desc", (DWORD)r));
    RegCloseKey(desc);
    if (record)
        RegCloseKey(record);

    *report += "copied " + Narrow(dllPath) + " to " + Narrow(target) + "\n";
    if (already)
        *report += "already registered as " + Narrow(alias) + arch + "\n";
    else if (replace)
        *report += "registered as " + Narrow(alias) + arch + " in place of its repeated " + Narrow(s.text[slot]) +
                   " (recorded: uninstall gives it back)\n";
    else
        *report += "registered as " + Narrow(alias) + arch + "\n";
    /* Entries of ours elsewhere: in Windows' own slots, or where winmm never looks. */
    std::vector<std::wstring> old = Strays(key);
    for (int k = 0; k < kFirstOurs; k++)
        if (IsOurs(s.text[k]))
            old.push_back(AliasName(k));
    for (const std::wstring &name : old)
        if (RegDeleteValueW(key, name.c_str()) == ERROR_SUCCESS)
            *report += "removed the entry of ours at " + Narrow(name) + arch +
                       (name == L"midi" || name == L"midi1" ? ", a slot that Windows takes back\n"
                                                            : ", which winmm never reads\n");
    RegCloseKey(key);
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
    std::string arch = " (" + std::to_string(bits) + "-bit)";
    HKEY key, record = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str(), 0, KEY_READ | KEY_SET_VALUE, &record);
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | KEY_SET_VALUE | View(bits), &key);
    if (r == ERROR_SUCCESS) {
        /* Wherever an entry of ours is, midi0 and midi10 too. */
        for (const std::wstring &name : ValueNames(key)) {
            if (!IsOurs(ReadText(key, name.c_str())))
                continue;
            bool giveBack =
                record && RegQueryValueExW(record, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
            r = giveBack ? CopyValue(record, name, key, name) : RegDeleteValueW(key, name.c_str());
            if (r != ERROR_SUCCESS) {
                RegCloseKey(key);
                if (record)
                    RegCloseKey(record);
                return Win32Error(("cannot remove Drivers32 " + Narrow(name)).c_str(), (DWORD)r);
            }
            if (giveBack) {
                RegDeleteValueW(record, name.c_str());
                *report +=
                    "gave Drivers32 " + Narrow(name) + arch + " back to " + Narrow(ReadText(key, name.c_str())) + "\n";
            } else {
                *report += "removed Drivers32 " + Narrow(name) + arch + "\n";
            }
        }
        RegCloseKey(key);
    }
    if (record) {
        for (const std::wstring &name : ValueNames(record))
            *report += "Drivers32 " + Narrow(name) + " no longer names " + Narrow(kDriverFile) +
                       ": left as it is, not given back\n";
        RegCloseKey(record);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str());
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

Registration ReadRegistration(int bits)
{
    Registration g;
    std::wstring dir;
    if (!(g.error = SystemDirectory(bits, &dir)).empty())
        return g;
    g.file = dir + L"\\" + kDriverFile;
    g.fileThere = GetFileAttributesW(g.file.c_str()) != INVALID_FILE_ATTRIBUTES;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | View(bits), &key) != ERROR_SUCCESS)
        return g;
    Slots s = ReadSlots(key);
    for (int k = 0; k < kAliases && g.ours.empty(); k++)
        if (IsOurs(s.text[k]))
            g.ours = AliasName(k);
    g.strays = Strays(key);
    g.midi = s.text[0];
    g.midi1 = s.text[1];
    DWORD on = 0, type = 0, size = sizeof on;
    g.midiSrv = RegQueryValueExW(key, kMidiSrv, nullptr, &type, (BYTE *)&on, &size) == ERROR_SUCCESS &&
                type == REG_DWORD && on == 1;
    RegCloseKey(key);
    return g;
}

bool IsWindowsMidiPair(const Registration &r) { return FileName(r.midi) == kWdmaud && FileName(r.midi1) == kWdmaud2; }

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
