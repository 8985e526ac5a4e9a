/*
 * Registry helpers: the driver's Parameters key under the services branch
 * of HKEY_LOCAL_MACHINE, its device keys (addressed by enumeration position,
 * or as ports by name), and the 32-bit and text values in them.
 */
#include "regsvc/regsvc.h"

static const WCHAR aszServicesBranch[] = WSTR("SYSTEM\\CurrentControlSet\\Services\\");
static const WCHAR aszParameters[] = WSTR("\\Parameters");
static const WCHAR aszSeparator[] = WSTR("\\");
static const WCHAR aszDevicePrefix[] = WSTR("Device");

constexpr int kMaxDecimalDigits = 10; /* digits of the largest 32-bit magnitude */
constexpr DWORD kDecimalBase = 10;    /* device numbers are written in decimal */

/* "Device" and n in signed decimal, without leading zeros; FALSE when it
   does not fit cchName characters with the NUL. */
static BOOL FormatDeviceName(LPWSTR lpszName, int cchName, LONG n)
{
    WCHAR digits[kMaxDecimalDigits];
    int cDigits = 0;
    /* Magnitude in unsigned arithmetic, so that the most negative word has one. */
    DWORD magnitude = n < 0 ? 0u - (DWORD)n : (DWORD)n;
    do {
        digits[cDigits++] = (WCHAR)(WSTR("0")[0] + magnitude % kDecimalBase);
        magnitude /= kDecimalBase;
    } while (magnitude != 0);

    int cchPrefix = lstrlenW(aszDevicePrefix);
    int cchTotal = cchPrefix + (n < 0 ? 1 : 0) + cDigits;
    if (cchTotal + 1 > cchName)
        return FALSE;
    lstrcpyW(lpszName, aszDevicePrefix);
    int i = cchPrefix;
    if (n < 0)
        lpszName[i++] = WSTR("-")[0];
    while (cDigits > 0)
        lpszName[i++] = digits[--cDigits];
    lpszName[i] = 0;
    return TRUE;
}

HKEY DrvOpenRegKey(LPCWSTR lpszDriverName, LPCWSTR lpszSubKey)
{
    WCHAR szPath[kKeyPathSize];
    BOOL fSubKey = lpszSubKey != nullptr && lpszSubKey[0] != 0;

    /* Names too long for the path buffer fail here rather than overrun it. */
    int cchPath = lstrlenW(aszServicesBranch) + lstrlenW(lpszDriverName) + lstrlenW(aszParameters);
    if (fSubKey)
        cchPath += lstrlenW(aszSeparator) + lstrlenW(lpszSubKey);
    if (cchPath + 1 > kKeyPathSize)
        return nullptr;

    lstrcpyW(szPath, aszServicesBranch);
    lstrcatW(szPath, lpszDriverName);
    lstrcatW(szPath, aszParameters);
    if (fSubKey) {
        lstrcatW(szPath, aszSeparator);
        lstrcatW(szPath, lpszSubKey);
    }

    HKEY hKey = nullptr;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, szPath, &hKey) != ERROR_SUCCESS)
        return nullptr;
    return hKey;
}

HKEY DrvOpenDeviceKey(LPCWSTR lpszDriverName, DWORD dwDevice)
{
    HKEY hParameters = DrvOpenRegKey(lpszDriverName, nullptr);
    if (hParameters == nullptr)
        return nullptr;

    WCHAR szName[kKeyNameSize];
    DWORD cchName = kKeyNameSize;
    HKEY hDevice = nullptr;
    if (RegEnumKeyExW(hParameters, dwDevice, szName, &cchName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        if (RegOpenKeyW(hParameters, szName, &hDevice) != ERROR_SUCCESS)
            hDevice = nullptr;
    }
    RegCloseKey(hParameters);
    return hDevice;
}

HKEY DrvCreateDeviceKey(LPCWSTR lpszDriverName)
{
    /* The first position that cannot be opened gives the number: with the
       keys Device0 and Device5 that is Device2, whatever the names. */
    DWORD n = 0;
    for (;;) {
        HKEY hKey = DrvOpenDeviceKey(lpszDriverName, n);
        if (hKey == nullptr)
            break;
        RegCloseKey(hKey);
        n++;
    }

    WCHAR szName[kKeyNameSize];
    if (!FormatDeviceName(szName, kKeyNameSize, (LONG)n))
        return nullptr;
    return DrvOpenRegKey(lpszDriverName, szName);
}

LONG DrvNumberOfDevices(const RegAccessBlock *lpRegAccess, LPDWORD lpNumberOfDevices)
{
    *lpNumberOfDevices = 0;
    HKEY hParameters = DrvOpenRegKey(lpRegAccess->lpDriverName, nullptr);
    if (hParameters == nullptr)
        return ERROR_FILE_NOT_FOUND;

    WCHAR szClass[kKeyClassSize];
    DWORD cchClass = kKeyClassSize;
    DWORD cchMaxSubKey, cchMaxClass, cValues, cchMaxValueName, cbMaxValue, cbSecurity;
    FILETIME ftLastWrite;
    LONG status = RegQueryInfoKeyW(hParameters, szClass, &cchClass, nullptr, lpNumberOfDevices, &cchMaxSubKey,
                                   &cchMaxClass, &cValues, &cchMaxValueName, &cbMaxValue, &cbSecurity, &ftLastWrite);
    RegCloseKey(hParameters);
    return status;
}

LONG DrvSetDeviceIdParameter(const RegAccessBlock *lpRegAccess, DWORD dwDevice, LPCWSTR lpszValueName, DWORD dwValue)
{
    static const WCHAR aszDevice0[] = WSTR("Device0");

    /* Device 0 is the key of that name, made when absent; any other index
       is a position among the keys that exist. */
    HKEY hKey = dwDevice == 0 ? DrvOpenRegKey(lpRegAccess->lpDriverName, aszDevice0)
                              : DrvOpenDeviceKey(lpRegAccess->lpDriverName, dwDevice);
    if (hKey == nullptr)
        return ERROR_FILE_NOT_FOUND;

    LONG status =
        RegSetValueExW(hKey, lpszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue), sizeof(dwValue));
    RegCloseKey(hKey);
    return status;
}

