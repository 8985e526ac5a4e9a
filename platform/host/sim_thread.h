/*
 * Host build: the test control surface of the simulated threads, events and
 * waits (sim_thread.cpp). Threads are real; what they wait on is simulated,
 * so that a test can tell when every one of them is blocked again.
 */
#pragma once

#include "win_types.h"

namespace sim
{

/* Waits until the event is no longer signalled and every simulated thread
   still running is blocked in a wait: what the event woke has done its
   work. Aborts the test run after ten seconds rather than hang. */
void WaitThreadsIdle(HANDLE hEvent);

int LiveThreads();        /* started and not yet ended */
bool ThreadsEnd();        /* whether every simulated thread ends within five seconds */
int ThreadsStarted();     /* CreateThread calls that gave a thread, since the last reset */
int LastThreadPriority(); /* the last priority SetThreadPriority gave */
void FailNextCreateThread();
/* While held, a new thread does not reach its routine: the loader lock, which
   an unload holds, keeps a real one in its thread attach. */
void HoldThreadStarts(bool hold);
void FailNextCreateEvent();

} // namespace sim

/* For sim_serial.cpp's CloseHandle: true when the handle was a thread or an
   event, which is then closed. */
bool SimCloseObject(HANDLE h);
/* For sim_serial.cpp's CloseHandle too (sim_share.cpp): true when the
   handle was a file mapping or the token, which is then closed. */
bool SimCloseShareObject(HANDLE h);
/* For named events and mutexes: sim_share.cpp records what each was made with. */
void SimRecordNamedObject(LPCWSTR lpName, LPSECURITY_ATTRIBUTES lpsa, const char *kind);
