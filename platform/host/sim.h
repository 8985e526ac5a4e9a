/*
 * Host build: the control surface of the platform simulation, for tests only.
 * Each service keeps its state in its own sim_*.cpp; ResetAll puts every one
 * back to its initial state. Driver code never includes this header.
 */
#pragma once

#include "win_types.h"

#include <functional>
#include <string>
#include <vector>

namespace sim
{

/* Every simulated service back to its initial state. */
void ResetAll();

/* Each sim_*.cpp registers the routine that resets it, with one static
   ResetHook, so that ResetAll reaches every service that is linked in. */
struct ResetHook {
    explicit ResetHook(void (*reset)());
};

/* UTF-16 to UTF-8, for assertions that read as text. */
std::string Utf8(const WCHAR *s);
std::string Utf8(const std::u16string &s);

/* Clock (timeGetTime): manual by default. A step makes each read advance the
   clock, so that busy waits end; real mode follows the machine's clock. */
void SetTime(DWORD ms);
void AdvanceTime(DWORD ms);
void SetClockStep(DWORD msPerRead);
void UseRealClock(bool on);
DWORD ClockReads();

/* DriverCallback: every call recorded with its seven words in order. */
struct Notification {
    DWORD_PTR dwCallback;
    DWORD dwFlags;
    HDRVR hDevice;
    DWORD dwMsg;
    DWORD_PTR dwUser;
    DWORD_PTR dwParam1;
    DWORD_PTR dwParam2;
};
std::vector<Notification> Notifications();
void ClearNotifications();
/* Called on the notifying thread, after the call was recorded. */
void OnNotification(std::function<void(const Notification &)> hook);
/* For the benchmarks: a plain routine that takes every notification in place
   of the record and the hook, with no lock and nothing kept; null ends it. */
void SetNotificationSink(void (*sink)(const Notification &));

/* DefDriverProc: the arguments of every call, and the answer it gives. */
struct DefDriverCall {
    DWORD_PTR dwDriverIdentifier;
    HDRVR hdrvr;
    UINT uMsg;
    LPARAM lParam1;
    LPARAM lParam2;
};
std::vector<DefDriverCall> DefDriverCalls();
void SetDefDriverResult(LRESULT result);

/* The library's module handle: LoadStringW and DialogBoxParamW serve the
   library's resources only for this module. */
extern const HINSTANCE kModule;

/* MessageBoxW: every box recorded; it returns at once with IDOK. */
struct MessageBoxCall {
    HWND owner;
    std::u16string text;
    std::u16string caption;
    UINT style;
};
std::vector<MessageBoxCall> MessageBoxes();

/* Critical sections entered and not yet left, over all threads. */
int HeldCriticalSections();

/* LoadLibraryW calls that loaded the library's own file (each keeps it mapped). */
int LibraryLoads();

/* Named objects made or opened (mappings, events, mutexes), each with
   whether its descriptor lets only this user reach it. */
struct SharedObject {
    std::string name;
    std::string kind;
    bool userOnly;
};
std::vector<SharedObject> SharedObjects();
/* Command lines of CreateProcessW, which records each and fails: no other
   process runs in the simulation. */
std::vector<std::string> ProcessesStarted();
int OpenMappings(); /* file mapping handles not yet closed */

/* GetVersion's answer; the default is an NT-family version word. */
void SetVersion(DWORD version);

} // namespace sim
