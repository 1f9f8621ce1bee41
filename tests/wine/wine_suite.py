#!/usr/bin/env python3
"""End-to-end runs of morvek.exe under Wine on simulated devices.

Each case writes its devices into Wine's registry (the SetupAPI view), links each
dosdevices/comN to a pseudo-terminal and plays the device's script (tests/data/*.script,
the umockdev format the Linux suite uses) on the pty master. Wine must already be up
(scripts/test-windows keeps one wineserver running) with the modem-line shim preloaded.

Usage: wine_suite.py --wine WINE --exe MORVEK_EXE --data DIR [--only NAME] [--repeat N]
"""
import argparse
import os
import pty
import select
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

INTERFACE_CLASS = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"  # GUID_DEVINTERFACE_USB_DEVICE
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
BUS_DESCRIPTION = r"{540b947e-8b40-45bc-a8a2-6a0b894cbda2}\0004"  # DEVPKEY_Device_BusReportedDeviceDesc
TOOL_ID = "VID_04D8&PID_000A"
FOREIGN_ID = "VID_046D&PID_C52B"
HKLM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet"


class Device:
    def __init__(self, instance, com, script, location="", description="", usb_id=TOOL_ID,
                 linked=True):
        self.instance, self.com, self.script = instance, com, script
        self.location, self.description, self.usb_id, self.linked = (
            location, description, usb_id, linked)


def tool(instance, com, script, number_in_location=None, number_in_description=None, **kw):
    return Device(instance, com, script,
                  location=("ZR_SERIES__%s" % number_in_location if number_in_location is not None
                            else "Port_#000%s.Hub_#0001" % instance[-1]),
                  description=("ZR_SERIES__%s" % number_in_description
                               if number_in_description is not None else "USB Serial Device"),
                  **kw)


def version_line():
    """What --version prints: the project version that the build was given."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "VERSION")) as f:
        return b"morvek %s\n" % f.read().strip().encode()


# name, devices, expected output (bytes, or a file name in the data folder), status, and
# the least and most milliseconds from the last command a device received to the end of
# the run. Where no device is asked, the bound is from the start and only shows a hang:
# it holds Wine's start, which a loaded machine can stretch past a second. A last field,
# when there, holds the program's arguments.
CASES = [
    ("one_device", [tool("1-1", 3, "reply-12.5", number_in_description=5)], b"12.5,3", 0, 0, 900),
    ("two_devices_listed_2_then_1",
     [tool("1-1", 3, "reply-7.25", number_in_location=2),
      tool("1-2", 4, "reply-12.5", number_in_description=1)], b"12.5,7.25", 0, 0, 900),
    ("three_devices_third_never_queried",
     [tool("1-1", 3, "reply-7.25", number_in_location=2),
      tool("1-2", 4, "reply-12.5", number_in_description=1),
      tool("1-3", 5, "never-queried", number_in_description=0)], b"12.5,7.25", 0, 0, 900),
    ("no_device", [], b"", 255, 0, 5000),
    ("only_foreign_device",
     [Device("1-1", 3, "never-queried", description="ZR_SERIES__1", usb_id=FOREIGN_ID)],
     b"", 255, 0, 5000),
    ("non_numeric_ids_keep_listed_order",
     [tool("1-1", 3, "reply-a", number_in_description="beta"),
      tool("1-2", 4, "reply-b", number_in_description="alpha")], b"a,b", 0, 0, 900),
    ("silent_single_device", [tool("1-1", 3, "silent", number_in_description=5)],
     b"", 0, 1000, 2000),
    ("silent_slot_1",
     [tool("1-1", 3, "never-queried", number_in_location=2),
      tool("1-2", 4, "silent", number_in_description=1)], b"", 0, 1000, 2000),
    ("silent_slot_2",
     [tool("1-1", 3, "silent", number_in_location=2),
      tool("1-2", 4, "reply-12.5", number_in_description=1)], b"", 0, 1000, 2000),
    ("reply_split_over_two_bursts", [tool("1-1", 3, "reply-split", number_in_description=5)],
     b"12.", 0, 0, 900),
    ("port_without_link",
     [tool("1-1", 3, "silent", number_in_description=5, linked=False)], b"", 0, 0, 5000),
    ("two_digit_port_com12", [tool("1-1", 12, "reply-12.5", number_in_description=5)],
     b"12.5,3", 0, 0, 900),
    ("binary_junk_reply", [tool("1-1", 3, "reply-junk", number_in_description=5)],
     "reply-junk.expected", 0, 0, 900),
    ("list_opens_no_port",
     [tool("1-1", 3, "never-queried", number_in_location=2),
      tool("1-2", 12, "never-queried", number_in_description=1)],
     b"2\tCOM3\t\\\\.\\COM3\t2\tlocation\n1\tCOM12\t\\\\.\\COM12\t1\tproduct\n", 0, 0, 5000,
     ["--list"]),
    # Written to standard output even without a console, where Qt would show a message box.
    ("version_without_console", [], version_line(), 0, 0, 5000, ["--version"]),
    ("verbose_keeps_the_output",
     [tool("1-1", 3, "reply-7.25", number_in_location=2),
      tool("1-2", 4, "reply-12.5", number_in_description=1)], b"12.5,7.25", 0, 0, 900, ["-v"]),
]


# Every DLL the exe may import: parts of Windows itself. A Qt or MinGW runtime DLL here
# would mean the exe does not run on its own.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "mpr.dll", "netapi32.dll",
               "ole32.dll", "oleaut32.dll", "setupapi.dll", "shell32.dll", "user32.dll",
               "userenv.dll", "uuid.dll", "version.dll", "winmm.dll", "ws2_32.dll"}


def check_imports(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], stdout=subprocess.PIPE,
                          check=True, text=True).stdout
    imported = {line.split(":", 1)[1].strip().lower()
                for line in dump.splitlines() if "DLL Name:" in line}
    foreign = sorted(imported - SYSTEM_DLLS)
    print("%s imports_only_system_dlls (%s)" % ("FAIL" if foreign or not imported else "ok  ",
                                                ", ".join(sorted(imported))))
    return bool(imported) and not foreign


def decode(text):
    """umockdev's escapes: ^` is a caret, ^X any other is the byte X - 64."""
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == 0x5E and i + 1 < len(text):
            out.append(0x5E if text[i + 1] == 0x60 else text[i + 1] - 64)
            i += 2
        else:
            out.append(text[i])
            i += 1
    return bytes(out)


