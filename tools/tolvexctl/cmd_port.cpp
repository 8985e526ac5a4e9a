/*
 * The ports: port lists them; port COMn stores port 0's, as it always did;
 * port add, port N --com/--speed/--name/--latency and port remove N keep the
 * list of keys that the driver reads. latency shows or stores one port's
 * input mode, share whether programs share it.
 */
#include "commands.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>

namespace
{
constexpr int kComDigitsMax = 3;    /* COM1 to COM256 */
constexpr int kSpeedDigitsMax = 19; /* fits an unsigned 64-bit number: larger is refused as too large */

/* "COM7", "com7" or "7": 1 to 256. */
bool ParseCom(const std::string &a, DWORD *com)
{
    size_t digits = a.compare(0, 3, "COM") == 0 || a.compare(0, 3, "com") == 0 ? 3 : 0;
    if (a.size() == digits || a.size() - digits > kComDigitsMax ||
        a.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    *com = strtoul(a.c_str() + digits, nullptr, 10);
    return *com >= kPortFirst && *com <= kPortLast;
}

int Stored(const std::vector<PortSetting> &ports) { return ports[0].comRead ? (int)ports.size() : 0; }

std::string Quoted(const std::wstring &name) { return "\"" + Narrow(name) + "\""; }

/* What --com, --speed, --name and --latency ask for, checked. */
struct Change {
    DWORD com = 0, baud = 0;
    std::wstring name;
    bool low = false;
};

bool ParseChange(const Options &o, Change *c)
{
    if (o.com.given && !ParseCom(o.com.text, &c->com)) {
        Fail("--com takes a port from COM1 to COM256, not \"" + o.com.text + "\"; nothing stored");
        return false;
    }
    if (o.speed.given) {
        const std::string &t = o.speed.text;
        if (!t.empty() && t.size() > kSpeedDigitsMax && t.find_first_not_of("0123456789") == std::string::npos) {
            Fail("refused --speed " + t + ": " + SpeedProblem(~0ull) + "; nothing stored");
            return false;
        }
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos) {
            Fail("--speed takes a number of bits a second, such as 31250 or 115200, not \"" + t + "\"; nothing stored");
            return false;
        }
        unsigned long long speed = strtoull(t.c_str(), nullptr, 10);
        std::string problem = SpeedProblem(speed);
        if (!problem.empty()) {
            Fail("refused --speed " + t + ": " + problem + "; nothing stored");
            return false;
        }
        c->baud = (DWORD)speed;
    }
    if (o.name.given) {
        c->name = Widen(o.name.text);
        if (c->name.size() > kNameChars) {
            Fail("refused --name: a device's name holds at most 31 characters, \"" + o.name.text + "\" has " +
                 std::to_string(c->name.size()) + "; nothing stored");
            return false;
        }
    }
    if (o.latency.given && o.latency.text != "low" && o.latency.text != "standard") {
        Fail("--latency takes low or standard; nothing stored");
        return false;
    }
    c->low = o.latency.text == "low";
    return true;
}

/* Whether the port takes the speed, said before anything is stored: a
   refusal stores nothing; a port that cannot be looked at now is noted. */
bool SpeedTaken(DWORD com, DWORD baud)
{
    DWORD error = 0;
    std::string port = "COM" + std::to_string(com), speed = std::to_string(baud) + " bit/s";
    switch (CheckLine(com, baud, &error)) {
    case Line::kTakes:
        printf("%s takes %s (opened and closed again)\n", port.c_str(), speed.c_str());
        return true;
    case Line::kRefuses:
        Fail(port + " refuses " + speed + " (error " + std::to_string(error) + "): nothing stored; give a speed " +
             "that the port takes");
        return false;
    case Line::kMissing:
        printf("note: %s does not exist at the moment, so %s is not checked: tolvexctl doctor checks it once it is "
               "there\n",
               port.c_str(), speed.c_str());
        return true;
    case Line::kHeld:
        printf("note: %s is held by another program, so %s is not checked: tolvexctl doctor checks it once it is "
               "free\n",
               port.c_str(), speed.c_str());
        return true;
    case Line::kNotSerial:
        printf("note: %s answers as no serial port\n", port.c_str());
        return true;
    default:
        printf("note: %s cannot be opened (error %lu), so %s is not checked\n", port.c_str(), (unsigned long)error,
               speed.c_str());
        return true;
    }
}

/* Each value given, COMID last: a new port is there only once it is whole. */
std::string StoreChange(const Options &o, const Change &c, int n)
{
    std::string error;
    if (o.speed.given)
        error = StorePortBaud(n, c.baud);
    if (error.empty() && o.name.given)
        error = StorePortName(n, c.name);
    if (error.empty() && o.latency.given)
        error = StoreLowLatency(n, c.low);
    if (error.empty() && o.com.given)
        error = StorePortCom(n, c.com);
    return error;
}

int ShowPorts()
{
    std::string unread;
    std::vector<PortSetting> ports = ReadPorts(&unread);
    if (Stored(ports) == 0 && ports[0].comError == "no port is stored") {
        printf("no port is stored: tolvexctl port add COMn (or tolvexctl port N, tolvexctl config) stores one\n");
        return kExitFailed;
    }
    printf("%-5s %-7s %-10s %-9s %-7s %s\n", "port", "COM", "speed", "input", "shared", "devices (output, input)");
    bool problem = false;
    std::string notes;
    for (size_t n = 0; n < ports.size(); n++) {
        const PortSetting &p = ports[n];
        std::wstring out = DeviceName(ports, n, false), in = DeviceName(ports, n, true);
        std::string com = p.comError.empty() ? "COM" + std::to_string(p.com) : "-";
        printf("%-5zu %-7s %-10lu %-9s %-7s %s\n", n, com.c_str(), (unsigned long)p.baud,
               p.lowLatency ? "low" : "standard", p.shared ? "yes" : "no",
               (out == in ? Quoted(out) : Quoted(out) + ", " + Quoted(in)).c_str());
        std::string label = "port " + std::to_string(n) + ": ";
        for (const std::string *note : {&p.comError, &p.baudNote, &p.nameNote})
            if (!note->empty())
                notes += label + *note + "\n";
        problem = problem || !p.comError.empty() || p.baudFails;
    }
    if (!unread.empty())
        notes += unread + "\n";
    printf("%s", notes.c_str());
    return problem || !unread.empty() ? kExitFailed : kExitOk;
}

int StorePortZero(const Options &o)
{
    DWORD n;
    if (o.args.size() != 1 || !ParseCom(o.args[0], &n)) {
        Fail("port takes one number from 1 to 256 (COM1 to COM256)");
        return kExitUsage;
    }
    std::string error = StorePort(n);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    printf("stored COM%lu; programs that load the driver from now on use it\n", (unsigned long)n);
    /* Only a look: a port held by another program still exists. */
    HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(n)).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD why = GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    else if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
        printf("note: COM%lu does not exist at the moment\n", (unsigned long)n);
    return kExitOk;
}

