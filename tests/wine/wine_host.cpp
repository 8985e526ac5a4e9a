/*
 * Test host of the real-platform suite: under Wine it plays the multimedia
 * system for TOLVEX.dll (loads it, sends driver and device messages, receives
 * notifications through winmm's DriverCallback) and talks to the module
 * simulator (tools/modsim.py) on the other end of COM1. One group a run:
 *     tolvex_wine_host.exe GROUP PATH\TOLVEX.dll
 * prints "PASS group.check" or "FAIL group.check: expected ..., got ..." per
 * check ("INFO ..." for figures), then "END group"; an exception that nobody
 * handles prints "FAIL group.crash: ..." and ends the run there. The groups
 * are in the *_groups.cpp files, the helpers they share in host.cpp.
 */
#include "groups.h"

#include <cstdio>
#include <cstring>

namespace
{

struct Group {
    const char *name;
    void (*run)();
    bool needsSim;
};

const Group kGroups[] = {
    {"load", GroupLoad, false},
    {"resources", GroupResources, false},
    {"noport", GroupNoPort, false},
    {"driverproc", GroupDriverProc, false},
    {"output", GroupOutput, true},
    {"input", GroupInput, true},
    {"inputmode", GroupInputMode, true},
    {"attachport", GroupAttachPort, true},
    {"shared", GroupShared, true},
    {"unwind", GroupUnwind, false},
    {"unload", GroupUnload, true},
    {"unloadrounds", GroupUnloadRounds, true},
    {"unloadatonce", GroupUnloadAtOnce, true},
    {"closerounds", GroupCloseRounds, true},
    {"lostport", GroupLostPort, true},
    {"ports", GroupPorts, true},
    {"twoports", GroupTwoPorts, true},
    {"sharing", GroupSharing, true},
    {"sharechild", GroupShareChild, false}, /* one of the sharing group's programs */
    {"configure", GroupConfigure, false},
    {"wrongversion", GroupWrongVersion, false},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s GROUP PATH\\TOLVEX.dll\n", argv[0]);
        return 2;
    }
    gGroup = argv[1];
    gDllPath = Wide(argv[2]);
    InitializeCriticalSection(&gEventLock);
    gWarningIcon = LoadIconW(nullptr, IDI_WARNING);
    SetUnhandledExceptionFilter(ReportCrash);
    timeBeginPeriod(1); /* the host's own clock reads, for the stamps */
    for (const Group &g : kGroups) {
        if (gGroup != g.name)
            continue;
        if (g.needsSim && !SimConnect()) {
            Report(false, "modsim", "cannot reach the module simulator at TOLVEX_MODSIM");
        } else {
            g.run();
        }
        printf("END %s\n", gGroup.c_str());
        fflush(stdout);
        timeEndPeriod(1);
        return gFailed ? 1 : 0;
    }
    fprintf(stderr, "unknown group %s\n", argv[1]);
    return 2;
}
