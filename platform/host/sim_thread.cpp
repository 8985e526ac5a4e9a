/*
 * Host simulation of threads, events and waits: CreateThread runs its routine
 * on a real thread; events, waits, SignalObjectAndWait and user APCs follow
 * the platform's rules (an alertable wait runs the thread's queued APCs
 * first; ExitThread from an APC ends the thread without returning to its
 * caller).
 */
#include "sim.h"
#include "sim_thread.h"
#include "win_api.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
/* Far above the serial ports' handles, which count up from 0x5000 for the
   life of the process: a long fuzz run once reached this range, and closing
   a port then closed an event of the same value instead. */
constexpr uintptr_t kHandleBase = 0x40000000;
const HANDLE kCurrentThread = (HANDLE)(LONG_PTR)-2;   /* the platform's pseudo handle */
constexpr auto kIdleLimit = std::chrono::seconds(10); /* a test waiting longer has hung */
constexpr auto kJoinLimit = std::chrono::seconds(10); /* threads left running at a reset */

struct Object {
    std::u16string name; /* of a named event or mutex */
    bool isThread = false;
    bool manualReset = false;
    bool signalled = false; /* an event that is set; a thread that has ended */
    DWORD id = 0;
    std::deque<std::pair<PAPCFUNC, ULONG_PTR>> apcs;
};

/* A real thread, kept when its routine has ended and given the next one:
   a new thread for every connection would cost a sanitized fuzz run most of
   its time. Workers live until the process ends. */
struct Worker {
    std::shared_ptr<Object> job; /* the simulated thread it runs; null while idle */
    LPTHREAD_START_ROUTINE start;
    LPVOID param;
    std::condition_variable go;
};

struct ThreadExit {
}; /* thrown by ExitThread, caught where the thread began */

/* Never destroyed: workers may still use them while the process exits. */
std::mutex &lock = *new std::mutex;
std::condition_variable &changed = *new std::condition_variable;
auto &handles = *new std::map<uintptr_t, std::shared_ptr<Object>>; /* open handles; objects outlive resets */
auto &threads = *new std::vector<std::shared_ptr<Object>>;         /* started since the last reset */
auto &idle = *new std::vector<Worker *>;                           /* workers waiting for a routine */
uintptr_t nextHandle;
DWORD nextId;
int blocked; /* simulated threads inside a wait */
int started;
int lastPriority;
bool failThread, failEvent;
bool holdStarts;                           /* new threads wait before their routine, as the loader lock holds them */
thread_local std::shared_ptr<Object> self; /* the simulated thread running here */
thread_local DWORD ownId;                  /* any other thread's identifier */

HANDLE NewHandle(const std::shared_ptr<Object> &o)
{
    uintptr_t h = kHandleBase + ++nextHandle;
    handles[h] = o;
    return (HANDLE)h;
}

std::shared_ptr<Object> Resolve(HANDLE h)
{
    if (h == kCurrentThread)
        return self;
    auto it = handles.find((uintptr_t)h);
    return it == handles.end() ? nullptr : it->second;
}

int LiveLocked()
{
    int n = 0;
    for (auto &t : threads)
        n += !t->signalled;
    return n;
}

DWORD WaitLocked(std::unique_lock<std::mutex> &lk, const std::shared_ptr<Object> &o, DWORD ms, bool alertable)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (alertable && self && !self->apcs.empty()) {
            auto apc = self->apcs.front();
            self->apcs.pop_front();
            lk.unlock();
            /* ExitThread queued as an APC is the platform's own routine, whose
               DWORD argument shares the pointer-sized slot: called here, not
               through the mismatched pointer. */
            if (reinterpret_cast<void (*)()>(apc.first) == reinterpret_cast<void (*)()>(&ExitThread))
                ExitThread((DWORD)apc.second);
            apc.first(apc.second);
            return WAIT_IO_COMPLETION;
        }
        if (o->signalled) {
            if (!o->isThread && !o->manualReset)
                o->signalled = false;
            changed.notify_all();
            return WAIT_OBJECT_0;
        }
        if (ms == 0 || (ms != INFINITE && std::chrono::steady_clock::now() >= deadline))
            return WAIT_TIMEOUT;
        blocked += self != nullptr;
        changed.notify_all();
        if (ms == INFINITE)
            changed.wait(lk);
        else
            changed.wait_until(lk, deadline);
        blocked -= self != nullptr;
    }
}

