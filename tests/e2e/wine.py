# SPDX-License-Identifier: MIT
"""The Wine stage: morvek.exe on simulated devices. Each scenario's devices are written into
Wine's registry (the SetupAPI view), each dosdevices/comN is linked to a pseudo-terminal
whose master the device player (player.py) plays. Wine must be up (scripts/test-windows keeps one
wineserver running, with the modem-line shim preloaded).
"""
import os
import re
import subprocess
import tempfile

import engine
import player
import setups

SETUPS = {""}
INTERFACE_CLASS = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"  # GUID_DEVINTERFACE_USB_DEVICE
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
BUS_DESCRIPTION = r"{540b947e-8b40-45bc-a8a2-6a0b894cbda2}\0004"  # DEVPKEY_Device_BusReportedDeviceDesc
HKLM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet"


def usb_id(device):
    vendor, product = device.get("id", b"04d8:000a").decode().upper().split(":")
    return "VID_%s&PID_%s" % (vendor, product)


def com(device):
    """COM<n+1> for ttyACMn, or the set's com@wine."""
    if "com" in device:
        return int(device["com"])
    return int(device["tty"][6:]) + 1 if "tty" in device else None


def reg_string(value):
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


def reg_hex(kind, data):
    return "hex(%s):%s" % (kind, ",".join("%02x" % b for b in data))


def registry(devices, all_ids):
    """A .reg that drops every simulated device, then adds these."""
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[-%s\Control\DeviceClasses\%s]" % (HKLM, INTERFACE_CLASS)]
    lines += [r"[-%s\Enum\USB\%s]" % (HKLM, i) for i in sorted(all_ids)]
    for index, d in enumerate(devices, 1):
        ident, number = usb_id(d), com(d)
        instance = "USB\\%s\\1-%d" % (ident, index)
        location = d.get("location", b"Port_#%04d.Hub_#0001" % index).decode()
        hardware_ids = ("USB\\%s&REV_0100\0USB\\%s\0\0" % (ident, ident)).encode("utf-16-le")
        lines += ["", r"[%s\Control\DeviceClasses\%s\##?#USB#%s#1-%d#%s]" % (HKLM, INTERFACE_CLASS, ident, index, INTERFACE_CLASS),
                  '"DeviceInstance"=%s' % reg_string(instance),
                  "", r"[%s\Enum\%s]" % (HKLM, instance),
                  '"ClassGUID"=%s' % reg_string(PORTS_CLASS),
                  '"HardwareID"=%s' % reg_hex(7, hardware_ids),
                  '"LocationInformation"=%s' % reg_string(location)]
        if number is not None:
            lines.append('"FriendlyName"=%s' % reg_string("USB Serial Device (COM%d)" % number))
        # Wine keeps a DEVPROPTYPE as registry type 0xffff0000 | type (0x12: string).
        lines += ["", r"[%s\Enum\%s\Properties\%s]" % (HKLM, instance, BUS_DESCRIPTION),
                  "@=%s" % reg_hex("ffff0012", (d.get("product", b"").decode() + "\0").encode("utf-16-le"))]
    return "\r\n".join(lines) + "\r\n"


def pseudo_terminals(dosdevices, devices, plays, data, device_player):
    """Links dosdevices/comN of each played device to a new pty that the player plays. The
    links and descriptors to drop afterwards."""
    links, fds = [], []
    for d in devices:
        link = os.path.join(dosdevices, "com%d" % com(d)) if com(d) else None
        if link and os.path.lexists(link):
            os.remove(link)
        script = plays.get(d.get("tty", b"").decode())
        if not link or not script:
            continue
        fds += player.pseudo_terminal(device_player, "COM%d" % com(d), os.path.join(data, script + ".script"))
        os.symlink(os.ttyname(fds[-1]), link)
        links.append(link)
    return links, fds


def add_options(parser):
    parser.add_argument("--wine", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--data", default=os.path.join(engine.HERE, "..", "data"))


def start(args, scenarios):
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    all_ids = {usb_id(d) for s in scenarios for d in s.devices}

    def run(s):
        # UTF-16 as Windows writes it: in an 8-bit file regedit would widen the bytes of hex(7).
        with tempfile.NamedTemporaryFile("w", suffix=".reg", encoding="utf-16-le", newline="") as reg:
            reg.write("\ufeff" + registry(s.devices, all_ids))
            reg.flush()
            subprocess.run([args.wine, "regedit", "/S", reg.name], check=True)
        device_player = player.Player()
        links, fds = pseudo_terminals(dosdevices, s.devices, s.plays, args.data, device_player)
        device_player.start()
        # Files, not pipes: a Wine helper that inherits a pipe could hold it open past the
        # program's end, and the end is what is timed.
        with tempfile.TemporaryDirectory() as work:
            run = setups.Run(args.wine, [args.exe] + [os.fsdecode(a) for a in s.args], work)
            run.checked()
            o = run.outcome()
        faults, last_command = device_player.finish()
        o.problems += faults
        for path in links:
            os.remove(path)
        for fd in fds:
            os.close(fd)
        if last_command:  # timed from the last command a device saw
            o.ms = int((run.ended - last_command) * 1000)
        # Wine's own messages (its client, its debug channels) are not the program's.
        o.stderr = b"".join(line for line in o.stderr.splitlines(keepends=True)
                            if not re.match(rb"wine(:| client error)|[0-9a-f]{4}:(fixme|err|warn):", line))
        return o, engine.judge(s, o, since="last command" if last_command else "start")
    return run
