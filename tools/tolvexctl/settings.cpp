/*
 * The driver's stored settings as tolvexctl keeps them: one key a port
 * under ...\Parameters, each value read as the driver reads it, so that what
 * tolvexctl shows is what the driver will do; the keys moved down when a
 * port goes, and removed once no driver is left to read them.
 */
#include "settings.h"
#include "device.h"
#include "drivers32.h"
#include "install.h"

#include <cstring>
#include <cwchar>

namespace
{
const wchar_t kParameters[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";
constexpr int kSettingsParents = 2; /* Parameters and the driver's key: removed with the ports' keys when empty */
const wchar_t kComId[] = L"COMID";
const wchar_t kBaud[] = L"Baud";             /* REG_DWORD, bit/s; absent or 0: kDefaultBaud */
const wchar_t kName[] = L"Name";             /* REG_SZ: both devices' name */
const wchar_t kLowLatency[] = L"LowLatency"; /* not 0: the driver reads its input every millisecond */
const wchar_t kShared[] = L"Shared";         /* not 0: programs share the port through an owner process */
constexpr DWORD kNameReadChars = 259;        /* the driver reads a name of this many characters, terminator in */
constexpr DWORD kMaxDescribed = 0x7FFFFFFF;  /* the settings text holds the speed as a signed number */
const wchar_t kOurOut[] = L"VeldorNT MIDI Out";
const wchar_t kOurIn[] = L"VeldorNT MIDI In";

/* The settings text reads these as the speeds of DOS's mode command. */
const struct {
    DWORD typed, read;
} kAbbreviated[] = {{11, 110}, {30, 300}, {60, 600}, {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};

std::wstring KeyPath(int n) { return std::wstring(kParameters) + L"\\Device" + std::to_wstring(n); }

enum class Dword { kRead, kAbsent, kOther };

/* A REG_DWORD as the driver reads it: up to 4 bytes (a shorter one's high
   bytes 0). *why says what is stored instead. */
Dword ReadDword(HKEY key, const wchar_t *name, DWORD *value, std::string *why)
{
    BYTE data[2 * sizeof(DWORD)] = {}; /* room to tell a value longer than a REG_DWORD */
    DWORD type = REG_NONE, size = sizeof data;
    LONG r = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    std::string what = Narrow(name);
    if (r == ERROR_FILE_NOT_FOUND)
        return Dword::kAbsent;
    if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
        *why = Win32Error(("cannot read " + what).c_str(), (DWORD)r);
    else if (type != REG_DWORD)
        *why = what + " is not a REG_DWORD";
    else if (size > sizeof(DWORD))
        *why = what + " is a REG_DWORD of " + std::to_string(size) + " bytes, not 4";
    else {
        memcpy(value, data, sizeof(DWORD));
        return Dword::kRead;
    }
    return Dword::kOther;
}

void ReadCom(HKEY key, PortSetting *p)
{
    std::string why;
    Dword d = key ? ReadDword(key, kComId, &p->com, &why) : Dword::kAbsent;
    p->comRead = d == Dword::kRead;
    if (d == Dword::kAbsent)
        p->comError = "no port is stored";
    else if (d == Dword::kOther)
        p->comError = (why.compare(0, 5, "COMID") == 0 ? "the stored port (COMID)" + why.substr(5) : why) +
                      "; the driver takes it as no port";
    else if (p->com < kPortFirst || p->com > kPortLast)
        p->comError = "the stored value " + std::to_string(p->com) + " is not a port (COM" +
                      std::to_string(kPortFirst) + " to COM" + std::to_string(kPortLast) + ")";
}

void ReadRest(HKEY key, PortSetting *p)
{
    std::string why;
    DWORD baud = 0;
    Dword d = ReadDword(key, kBaud, &baud, &why);
    if (d == Dword::kOther)
        p->baudNote = why + ": the driver asks for " + std::to_string(kDefaultBaud) + " bit/s";
    else if (d == Dword::kRead && baud == 0)
        p->baudNote = "a stored speed of 0 is none: the driver asks for " + std::to_string(kDefaultBaud) + " bit/s";
    else if (d == Dword::kRead)
        p->baud = baud;
    std::string problem = SpeedProblem(p->baud);
    if (!problem.empty()) {
        p->baudNote = "the stored speed " + std::to_string(p->baud) + ": " + problem;
        p->baudFails = true;
    }

    wchar_t name[kNameReadChars + 1] = L"";
    DWORD type = REG_NONE, size = kNameReadChars * sizeof(wchar_t);
    LONG r = RegQueryValueExW(key, kName, nullptr, &type, (BYTE *)name, &size);
    if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && type != REG_SZ) {
        p->nameNote = "Name is not a REG_SZ: its devices keep their default names";
    } else if (r == ERROR_MORE_DATA) {
        p->nameNote = "the stored name is too long for the driver to read (more than " +
                      std::to_string(kNameReadChars - 1) + " characters): its devices keep their default names";
    } else if (r == ERROR_SUCCESS) {
        name[size / sizeof(wchar_t)] = 0;
        p->name = name;
        if (p->name.size() > kNameChars) {
            p->nameNote =
                "the stored name has " + std::to_string(p->name.size()) + " characters: the driver takes its first 31";
            p->name.resize(kNameChars);
        }
    }
    DWORD low = 0;
    p->lowLatency = ReadDword(key, kLowLatency, &low, &why) == Dword::kRead && low != 0;
    DWORD shared = 0;
    p->shared = ReadDword(key, kShared, &shared, &why) == Dword::kRead && shared != 0;
}

/* base " n", base cut as far as it takes to fit a device name. */
std::wstring Numbered(std::wstring base, size_t n)
{
    std::wstring tail = L" " + std::to_wstring(n);
    while (base.size() + tail.size() > kNameChars && !base.empty())
        base.pop_back();
    return base + tail;
}

HKEY OpenPort(int n, REGSAM access, bool create, LONG *r)
{
    HKEY key = nullptr;
    *r = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(n).c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr)
                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(n).c_str(), 0, access, &key);
    return *r == ERROR_SUCCESS ? key : nullptr;
}

