/*
 * Host simulation of the multimedia timer: timeBeginPeriod and timeEndPeriod
 * (counted), timeSetEvent and timeKillEvent. A timer fires by hand
 * (FireTimers) or, in threaded mode, on its own thread every period; calls of
 * one timer never overlap, and none begins once timeKillEvent has returned.
 */
#include "sim_timer.h"
#include "sim.h"
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
};

std::mutex lock;
std::list<std::shared_ptr<Timer>> timers;
UINT nextId;
int started;
int depth;
UINT lastPeriod, lastFlags;
bool threaded;
bool failNext;

void Call(Timer &t)
{
    std::lock_guard<std::recursive_mutex> g(t.call);
    if (!t.stopped)
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
    if (t->thread.joinable()) {
        if (t->thread.get_id() == std::this_thread::get_id())
            t->thread.detach(); /* killed from its own callback: the loop ends after it */
        else
            t->thread.join();
    }
    /* A hand-fired call on another thread finishes before the kill returns. */
    std::lock_guard<std::recursive_mutex> g(t->call);
}

void ResetTimer()
{
    std::list<std::shared_ptr<Timer>> old;
    {
        std::lock_guard<std::mutex> g(lock);
        old.swap(timers);
        started = 0;
        depth = 0;
        lastPeriod = lastFlags = 0;
        threaded = false;
        failNext = false;
    }
    for (auto &t : old)
        Stop(t);
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
        if (failNext || fptc == nullptr || uDelay == 0) {
            failNext = false;
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
    for (auto &t : live)
        Call(*t);
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

void FailNextTimeSetEvent()
{
    std::lock_guard<std::mutex> g(lock);
    failNext = true;
}
} // namespace sim
