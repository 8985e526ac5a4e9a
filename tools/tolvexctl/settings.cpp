/*
 * The driver's stored settings as tolvexctl keeps them: the port and the
 * input mode under ...\Parameters\Device0, read as the driver reads them,
 * and their removal once no driver is left to read them.
 */
#include "settings.h"
#include "drivers32.h"
#include "install.h"

#include <cstring>

namespace
{
const wchar_t kDevice0[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
constexpr int kSettingsParents = 2; /* Parameters and the driver's key: removed with Device0 when empty */
const wchar_t kComId[] = L"COMID";
const wchar_t kLowLatency[] = L"LowLatency"; /* not 0: the driver reads its input every millisecond */
} // namespace

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
