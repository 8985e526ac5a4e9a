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
READY = ".tolvex-ready"


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
    entries = [("HKLM\\Software\\Wine\\Ports", name, path) for name, path in sorted(ports.items())]
    for key, name, value in entries + list(regs):
        r = run(["timeout", "60", loader, "reg", "add", key, "/v", name, "/d", value, "/f"], 70, env)
        if r.returncode != 0:
            return False, "reg add %s %s failed: %s" % (key, name, r.stderr[-200:])
    # The ports are mapped when the prefix starts: restart it.
    run(["timeout", "30", "wineserver", "-k"], 40, env)
    run(["timeout", "30", "wineserver", "-w"], 40, env)
    run(["timeout", "60", loader, "cmd", "/c", "exit"], 70, env)
    for name, path in ports.items():
        link = os.path.join(prefix, "dosdevices", name.lower())
        target = os.readlink(link) if os.path.islink(link) else None
        if target != path:
            return False, "dosdevices/%s points at %s, not %s" % (name.lower(), target, path)
    open(os.path.join(prefix, READY), "w").close()
    return True, "made"


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
