#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end runs of morvek.exe under Wine on simulated devices.

Each scenario of the table that every system suite plays (tests/e2e/scenarios.txt) writes
its devices into Wine's registry (the SetupAPI view), links each
dosdevices/comN to a pseudo-terminal and plays the device's script (tests/data/*.script,
the umockdev format the Linux suite uses) on the pty master. Wine must already be up
(scripts/test-windows keeps one wineserver running) with the modem-line shim preloaded.

Usage: wine_suite.py --wine WINE --exe MORVEK_EXE --data DIR --table SCENARIOS
                     [--only NAME] [--repeat N]
"""
import argparse
import os
import pty
import re
import select
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
from xml.etree import ElementTree

INTERFACE_CLASS = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"  # GUID_DEVINTERFACE_USB_DEVICE
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
BUS_DESCRIPTION = r"{540b947e-8b40-45bc-a8a2-6a0b894cbda2}\0004"  # DEVPKEY_Device_BusReportedDeviceDesc
HKLM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet"


class Device:
    def __init__(self, instance, com, script, location, description, usb_id):
        self.instance, self.com, self.script = instance, com, script
        self.location, self.description, self.usb_id = location, description, usb_id


def unescape(text):
    """The table's escapes: \\t \\n \\r \\e \\\\ and \\xHH."""
    named = {"t": b"\t", "n": b"\n", "r": b"\r", "e": b"\x1b", "\\": b"\\"}
    out, i, raw = bytearray(), 0, text.encode()
    while i < len(raw):
        c = chr(raw[i])
        if c == "\\" and i + 1 < len(raw):
            nxt = chr(raw[i + 1])
            if nxt in named:
                out += named[nxt]
                i += 2
                continue
            if nxt == "x" and re.fullmatch(rb"[0-9a-fA-F]{2}", raw[i + 2:i + 4]):
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
        out.append(raw[i])
        i += 1
    return bytes(out)


def for_wine(pairs):
    """KEY@wine takes the place of KEY, other suites' keys are dropped; the repeatable keys
    keep every value."""
    plain, wine = {}, {}
    repeated = {"play": [], "arg": [], "stderr-has": [], "stdout-has": [], "skip": []}
    for key, value in pairs:
        base, _, suite = key.partition("@")
        if suite and suite != "wine":
            continue
        if base in repeated:
            repeated[base].append(value)
        elif base in ("output", "output-file"):
            # One expected output, given as text or as a file.
            (wine if suite else plain)["output"] = (base, value)
        else:
            (wine if suite else plain)[base] = value
    plain.update(wine)
    plain.update(repeated)
    return plain


def read_table(path, select):
    """The device sets (name: each device's fields, through select) and the scenarios
    (name, their lines as (key, rest) pairs) of the table. The VM suite reads it too."""
    sets, scenarios, current = {}, [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, _, rest = line.partition(" ")
            if key == "devices":
                current = sets.setdefault(rest, [])
            elif key == "device":
                current.append(select([tuple(field.split("=", 1)) for field in rest.split()]))
            elif key == "scenario":
                current = []
                scenarios.append((rest, current))
            elif current is None:
                sys.exit("%s:%d: %s outside a scenario" % (path, number, key))
            else:
                current.append((key, rest))
    return sets, scenarios


def version_text():
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "VERSION")) as f:
        return f.read().strip()


