/*
 * The stored settings of the driver's first device key: the port ("COMID"),
 * read at attach and by the setup dialog, written by the dialog; and the
 * input mode ("LowLatency"), read when the port connection opens. The
 * driver's removal. Owns the process's one registry access record.
 */
#include "config/config.h"

const WCHAR aszDriverName[] = WSTR("tolvex midi driver");
RegAccessBlock RegAccess; /* zero at load; each entry into configuration points lpDriverName at aszDriverName */

static const WCHAR aszComId[] = WSTR("COMID");
static const WCHAR aszLowLatency[] = WSTR("LowLatency"); /* REG_DWORD; not 0: input read every millisecond */

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

BOOL GetLowLatencyConfig(DWORD dwDevice)
{
    RegAccess.lpDriverName = aszDriverName;
    DWORD dwLow = 0;
    return DrvQueryDeviceIdParameter(&RegAccess, dwDevice, aszLowLatency, &dwLow) == ERROR_SUCCESS && dwLow != 0;
}

DWORD ConfigRemove()
{
    RegAccess.lpDriverName = aszDriverName;
    return DrvRemoveDriver(&RegAccess);
}
