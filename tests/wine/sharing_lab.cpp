/*
 * The sharing group's means: the programs it starts (the test host again,
 * as "sharechild") with a line each way over their pipes, COM1's shared
 * record as the driver names it, and the line split by program.
 */
#include "groups.h"
#include "sharing.h"

#include <cstdio>

namespace
{
constexpr DWORD kStartWait = 20000; /* ms for a program to start and load the library */

/* The test host again, as one program of the group, with its pipes. */
bool Start(Child &c, const std::wstring &host, const std::wstring &dll)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE inRead, outWrite;
    if (!CreatePipe(&inRead, &c.in, &sa, 0))
        return false;
    if (!CreatePipe(&c.out, &outWrite, &sa, 0)) {
        CloseHandle(inRead);
        CloseHandle(c.in);
        return false;
    }
    SetHandleInformation(c.in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(c.out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    std::wstring cmd = L"\"" + host + L"\" sharechild \"" + dll + L"\"";
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessW(host.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (ok) {
        CloseHandle(pi.hThread);
        c.process = pi.hProcess;
    }
    return ok;
}

} // namespace

/* The child's next line, or "" when none came in time. */
std::string Hear(Child &c, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        size_t nl = c.buf.find('\n');
        if (nl != std::string::npos) {
            std::string line = c.buf.substr(0, nl - (nl > 0 && c.buf[nl - 1] == '\r')); /* its stdout is text */
            c.buf.erase(0, nl + 1);
            return line;
        }
        DWORD avail = 0, got = 0;
        char chunk[4096];
        if (!PeekNamedPipe(c.out, nullptr, 0, nullptr, &avail, nullptr) || GetTickCount() - start > ms)
            return std::string();
        if (avail == 0) {
            Sleep(2);
            continue;
        }
        if (ReadFile(c.out, chunk, std::min<DWORD>(avail, sizeof chunk), &got, nullptr))
            c.buf.append(chunk, got);
    }
}

void Tell(Child &c, const std::string &cmd)
{
    std::string line = cmd + "\n";
    DWORD wrote;
    WriteFile(c.in, line.data(), (DWORD)line.size(), &wrote, nullptr);
}

std::string Ask(Child &c, const std::string &cmd, DWORD ms)
{
    Tell(c, cmd);
    return Hear(c, ms);
}

void End(Child &c)
{
    if (!c.process)
        return;
    Tell(c, "quit");
    if (WaitForSingleObject(c.process, kWait) != WAIT_OBJECT_0)
        TerminateProcess(c.process, kTerminated);
    for (HANDLE h : {c.process, c.in, c.out})
        CloseHandle(h);
    c = Child();
}

/* A program of the given build, up and with the library loaded. */
bool Ready(Child &c, const std::wstring &host, const std::wstring &dll)
{
    unsigned long pid = 0;
    int bits = 0;
    if (host.empty() || !Start(c, host, dll))
        return false;
    if (sscanf(Hear(c, kStartWait).c_str(), "ready %lu %d", &pid, &bits) != 2) {
        End(c);
        return false;
    }
    c.pid = pid;
    c.bits = bits;
    return true;
}

std::wstring Env(const char *name)
{
    const char *v = getenv(name);
    return v ? Wide(v) : std::wstring();
}

/* "Local\tolvex.<session>.com1.<kind>": the driver's name of COM1's objects. */
std::wstring ObjectName(const wchar_t *kind)
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return L"Local\\tolvex." + std::to_wstring(session) + L".com1." + kind;
}

std::vector<double> SimTimes()
{
    std::string a = SimAsk("TIMES");
    std::vector<double> v;
    for (size_t at = a.find(' '); at != std::string::npos && at + 1 < a.size(); at = a.find(',', at + 1))
        v.push_back(atof(a.c_str() + at + 1));
    return v;
}

/* The wire split into messages, each given to the program whose channel
   or exclusive tag it carries; empty when every byte found its place,
   else why not. */
std::string Attribute(const std::vector<BYTE> &wire, std::vector<std::vector<BYTE>> *per, int programs)
{
    BYTE running = 0;
    char why[160] = "";
    for (size_t i = 0; i < wire.size() && !why[0];) {
        if (wire[i] == 0xF0) {
            size_t j = i + 1;
            while (j < wire.size() && wire[j] < 0x80)
                j++;
            int k = i + 1 < wire.size() ? wire[i + 1] - kShareTag : -1;
            if (j == wire.size() || wire[j] != 0xF7 || k < 0 || k >= programs)
                snprintf(why, sizeof why, "the exclusive message at byte %zu (tag %d) is entered by %02x at byte %zu",
                         i, k, j < wire.size() ? wire[j] : 0, j);
            else
                per[k].emplace_back(wire.begin() + i, wire.begin() + j + 1);
            running = 0;
            i = j + 1;
            continue;
        }
        if (wire[i] >= 0x80)
            running = wire[i++];
        if ((running & 0xF0) != 0x90 || (running & 0x0F) >= programs || i + 2 > wire.size() || wire[i] >= 0x80 ||
            wire[i + 1] >= 0x80) {
            snprintf(why, sizeof why, "no program's message at byte %zu (status %02x)", i, running);
            break;
        }
        per[running & 0x0F].push_back({running, wire[i], wire[i + 1]});
        i += 2;
    }
    return why;
}
