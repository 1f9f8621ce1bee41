# SPDX-License-Identifier: MIT
"""The device side of the Wine, chroot and VM stages: plays the .script files of tests/data on pty
masters or gadget serial ports, with the semantics of umockdev's script replay:

    w DELAY BYTES   wait for the program to write BYTES (a different byte is a fault)
    r DELAY BYTES   DELAY ms after the step before, send BYTES in one write
    Q ...           end of the script; input after the last step is left alone
BYTES use umockdev's escapes: ^` is a caret, ^X any other is the byte X - 64.
"""
import os
import pty
import re
import select
import termios
import threading
import time
import tty


def read_script(path):
    ops = []
    with open(path, "rb") as f:
        for line in f.read().split(b"\n"):
            if line.startswith(b"Q"):
                break
            if line and not line.startswith(b"#"):
                op, delay, data = line.split(b" ", 2)
                data = re.sub(rb"\^(.)", lambda m: b"^" if m[1] == b"`" else bytes([m[1][0] - 64]), data)
                ops.append((op.decode(), int(delay), data))
    return ops


def line_faults(fd):
    """What keeps the line of FD (a pty master: its slave's settings) from 19200 8N1 without
    flow control."""
    iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(fd)
    return [text for text, bad in (
        ("speed is not 19200", ispeed != termios.B19200 or ospeed != termios.B19200),
        ("not 8 data bits", cflag & termios.CSIZE != termios.CS8),
        ("parity on", cflag & termios.PARENB), ("two stop bits", cflag & termios.CSTOPB),
        ("flow control on", cflag & termios.CRTSCTS or iflag & (termios.IXON | termios.IXOFF))) if bad]


def pseudo_terminal(device_player, name, script):
    """A new pty whose master the player plays SCRIPT on; its line starts from wrong
    settings, so that the player sees what the program set. Its master and slave."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.CRTSCTS
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    device_player.add(name, master, script, check_line=True)
    return master, slave


class Player(threading.Thread):
    """Plays until finish(); collects every fault. add() each port before start(): with
    check_line its line is checked at its first command; with udc (a gadget's UDC file) the
    gadget is unplugged unplug_ms after its first command. asked: when each command came."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ports, self.faults, self.asked, self.stopping = [], [], [], threading.Event()

    def add(self, name, fd, script, check_line=False, udc=None, unplug_ms=0):
        self.ports.append({"name": name, "fd": fd, "ops": read_script(script), "input": b"", "due": None,
                           "check": check_line, "udc": udc, "unplug_ms": unplug_ms, "unplug_due": None})

    def fault(self, port, text):
        self.faults.append("%s: %s" % (port["name"], text))
        port["ops"] = []

    def advance(self, port, now):
        while port["ops"]:
            op, delay, data = port["ops"][0]
            if op == "w":
                got = port["input"][:len(data)]
                if got != data[:len(got)]:
                    return self.fault(port, "expected a write of %r, got %r" % (data, port["input"]))
                if len(got) < len(data):
                    return
                port["input"] = port["input"][len(data):]
                self.asked.append(now)
                wrong, port["check"] = line_faults(port["fd"]) if port["check"] else [], False
                if wrong:
                    return self.fault(port, "line settings at the first command: " + ", ".join(wrong))
                if port["udc"] and port["unplug_due"] is None:
                    port["unplug_due"] = now + port["unplug_ms"] / 1000.0
            else:
                port["due"] = port["due"] or now + delay / 1000.0
                if now < port["due"]:
                    return
                os.write(port["fd"], data)  # one burst, one write
                port["due"], now = None, time.monotonic()
            port["ops"].pop(0)
        port["input"] = b""

    def run(self):
        while not self.stopping.is_set():
            live = [p for p in self.ports if p["fd"] is not None]
            dues = [d for p in live for d in (p["due"], p["unplug_due"]) if d]
            wait = min([0.05] + [max(0.0, d - time.monotonic()) for d in dues])
            readable = select.select([p["fd"] for p in live], [], [], wait)[0]
            now = time.monotonic()
            for p in live:
                try:
                    got = os.read(p["fd"], 4096) if p["fd"] in readable else None
                except OSError:
                    got = b""
                if got == b"":  # hung up: the gadget went away
                    p["fd"] = None
                    continue
                p["input"] += got or b""
                self.advance(p, now)
                if p["unplug_due"] and now >= p["unplug_due"]:
                    with open(p["udc"], "w") as udc:
                        udc.write("\n")
                    p["udc"] = p["unplug_due"] = None

    def finish(self):
        """The faults; when the last command came (time.monotonic()) or None."""
        self.stopping.set()
        self.join()
        return self.faults, self.asked[-1] if self.asked else None