def read_script(path):
    ops = []
    with open(path, "rb") as f:
        for line in f.read().split(b"\n"):
            if not line or line.startswith(b"#"):
                continue
            op, delay, data = line.split(b" ", 2)
            if op == b"Q":
                break
            ops.append((op.decode(), int(delay), decode(data)))
    return ops


def reg_string(value):
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


def reg_hex(kind, data):
    return "hex(%s):%s" % (kind, ",".join("%02x" % b for b in data))


def registry(devices):
    """A .reg that drops every simulated device, then adds this case's ones."""
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[-%s\Control\DeviceClasses\%s]" % (HKLM, INTERFACE_CLASS)]
    lines += [r"[-%s\Enum\USB\%s]" % (HKLM, usb_id) for usb_id in (TOOL_ID, FOREIGN_ID)]
    for d in devices:
        instance = "USB\\%s\\%s" % (d.usb_id, d.instance)
        interface = "##?#USB#%s#%s#%s" % (d.usb_id, d.instance, INTERFACE_CLASS)
        hardware_ids = ("USB\\%s&REV_0100\0USB\\%s\0\0" % (d.usb_id, d.usb_id)).encode("utf-16-le")
        lines += ["", r"[%s\Control\DeviceClasses\%s\%s]" % (HKLM, INTERFACE_CLASS, interface),
                  '"DeviceInstance"=%s' % reg_string(instance),
                  "", r"[%s\Enum\%s]" % (HKLM, instance),
                  '"ClassGUID"=%s' % reg_string(PORTS_CLASS),
                  '"HardwareID"=%s' % reg_hex(7, hardware_ids),
                  '"FriendlyName"=%s' % reg_string("USB Serial Device (COM%d)" % d.com),
                  '"LocationInformation"=%s' % reg_string(d.location),
                  # Wine keeps a DEVPROPTYPE as registry type 0xffff0000 | type (0x12: string).
                  "", r"[%s\Enum\%s\Properties\%s]" % (HKLM, instance, BUS_DESCRIPTION),
                  "@=%s" % reg_hex("ffff0012", (d.description + "\0").encode("utf-16-le"))]
    return "\r\n".join(lines) + "\r\n"


