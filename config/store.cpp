/*
 * The stored settings of each port's device key: the port ("COMID"), its
 * line speed ("Baud") and its devices' name ("Name"), read at attach, the
 * first port's also by the setup dialog, which writes it; and the input mode
 * ("LowLatency"), read when the port connection opens. The driver's
 * removal. Owns the process's one registry access record.
 */
#include "config/config.h"
#include "driver/driver.h"

const WCHAR aszDriverName[] = WSTR("tolvex midi driver");
RegAccessBlock RegAccess; /* zero at load; each entry into configuration points lpDriverName at aszDriverName */

static const WCHAR aszComId[] = WSTR("COMID");
static const WCHAR aszLowLatency[] = WSTR("LowLatency"); /* REG_DWORD; not 0: input read every millisecond */
static const WCHAR aszBaud[] = WSTR("Baud");             /* REG_DWORD, bit/s */
static const WCHAR aszName[] = WSTR("Name");             /* REG_SZ */
static const WCHAR aszShared[] = WSTR("Shared");         /* REG_DWORD; not 0: programs share the port */

constexpr DWORD kNoPort = 0xFFFFFFFF; /* the word when nothing could be read */

void InitConfiguration(LPDWORD lpdwPort) { *lpdwPort = kNoPort; }

LONG GetDriverConfig(DWORD dwDevice, LPDWORD lpdwPort)
{
    InitConfiguration(lpdwPort);
    return DrvQueryDeviceIdParameter(&RegAccess, dwDevice, aszComId, lpdwPort);
}

LONG SetDriverConfig(DWORD dwDevice, LPDWORD lpdwPort)
{
    return DrvSetDeviceIdParameter(&RegAccess, dwDevice, aszComId, *lpdwPort);
}

BOOL GetPortConfig(UINT uPort, PORTSETTING *lpSetting)
{
    RegAccess.lpDriverName = aszDriverName;
    DWORD dwPort = kNoPort;
    LONG status = DrvQueryPortParameter(&RegAccess, uPort, aszComId, &dwPort);
    lpSetting->RSPort = status == ERROR_SUCCESS ? (LONG)dwPort : (LONG)kNoPort;
    /* A speed of 0 is none: the port would refuse it, where the default serves. */
    DWORD dwBaud = 0;
    DrvQueryPortParameter(&RegAccess, uPort, aszBaud, &dwBaud);
    lpSetting->dwBaud = dwBaud != 0 ? dwBaud : kDefaultBaud;
    /* A name too long for the device's record is cut to it; one too long
       to read at all is none. */
    WCHAR szName[kKeyNameSize];
    DrvQueryPortString(&RegAccess, uPort, aszName, szName, kKeyNameSize);
    szName[MAXPNAMELEN - 1] = 0;
    lstrcpyW(lpSetting->szName, szName);
    return status == ERROR_SUCCESS;
}

BOOL PortKeyNamed(UINT uPort)
{
    RegAccess.lpDriverName = aszDriverName;
    HKEY hKey = DrvOpenNamedDeviceKey(RegAccess.lpDriverName, uPort);
    if (hKey != nullptr)
        RegCloseKey(hKey);
    return hKey != nullptr;
}

BOOL GetSharedConfig(UINT uPort)
{
    RegAccess.lpDriverName = aszDriverName;
    DWORD dwShared = 0;
    return DrvQueryPortParameter(&RegAccess, uPort, aszShared, &dwShared) == ERROR_SUCCESS && dwShared != 0;
}

BOOL GetLowLatencyConfig(UINT uPort)
{
    RegAccess.lpDriverName = aszDriverName;
    DWORD dwLow = 0;
    return DrvQueryPortParameter(&RegAccess, uPort, aszLowLatency, &dwLow) == ERROR_SUCCESS && dwLow != 0;
}

DWORD ConfigRemove()
{
    RegAccess.lpDriverName = aszDriverName;
    return DrvRemoveDriver(&RegAccess);
}
