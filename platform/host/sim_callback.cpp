/* Host simulation of the multimedia system's DriverCallback and DefDriverProc. */
#include "sim.h"
#include "win_api.h"

#include <atomic>
#include <mutex>

namespace
{
std::mutex lock;
std::vector<sim::Notification> notifications;
std::function<void(const sim::Notification &)> hook;
std::vector<sim::DefDriverCall> defCalls;
LRESULT defResult = 0;
std::atomic<void (*)(const sim::Notification &)> sink{nullptr};
} // namespace

BOOL DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                    DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    sim::Notification n{dwCallback, dwFlags, hDevice, dwMsg, dwUser, dwParam1, dwParam2};
    if (auto s = sink.load(std::memory_order_relaxed)) {
        s(n);
        return TRUE;
    }
    std::function<void(const sim::Notification &)> h;
    {
        std::lock_guard<std::mutex> g(lock);
        notifications.push_back(n);
        h = hook;
    }
    if (h)
        h(n);
    return TRUE;
}

LRESULT DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    std::lock_guard<std::mutex> g(lock);
    defCalls.push_back({dwDriverIdentifier, hdrvr, uMsg, lParam1, lParam2});
    return defResult;
}

namespace sim
{
std::vector<Notification> Notifications()
{
    std::lock_guard<std::mutex> g(lock);
    return notifications;
}

void ClearNotifications()
{
    std::lock_guard<std::mutex> g(lock);
    notifications.clear();
}

void OnNotification(std::function<void(const Notification &)> h)
{
    std::lock_guard<std::mutex> g(lock);
    hook = std::move(h);
}

std::vector<DefDriverCall> DefDriverCalls()
{
    std::lock_guard<std::mutex> g(lock);
    return defCalls;
}

void SetDefDriverResult(LRESULT result)
{
    std::lock_guard<std::mutex> g(lock);
    defResult = result;
}

void SetNotificationSink(void (*s)(const Notification &)) { sink = s; }

static void ResetCallback()
{
    sink = nullptr;
    std::lock_guard<std::mutex> g(lock);
    notifications.clear();
    hook = nullptr;
    defCalls.clear();
    defResult = 0;
}
static ResetHook reset(&ResetCallback);
} // namespace sim
