/*
 * What the measuring modes share: where timeGetTime's ticks fall on this
 * clock, starting input on a tick, the CPU time of this process and of the
 * Wine server, and the ROW lines that tools/soak puts side by side.
 */
#include "soak_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
/* CPU time in ms of a Linux process, all its threads, the ended ones too
   (Wine's own process times leave ended threads out), read through Wine's
   Z: drive; -1 when it cannot be read. */
double LinuxCpuMs(const char *pid)
{
    if (!pid)
        return -1;
    char path[64];
    snprintf(path, sizeof path, "Z:\\proc\\%s\\stat", pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char text[1024] = "";
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    const char *p = strrchr(text, ')'); /* the name may hold blanks */
    unsigned long long utime = 0, stime = 0;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) * 10.0; /* clock ticks of 10 ms */
}

/* This process's Linux pid: the one that runs this program's file (Wine
   puts its Linux path first in the command line), not another worktree's
   run of the same program. Wine opens files in its server, so /proc/self
   is the server's. */
std::string OwnLinuxPid()
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n < 3 || n >= MAX_PATH || strncmp(self, "Z:", 2) != 0)
        return std::string();
    std::string linuxPath(self + 2); /* the Z: drive is the Linux root */
    for (char &c : linuxPath)
        c = c == '\\' ? '/' : c;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
    std::string found;
    if (h == INVALID_HANDLE_VALUE)
        return found;
    do {
        if (fd.cFileName[0] < '1' || fd.cFileName[0] > '9')
            continue;
        char path[64], cmdline[MAX_PATH + 1] = "";
        snprintf(path, sizeof path, "Z:\\proc\\%s\\cmdline", fd.cFileName);
        if (FILE *f = fopen(path, "rb")) {
            size_t got = fread(cmdline, 1, MAX_PATH, f);
            cmdline[got] = 0; /* the first argument ends at its own NUL */
            if (linuxPath == cmdline)
                found = fd.cFileName;
            fclose(f);
        }
    } while (found.empty() && FindNextFileA(h, &fd));
    FindClose(h);
    return found;
}

} // namespace

/* timeGetTime counts whole ms of a clock that may be offset from this one by
   a fraction: the offset D in timeGetTime() == floor(NowNs / 1e6 - D), from
   the ticks seen in 100 ms of spinning. */
double TickOffsetMs()
{
    std::vector<double> d;
    DWORD last = timeGetTime();
    long long before = NowNs();
    for (long long until = before + 100000000; NowNs() < until;) {
        long long t0 = NowNs();
        DWORD now = timeGetTime();
        if (now != last)
            d.push_back((double)(t0 + before) / 2e6 - now); /* the tick fell between the two readings */
        last = now;
        before = t0;
    }
    return d.empty() ? 0 : Percentile(d, 0.5);
}

/* MIDM_START just after a tick, so that the stamps' origin is that tick. */
DWORD StartOnTick(UINT port)
{
    for (int tries = 0; tries < 50; tries++) {
        DWORD t = timeGetTime();
        while (timeGetTime() == t) {
        }
        DWORD start = timeGetTime();
        gMid(port, MIDM_START, 0, 0, 0);
        if (timeGetTime() == start)
            return start;
        gMid(port, MIDM_STOP, 0, 0, 0);
    }
    return 0;
}

/* This process, and the Wine server (TOLVEX_SERVER_PID), which answers most of its calls. */
Cpu CpuNow()
{
    static std::string own = OwnLinuxPid();
    return {NowNs(), LinuxCpuMs(own.empty() ? nullptr : own.c_str()), LinuxCpuMs(getenv("TOLVEX_SERVER_PID"))};
}

void Row(const char *name, const std::vector<double> &v)
{
    printf("ROW %s %.3f %.3f %.3f %zu\n", name, Percentile(v, 0.5), Percentile(v, 0.99), Percentile(v, 1.0), v.size());
    fflush(stdout);
}

void CpuRow(const char *name, const Cpu &a, const Cpu &b)
{
    double minutes = (double)(b.at - a.at) / 60e9;
    auto per = [minutes](double x, double y) { return x < 0 || y < 0 ? -1.0 : (y - x) / minutes; };
    printf("ROW %s %.1f %.1f\n", name, per(a.process, b.process), per(a.server, b.server));
    fflush(stdout);
}
