"""The line of a simulated module: a pseudo-terminal in raw mode whose slave
side a symlink points at, so that a Wine prefix can map a COM port to it
(HKLM\\Software\\Wine\\Ports), and the speed the other side has set on it.
Shared by the module simulator (modsim.py) and the soak's linemod.py.
"""
import os
import pty
import select
import termios
import time
import tty

from winelab import point_link

# The speeds a termios setting names; others (31250) have none.
SPEEDS = {getattr(termios, "B%d" % s): s for s in (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)
          if hasattr(termios, "B%d" % s)}


def new_pty():
    """A pty in raw mode at 38400 bit/s: (master fd, slave fd)."""
    master, slave = pty.openpty()
    # Raw on both sides: no echo, no line editing, no CR/LF mapping; a MIDI
    # byte stream must pass through unchanged.
    tty.setraw(master)
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B38400
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave


def line_speed(fd):
    """The speed set on the pty (its settings are shared by both sides and
    every opener), None for one without a standard setting."""
    return SPEEDS.get(termios.tcgetattr(fd)[5])


def numbered(path, n):
    """path, its closing 1 replaced by n: com1 -> com3."""
    if not path.endswith("1"):
        raise ValueError("%s does not end in 1" % path)
    return path[:-1] + str(n)


def open_line(link):
    """A pty in raw mode at 38400 bit/s with link pointing at its slave side:
    (master fd, slave fd, absolute link path)."""
    master, slave = new_pty()
    link = os.path.abspath(link)
    point_link(link, os.ttyname(slave))
    return master, slave, link


def read_chunks(line, size):
    """Yields what arrives at line.master, up to size bytes at a time, while
    line.running holds; nothing is taken off the line while line.held does."""
    while line.running:
        if getattr(line, "held", False):
            time.sleep(0.01)
            continue
        ready, _, _ = select.select([line.master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(line.master, size)
        except OSError:
            # No slave side open at the moment: wait for the next opener.
            time.sleep(0.01)
            continue
        if not data:
            time.sleep(0.01)  # an unplugged line: its descriptor reads /dev/null
            continue
        yield data


def close_line(link, slave_name):
    """Removes link if it still points at this line's pty: a stale link could
    later lead to whatever terminal gets that pty number next."""
    try:
        if os.path.islink(link) and os.readlink(link) == slave_name:
            os.unlink(link)
    except OSError:
        pass