void WorkerLoop(Worker *w)
{
    std::unique_lock<std::mutex> lk(lock);
    for (;;) {
        w->go.wait(lk, [w] { return w->job != nullptr; });
        changed.wait(lk, [] { return !holdStarts; });
        self = w->job;
        lk.unlock();
        try {
            w->start(w->param);
        } catch (const ThreadExit &) {
        }
        lk.lock();
        self->signalled = true;
        self.reset();
        w->job = nullptr;
        idle.push_back(w);
        changed.notify_all();
    }
}

void ResetThreads()
{
    std::unique_lock<std::mutex> lk(lock);
    holdStarts = false;
    changed.notify_all();
    if (!changed.wait_for(lk, kJoinLimit, [] { return LiveLocked() == 0; })) {
        fprintf(stderr, "sim: %d thread(s) still running at a reset\n", LiveLocked());
        abort();
    }
    threads.clear();
    started = 0;
    lastPriority = 0;
    failThread = failEvent = false;
}

sim::ResetHook reset(&ResetThreads);
} // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD,
                    LPDWORD lpThreadId)
{
    auto o = std::make_shared<Object>();
    std::lock_guard<std::mutex> g(lock);
    if (failThread) {
        failThread = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    o->isThread = true;
    o->id = ++nextId;
    HANDLE h = NewHandle(o);
    threads.push_back(o);
    started++;
    if (lpThreadId)
        *lpThreadId = o->id;
    Worker *w;
    if (idle.empty()) {
        w = new Worker;
        std::thread(WorkerLoop, w).detach();
    } else {
        w = idle.back();
        idle.pop_back();
    }
    w->start = lpStartAddress;
    w->param = lpParameter;
    w->job = o;
    w->go.notify_one();
    return h;
}

void ExitThread(DWORD)
{
    if (!self) {
        fprintf(stderr, "sim: ExitThread on a thread the simulation did not start\n");
        abort();
    }
    throw ThreadExit{};
}

HANDLE GetCurrentThread(void) { return kCurrentThread; }

DWORD GetCurrentThreadId(void)
{
    if (self)
        return self->id;
    if (ownId == 0) {
        std::lock_guard<std::mutex> g(lock);
        ownId = ++nextId;
    }
    return ownId;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    std::lock_guard<std::mutex> g(lock);
    auto o = Resolve(hThread);
    if (!o || !o->isThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    lastPriority = nPriority;
    return TRUE;
}

/* A named object is the one of that name while any handle to it is open. */
static HANDLE CreateNamed(LPSECURITY_ATTRIBUTES lpsa, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName,
                          const char *kind)
{
    auto o = std::make_shared<Object>();
    o->manualReset = bManualReset;
    o->signalled = bInitialState;
    std::lock_guard<std::mutex> g(lock);
    if (failEvent) {
        failEvent = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    if (lpName != nullptr) {
        SimRecordNamedObject(lpName, lpsa, kind);
        std::u16string name(lpName);
        for (auto &h : handles) {
            if (h.second->name == name) {
                SetLastError(ERROR_ALREADY_EXISTS);
                return NewHandle(h.second);
            }
        }
        o->name = name;
    }
    return NewHandle(o);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpsa, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    return CreateNamed(lpsa, bManualReset, bInitialState, lpName, "event");
}

/* A mutex as a lock that one wait takes and a release gives back: the
   driver neither takes one twice nor ends holding one. */
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpsa, BOOL bInitialOwner, LPCWSTR lpName)
{
    return CreateNamed(lpsa, FALSE, !bInitialOwner, lpName, "mutex");
}

BOOL ReleaseMutex(HANDLE hMutex) { return SetEvent(hMutex); }

static BOOL Signal(HANDLE h, bool on)
{
    std::lock_guard<std::mutex> g(lock);
    auto o = Resolve(h);
    if (!o || o->isThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    o->signalled = on;
    changed.notify_all();
    return TRUE;
}

BOOL SetEvent(HANDLE hEvent) { return Signal(hEvent, true); }
BOOL ResetEvent(HANDLE hEvent) { return Signal(hEvent, false); }

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::unique_lock<std::mutex> lk(lock);
    auto o = Resolve(hHandle);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitLocked(lk, o, dwMilliseconds, false);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    std::unique_lock<std::mutex> lk(lock);
    if (bWaitAll || nCount == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        for (DWORD i = 0; i < nCount; i++) {
            auto o = Resolve(lpHandles[i]);
            if (!o) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            if (o->signalled) {
                if (!o->isThread && !o->manualReset)
                    o->signalled = false;
                changed.notify_all();
                return WAIT_OBJECT_0 + i;
            }
        }
        if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline)
            return WAIT_TIMEOUT;
        blocked += self != nullptr;
        changed.notify_all();
        if (dwMilliseconds == INFINITE)
            changed.wait(lk);
        else
            changed.wait_until(lk, deadline);
        blocked -= self != nullptr;
    }
}

DWORD SignalObjectAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn, DWORD dwMilliseconds, BOOL bAlertable)
{
    std::unique_lock<std::mutex> lk(lock);
    auto s = Resolve(hObjectToSignal);
    auto o = Resolve(hObjectToWaitOn);
    if (!s || s->isThread || !o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    s->signalled = true;
    changed.notify_all();
    return WaitLocked(lk, o, dwMilliseconds, bAlertable);
}

DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData)
{
    std::lock_guard<std::mutex> g(lock);
    auto o = Resolve(hThread);
    if (!o || !o->isThread || o->signalled) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    o->apcs.emplace_back(pfnAPC, dwData);
    changed.notify_all();
    return 1;
}

