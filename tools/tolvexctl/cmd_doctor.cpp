/*
 * doctor: one line for each thing that decides whether the driver works
 * (its registration and file for each architecture, Windows MIDI Services,
 * the stored port, the input mode), with what to do; it changes nothing.
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
} // namespace

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

    /* A brief open and close, as the driver opens it. */
    DWORD port;
    if (!ReadPort(&port).empty()) {
        Say("problem", "port: none is stored, so the devices cannot open: run tolvexctl port N (or tolvexctl config)");
    } else {
        std::string com = "COM" + std::to_string(port);
        HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(port)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD why = GetLastError();
        DCB dcb;
        dcb.DCBlength = sizeof dcb;
        bool serial = h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (serial) {
            Say("ok", "port: " + com + " opens (opened and closed again)");
        } else if (h != INVALID_HANDLE_VALUE) {
            Say("problem", "port: " + com +
                               " opens but answers as no serial port: store the port of the module's "
                               "adapter (Device Manager, Ports) with tolvexctl port N");
        } else if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) {
            Say("problem", "port: " + com +
                               " does not exist: plug the adapter in, or store the port it has "
                               "(Device Manager, Ports) with tolvexctl port N");
        } else if (why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION) {
            Say("note", "port: " + com +
                            " is held by another program (a MIDI program with the driver's device open "
                            "holds it too); the driver opens it once that program lets go");
        } else {
            Say("problem", "port: " + com + " cannot be opened (error " + std::to_string(why) + ")");
        }
    }
    Say("ok", ReadLowLatency() ? "input mode: low latency, input read every millisecond (tolvexctl latency)"
                               : "input mode: standard, input read every 10 ms (tolvexctl latency)");
    if (gProblems)
        printf("doctor: %d problem%s would stop the driver from working; what to do is said above\n", gProblems,
               gProblems == 1 ? "" : "s");
    else
        printf("doctor: nothing found that would stop the driver from working\n");
    return gProblems ? kExitFailed : kExitOk;
}
