/*
 * doctor: one line for each thing that decides whether the driver works
 * (its registration and file for each architecture, Windows MIDI Services,
 * each port: whether it opens at its speed, its name, its input mode), with
 * what to do; it changes nothing. And the look at a port that port and
 * doctor take.
 */
#include "commands.h"
#include "install.h"
#include "settings.h"

#include <cstdio>
#include <vector>

namespace
{
int gProblems;

/* One line of doctor's report: "ok", "note" (worth knowing) or "problem"
   (stops the driver from working), and what to do. */
void Say(const char *kind, const std::string &what)
{
    gProblems += kind[0] == 'p';
    printf("%-8s %s\n", kind, what.c_str());
}

/* What the driver does with port n's settings: a brief open, asked for the
   speed as the driver asks; the speed, the name and the input mode. With
   one port its lines say "port", as they always did. */
void CheckPort(const std::vector<PortSetting> &ports, size_t n)
{
    const PortSetting &p = ports[n];
    std::string label = ports.size() == 1 ? "port" : "port " + std::to_string(n);
    std::string store = n == 0 ? "tolvexctl port N" : "tolvexctl port " + std::to_string(n) + " --com COMn";
    std::string com = "COM" + std::to_string(p.com), speed = std::to_string(p.baud) + " bit/s";
    DWORD why = 0;
    if (!p.comError.empty())
        Say("problem", label + ": " + p.comError + ", so its devices cannot open: store one with " + store +
                           (n == 0 ? " (or tolvexctl config)" : ""));
    else if (p.baudFails)
        Say("problem",
            label + ": " + p.baudNote + ": store another with tolvexctl port " + std::to_string(n) + " --speed S");
    else
        switch (CheckLine(p.com, p.baud, &why)) {
        case Line::kTakes:
            Say("ok", label + ": " + com + " opens at " + speed + " (opened and closed again)");
            break;
        case Line::kRefuses:
            Say("problem", label + ": " + com + " opens but refuses " + speed + " (error " + std::to_string(why) +
                               "): store a speed it takes with tolvexctl port " + std::to_string(n) + " --speed S");
            break;
        case Line::kNotSerial:
            Say("problem", label + ": " + com +
                               " opens but answers as no serial port: store the port of the module's adapter (Device "
                               "Manager, Ports) with " +
                               store);
            break;
        case Line::kMissing:
            Say("problem", label + ": " + com +
                               " does not exist: plug the adapter in, or store the port it has (Device Manager, "
                               "Ports) with " +
                               store);
            break;
        case Line::kHeld:
            Say("note", label + ": " + com +
                            " is held by another program (a MIDI program with the driver's device open holds it "
                            "too); the driver opens it once that program lets go");
            break;
        default:
            Say("problem", label + ": " + com + " cannot be opened (error " + std::to_string(why) + ")");
        }
    if (!p.baudFails && !p.baudNote.empty())
        Say("note", label + ": " + p.baudNote);
    if (!p.nameNote.empty())
        Say("note", label + ": " + p.nameNote);
    std::string latency = ports.size() == 1 ? "tolvexctl latency" : "tolvexctl latency --port " + std::to_string(n);
    Say("ok",
        label + " input mode: " +
            (p.lowLatency ? "low latency, input read every millisecond (" : "standard, input read every 10 ms (") +
            latency + ")");
}
} // namespace

Line CheckLine(DWORD com, DWORD baud, DWORD *error)
{
    *error = 0;
    HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(com)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND     ? Line::kMissing
               : *error == ERROR_ACCESS_DENIED || *error == ERROR_SHARING_VIOLATION ? Line::kHeld
                                                                                    : Line::kFailed;
    }
    DCB found, asked = {};
    found.DCBlength = asked.DCBlength = sizeof(DCB);
    Line line = Line::kNotSerial;
    if (GetCommState(h, &found)) {
        /* Built from the text alone, into a record of its own, as the driver builds it. */
        std::wstring text = L"com" + std::to_wstring(com) + L":" + std::to_wstring(baud) + L",n,8,1";
        line = BuildCommDCBW(text.c_str(), &asked) && SetCommState(h, &asked) ? Line::kTakes : Line::kRefuses;
        *error = line == Line::kRefuses ? GetLastError() : 0;
        SetCommState(h, &found);
    }
    CloseHandle(h);
    return line;
}