def cases(table, data):
    """The table's scenarios as Wine cases: name, devices, expected output, status, the
    least and most milliseconds from the last command a device received to the end of the
    run (from the start where no device is asked), the arguments; None for a skipped one."""
    sets, scenarios = read_table(table, for_wine)
    for name, fields in ((name, for_wine(pairs)) for name, pairs in scenarios):
        reason = [r.split(" ", 1)[1] for r in fields["skip"] if r.split(" ", 1)[0] == "wine"]
        if reason:
            yield name, None, reason[0]
            continue
        if "setup" in fields:
            raise ValueError("%s: setup %s has no Wine form" % (name, fields["setup"]))
        scripts = dict(play.split() for play in fields["play"])
        devices = []
        for index, d in enumerate(sets.get(fields.get("on", "none"), [])):
            tty = d.get("tty")
            vendor, product = d.get("id", "04d8:000a").upper().split(":")
            com = int(d["com"]) if "com" in d else (int(tty[6:]) + 1 if tty else None)
            devices.append(Device("1-%d" % (index + 1), com, scripts.get(tty),
                                  unescape(d.get("location", "Port_#%04d.Hub_#0001" % (index + 1))).decode(),
                                  unescape(d.get("product", "")).decode(),
                                  "VID_%s&PID_%s" % (vendor, product)))
        kind, text = fields.get("output", ("output", ""))
        if kind == "output-file":
            with open(os.path.join(data, text), "rb") as f:
                expected = f.read()
        else:
            expected = unescape(text.replace("@VERSION@", version_text()))
        min_ms, max_ms = (int(t) for t in fields["time"].split())
        yield name, (devices, expected, int(fields["status"]), min_ms, max_ms,
                     [unescape(a).decode() for a in fields["arg"]],
                     [unescape(t) for t in fields["stderr-has"]],
                     [unescape(t) for t in fields["stdout-has"]]), None


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


