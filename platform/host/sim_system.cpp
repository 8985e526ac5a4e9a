/* Host simulation of the system services: version, last error, sleep,
   critical sections, and the loader as far as the library asks it of itself. */
#include "sim.h"
#include "win_api.h"

#include <atomic>

namespace
{
constexpr DWORD kNtVersion = 0x0A280105; /* 5.1, build 2600: NT family, top bit clear */
std::atomic<DWORD> version{kNtVersion};
thread_local DWORD lastError;
std::atomic<int> held{0}; /* not reset: a lock left held outlives any reset */
std::atomic<int> pins{0};
const char16_t kModulePath[] = u"C:\\windows\\system32\\tolvex.dll";
} // namespace

DWORD GetVersion(void) { return version; }
DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

/* Sleeping moves the simulated clock instead of the test's time. */
void Sleep(DWORD dwMilliseconds) { sim::AdvanceTime(dwMilliseconds); }

void InitializeCriticalSection(LPCRITICAL_SECTION) {}
void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->m.lock();
    held++;
}
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!cs->m.try_lock())
        return FALSE;
    held++;
    return TRUE;
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    held--;
    cs->m.unlock();
}
void DeleteCriticalSection(LPCRITICAL_SECTION) {}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    DWORD n = 0;
    if (hModule != sim::kModule || nSize == 0)
        return 0;
    for (; kModulePath[n] != 0 && n + 1 < nSize; n++)
        lpFilename[n] = (WCHAR)kModulePath[n];
    lpFilename[n] = 0;
    return kModulePath[n] != 0 ? nSize : n; /* cut short: the whole size, as the platform says */
}

/* Only the library's own file loads: the one thing it ever asks for. */
HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (sim::Utf8(lpLibFileName) != sim::Utf8(kModulePath))
        return nullptr;
    pins++;
    return sim::kModule;
}

namespace sim
{
void SetVersion(DWORD v) { version = v; }
int HeldCriticalSections() { return held; }
int LibraryLoads() { return pins; }

static void ResetSystem()
{
    version = kNtVersion;
    lastError = 0;
    pins = 0;
}
static ResetHook reset(&ResetSystem);
} // namespace sim
