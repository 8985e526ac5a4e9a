/*
 * The commands that set the driver up: its setup dialog, install and
 * uninstall (the ports are cmd_port.cpp's, doctor, which checks them all,
 * cmd_doctor.cpp's).
 */
#include "commands.h"
#include "install.h"
#include "settings.h"

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
