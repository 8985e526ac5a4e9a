"""Wine prefixes whose COM ports lead where we say, for the Wine suite and
the demo: commands with a time limit, the environment, the prefix itself.

A prefix maps each COM port through HKLM\\Software\\Wine\\Ports to a path
of ours (usually a symlink that a module simulator or the demo points at a
pty or a real serial device), and is made once: a marker file says it is
ready.
"""
import os
import shutil
import subprocess
import time

PREFIX_TIMEOUT = 240  # s to make a prefix
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
READY = ".tolvex-ready-2"  # the marker of a prefix made with every COM number taken
COM_NUMBERS = 255  # COM1 to COM255: every number that Ports can take from the machine's serial devices
COM_LEFT = "com256"  # the one that it cannot: the first such device lands there, and nothing here opens it


def run(cmd, timeout, env=None, **kw):
    """subprocess.run with output captured as text; a time-out gives exit 124
    and a program that cannot start 127, instead of an exception."""
    try:
        return subprocess.run(cmd, env=env, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, **kw)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return subprocess.CompletedProcess(cmd, 124, out, "timed out after %d s" % timeout)
    except OSError as e:
        return subprocess.CompletedProcess(cmd, 127, "", str(e))


def stop(proc):
    """Ends a helper process of ours (a module simulator, Xvfb): asked, then told."""
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(prefix, extra=None):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
                "WINEARCH": "win32" if prefix.endswith("32") else "win64"})
    env.pop("DISPLAY", None)
    env.update(extra or {})
    return env


def make_prefix(loader, prefix, ports, regs=()):
    """Makes the prefix unless it is ready: ports maps "COM1" and the rest to
    paths, regs adds (key, name, value) string values. (ok, "made" | "reused"
    | why it failed)."""
    if os.path.exists(os.path.join(prefix, READY)):
        return True, "reused"
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    env = wine_env(prefix)
    r = run(["timeout", str(PREFIX_TIMEOUT), loader, "wineboot", "-i"], PREFIX_TIMEOUT + 10, env)
    if r.returncode != 0:
        return False, "wineboot failed (%d): %s" % (r.returncode, r.stderr[-300:])
    # Wine gives each serial device of the machine (/dev/ttyS*, ttyUSB*,
    # ttyACM*) the first COM number that Ports leaves free: every number is
    # taken, those not asked for by a path that leads nowhere.
    nowhere = os.path.join(prefix, "no-port")
    values = dict(("COM%d" % n, nowhere) for n in range(1, COM_NUMBERS + 1))
    values.update(ports)
    entries = [("HKLM\\Software\\Wine\\Ports", name, path) for name, path in sorted(values.items())]
    ok, why = reg_import(loader, prefix, env, entries + list(regs))
    if not ok:
        return False, why
    # The ports are mapped when the prefix starts: restart it.
    run(["timeout", "30", "wineserver", "-k"], 40, env)
    run(["timeout", "30", "wineserver", "-w"], 40, env)
    run(["timeout", "60", loader, "cmd", "/c", "exit"], 70, env)
    for name, path in ports.items():
        link = os.path.join(prefix, "dosdevices", name.lower())
        target = os.readlink(link) if os.path.islink(link) else None
        if target != path:
            return False, "dosdevices/%s points at %s, not %s" % (name.lower(), target, path)
    machine = [m for m in machine_ports(prefix) if m.split(" -> ")[0].upper() not in ports and
               not m.startswith(COM_LEFT + " ")]
    if machine:
        return False, "COM ports lead to the machine's own serial devices: %s" % ", ".join(machine)
    open(os.path.join(prefix, READY), "w").close()
    return True, "made"


def machine_ports(prefix):
    """The prefix's COM ports that lead to a serial device of the machine
    ("com5 -> /dev/ttyS0"): only those asked for by name may."""
    found = []
    dosdevices = os.path.join(prefix, "dosdevices")
    for name in sorted(os.listdir(dosdevices)) if os.path.isdir(dosdevices) else []:
        link = os.path.join(dosdevices, name)
        if name.startswith("com") and os.path.islink(link) and os.readlink(link).startswith("/dev/"):
            found.append("%s -> %s" % (name, os.readlink(link)))
    return found


def reg_import(loader, prefix, env, entries):
    """(key, name, string value) entries into the prefix's registry in one
    run of reg: (ok, why)."""
    lines = ["REGEDIT4", ""]
    for key in sorted({k for k, _, _ in entries}):
        lines.append("[%s]" % key.replace("HKLM", "HKEY_LOCAL_MACHINE").replace("HKCU", "HKEY_CURRENT_USER"))
        for k, name, value in entries:
            if k == key:
                lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
        lines.append("")
    path = os.path.join(prefix, "tolvex-setup.reg")
    with open(path, "w") as f:
        f.write("\r\n".join(lines) + "\r\n")
    r = run(["timeout", "60", loader, "reg", "import", winpath(path)], 70, env)
    if r.returncode != 0:
        return False, "reg import failed: %s" % r.stderr[-200:]
    return True, ""


def point_link(link, target):
    """Points the symlink at target, replacing what was there in one step."""
    tmp = link + ".tmp"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link)


def start_xvfb():
    """Starts Xvfb on a free display: (process, ":N"), or (None, None)."""
    if not shutil.which("Xvfb"):
        return None, None
    for n in range(90, 200):
        if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
            continue
        proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                return proc, ":%d" % n
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        proc.kill()
    return None, None
