/*
 * The stored port setting: the value "COMID" of the driver's first device
 * key, read at attach and by the setup dialog, written by the dialog; and
 * the driver's removal. Owns the process's one registry access record.
 */
#include "config/config.h"

const WCHAR aszDriverName[] = WSTR("tolvex midi driver");
RegAccessBlock RegAccess; /* zero at load; each entry into configuration points lpDriverName at aszDriverName */

static const WCHAR aszComId[] = WSTR("COMID");

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

DWORD ConfigRemove()
{
    RegAccess.lpDriverName = aszDriverName;
    return DrvRemoveDriver(&RegAccess);
}