/* The number N of a stored port: kExitOk, or the exit code with the reason said. */
int ParseStored(const std::string &a, int stored, int *n)
{
    if (a.empty() || a.size() > kComDigitsMax || a.find_first_not_of("0123456789") != std::string::npos) {
        Fail("\"" + a + "\" is no port number: tolvexctl port lists them (0, 1, ...)");
        return kExitUsage;
    }
    long v = strtol(a.c_str(), nullptr, 10);
    if (v >= stored) {
        Fail("no port " + a +
             (stored == 0   ? ": no port is stored (tolvexctl port add COMn)"
              : stored == 1 ? ": there is port 0 only"
                            : ": there are ports 0 to " + std::to_string(stored - 1)));
        return kExitFailed;
    }
    *n = (int)v;
    return kExitOk;
}

int AddPort(const Options &o)
{
    Options add = o;
    Change c;
    add.com.given = true;
    add.com.text = o.args.size() == 2 ? o.args[1] : "";
    if (o.args.size() != 2 || !ParseCom(add.com.text, &c.com)) {
        Fail("port add takes a port from COM1 to COM256: tolvexctl port add COM7 [--speed S] [--name NAME]");
        return kExitUsage;
    }
    if (o.com.given) {
        Fail("port add takes its port without --com: tolvexctl port add COM7");
        return kExitUsage;
    }
    if (!ParseChange(add, &c))
        return kExitUsage;
    int n = Stored(ReadPorts());
    if (n >= kMaxPorts) {
        Fail("the driver reads 16 ports at most, and 16 are stored; nothing stored");
        return kExitFailed;
    }
    if (!SpeedTaken(c.com, o.speed.given ? c.baud : kDefaultBaud))
        return kExitFailed;
    std::string error = ClearPort(n); /* what an earlier port left in the key is not the new one's */
    if (error.empty())
        error = StoreChange(add, c, n);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    printf("added port %d; programs that load the driver from now on see its devices\n", n);
    return ShowPorts();
}

