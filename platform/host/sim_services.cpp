/*
 * Host simulation of the service control manager: service entries with type,
 * state and start type; the empty manager handle fails as on the platform;
 * stop, reconfigure, delete and the database lock are logged for tests.
 */
#include "sim_services.h"
#include "sim.h"
#include "win_api.h"

#include <map>
#include <mutex>

namespace
{

constexpr DWORD kErrorServiceCannotAcceptCtrl = 1061; /* ERROR_SERVICE_CANNOT_ACCEPT_CTRL */
constexpr DWORD kErrorServiceNotActive = 1062;        /* ERROR_SERVICE_NOT_ACTIVE */
constexpr DWORD kErrorServiceMarkedForDelete = 1072;  /* ERROR_SERVICE_MARKED_FOR_DELETE */
constexpr DWORD kErrorInvalidServiceLock = 1071;      /* ERROR_INVALID_SERVICE_LOCK */
constexpr uintptr_t kFirstManager = 0x3000;           /* manager handles, upwards */
constexpr uintptr_t kFirstService = 0x4000;           /* service handles, upwards */
constexpr uintptr_t kFirstLock = 0x5000;              /* lock tokens, upwards */
constexpr uintptr_t kHandleStep = 4;

struct Service {
    std::u16string name;
    sim::ServiceState s;
    int handles;
};

std::mutex lock;
std::vector<Service> services;
std::vector<uintptr_t> managers;
std::map<uintptr_t, size_t> serviceHandles; /* handle -> index in services */
std::vector<uintptr_t> locks;
uintptr_t nextManager = kFirstManager, nextService = kFirstService, nextLock = kFirstLock;
int lockBusy;
int lockRequests;
std::vector<std::string> events;

WCHAR Upper(WCHAR c) { return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c; }

bool SameName(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

bool IsManager(SC_HANDLE h)
{
    for (uintptr_t m : managers)
        if (m == reinterpret_cast<uintptr_t>(h))
            return true;
    return false;
}

Service *FromHandle(SC_HANDLE h)
{
    auto it = serviceHandles.find(reinterpret_cast<uintptr_t>(h));
    return it == serviceHandles.end() ? nullptr : &services[it->second];
}

std::string Word(DWORD v) { return v == SERVICE_NO_CHANGE ? std::string("-") : std::to_string(v); }

} // namespace

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD)
{
    std::lock_guard<std::mutex> g(lock);
    if (!IsManager(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (size_t i = 0; i < services.size(); i++) {
        if (services[i].s.present && SameName(services[i].name, lpServiceName)) {
            uintptr_t h = nextService;
            nextService += kHandleStep;
            serviceHandles[h] = i;
            services[i].handles++;
            return reinterpret_cast<SC_HANDLE>(h);
        }
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    std::lock_guard<std::mutex> g(lock);
    if (IsManager(hSCObject))
        return TRUE; /* managers belong to the test; closing one is harmless */
    auto it = serviceHandles.find(reinterpret_cast<uintptr_t>(hSCObject));
    if (it == serviceHandles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Service &svc = services[it->second];
    serviceHandles.erase(it);
    /* A deleted entry goes away with its last handle. */
    if (--svc.handles == 0 && svc.s.markedForDelete)
        svc.s.present = false;
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> g(lock);
    Service *svc = FromHandle(hService);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpServiceStatus = SERVICE_STATUS{svc->s.type, svc->s.state, 0, 0, 0, 0, 0};
    return TRUE;
}

BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                          LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                          LPCWSTR lpServiceStartName, LPCWSTR lpPassword, LPCWSTR lpDisplayName)
{
    std::lock_guard<std::mutex> g(lock);
    Service *svc = FromHandle(hService);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (svc->s.markedForDelete) {
        SetLastError(kErrorServiceMarkedForDelete);
        return FALSE;
    }
    std::string line = "ChangeServiceConfigW type=" + Word(dwServiceType) + " start=" + Word(dwStartType) +
                       " error=" + Word(dwErrorControl);
    if (lpBinaryPathName || lpLoadOrderGroup || lpdwTagId || lpDependencies || lpServiceStartName || lpPassword ||
        lpDisplayName)
        line += " +strings";
    events.push_back(line);
    if (dwServiceType != SERVICE_NO_CHANGE)
        svc->s.type = dwServiceType;
    if (dwStartType != SERVICE_NO_CHANGE)
        svc->s.startType = dwStartType;
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> g(lock);
    Service *svc = FromHandle(hService);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    events.push_back(dwControl == SERVICE_CONTROL_STOP ? "ControlService stop"
                                                       : "ControlService " + std::to_string(dwControl));
    if (dwControl != SERVICE_CONTROL_STOP || svc->s.state == SERVICE_STOP_PENDING) {
        SetLastError(kErrorServiceCannotAcceptCtrl);
        return FALSE;
    }
    if (svc->s.state == SERVICE_STOPPED) {
        SetLastError(kErrorServiceNotActive);
        return FALSE;
    }
    /* A kernel driver is unloaded at once; a service is left stopping. */
    svc->s.state = svc->s.type == SERVICE_KERNEL_DRIVER ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    if (lpServiceStatus)
        *lpServiceStatus = SERVICE_STATUS{svc->s.type, svc->s.state, 0, 0, 0, 0, 0};
    return TRUE;
}

SC_LOCK LockServiceDatabase(SC_HANDLE hSCManager)
{
    std::lock_guard<std::mutex> g(lock);
    if (!IsManager(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    lockRequests++;
    if (lockBusy != 0 || !locks.empty()) {
        if (lockBusy > 0)
            lockBusy--;
        events.push_back("LockServiceDatabase busy");
        SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
        return nullptr;
    }
    uintptr_t l = nextLock;
    nextLock += kHandleStep;
    locks.push_back(l);
    events.push_back("LockServiceDatabase");
    return reinterpret_cast<SC_LOCK>(l);
}

BOOL UnlockServiceDatabase(SC_LOCK ScLock)
{
    std::lock_guard<std::mutex> g(lock);
    for (auto it = locks.begin(); it != locks.end(); ++it) {
        if (*it == reinterpret_cast<uintptr_t>(ScLock)) {
            locks.erase(it);
            events.push_back("UnlockServiceDatabase");
            return TRUE;
        }
    }
    SetLastError(kErrorInvalidServiceLock);
    return FALSE;
}

BOOL DeleteService(SC_HANDLE hService)
{
    std::lock_guard<std::mutex> g(lock);
    Service *svc = FromHandle(hService);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    events.push_back("DeleteService");
    if (svc->s.markedForDelete) {
        SetLastError(kErrorServiceMarkedForDelete);
        return FALSE;
    }
    svc->s.markedForDelete = true;
    return TRUE;
}

namespace sim
{

SC_HANDLE OpenManager()
{
    std::lock_guard<std::mutex> g(::lock);
    uintptr_t m = nextManager;
    nextManager += kHandleStep;
    managers.push_back(m);
    return reinterpret_cast<SC_HANDLE>(m);
}

void AddService(const std::u16string &name, DWORD type, DWORD state, DWORD startType)
{
    std::lock_guard<std::mutex> g(::lock);
    services.push_back({name, ServiceState{true, type, state, startType, false}, 0});
}

void SetLockBusy(int times)
{
    std::lock_guard<std::mutex> g(::lock);
    lockBusy = times;
}

int LockRequests()
{
    std::lock_guard<std::mutex> g(::lock);
    return lockRequests;
}

ServiceState ServiceOf(const std::u16string &name)
{
    std::lock_guard<std::mutex> g(::lock);
    for (const Service &svc : services)
        if (svc.s.present && SameName(svc.name, name))
            return svc.s;
    return ServiceState{false, 0, 0, 0, false};
}

std::vector<std::string> ServiceLog()
{
    std::lock_guard<std::mutex> g(::lock);
    return events;
}

int OpenServiceCount()
{
    std::lock_guard<std::mutex> g(::lock);
    return (int)serviceHandles.size();
}

int HeldLockCount()
{
    std::lock_guard<std::mutex> g(::lock);
    return (int)locks.size();
}

static void ResetServices()
{
    std::lock_guard<std::mutex> g(::lock);
    services.clear();
    managers.clear();
    serviceHandles.clear();
    locks.clear();
    nextManager = kFirstManager;
    nextService = kFirstService;
    nextLock = kFirstLock;
    lockBusy = 0;
    lockRequests = 0;
    events.clear();
}
static ResetHook reset(&ResetServices);

} // namespace sim
