/*
 * Service helpers: the driver's entry in the service control manager, which
 * can be tested for a running kernel driver, set to start on demand, stopped
 * and deleted. Every handle opened here is closed before the routine returns.
 */
#include "regsvc/regsvc.h"

constexpr DWORD kLockRetryMs = 100; /* wait between requests for the database lock */
constexpr int kLockTries = 100;     /* requests before giving up: about 10 s */

SC_HANDLE DrvOpenService(const RegAccessBlock *lpRegAccess)
{
    return OpenServiceW(lpRegAccess->hServiceManager, lpRegAccess->lpDriverName, SERVICE_ALL_ACCESS);
}

void DrvCloseService(const RegAccessBlock *, SC_HANDLE hService) { CloseServiceHandle(hService); }

DWORD DrvIsDriverLoaded(const RegAccessBlock *lpRegAccess)
{
    SC_HANDLE hService = DrvOpenService(lpRegAccess);
    if (hService == nullptr)
        return 0;

    SERVICE_STATUS status;
    DWORD dwLoaded = 0;
    if (QueryServiceStatus(hService, &status)) {
        dwLoaded = status.dwServiceType == SERVICE_KERNEL_DRIVER &&
                   (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOP_PENDING);
    }
    DrvCloseService(lpRegAccess, hService);
    return dwLoaded;
}

BOOL DrvUnloadKernelDriver(const RegAccessBlock *lpRegAccess)
{
    SC_HANDLE hService = DrvOpenService(lpRegAccess);
    if (hService == nullptr)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST; /* nothing to unload */

    /* Demand start first, so that the driver stays out after the stop. */
    BOOL fDone = ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (fDone && DrvIsDriverLoaded(lpRegAccess) == 1) {
        SERVICE_STATUS status;
        fDone = ControlService(hService, SERVICE_CONTROL_STOP, &status);
    }
    DrvCloseService(lpRegAccess, hService);
    return fDone;
}

BOOL DrvDeleteServicesNode(const RegAccessBlock *lpRegAccess)
{
    SC_HANDLE hService = DrvOpenService(lpRegAccess);
    if (hService == nullptr)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST; /* already gone */

    /* A lock that is never granted (held for good, or no right to take it)
       must not hang the caller: give up after about 10 s. */
    SC_LOCK lock = nullptr;
    for (int tries = 1;; tries++) {
        lock = LockServiceDatabase(lpRegAccess->hServiceManager);
        if (lock != nullptr || tries == kLockTries)
            break;
        Sleep(kLockRetryMs);
    }
    if (lock == nullptr) {
        DrvCloseService(lpRegAccess, hService);
        return FALSE;
    }

    BOOL fDeleted = DeleteService(hService);
    UnlockServiceDatabase(lock);
    DrvCloseService(lpRegAccess, hService);
    return fDeleted;
}

DWORD DrvRemoveDriver(const RegAccessBlock *lpRegAccess)
{
    DWORD dwLoaded = DrvIsDriverLoaded(lpRegAccess);
    if (dwLoaded == 1)
        DrvUnloadKernelDriver(lpRegAccess);
    if (!DrvDeleteServicesNode(lpRegAccess))
        return DRVCNF_CANCEL;
    return dwLoaded == 1 ? DRVCNF_RESTART : DRVCNF_OK;
}