int ChangePort(const Options &o)
{
    std::vector<PortSetting> ports = ReadPorts();
    int n;
    Change c;
    if (o.args.size() != 1) {
        Fail("port N takes its changes as options: tolvexctl port 2 --speed 31250");
        return kExitUsage;
    }
    if (int r = ParseStored(o.args[0], Stored(ports), &n))
        return r;
    if (!ParseChange(o, &c))
        return kExitUsage;
    if ((o.com.given || o.speed.given) &&
        !SpeedTaken(o.com.given ? c.com : ports[n].com, o.speed.given ? c.baud : ports[n].baud))
        return kExitFailed;
    std::string error = StoreChange(o, c, n);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    printf("changed port %d; programs that load the driver from now on use it\n", n);
    return ShowPorts();
}

int RemovePortCommand(const Options &o)
{
    std::vector<PortSetting> ports = ReadPorts();
    int n, stored = Stored(ports);
    if (o.args.size() != 2) {
        Fail("port remove takes the port's number: tolvexctl port remove 2");
        return kExitUsage;
    }
    if (int r = ParseStored(o.args[1], stored, &n))
        return r;
    std::string error = RemovePort(n, stored);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    std::string was = ports[n].comError.empty() ? " (COM" + std::to_string(ports[n].com) + ")" : "";
    std::string moved = n + 2 == stored  ? "; port " + std::to_string(n + 1) + " is now port " + std::to_string(n)
                        : n + 2 < stored ? "; ports " + std::to_string(n + 1) + " to " + std::to_string(stored - 1) +
                                               " moved down a number"
                                         : "";
    printf("removed port %d%s%s%s; programs that load the driver from now on see the change\n", n, was.c_str(),
           moved.c_str(), moved.empty() ? "" : ", and a default name moves with its number");
    if (stored == 1) {
        printf("no port is stored now: tolvexctl port add COMn stores one\n");
        return kExitOk;
    }
    return ShowPorts();
}
} // namespace

int CmdPort(const Options &o)
{
    bool changes = o.com.given || o.speed.given || o.name.given || o.latency.given;
    if (o.port != kPortNone) {
        Fail("port takes the port's number itself: tolvexctl port 2 --speed 31250");
        return kExitUsage;
    }
    if (o.args.empty() && changes) {
        Fail("--com, --speed, --name and --latency go with a port: tolvexctl port 2 --speed 31250, or port add COMn");
        return kExitUsage;
    }
    if (o.args.empty())
        return ShowPorts();
    if (o.args[0] == "add")
        return AddPort(o);
    if (o.args[0] == "remove")
        return changes ? (Fail("port remove takes no options"), kExitUsage) : RemovePortCommand(o);
    return changes ? ChangePort(o) : StorePortZero(o);
}

int CmdLatency(const Options &o)
{
    if (o.args.size() > 1 || (o.args.size() == 1 && o.args[0] != "low" && o.args[0] != "standard")) {
        Fail("latency takes low or standard");
        return kExitUsage;
    }
    int n = o.port == kPortNone ? 0 : o.port;
    if (int r = n > 0 ? ParseStored(std::to_string(n), Stored(ReadPorts()), &n) : kExitOk)
        return r;
    if (o.args.size() == 1) {
        std::string error = StoreLowLatency(n, o.args[0] == "low");
        if (!error.empty()) {
            Fail(error);
            return kExitFailed;
        }
    }
    std::string who = o.port == kPortNone ? "" : "port " + std::to_string(n) + ": ";
    if (ReadPorts()[n].lowLatency)
        printf("%slow: input read every millisecond, stamped within about a millisecond of its arrival\n", who.c_str());
    else
        printf("%sstandard: input read every 10 ms\n", who.c_str());
    if (o.args.size() == 1)
        printf("devices opened from now on use it; a device open now keeps its mode until it is closed\n");
    return kExitOk;
}

int CmdShare(const Options &o)
{
    if (o.args.size() != 1 || (o.args[0] != "on" && o.args[0] != "off")) {
        Fail("share takes on or off: tolvexctl share on [--port N]");
        return kExitUsage;
    }
    int n = o.port == kPortNone ? 0 : o.port;
    if (int r = n > 0 ? ParseStored(std::to_string(n), Stored(ReadPorts()), &n) : kExitOk)
        return r;
    std::string error = StoreShared(n, o.args[0] == "on");
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    PortSetting p = ReadPorts()[n];
    std::string com = p.comError.empty() ? " (COM" + std::to_string(p.com) + ")" : "";
    if (p.shared)
        printf("port %d%s: shared: up to 16 programs at once open each of its devices, through one owner process\n", n,
               com.c_str());
    else
        printf("port %d%s: not shared: one program at a time opens its devices\n", n, com.c_str());
    printf("the port takes it once every program has closed it: tolvexctl status shows who has it open\n");
    return kExitOk;
}
