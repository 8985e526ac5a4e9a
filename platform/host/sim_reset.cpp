/* Host simulation: one reset for all services. */
#include "sim.h"

namespace
{
constexpr int kMaxServices = 32;
void (*resets[kMaxServices])();
int count;
} // namespace

namespace sim
{
ResetHook::ResetHook(void (*reset)())
{
    if (count < kMaxServices)
        resets[count++] = reset;
}

void ResetAll()
{
    for (int i = 0; i < count; i++)
        resets[i]();
}
} // namespace sim
