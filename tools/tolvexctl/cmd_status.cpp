/*
 * status: each port, whether it is shared, and while programs hold a shared
 * port, its owner process and each program with the bytes through its
 * devices, from the port's shared record.
 */
#include "commands.h"
#include "settings.h"
#include "sharestatus.h"

#include <cstdio>

namespace
{
std::string Bytes(bool held, DWORD bytes) { return held ? std::to_string(bytes) : "-"; }

std::string NameOf(const std::wstring &name) { return name.empty() ? "(cannot be asked)" : Narrow(name); }

void ShowShared(const ShareStatus &s)
{
    if (!s.running) {
        printf("  no owner process runs: the next open starts one\n");
        return;
    }
    printf("  owner: process %lu, %s%s\n", (unsigned long)s.ownerPid, NameOf(s.ownerName).c_str(),
           s.lineErrors != 0 ? (", " + std::to_string(s.lineErrors) + " line errors").c_str() : "");
    if (s.programs.empty()) {
        printf("  no program has it open: the owner ends in about 2 s\n");
        return;
    }
    printf("  %-8s %-28s %12s %12s\n", "process", "program", "bytes out", "bytes in");
    for (const ShareProgram &p : s.programs)
        printf("  %-8lu %-28s %12s %12s\n", (unsigned long)p.pid, NameOf(p.name).c_str(),
               Bytes(p.output, p.outBytes).c_str(), Bytes(p.input, p.inBytes).c_str());
}
} // namespace

int CmdStatus(const Options &o)
{
    if (!o.args.empty() || o.port != kPortNone) {
        Fail("status takes nothing more: it shows every port");
        return kExitUsage;
    }
    std::vector<PortSetting> ports = ReadPorts();
    for (size_t n = 0; n < ports.size(); n++) {
        const PortSetting &p = ports[n];
        if (!p.comError.empty()) {
            printf("port %zu: %s\n", n, p.comError.c_str());
            continue;
        }
        ShareStatus s = ReadShareStatus(p.com);
        const char *mode = p.shared  ? "shared"
                           : s.found ? "not shared from its next open; shared now"
                                     : "not shared: one program at a time";
        printf("port %zu (COM%lu): %s\n", n, (unsigned long)p.com, mode);
        if (s.found)
            ShowShared(s);
        else if (p.shared)
            printf("  no program has it open\n");
    }
    return kExitOk;
}
