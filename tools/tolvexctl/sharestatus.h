/*
 * What tolvexctl reads of a shared port while programs hold it: the owner
 * and the programs in the port's shared record, looked up by the name the
 * driver gives it in this logon session.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

/* A program that holds one or both of a shared port's devices. */
struct ShareProgram {
    DWORD pid = 0;
    std::wstring name; /* its program file, or empty when it cannot be asked */
    bool output = false, input = false;
    DWORD outBytes = 0; /* taken from its output onto the line so far */
    DWORD inBytes = 0;  /* taken by its input from what was received */
};

struct ShareStatus {
    bool found = false; /* the record exists: some program has the port open, or did a moment ago */
    bool running = false;
    DWORD ownerPid = 0;
    std::wstring ownerName;
    DWORD lineErrors = 0;
    std::vector<ShareProgram> programs;
};

/* COMn's shared record, as the driver lays it out. */
ShareStatus ReadShareStatus(DWORD com);

/* A process's program file without its folder; empty when it cannot be asked. */
std::wstring ProcessName(DWORD pid);