int CmdDoctor()
{
    printf("tolvexctl %s (%d-bit) on %d-bit Windows\n", TOLVEX_VERSION, NativeBits(), WindowsBits());
    std::vector<int> missing, archs = {WindowsBits()};
    if (WindowsBits() == 64)
        archs.push_back(32);
    for (int bits : archs) {
        Registration r = ReadRegistration(bits);
        std::string who = std::to_string(bits) + "-bit driver: ";
        std::string view = WindowsBits() == 64 ? " (the " + std::to_string(bits) + "-bit view)" : "";
        if (!r.error.empty()) {
            Say("problem", who + r.error);
            continue;
        }
        std::string file = Narrow(r.file);
        if (!r.ours.empty() && r.fileThere)
            Say("ok", who + "Drivers32 " + Narrow(r.ours) + view + " names it, and " + file + " is there");
        else if (!r.ours.empty())
            Say("problem", who + "Drivers32 " + Narrow(r.ours) + view + " names it, but " + file +
                               " is missing: run tolvexctl install");
        if (r.ours == L"midi" || r.ours == L"midi1")
            Say("note", who + Narrow(r.ours) + " is Windows' own slot (" +
                            (r.ours == L"midi" ? "its synthesizer" : "Windows MIDI Services") +
                            "), which Windows puts back: run tolvexctl install to move the driver to midi2 ... midi9");
        for (const std::wstring &name : r.strays)
            Say(r.ours.empty() ? "problem" : "note",
                who + "Drivers32 " + Narrow(name) + view + " names it, but winmm reads only midi, midi1 ... midi9: " +
                    "run tolvexctl install, which registers it in a free slot and removes " + Narrow(name));
        if (r.ours.empty() && r.strays.empty()) {
            missing.push_back(bits);
            if (r.fileThere)
                Say("note", who + file + " is there but not registered: run tolvexctl install");
        }
        if (!r.midiSrv)
            Say("ok", "Windows MIDI Services" + view + ": off (no MidiSrvTransferComplete 1)");
        else if (IsWindowsMidiPair(r))
            Say("ok", "Windows MIDI Services" + view +
                          ": on, and its entries are in place (midi wdmaud.drv, midi1 "
                          "wdmaud2.drv)");
        else
            Say("note", "Windows MIDI Services" + view + ": on, but midi is " +
                            (r.midi.empty() ? "empty" : Narrow(r.midi)) + " and midi1 is " +
                            (r.midi1.empty() ? "empty" : Narrow(r.midi1)) +
                            " where it wants wdmaud.drv and wdmaud2.drv; its repair tool puts them back (doctor "
                            "changes nothing)");
    }
    if (missing.size() == archs.size())
        Say("problem", "the driver is not installed: run tolvexctl install from the folder of the release zip");
    else
        for (int bits : missing)
            Say("note", std::to_string(bits) + "-bit driver: not installed, so " + std::to_string(bits) +
                            "-bit programs do not see it: tolvexctl install adds it");

    std::string unread;
    std::vector<PortSetting> ports = ReadPorts(&unread);
    for (size_t n = 0; n < ports.size(); n++)
        CheckPort(ports, n);
    if (!unread.empty())
        Say("note", unread);
    if (gProblems)
        printf("doctor: %d problem%s would stop the driver from working; what to do is said above\n", gProblems,
               gProblems == 1 ? "" : "s");
    else
        printf("doctor: nothing found that would stop the driver from working\n");
    return gProblems ? kExitFailed : kExitOk;
}