std::string StoreValue(int n, const wchar_t *name, DWORD type, const BYTE *data, DWORD size, const char *what)
{
    LONG r;
    HKEY key = OpenPort(n, KEY_SET_VALUE, true, &r);
    if (key) {
        r = RegSetValueExW(key, name, 0, type, data, size);
        RegCloseKey(key);
    }
    return r == ERROR_SUCCESS ? std::string() : Win32Error(what, (DWORD)r);
}

std::string StoreDword(int n, const wchar_t *name, DWORD value, const char *what)
{
    return StoreValue(n, name, REG_DWORD, (const BYTE *)&value, sizeof value, what);
}

/* Every value of `to` replaced by those of `from`, whatever they are. */
LONG ReplaceValues(HKEY from, HKEY to)
{
    for (const std::wstring &name : ValueNames(to))
        RegDeleteValueW(to, name.c_str());
    DWORD longest = 0;
    LONG r = RegQueryInfoKeyW(from, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest,
                              nullptr, nullptr);
    std::vector<BYTE> data(longest + sizeof(wchar_t));
    for (const std::wstring &name : ValueNames(from)) {
        DWORD type = 0, size = (DWORD)data.size();
        if (r == ERROR_SUCCESS)
            r = RegQueryValueExW(from, name.c_str(), nullptr, &type, data.data(), &size);
        if (r == ERROR_SUCCESS)
            r = RegSetValueExW(to, name.c_str(), 0, type, data.data(), size);
    }
    return r;
}

/* The keys named Device<digits> under Parameters. */
std::vector<std::wstring> PortKeys()
{
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        wchar_t name[256];
        DWORD n = 256;
        LONG r = RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        std::wstring s(name, r == ERROR_SUCCESS ? n : 0);
        if (s.size() > 6 && Lower(s.substr(0, 6)) == L"device" &&
            s.find_first_not_of(L"0123456789", 6) == std::wstring::npos)
            names.push_back(s);
    }
    RegCloseKey(key);
    return names;
}
} // namespace

std::vector<PortSetting> ReadPorts(std::string *unread)
{
    std::vector<PortSetting> ports;
    std::string end;
    for (int n = 0; n < kMaxPorts; n++) {
        PortSetting p;
        LONG r;
        HKEY key = OpenPort(n, KEY_READ, false, &r);
        ReadCom(key, &p);
        if (key)
            ReadRest(key, &p);
        if (key)
            RegCloseKey(key);
        /* Port 0 is there with nothing stored, and its opens fail. */
        if (n == 0 || p.comRead)
            ports.push_back(p);
        if (!p.comRead) {
            end = n == 0 ? "port 0 holds no port number"
                         : "Device" + std::to_string(n) + (key ? ": " + p.comError : " is missing");
            break;
        }
    }
    if (unread) {
        std::string keys;
        for (const std::wstring &name : PortKeys())
            if (wcstoul(name.c_str() + 6, nullptr, 10) >= ports.size() &&
                (ports.size() > 1 || ports[0].comRead || name != L"Device0"))
                keys += (keys.empty() ? "" : ", ") + Narrow(name);
        *unread = keys.empty()
                      ? ""
                      : keys + (keys.find(',') == std::string::npos ? " is" : " are") + " not read: " +
                            (end.empty() ? "the driver reads 16 ports at most"
                                         : "the driver's ports end where a key holds no port number (" + end + ")");
    }
    return ports;
}

