#!/usr/bin/env python3
"""The driver's main job, for real: TOLVEX.dll (64-bit, under Wine) plays a
Standard MIDI File through its output device to a sound module on COM1, then
asks the module who it is and reads the reply through its input device.

    tools/demo [--file media/demo.mid] [--wav build/demo/demo.wav] [--port /dev/ttyUSB0]

By default the module is the virtual one (tools/vmodule.py): a pty that
Wine's COM1 leads to, which renders what it hears to a WAV file with
FluidSynth. With --port, COM1 leads to that serial device instead and a real
module plays (nothing is rendered then). Builds the win64 preset, makes a
Wine prefix once in build/demo, and ends with a short report. Exit 0 when the
file was played, the identity reply came back and (virtual module) the WAV is
not silent. Run it as tools/demo, which first installs what is missing
(tools/install-deps demo).
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import winelab  # noqa: E402

PORTS = ("COM1", "COM2", "COM3", "COM4")
COMID_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0"
SILENCE_DB = -50.0  # a rendering that peaks below this is taken for silence
STEP_TIMEOUT = 120  # s for a Wine step other than playing
IDENTITY_WAIT_MS = 2000  # how long tolvexctl waits for the reply
HEX_MESSAGE = re.compile(r"\b(f0(?:\s?[0-7][0-9a-f])*\s?f7)\b", re.I)


def say(text):
    print("demo: " + text, flush=True)


def fail(text):
    say("FAILED: " + text)
    sys.exit(1)


def build(build_dir):
    jobs = str(min(os.cpu_count() or 1, 4))
    log = os.path.join(ROOT, "build", "demo-build.log")
    os.makedirs(os.path.dirname(log), exist_ok=True)
    say("building the win64 preset in %s (log: %s)" % (os.path.relpath(build_dir, ROOT), os.path.relpath(log, ROOT)))
    with open(log, "w") as f:
        for cmd in (["cmake", "--preset", "win64", "-B", build_dir], ["cmake", "--build", build_dir, "-j", jobs]):
            if subprocess.run(cmd, cwd=ROOT, stdout=f, stderr=subprocess.STDOUT, timeout=1800).returncode != 0:
                fail("the build failed; the end of its log:\n" + open(log).read()[-3000:])
    dll = os.path.join(build_dir, "driver", "TOLVEX.dll")
    ctl = None
    for here, _, files in os.walk(build_dir):
        if "tolvexctl.exe" in files:
            ctl = os.path.join(here, "tolvexctl.exe")
            break
    if not os.path.exists(dll) or not ctl:
        fail("the build made no %s" % ("TOLVEX.dll" if not os.path.exists(dll) else "tolvexctl.exe"))
    return dll, ctl


def run_live(cmd, env, timeout):
    """Runs a Wine program with its output passed through as it comes;
    (exit code, output). Progress lines rewritten with CR stay on one line."""
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    out = []

    def pump():
        for chunk in iter(lambda: proc.stdout.read1(256), b""):
            text = chunk.decode(errors="replace").replace("\r\n", "\n")
            out.append(text)
            sys.stdout.write(text)
            sys.stdout.flush()

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    try:
        code = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        code = 124
    reader.join(5)
    text = "".join(out)
    if text and not text.endswith("\n"):
        print(flush=True)
    return code, text


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--file", default=os.path.join(ROOT, "media", "demo.mid"), help="Standard MIDI File to play")
    ap.add_argument("--wav", default=os.path.join(ROOT, "build", "demo", "demo.wav"), help="the rendering")
    ap.add_argument("--port", help="a real serial device for COM1 (e.g. /dev/ttyUSB0) instead of the virtual module")
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "win64"), help="win64 build directory")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "demo"), help="prefix and links")
    ap.add_argument("--timeout", type=int, default=600, help="s allowed for playing the file")
    args = ap.parse_args()
    midi, wav = os.path.abspath(args.file), os.path.abspath(args.wav)
    work, build_dir = os.path.abspath(args.work), os.path.abspath(args.build)
    if not os.path.isfile(midi):
        fail("no such file: %s" % midi)
    if args.port and not os.path.exists(args.port):
        fail("no such serial device: %s" % args.port)

    dll, ctl = build(build_dir)
    os.makedirs(work, exist_ok=True)
    link = os.path.join(work, "com1")
    prefix = os.path.join(work, "prefix64")
    started = time.time()
    # COM2 to COM4 lead to links nobody makes: nothing else is reachable.
    ok, how = winelab.make_prefix(winelab.WINE64, prefix, {p: os.path.join(work, p.lower()) for p in PORTS})
    if not ok:
        fail("the Wine prefix: " + how)
    say("Wine prefix %s %s (%.0f s)" % (os.path.relpath(prefix, ROOT), how, time.time() - started))

    module = None
    if args.port:
        winelab.point_link(link, os.path.abspath(args.port))
        say("COM1 -> %s (a real module: nothing is rendered)" % args.port)
    else:
        import vmodule
        os.makedirs(os.path.dirname(wav), exist_ok=True)
        module = vmodule.VirtualModule(link, wav)
        threading.Thread(target=module.reader, daemon=True).start()
        say("COM1 -> virtual module on %s, rendering to %s" % (module.slave_name, os.path.relpath(wav, ROOT)))

    env = winelab.wine_env(prefix)
    try:
        # One server and Wine's own processes for all steps, started with no
        # pipes of ours: a step's output then ends when its program does.
        try:
            subprocess.Popen(["wineserver", "-p"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).wait(10)
        except subprocess.TimeoutExpired:
            pass
        subprocess.run(["timeout", "60", winelab.WINE64, "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=70)
        r = winelab.run([winelab.WINE64, "reg", "add", COMID_KEY, "/v", "COMID", "/t", "REG_DWORD", "/d", "1", "/f"],
                        STEP_TIMEOUT, env)
        if r.returncode != 0:
            fail("storing COMID=1: %s" % r.stderr[-300:])
        host = [winelab.WINE64, ctl, "--driver", winelab.winpath(dll)]

        say("playing %s" % os.path.relpath(midi, ROOT))
        code, played = run_live(host + ["play", winelab.winpath(midi)], env, args.timeout)
        if code != 0:
            fail("tolvexctl play: exit %d" % code)
        rendering = module.finish() if module else None

        say("asking the module who it is (F0 7E 7F 06 01 F7)")
        code, answer = run_live(host + ["identity", "--time", str(IDENTITY_WAIT_MS // 1000)], env, STEP_TIMEOUT)
    finally:
        winelab.run(["wineserver", "-k"], 30, env)
        if module:
            module.running = False
            module.close()
        elif os.path.islink(link):
            os.unlink(link)  # COM1 leads nowhere again until the next run

    sent = re.search(r"(\d+) messages?, (\d+) bytes", played)
    reply = HEX_MESSAGE.search(answer)
    print()
    say("report")
    if sent:
        say("  sent      %s messages, %s bytes (tolvexctl)" % sent.groups())
    if module:
        s = module.stats()
        say("  received  %d messages, %d bytes (the module; with the identity request and the reset at close)" %
            (s["messages"], s["bytes"]))
    failed = []
    if reply:
        data = bytes.fromhex(re.sub(r"\s", "", reply.group(1)))
        what = ""
        if len(data) == 15 and data[:5] == b"\xf0\x7e\x7f\x06\x02":
            what = " (manufacturer 0x%02X, family %d, model %d, version %d.%d.%d.%d)" % (
                data[5], data[6] | data[7] << 7, data[8] | data[9] << 7, *data[10:14])
        say("  identity  %s%s" % (data.hex(" "), what))
    else:
        say("  identity  no reply")
        failed.append("no identity reply")
    if rendering:
        path, seconds, peak, rms = rendering
        say("  wav       %s, %.1f s, peak %.1f dBFS, RMS %.1f dBFS" % (path, seconds, peak, rms))
        if peak < SILENCE_DB:
            failed.append("the WAV is silent")
    if failed:
        fail("; ".join(failed))
    say("done")


if __name__ == "__main__":
    sys.exit(main())