class Player(threading.Thread):
    """Plays the devices' scripts on pty masters until stopped; collects every fault."""

    def __init__(self, dosdevices, devices, data):
        super().__init__(daemon=True)
        self.faults, self.stopping, self.ports = [], threading.Event(), []
        self.last_command = None
        for d in devices:
            link = os.path.join(dosdevices, "com%d" % d.com)
            if os.path.lexists(link):
                os.remove(link)
            if not d.linked:
                continue
            master, slave = pty.openpty()
            # Start from wrong settings, so the check below sees what the program set.
            tty.setraw(slave)
            attrs = termios.tcgetattr(slave)
            attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.CRTSCTS
            attrs[4] = attrs[5] = termios.B9600
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
            os.symlink(os.ttyname(slave), link)
            self.ports.append({"name": "COM%d" % d.com, "master": master, "slave": slave,
                               "link": link, "ops": read_script(os.path.join(data, d.script + ".script")),
                               "input": b"", "due": None, "checked": False, "broken": False})

    def fault(self, port, text):
        self.faults.append("%s: %s" % (port["name"], text))
        port["broken"] = True

    def check_line(self, port):
        iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(port["slave"])
        wrong = []
        if ispeed != termios.B19200 or ospeed != termios.B19200:
            wrong.append("speed is not 19200")
        if cflag & termios.CSIZE != termios.CS8:
            wrong.append("not 8 data bits")
        if cflag & termios.PARENB:
            wrong.append("parity on")
        if cflag & termios.CSTOPB:
            wrong.append("two stop bits")
        if cflag & termios.CRTSCTS or iflag & (termios.IXON | termios.IXOFF):
            wrong.append("flow control on")
        if wrong:
            self.fault(port, "line settings when the command came: " + ", ".join(wrong))

    def advance(self, port, now):
        ops = port["ops"]
        while ops and not port["broken"]:
            op, delay, data = ops[0]
            if op == "w":
                got = port["input"][:len(data)]
                if got != data[:len(got)]:
                    return self.fault(port, "expected a write of %r, got %r" % (data, port["input"]))
                if len(got) < len(data):
                    return
                port["input"] = port["input"][len(data):]
                self.last_command = now
                if not port["checked"]:
                    port["checked"] = True
                    self.check_line(port)
                ops.pop(0)
                port["due"] = None
            else:
                if port["due"] is None:
                    port["due"] = now + delay / 1000.0
                if now < port["due"]:
                    return
                os.write(port["master"], data)  # one burst, one write
                ops.pop(0)
                port["due"] = None
                now = time.monotonic()
        if port["input"] and not port["broken"]:
            self.fault(port, "unexpected write %r" % port["input"])

    def run(self):
        while not self.stopping.is_set():
            now = time.monotonic()
            dues = [p["due"] for p in self.ports if p["due"] is not None and not p["broken"]]
            timeout = max(0.0, min(dues) - now) if dues else 0.05
            readable, _, _ = select.select([p["master"] for p in self.ports], [], [],
                                           min(timeout, 0.05))
            now = time.monotonic()
            for p in self.ports:
                if p["master"] in readable:
                    p["input"] += os.read(p["master"], 4096)
                self.advance(p, now)

    def finish(self):
        self.stopping.set()
        self.join()
        for p in self.ports:
            os.remove(p["link"])
            os.close(p["master"])
            os.close(p["slave"])
        return self.faults


def run_case(args, dosdevices, case):
    name, devices, expected, status, min_ms, max_ms, *arguments = case
    if isinstance(expected, str):
        with open(os.path.join(args.data, expected), "rb") as f:
            expected = f.read()
    # UTF-16 as Windows writes it: in an 8-bit file regedit would widen the bytes of hex(7).
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, encoding="utf-16-le",
                                     newline="") as reg:
        reg.write("\ufeff" + registry(devices))
    try:
        subprocess.run([args.wine, "regedit", "/S", reg.name], check=True)
    finally:
        os.remove(reg.name)

    player = Player(dosdevices, devices, args.data)
    player.start()
    start = time.monotonic()
    # Files, not pipes: a Wine helper that inherits them could hold a pipe open past the
    # program's end, and the end is what is timed.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        run = subprocess.Popen([args.wine, args.exe] + (arguments[0] if arguments else []),
                               stdout=out, stderr=err)
        try:
            got_status = run.wait(timeout=20)
        except subprocess.TimeoutExpired:
            run.kill()
            run.wait()
            got_status = "none (killed after 20 s)"
        end = time.monotonic()
        out.seek(0)
        err.seek(0)
        output, stderr = out.read(), err.read()
    faults = player.finish()
    ms = int((end - (player.last_command or start)) * 1000)

    if got_status != status:
        faults.append("exit status %s, expected %d" % (got_status, status))
    if output != expected:
        faults.append("output %r, expected %r" % (output[:80], expected[:80]))
    if not min_ms <= ms <= max_ms:
        faults.append("ended %d ms after the %s, expected %d to %d ms"
                      % (ms, "last command" if player.last_command else "start", min_ms, max_ms))
    if faults:
        print("FAIL %s (%d ms)" % (name, ms))
        for f in faults:
            print("    " + f)
        if stderr:
            print("    stderr: %r" % stderr[:400])
    else:
        print("ok   %s (%d ms)" % (name, ms))
    return not faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--only")
    parser.add_argument("--repeat", type=int, default=1, help="run each case N times")
    args = parser.parse_args()
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    passed = failed = 0
    if not args.only:
        ok = check_imports(args.exe)
        passed, failed = int(ok), int(not ok)
    for case in [c for c in CASES for _ in range(args.repeat)]:
        if args.only and case[0] != args.only:
            continue
        if run_case(args, dosdevices, case):
            passed += 1
        else:
            failed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
