/*
 * Host simulation of the multimedia timer: timeBeginPeriod and timeEndPeriod
 * (counted), timeSetEvent and timeKillEvent. A timer fires by hand
 * (FireTimers) or, in threaded mode, on its own thread every period; it calls
 * a function or sets an event (TIME_CALLBACK_EVENT_SET). As on the platform,
 * calls of one timer never overlap, and timeKillEvent waits for a call under
 * way only for a timer made with TIME_KILL_SYNCHRONOUS.
 */
#include "sim_timer.h"
#include "sim.h"
#include "sim_thread.h"
#include "win_api.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
struct Timer {
    UINT id;
    UINT delay;
    UINT flags;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    std::atomic<bool> stopped{false};
    std::recursive_mutex call; /* held across each callback: one call at a time, and kill waits */
    std::mutex wakeLock;
    std::condition_variable wake;
    std::thread thread;
    ~Timer()
    {
        if (thread.joinable())
            thread.detach(); /* left at exit by a test that did not reset */
    }
};

std::mutex lock;
std::list<std::shared_ptr<Timer>> timers;
std::list<std::shared_ptr<Timer>> killed; /* threads of killed timers, joined at the next reset */
UINT nextId;
int started;
int depth;
UINT lastPeriod, lastFlags;
bool threaded;
int failNext; /* timeSetEvent calls still to fail */

bool SetsEvent(const Timer &t) { return (t.flags & TIME_CALLBACK_EVENT_SET) != 0; }

void Call(Timer &t)
{
    std::lock_guard<std::recursive_mutex> g(t.call);
    if (t.stopped)
        return;
    if (SetsEvent(t))
        SetEvent((HANDLE)t.callback);
    else
        t.callback(t.id, 0, t.user, 0, 0);
}

void Run(std::shared_ptr<Timer> t)
{
    std::unique_lock<std::mutex> lk(t->wakeLock);
    while (!t->stopped) {
        t->wake.wait_for(lk, std::chrono::milliseconds(t->delay), [&] { return t->stopped.load(); });
        if (t->stopped)
            break;
        lk.unlock();
        Call(*t);
        lk.lock();
        if ((t->flags & TIME_PERIODIC) == 0)
            break;
    }
}

void Stop(const std::shared_ptr<Timer> &t)
{
    {
        std::lock_guard<std::mutex> g(t->wakeLock);
        t->stopped = true;
    }
    t->wake.notify_all();
    /* Only a synchronous kill waits for a call under way (from the timer's
       own callback it cannot, and need not). */
    if (t->flags & TIME_KILL_SYNCHRONOUS)
        std::lock_guard<std::recursive_mutex> g(t->call);
}

void Join(const std::shared_ptr<Timer> &t)
{
    if (t->thread.joinable()) {
        if (t->thread.get_id() == std::this_thread::get_id())
            t->thread.detach(); /* reset from its own callback: the loop ends after it */
        else
            t->thread.join();
    }
}

void ResetTimer()
{
    std::list<std::shared_ptr<Timer>> old, dead;
    {
        std::lock_guard<std::mutex> g(lock);
        old.swap(timers);
        dead.swap(killed);
        started = 0;
        depth = 0;
        lastPeriod = lastFlags = 0;
        threaded = false;
        failNext = 0;
    }
    for (auto &t : old)
        Stop(t);
    for (auto &t : old)
        Join(t);
    for (auto &t : dead)
        Join(t);
}
sim::ResetHook reset(&ResetTimer);
} // namespace

MMRESULT timeBeginPeriod(UINT uPeriod)
{
    if (uPeriod == 0)
        return TIMERR_NOCANDO;
    std::lock_guard<std::mutex> g(lock);
    depth++;
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT uPeriod)
{
    std::lock_guard<std::mutex> g(lock);
    if (uPeriod == 0 || depth == 0)
        return TIMERR_NOCANDO;
    depth--;
    return TIMERR_NOERROR;
}

MMRESULT timeSetEvent(UINT uDelay, UINT, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent)
{
    std::shared_ptr<Timer> t;
    {
        std::lock_guard<std::mutex> g(lock);
        lastPeriod = uDelay;
        lastFlags = fuEvent;
        if (failNext > 0 || fptc == nullptr || uDelay == 0) {
            failNext -= failNext > 0;
            return 0;
        }
        t = std::make_shared<Timer>();
        t->id = ++nextId;
        t->delay = uDelay;
        t->flags = fuEvent;
        t->callback = fptc;
        t->user = dwUser;
        timers.push_back(t);
        started++;
        if (threaded)
            t->thread = std::thread(Run, t);
    }
    return t->id;
}

MMRESULT timeKillEvent(UINT uTimerID)
{
    std::shared_ptr<Timer> t;
    {
        std::lock_guard<std::mutex> g(lock);
        for (auto it = timers.begin(); it != timers.end(); ++it) {
            if ((*it)->id == uTimerID) {
                t = *it;
                killed.push_back(t);
                timers.erase(it);
                break;
            }
        }
    }
    if (!t)
        return MMSYSERR_INVALPARAM;
    Stop(t);
    return TIMERR_NOERROR;
}

namespace sim
{
void FireTimers()
{
    std::list<std::shared_ptr<Timer>> live;
    {
        std::lock_guard<std::mutex> g(lock);
        live = timers;
    }
    for (auto &t : live) {
        Call(*t);
        if (SetsEvent(*t))
            sim::WaitThreadsIdle((HANDLE)t->callback); /* what the event woke has done its work */
    }
}

void RunTimersOnThreads(bool on)
{
    std::lock_guard<std::mutex> g(lock);
    threaded = on;
}

int LiveTimers()
{
    std::lock_guard<std::mutex> g(lock);
    return (int)timers.size();
}

int TimersStarted()
{
    std::lock_guard<std::mutex> g(lock);
    return started;
}

UINT LastTimerPeriod()
{
    std::lock_guard<std::mutex> g(lock);
    return lastPeriod;
}

UINT LastTimerFlags()
{
    std::lock_guard<std::mutex> g(lock);
    return lastFlags;
}

int TimerResolutionDepth()
{
    std::lock_guard<std::mutex> g(lock);
    return depth;
}

void FailNextTimeSetEvent(int calls)
{
    std::lock_guard<std::mutex> g(lock);
    failNext = calls;
}
} // namespace sim