/* A REG_DWORD value of an open key, which is closed. */
static LONG QueryDword(HKEY hKey, LPCWSTR lpszValueName, LPDWORD lpdwValue)
{
    if (hKey == nullptr)
        return ERROR_FILE_NOT_FOUND;

    /* Zero first: a REG_DWORD shorter than 4 bytes leaves the high bytes as they are. */
    DWORD dwValue = 0;
    DWORD cbValue = sizeof(dwValue);
    DWORD dwType = REG_NONE;
    LONG status = RegQueryValueExW(hKey, lpszValueName, nullptr, &dwType, reinterpret_cast<LPBYTE>(&dwValue), &cbValue);
    RegCloseKey(hKey);

    if (status != ERROR_SUCCESS)
        return status;
    if (dwType != REG_DWORD)
        return ERROR_FILE_NOT_FOUND;
    *lpdwValue = dwValue;
    return ERROR_SUCCESS;
}

LONG DrvQueryDeviceIdParameter(const RegAccessBlock *lpRegAccess, DWORD dwDevice, LPCWSTR lpszValueName,
                               LPDWORD lpdwValue)
{
    return QueryDword(DrvOpenDeviceKey(lpRegAccess->lpDriverName, dwDevice), lpszValueName, lpdwValue);
}

HKEY DrvOpenNamedDeviceKey(LPCWSTR lpszDriverName, DWORD dwDevice)
{
    WCHAR szName[kKeyNameSize];
    HKEY hParameters = DrvOpenRegKey(lpszDriverName, nullptr);
    if (hParameters == nullptr)
        return nullptr;
    HKEY hDevice = nullptr;
    if (!FormatDeviceName(szName, kKeyNameSize, (LONG)dwDevice) ||
        RegOpenKeyW(hParameters, szName, &hDevice) != ERROR_SUCCESS)
        hDevice = nullptr;
    RegCloseKey(hParameters);
    return hDevice;
}

HKEY DrvOpenPortKey(LPCWSTR lpszDriverName, DWORD dwPort)
{
    return dwPort == 0 ? DrvOpenDeviceKey(lpszDriverName, 0) : DrvOpenNamedDeviceKey(lpszDriverName, dwPort);
}

LONG DrvQueryPortParameter(const RegAccessBlock *lpRegAccess, DWORD dwPort, LPCWSTR lpszValueName, LPDWORD lpdwValue)
{
    return QueryDword(DrvOpenPortKey(lpRegAccess->lpDriverName, dwPort), lpszValueName, lpdwValue);
}

LONG DrvQueryPortString(const RegAccessBlock *lpRegAccess, DWORD dwPort, LPCWSTR lpszValueName, LPWSTR lpszValue,
                        DWORD cchValue)
{
    HKEY hKey = DrvOpenPortKey(lpRegAccess->lpDriverName, dwPort);
    if (hKey == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD cbValue = (cchValue - 1) * sizeof(WCHAR); /* room for a terminator the value may lack */
    DWORD dwType = REG_NONE;
    LONG status =
        RegQueryValueExW(hKey, lpszValueName, nullptr, &dwType, reinterpret_cast<LPBYTE>(lpszValue), &cbValue);
    RegCloseKey(hKey);
    if (status == ERROR_SUCCESS && dwType != REG_SZ)
        status = ERROR_FILE_NOT_FOUND;
    lpszValue[status == ERROR_SUCCESS ? cbValue / sizeof(WCHAR) : 0] = 0;
    return status;
}
