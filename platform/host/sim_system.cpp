/* Host simulation of the system services: version, last error, sleep, critical sections. */
#include "sim.h"
#include "win_api.h"

#include <atomic>

namespace
{
constexpr DWORD kNtVersion = 0x0A280105; /* 5.1, build 2600: NT family, top bit clear */
std::atomic<DWORD> version{kNtVersion};
thread_local DWORD lastError;
std::atomic<int> held{0}; /* not reset: a lock left held outlives any reset */
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

namespace sim
{
void SetVersion(DWORD v) { version = v; }
int HeldCriticalSections() { return held; }

static void ResetSystem()
{
    version = kNtVersion;
    lastError = 0;
}
static ResetHook reset(&ResetSystem);
} // namespace sim