def version_blocks(data, offset=0):
    """One block of a VS_VERSIONINFO resource and its children: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    key = data[offset + 6:end].decode("utf-16-le")
    pos = (end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    value = value.decode("utf-16-le").rstrip("\0") if kind == 1 else value
    pos = (pos + size + 3) & ~3
    children = []
    while pos < offset + length:
        child, child_end = version_blocks(data, pos)
        children.append(child)
        pos = (child_end + 3) & ~3
    return (key, value, children), offset + length


def resource(exe, kind):
    return subprocess.run(["wrestool", "-x", "--raw", "--type=%d" % kind, "--name=1", exe],
                          stdout=subprocess.PIPE, check=True).stdout


# Windows 10 and 11 in a manifest's supportedOS list.
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def check_resources(exe):
    """The version information that Explorer shows and the manifest that Windows reads when
    it starts the exe (resource 1 of type RT_MANIFEST)."""
    faults = []
    version = version_text()
    parts = [int(p) for p in version.split(".")] + [0, 0, 0]
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "LICENSE")) as f:
        holder = re.search(r"Copyright \(c\) (.+)", f.read()).group(1)
    data = resource(exe, 16)
    if not data:
        faults.append("no version resource")
    else:
        (key, fixed, children), _ = version_blocks(data)
        strings = {k: v for block in children if block[0] == "StringFileInfo"
                   for table in block[2] for k, v, _ in table[2]}
        signature, _, ms, ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        quad = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
        if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
            faults.append("no VS_VERSION_INFO with a fixed file info")
        if quad != parts[:4] or (product_ms, product_ls) != (ms, ls):
            faults.append("file version %s, expected %s" % (quad, parts[:4]))
        for name in ("FileVersion", "ProductVersion"):
            if strings.get(name) != version:
                faults.append("%s %r, expected %r" % (name, strings.get(name), version))
        if strings.get("ProductName") != "morvek" or not strings.get("FileDescription"):
            faults.append("ProductName or FileDescription wrong: %r" % strings)
        if holder not in strings.get("LegalCopyright", ""):
            faults.append("LegalCopyright %r lacks %r" % (strings.get("LegalCopyright"), holder))
    try:
        manifest = ElementTree.fromstring(resource(exe, 24))
        levels = [e.get("level") for e in manifest.iter("{urn:schemas-microsoft-com:asm.v3}"
                                                         "requestedExecutionLevel")]
        systems = [e.get("Id") for e in manifest.iter("{urn:schemas-microsoft-com:"
                                                       "compatibility.v1}supportedOS")]
        if levels != ["asInvoker"]:
            faults.append("manifest asks for execution level %s, not asInvoker" % levels)
        if WINDOWS_10 not in systems:
            faults.append("manifest does not name Windows 10 and 11 as supported: %s" % systems)
    except ElementTree.ParseError as error:
        faults.append("no readable manifest: %s" % error)
    print("%s version_resource_and_manifest %s" % ("FAIL" if faults else "ok  ",
                                                   "; ".join(faults)))
    return not faults


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


def registry(devices, all_ids):
    """A .reg that drops every simulated device, then adds this case's ones."""
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[-%s\Control\DeviceClasses\%s]" % (HKLM, INTERFACE_CLASS)]
    lines += [r"[-%s\Enum\USB\%s]" % (HKLM, usb_id) for usb_id in sorted(all_ids)]
    for d in devices:
        instance = "USB\\%s\\%s" % (d.usb_id, d.instance)
        interface = "##?#USB#%s#%s#%s" % (d.usb_id, d.instance, INTERFACE_CLASS)
        hardware_ids = ("USB\\%s&REV_0100\0USB\\%s\0\0" % (d.usb_id, d.usb_id)).encode("utf-16-le")
        lines += ["", r"[%s\Control\DeviceClasses\%s\%s]" % (HKLM, INTERFACE_CLASS, interface),
                  '"DeviceInstance"=%s' % reg_string(instance),
                  "", r"[%s\Enum\%s]" % (HKLM, instance),
                  '"ClassGUID"=%s' % reg_string(PORTS_CLASS),
                  '"HardwareID"=%s' % reg_hex(7, hardware_ids),
                  ] + ([] if d.com is None else [
                  '"FriendlyName"=%s' % reg_string("USB Serial Device (COM%d)" % d.com)]) + [
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
            if d.com is None:
                continue
            link = os.path.join(dosdevices, "com%d" % d.com)
            if os.path.lexists(link):
                os.remove(link)
            if d.script is None:
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


def run_case(args, dosdevices, name, case, all_ids):
    devices, expected, status, min_ms, max_ms, arguments, stderr_has, stdout_has = case
    # UTF-16 as Windows writes it: in an 8-bit file regedit would widen the bytes of hex(7).
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, encoding="utf-16-le",
                                     newline="") as reg:
        reg.write("\ufeff" + registry(devices, all_ids))
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
        run = subprocess.Popen([args.wine, args.exe] + arguments, stdout=out, stderr=err)
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
    faults += ["standard output lacks %r" % text for text in stdout_has if text not in output]
    if output != expected and not stdout_has:
        faults.append("output %r, expected %r" % (output[:80], expected[:80]))
    if not min_ms <= ms <= max_ms:
        faults.append("ended %d ms after the %s, expected %d to %d ms"
                      % (ms, "last command" if player.last_command else "start", min_ms, max_ms))
    # Wine's own messages (its client, its debug channels) are not the program's.
    stderr = b"".join(line for line in stderr.splitlines(keepends=True)
                      if not re.match(rb"wine(:| client error)|[0-9a-f]{4}:(fixme|err|warn):", line))
    faults += ["standard error lacks %r" % text for text in stderr_has if text not in stderr]
    if stderr and not stderr_has:
        faults.append("wrote to standard error")
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
    parser.add_argument("--table", required=True)
    parser.add_argument("--only")
    parser.add_argument("--repeat", type=int, default=1, help="run each case N times")
    args = parser.parse_args()
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    table = list(cases(args.table, args.data))
    all_ids = {d.usb_id for _, case, _ in table if case for d in case[0]}
    passed = failed = skipped = 0
    if not args.only:
        checks = [check_imports(args.exe), check_resources(args.exe)]
        passed, failed = checks.count(True), checks.count(False)
    for name, case, reason in [c for c in table for _ in range(args.repeat)]:
        if args.only and name != args.only:
            continue
        if case is None:
            print("skip %s: %s" % (name, reason))
            skipped += 1
        elif run_case(args, dosdevices, name, case, all_ids):
            passed += 1
        else:
            failed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
