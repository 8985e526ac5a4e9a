/*
 * Host build: the test control surface of the simulated multimedia timer
 * (sim_timer.cpp). By default periodic timers fire only when a test calls
 * FireTimers; in threaded mode each runs on a real thread every period.
 */
#pragma once

#include "win_types.h"

namespace sim
{

/* Calls every live timer's callback once, on the calling thread. */
void FireTimers();
/* Timers started from now on run on a thread of their own every period. */
void RunTimersOnThreads(bool on);

int LiveTimers();                         /* started and not yet killed */
int TimersStarted();                      /* timeSetEvent calls that gave a timer */
UINT LastTimerPeriod();                   /* uDelay of the last timeSetEvent */
UINT LastTimerFlags();                    /* fuEvent of the last timeSetEvent */
int TimerResolutionDepth();               /* timeBeginPeriod calls not yet ended */
void FailNextTimeSetEvent(int calls = 1); /* the next calls fail, as they would without resources */

} // namespace sim
