/*
 * Driver lifetime: the loader's entry point with process attach (LibMain) and
 * detach (WEP), the platform check, and DriverProc, which answers the driver
 * messages that the multimedia system sends to the driver as a whole.
 */
#include "driver/driver.h"

#include "config/config.h"
#include "midiin/midiin.h"
#include "serial/serial.h"

namespace
{
constexpr DWORD kNotNtFamily = 0x80000000; /* GetVersion's top bit: set outside the NT family */
constexpr DWORD kPollPeriod = 10;          /* ms between two polls of the port */

const WCHAR aszWrongVersion[] = WSTR("使用しているＷＩＮＤＯＷＳバージョンが違います。");
const WCHAR aszDriverCaption[] = WSTR("Tolvex MIDI  Driver");
} // namespace

HINSTANCE ghModule; /* written first at process attach; read for resources */

extern "C" BOOL WINAPI DllInstanceInit(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        /* The locks first: nothing of the library may run before them. A
           refused attach is followed by a detach, which deletes them again. */
        midCritInit();
        CommCritInit();
        return LibMain(hInstance, 0, 0);
    case DLL_PROCESS_DETACH:
        /* FreeLibrary with a device still open would leave the poll running
           in unmapped code: give the port connection back, which returns
           once the poll is gone for good. At process exit (reserved
           non-null) other threads are gone already and the system reclaims
           everything, so touch nothing. */
        if (lpReserved == nullptr) {
            ReleaseMIDICOM();
            PollDelete();
            CommCritDelete();
            midCritDelete();
        }
        return WEP(0);
    default:
        return TRUE;
    }
}

BOOL LibMain(HINSTANCE hInstance, WORD, WORD)
{
    ghModule = hInstance;
    if (WinVer() == 0) {
        MessageBoxW(nullptr, aszWrongVersion, aszDriverCaption, MB_ICONWARNING);
        return FALSE;
    }

    RegAccess.lpDriverName = aszDriverName;
    ReadPorts(); /* taken as stored: an unusable port fails its devices' opens */
    DrvCont = kPollPeriod;
    return TRUE;
}

BOOL WEP(int) { return TRUE; }

/* One more load of our own file that is never given back. NT 4.0 has no
   way to pin a module but this. */
void PinLibrary()
{
    WCHAR szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameW(ghModule, szPath, MAX_PATH);
    if (cch != 0 && cch < MAX_PATH) /* a path cut short names another file, or none */
        LoadLibraryW(szPath);
}

WORD WinVer() { return (GetVersion() & kNotNtFamily) == 0 ? 1 : 0; }

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    switch (uMsg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN: /* 1 is also the identifier of every later call */
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_QUERYCONFIGURE:
        return 1;
    case DRV_CONFIGURE:
        return Config((HWND)lParam1, ghModule) == 1 ? DRVCNF_RESTART : DRVCNF_CANCEL;
    case DRV_INSTALL:
        return DRVCNF_RESTART;
    case DRV_REMOVE:
        ConfigRemove(); /* a failed removal is not reported */
        return DRVCNF_RESTART;
    default:
        return DefDriverProc(dwDriverId, hDriver, uMsg, lParam1, lParam2);
    }
}
