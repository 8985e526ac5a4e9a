/*
 * tolvexctl: checks and uses a MIDI module on TOLVEX.dll without a MIDI
 * program, in the manner of amidi and aseqdump: list, play, send, dump,
 * config, port, latency, share, status, selftest, identity, install,
 * uninstall, doctor. Commands reach the
 * devices through Devices, either winmm or the DLL loaded directly
 * (--driver).
 */
#include "commands.h"
#include "install.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{
const char kUsage[] = "usage: tolvexctl [--driver PATH] [--device N|mapper] COMMAND ...\n"
                      "  list                    the MIDI devices and their capabilities\n"
                      "  play FILE.mid [--quiet] play a Standard MIDI File (format 0 or 1)\n"
                      "  send FILE.syx | HEX...  send system exclusive or raw messages (\"90 3c 40\")\n"
                      "  dump [--time SECONDS]   print what arrives until Ctrl-C or the time is up\n"
                      "  config                  open the driver's setup dialog\n"
                      "  port                    every port: number, COM, speed, input mode, device names\n"
                      "  port COMn               store port 0's COM port, also above COM4 (port 5: COM5)\n"
                      "  port add COMn [--speed S] [--name NAME]  one more port, a pair of devices\n"
                      "  port N [--com COMn] [--speed S] [--name NAME] [--latency low|standard]\n"
                      "                          change port N (--name \"\": the default name)\n"
                      "  port remove N           remove port N; the later ports move down a number\n"
                      "  latency [low|standard]  show or store the input mode (low: read every ms)\n"
                      "  share on|off            let up to 16 programs at once open the port's devices, or one\n"
                      "  status                  every port: shared or not; the programs that have it open\n"
                      "  selftest                send a pattern and check it comes back (loop-back plug)\n"
                      "  identity [--time S]     ask the module who it is (universal identity request)\n"
                      "  install [DLL]           copy the DLL to the system directory and register it\n"
                      "                          (without DLL: each one beside tolvexctl that Windows takes)\n"
                      "    --reclaim             when midi2 ... midi9 are taken: one that repeats wdmaud.drv\n"
                      "  uninstall [32|64]       remove what install added (without 32|64: every one)\n"
                      "  doctor                  check the installation, the port and the settings\n"
                      "--driver PATH loads TOLVEX.dll itself instead of going through winmm (for Wine).\n"
                      "--device N picks winmm's device N instead of port 0's,\n"
                      "--device mapper winmm's MIDI mapper (not with --driver).\n"
                      "--port N picks port N's devices (play, send, dump, selftest, identity), input\n"
                      "mode (latency) or sharing (share); without it, port 0's.\n"
                      "--version prints tolvexctl's version.\n";

BOOL WINAPI OnCtrl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        gStop = true;
        return TRUE;
    }
    return FALSE;
}

bool ParseOptions(int argc, char **argv, Options *o)
{
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        bool hasValue = k + 1 < argc;
        if (a == "--driver" && hasValue) {
            o->driver = Widen(argv[++k]);
        } else if (a == "--device" && hasValue) {
            char *end;
            std::string v = argv[++k];
            o->device = v == "mapper" ? kDeviceMapper : (int)strtol(v.c_str(), &end, 10);
            if (o->device != kDeviceMapper && (*end != 0 || o->device < 0))
                return false;
        } else if (a == "--port" && hasValue) {
            char *end;
            long n = strtol(argv[++k], &end, 10);
            if (*end != 0 || argv[k][0] == 0 || n < 0 || n >= kMaxPorts)
                return false;
            o->port = (int)n;
        } else if ((a == "--com" || a == "--speed" || a == "--name" || a == "--latency") && hasValue) {
            PortValue &v = a == "--com" ? o->com : a == "--speed" ? o->speed : a == "--name" ? o->name : o->latency;
            v.given = true;
            v.text = argv[++k];
        } else if (a == "--time" && hasValue) {
            char *end;
            o->seconds = strtod(argv[++k], &end);
            if (*end != 0 || o->seconds <= 0)
                return false;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--reclaim") {
            o->reclaim = true;
        } else if (a == "--version") {
            o->version = true;
        } else if (a == "-h" || a == "--help") {
            return false;
        } else if (a.compare(0, 2, "--") == 0) {
            return false;
        } else if (o->command.empty()) {
            o->command = a;
        } else {
            o->args.push_back(a);
        }
    }
    return !o->command.empty() || o->version;
}
} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (o.port != kPortNone && o.device != kDeviceByName) {
        Fail("--port and --device both pick a device: give one of them");
        return kExitUsage;
    }
    if (o.device == kDeviceMapper && !o.driver.empty()) {
        Fail("the MIDI mapper is winmm's: --device mapper does not go with --driver");
        return kExitUsage;
    }
    if (o.version) {
        printf("tolvexctl %s (%d-bit)\n", TOLVEX_VERSION, NativeBits());
        return kExitOk;
    }
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    InitInput();

    if (o.command == "port")
        return CmdPort(o);
    if (o.command == "latency")
        return CmdLatency(o);
    if (o.command == "share")
        return CmdShare(o);
    if (o.command == "status")
        return CmdStatus(o);
    if (o.command == "install")
        return CmdInstall(o);
    if (o.command == "uninstall")
        return CmdUninstall(o);
    if (o.command == "doctor")
        return CmdDoctor();

    const char *const kDeviceCommands[] = {"list", "play", "send", "dump", "config", "selftest", "identity"};
    bool known = false;
    for (const char *c : kDeviceCommands)
        known = known || o.command == c;
    if (!known) {
        Fail("unknown command \"" + o.command + "\"");
        fputs(kUsage, stderr);
        return kExitUsage;
    }

    std::string error;
    std::unique_ptr<Devices> dev(o.driver.empty() ? OpenWinmmDevices() : OpenDriverDevices(o.driver, &error));
    if (!dev) {
        Fail(error);
        return kExitFailed;
    }
    if (o.command == "list")
        return CmdList(dev.get());
    if (o.command == "play")
        return CmdPlay(dev.get(), o);
    if (o.command == "send")
        return CmdSend(dev.get(), o);
    if (o.command == "dump")
        return CmdDump(dev.get(), o);
    if (o.command == "config")
        return CmdConfig(dev.get());
    if (o.command == "identity")
        return CmdIdentity(dev.get(), o);
    return CmdSelftest(dev.get(), o);
}