std::wstring DeviceName(const std::vector<PortSetting> &ports, size_t n, bool input)
{
    std::vector<std::wstring> names;
    for (size_t u = 0; u <= n && u < ports.size(); u++) {
        std::wstring own = !ports[u].name.empty() ? ports[u].name
                           : u == 0               ? std::wstring(input ? kOurIn : kOurOut)
                                                  : Numbered(input ? kOurIn : kOurOut, u + 1);
        std::wstring name = own;
        for (size_t k = u + 1;; k++) {
            bool taken = false;
            for (const std::wstring &earlier : names)
                taken = taken || earlier == name;
            if (!taken)
                break;
            name = Numbered(own, k);
        }
        names.push_back(name);
    }
    return n < names.size() ? names[n] : std::wstring();
}

std::string SpeedProblem(unsigned long long speed)
{
    if (speed == 0)
        return "0 bit/s is no speed";
    if (speed > kMaxDescribed)
        return "more than the " + std::to_string(kMaxDescribed) + " bit/s that the port's settings text holds";
    for (const auto &a : kAbbreviated)
        if (speed == a.typed)
            return "the port's settings text reads " + std::to_string(a.typed) + " as " + std::to_string(a.read) +
                   " bit/s (an abbreviation of DOS's mode command)";
    return std::string();
}

std::string StorePortCom(int n, DWORD com) { return StoreDword(n, kComId, com, "cannot store the port"); }

std::string StorePortBaud(int n, DWORD baud) { return StoreDword(n, kBaud, baud, "cannot store the speed"); }

std::string StorePortName(int n, const std::wstring &name)
{
    if (name.empty()) {
        LONG r;
        HKEY key = OpenPort(n, KEY_SET_VALUE, false, &r);
        if (key) {
            r = RegDeleteValueW(key, kName);
            RegCloseKey(key);
        }
        return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND ? std::string()
                                                               : Win32Error("cannot remove the name", (DWORD)r);
    }
    return StoreValue(n, kName, REG_SZ, (const BYTE *)name.c_str(), (DWORD)((name.size() + 1) * sizeof(wchar_t)),
                      "cannot store the name");
}

std::string StoreLowLatency(int n, bool on)
{
    return StoreDword(n, kLowLatency, on ? 1 : 0, "cannot store the input mode");
}

std::string StoreShared(int n, bool on) { return StoreDword(n, kShared, on ? 1 : 0, "cannot store the sharing"); }

std::string ClearPort(int n)
{
    LONG r;
    HKEY key = OpenPort(n, KEY_READ | KEY_SET_VALUE, false, &r);
    if (!key)
        return std::string();
    for (const std::wstring &name : ValueNames(key))
        RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return std::string();
}

std::string StorePort(DWORD port) { return StorePortCom(0, port); }

std::string ReadPort(DWORD *port)
{
    PortSetting p;
    LONG r;
    HKEY key = OpenPort(0, KEY_READ, false, &r);
    ReadCom(key, &p);
    if (key)
        RegCloseKey(key);
    *port = p.com;
    return p.comError;
}

std::string RemovePort(int n, int count)
{
    /* Each key takes the next one's values, from n up, so that the list
       never has a gap; then the last goes. */
    for (int k = n; k + 1 < count; k++) {
        LONG r;
        HKEY to = OpenPort(k, KEY_READ | KEY_SET_VALUE, true, &r),
             from = to ? OpenPort(k + 1, KEY_READ, false, &r) : nullptr;
        if (from)
            r = ReplaceValues(from, to);
        for (HKEY h : {to, from})
            if (h)
                RegCloseKey(h);
        if (r != ERROR_SUCCESS)
            return Win32Error(("cannot move port " + std::to_string(k + 1) + " down to " + std::to_string(k)).c_str(),
                              (DWORD)r);
    }
    LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(count - 1).c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND
               ? std::string()
               : Win32Error(("cannot remove Device" + std::to_string(count - 1)).c_str(), (DWORD)r);
}

std::string RemoveSettingsIfUnused(std::string *report)
{
    for (int bits : {32, 64})
        if (bits <= WindowsBits() && !InstalledAlias(bits).empty())
            return std::string();
    std::vector<std::wstring> keys = PortKeys();
    for (const std::wstring &name : keys) {
        LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kParameters) + L"\\" + name).c_str());
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
            return Win32Error("cannot remove the stored settings", (DWORD)r);
    }
    if (keys.empty())
        return std::string();
    *report += keys.size() == 1 ? "removed the stored port and input mode\n"
                                : "removed the " + std::to_string(keys.size()) + " ports' stored settings\n";
    /* Only as far up as nothing else is kept there: a service of that name
       would keep its own values. */
    std::wstring key = kParameters;
    for (int k = 0; k < kSettingsParents; k++) {
        HKEY h;
        DWORD subkeys = 1, values = 1;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            break;
        RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr);
        RegCloseKey(h);
        if (subkeys != 0 || values != 0 || RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()) != ERROR_SUCCESS)
            break;
        key.erase(key.find_last_of(L'\\'));
    }
    return std::string();
}
