/*
 * The commands that set the driver up: its setup dialog, the stored port
 * and input mode, install and uninstall; and doctor, which checks them.
 */
#include "commands.h"
#include "install.h"

#include <mmddk.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int CmdConfig(Devices *dev)
{
    std::string error;
    LRESULT r = dev->Configure(nullptr, &error);
    if (r == DRVCNF_RESTART) {
        printf("port stored; programs that load the driver from now on use it\n");
        return kExitOk;
    }
    if (r == DRVCNF_CANCEL) {
        printf("cancelled; nothing changed\n");
        return kExitOk;
    }
    Fail(error.empty() ? "the driver answered " + std::to_string((long long)r) : error);
    return kExitFailed;
}

int CmdPort(const Options &o)
{
    if (o.args.empty()) {
        DWORD port = 0;
        std::string error = ReadPort(&port);
        if (!error.empty()) {
            printf("%s\n", error.c_str());
            return kExitFailed;
        }
        printf("COM%lu\n", (unsigned long)port);
        return kExitOk;
    }
    const std::string &a = o.args[0];
    size_t digits = a.compare(0, 3, "COM") == 0 || a.compare(0, 3, "com") == 0 ? 3 : 0;
    char *end = nullptr;
    unsigned long n = strtoul(a.c_str() + digits, &end, 10);
    if (o.args.size() != 1 || a.size() == digits || *end != 0 || n < kPortFirst || n > kPortLast) {
        Fail("port takes one number from 1 to 256 (COM1 to COM256)");
        return kExitUsage;
    }
    std::string error = StorePort((DWORD)n);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    printf("stored COM%lu; programs that load the driver from now on use it\n", n);
    /* Only a look: a port held by another program still exists. */
    HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(n)).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD why = GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    else if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
        printf("note: COM%lu does not exist at the moment\n", n);
    return kExitOk;
}

int CmdLatency(const Options &o)
{
    if (o.args.size() > 1 || (o.args.size() == 1 && o.args[0] != "low" && o.args[0] != "standard")) {
        Fail("latency takes low or standard");
        return kExitUsage;
    }
    if (o.args.size() == 1) {
        std::string error = StoreLowLatency(o.args[0] == "low");
        if (!error.empty()) {
            Fail(error);
            return kExitFailed;
        }
    }
    if (ReadLowLatency())
        printf("low: input read every millisecond, stamped within about a millisecond of its arrival\n");
    else
        printf("standard: input read every 10 ms\n");
    if (o.args.size() == 1)
        printf("devices opened from now on use it; a device open now keeps its mode until it is closed\n");
    return kExitOk;
}

int CmdInstall(const Options &o)
{
    std::vector<std::wstring> dlls;
    if (!o.args.empty()) {
        dlls.push_back(Widen(o.args[0]));
    } else if (!o.driver.empty()) {
        dlls.push_back(o.driver);
    } else {
        /* From the unpacked release: every DLL beside us that this Windows
           takes, so that 32-bit programs on 64-bit Windows see it too. */
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring s(self, n);
        std::wstring dir = s.substr(0, s.find_last_of(L"\\/") + 1);
        std::string notes;
        dlls = DllsBeside(dir, &notes);
        printf("%s", notes.c_str());
        if (dlls.empty()) {
            Fail("no TOLVEX.dll or TOLVEX32.dll for this Windows in " + Narrow(dir) +
                 ": put it beside tolvexctl or give its path");
            return kExitFailed;
        }
    }
    /* Each architecture on its own: one that cannot be registered leaves
       nothing behind and does not stop the others. */
    std::vector<int> done, failed;
    for (const std::wstring &dll : dlls) {
        std::string report;
        std::string error = Install(dll, o.reclaim, &report);
        printf("%s", report.c_str());
        int bits = DllArchitecture(dll);
        (error.empty() ? done : failed).push_back(bits);
        if (!error.empty())
            Fail(error);
    }
    auto archs = [](const std::vector<int> &v) {
        std::string s;
        for (int bits : v)
            if (bits) /* not 0: a file that is no DLL, said above */
                s += (s.empty() ? "" : " and ") + std::to_string(bits) + "-bit";
        return s;
    };
    if (failed.empty()) {
        printf("installed for %s programs: programs started from now on see \"VeldorNT MIDI Out\" and \"VeldorNT MIDI "
               "In\"\n",
               archs(done).c_str());
        return kExitOk;
    }
    if (done.empty())
        printf("nothing installed: no file copied, no entry written\n");
    else
        printf("installed for %s programs only%s\n", archs(done).c_str(),
               archs(failed).empty() ? "" : (", not for " + archs(failed) + " programs").c_str());
    return kExitFailed;
}

int CmdUninstall(const Options &o)
{
    std::vector<int> archs;
    if (!o.args.empty()) {
        int bits = atoi(o.args[0].c_str());
        if (o.args.size() != 1 || (bits != 32 && bits != 64)) {
            Fail("uninstall takes 32 or 64");
            return kExitUsage;
        }
        archs.push_back(bits);
    } else {
        archs.push_back(NativeBits());
        if (WindowsBits() == 64)
            archs.push_back(NativeBits() == 64 ? 32 : 64);
    }
    for (int bits : archs) {
        std::string report;
        std::string error = Uninstall(bits, &report);
        printf("%s", report.c_str());
        if (!error.empty()) {
            Fail(error);
            return kExitFailed;
        }
    }
    std::string report;
    std::string error = RemoveSettingsIfUnused(&report);
    printf("%s", report.c_str());
    if (!error.empty())
        Fail(error);
    return error.empty() ? kExitOk : kExitFailed;
}

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