bool SimCloseObject(HANDLE h)
{
    std::lock_guard<std::mutex> g(lock);
    return handles.erase((uintptr_t)h) != 0;
}

namespace sim
{
void WaitThreadsIdle(HANDLE hEvent)
{
    std::unique_lock<std::mutex> lk(lock);
    auto o = Resolve(hEvent);
    bool idle = changed.wait_for(lk, kIdleLimit, [&] { return (!o || !o->signalled) && blocked == LiveLocked(); });
    if (!idle) {
        fprintf(stderr, "sim: the threads did not come to rest within %lld s\n", (long long)kIdleLimit.count());
        abort();
    }
}

int LiveThreads()
{
    std::lock_guard<std::mutex> g(lock);
    return LiveLocked();
}

bool ThreadsEnd()
{
    std::unique_lock<std::mutex> lk(lock);
    return changed.wait_for(lk, std::chrono::seconds(5), [] { return LiveLocked() == 0; });
}

int ThreadsStarted()
{
    std::lock_guard<std::mutex> g(lock);
    return started;
}

void FailNextCreateThread()
{
    std::lock_guard<std::mutex> g(lock);
    failThread = true;
}

void HoldThreadStarts(bool hold)
{
    std::lock_guard<std::mutex> g(lock);
    holdStarts = hold;
    changed.notify_all();
}

void FailNextCreateEvent()
{
    std::lock_guard<std::mutex> g(lock);
    failEvent = true;
}

int LastThreadPriority()
{
    std::lock_guard<std::mutex> g(lock);
    return lastPriority;
}
} // namespace sim
