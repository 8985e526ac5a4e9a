/*
 * The ten Drivers32 slots that winmm reads: which one is ours, which are
 * free, which repeat wdmaud.drv and what to say when none is left; what
 * doctor reads of each architecture; and the registry helpers that
 * install, doctor and the stored settings share.
 */
#include "drivers32.h"
#include "device.h"
#include "install.h"

#include <cwctype>

namespace
{
const wchar_t kWdmaud[] = L"wdmaud.drv";   /* Windows' audio driver; machines often hold it in several slots */
const wchar_t kWdmaud2[] = L"wdmaud2.drv"; /* midi1 when Windows MIDI Services is on */
const wchar_t kMidiSrv[] = L"MidiSrvTransferComplete"; /* REG_DWORD 1 beside them when it is on */

/* Drivers32 names a DLL by file name, sometimes with a path. */
std::wstring FileName(const std::wstring &value)
{
    std::wstring v = Lower(value);
    size_t slash = v.find_last_of(L"\\/");
    return slash == std::wstring::npos ? v : v.substr(slash + 1);
}

std::string RegistryPath(int bits)
{
    return bits == 32 && WindowsBits() == 64
               ? "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32"
               : "HKLM\\" + Narrow(kDrivers32);
}

} // namespace

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

std::wstring AliasName(int k) { return k == 0 ? L"midi" : L"midi" + std::to_wstring(k); }

bool IsOurs(const std::wstring &value) { return FileName(value) == kDriverFile; }

Slots ReadSlots(HKEY key)
{
    Slots s;
    for (int k = 0; k < kAliases; k++) {
        s.text[k] = ReadText(key, AliasName(k).c_str());
        s.taken[k] = RegQueryValueExW(key, AliasName(k).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    return s;
}

bool Repeats(const Slots &s, int k)
{
    int n = 0;
    for (const std::wstring &t : s.text)
        n += FileName(t) == kWdmaud;
    return k >= kFirstOurs && FileName(s.text[k]) == kWdmaud && n >= 2;
}

/* Any name but the ten slots. */
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
