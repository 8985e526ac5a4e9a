/* Host simulation of the multimedia clock, timeGetTime. */
#include "sim.h"
#include "win_api.h"

#include <atomic>
#include <chrono>

namespace
{
std::atomic<DWORD> now{0};
std::atomic<DWORD> step{0};
std::atomic<bool> real{false};
std::atomic<DWORD> reads{0};

DWORD RealMilliseconds()
{
    using namespace std::chrono;
    return (DWORD)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

DWORD timeGetTime(void)
{
    reads++;
    if (real)
        return RealMilliseconds();
    return now.fetch_add(step);
}

namespace sim
{
void SetTime(DWORD ms) { now = ms; }
void AdvanceTime(DWORD ms) { now += ms; }
void SetClockStep(DWORD msPerRead) { step = msPerRead; }
void UseRealClock(bool on) { real = on; }
DWORD ClockReads() { return reads; }

static void ResetClock()
{
    now = 0;
    step = 0;
    real = false;
    reads = 0;
}
static ResetHook reset(&ResetClock);
} // namespace sim
