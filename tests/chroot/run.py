#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs a morvek binary inside another distribution's root with chroot, a case at a time.

run.py ROOT BINARY VERSION SYSFS-ONE

Must run in a mount namespace of its own (scripts/test-bullseye starts it under unshare):
it mounts over ROOT's /tmp, /run, /proc, /dev and /sys. SYSFS-ONE is the sysfs tree of
tests/data/one.umockdev as umockdev lays it out; its device's port, /dev/ttyACM0, is the
terminal side of a pseudo-terminal pair whose other side answers the command as the
device does. Without a device, /sys is an empty folder. Prints a line per case and ends
with "N passed, M failed".
"""
import os
import select
import shutil
import subprocess
import sys
import threading

ROOT, BINARY, VERSION, SYSFS_ONE = sys.argv[1:5]
# Found on our PATH: the runs get a PATH of their own.
CHROOT = shutil.which("chroot") or "/usr/sbin/chroot"

# name, arguments, device set, the device's reply (None: nothing behind the port),
# expected standard output (None: not compared), status, a text standard error must hold
# (None: it must be empty)
CASES = [
    ("version", ["--version"], "none", None, None, 0, None),
    ("no_device", [], "none", None, "", 255, None),
    ("no_device_verbose", ["-v"], "none", None, "", 255, "found 0 device(s)"),
    ("list_one", ["--list"], "one", None, "1\tCOM1\t/dev/ttyACM0\t1\tproduct\n", 0, None),
    ("query_one", [], "one", b"ATCD\r\n12.5,3\r\n", "12.5,3", 0, None),
    ("query_one_verbose", ["-v"], "one", b"ATCD\r\n12.5,3\r\n", "12.5,3", 0, "found 1 device(s)"),
]


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def play(master, reply, done):
    """The device: waits for the command, then answers; reads on until the run ends."""
    received = b""
    while not done.is_set():
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(master, 256)
        except OSError:
            continue  # the terminal side is closed between opens
        received += data
        if reply is not None and b"ATCD\r\n" in received:
            os.write(master, reply)
            reply = None


def run_case(args, devices, reply):
    sysfs = SYSFS_ONE if devices == "one" else os.path.join(ROOT, "tmp", "empty-sys")
    os.makedirs(os.path.join(ROOT, "tmp", "empty-sys"), exist_ok=True)
    mount("--bind", sysfs, os.path.join(ROOT, "sys"))
    master, terminal = os.openpty()
    port = os.path.join(ROOT, "dev", "ttyACM0")
    open(port, "w").close()
    mount("--bind", os.ttyname(terminal), port)
    done = threading.Event()
    device = threading.Thread(target=play, args=(master, reply, done))
    device.start()
    try:
        run = subprocess.run([CHROOT, ROOT, "/tmp/morvek", *args], capture_output=True,
                             timeout=20, env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"})
    finally:
        done.set()
        device.join()
        os.close(terminal)
        os.close(master)
        subprocess.run(["umount", port], check=True)
        subprocess.run(["umount", os.path.join(ROOT, "sys")], check=True)
    return run


def main():
    tmp = os.path.join(ROOT, "tmp")
    mount("-t", "tmpfs", "morvek-tmp", tmp)
    mount("-t", "tmpfs", "morvek-run", os.path.join(ROOT, "run"))
    os.makedirs(os.path.join(ROOT, "run", "lock"))
    mount("-t", "proc", "proc", os.path.join(ROOT, "proc"))
    mount("-t", "tmpfs", "-o", "mode=755", "morvek-dev", os.path.join(ROOT, "dev"))
    null = os.path.join(ROOT, "dev", "null")
    open(null, "w").close()
    mount("--bind", "/dev/null", null)
    shutil.copy(BINARY, os.path.join(tmp, "morvek"))

    failed = 0
    for name, args, devices, reply, stdout, status, stderr in CASES:
        run = run_case(args, devices, reply)
        out = run.stdout.decode("latin-1")
        err = run.stderr.decode("latin-1")
        problems = []
        if run.returncode != status:
            problems.append(f"status {run.returncode}, not {status}")
        if name == "version":
            if not out.startswith(f"morvek {VERSION}\n"):
                problems.append(f"--version printed {out!r}")
        elif out != stdout:
            problems.append(f"printed {out!r}, not {stdout!r}")
        if stderr is None and err:
            problems.append(f"standard error not empty: {err!r}")
        if stderr is not None and stderr not in err:
            problems.append(f"standard error lacks {stderr!r}: {err!r}")
        failed += bool(problems)
        print(("FAIL " if problems else "ok   ") + name + "".join("\n    " + p for p in problems))
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
