# SPDX-License-Identifier: MIT
"""The VM stage's half on the host (vm.py is the half inside the VM): the Linux binary on
Debian's own kernel in QEMU, booted once for all cases, on CDC-ACM gadgets of dummy_hcd that
the kernel's cdc-acm driver binds. prepare builds an
initramfs (busybox, the USB and configfs modules, the binary and its libraries, Debian's
Python without its tests and GUI modules, and tests/e2e with the table and tests/data),
boots it and keeps each "@run NAME OUTCOME" that vm.py prints inside; play hands them to
the judge. The kernel (and another architecture's root) come from the cache: scripts/install-deps
fetches them. A statically linked binary runs inside in a root without a C library.
--record DIR records the device sets vm.RECORDED with umockdev-record into DIR/SET.umockdev.
MORVEK_VM_KVM=1 takes KVM instead of TCG (amd64).
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import engine

MODULES = ("configfs", "dummy_hcd", "libcomposite", "usb_f_acm", "usb_f_ss_lb", "cdc-acm", "usbmon")
# Debian's kernel for ARMv7 boards with a device tree on armhf; QEMU's virt board hands it one.
QEMU = {"amd64": (["qemu-system-x86_64", "-accel", "tcg"], "ttyS0", "x86_64-linux-gnu", "debian"),
        "arm64": (["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57"], "ttyAMA0", "aarch64-linux-gnu", "arm64"),
        "armhf": (["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15"], "ttyAMA0", "arm-linux-gnueabihf", "armhf")}


def add_options(parser):
    parser.add_argument("--arch", choices=QEMU, default="amd64")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--record", metavar="DIR")


def install(path, to):
    os.makedirs(os.path.dirname(to), exist_ok=True)
    shutil.copy(path, to)
    os.chmod(to, 0o755)


def elf(flag, path, pattern):
    text = subprocess.run(["readelf", flag, path], stdout=subprocess.PIPE, text=True, check=True).stdout
    return re.findall(pattern, text)


def add_program(root, target, triplet, path):
    """A program in /usr/bin with its loader and the libraries of its NEEDED entries, walked
    through the target's multiarch folders (ldd cannot run a foreign binary)."""
    install(path, root + "/usr/bin/" + os.path.basename(path))
    for loader in elf("-l", path, r"interpreter: (.*)\]"):
        install(target + loader, root + loader)
    todo = [path]
    while todo:
        for lib in elf("-d", todo.pop(), r"\(NEEDED\).*\[(.*)\]"):
            to = "%s/lib/%s/%s" % (root, triplet, lib)
            found = [p for p in ("%s/lib/%s/%s" % (target, triplet, lib), "%s/usr/lib/%s/%s" % (target, triplet, lib))
                     if os.path.exists(p)]
            if not found:
                sys.exit("%s (for %s) not found in %s" % (lib, path, target))
            if not os.path.exists(to):
                install(found[0], to)
                todo.append(found[0])


def initramfs(args, work):
    qemu, console, triplet, step = QEMU[args.arch]
    kernel = os.path.join(engine.CACHE, "kernel-" + args.arch)
    target = "" if args.arch == "amd64" else os.path.join(engine.CACHE, "debian-" + args.arch, "root")
    for need in (kernel + "/vmlinuz", target + "/usr/bin/python3.11", args.binary):
        if not os.path.exists(need):
            sys.exit("no %s (scripts/install-deps %s fetches the kernel and the root; build the binary first)"
                     % (need, step))
    root = work + "/root"
    for d in ("proc", "sys", "dev", "tmp", "run", "vm/tests/e2e"):
        os.makedirs(os.path.join(root, d))
    install(target + "/bin/busybox", root + "/bin/busybox")
    # The modules the init loads, with what modules.dep says they need.
    with open(kernel + "/modules/modules.dep") as f:
        deps = {path: rest.split() for path, _, rest in (line.strip().partition(":") for line in f)}
    release = open(kernel + "/release").read().strip()
    modules = "%s/lib/modules/%s/" % (root, release)
    for name in glob.glob(kernel + "/modules/modules.*"):
        install(name, modules + os.path.basename(name))
    for path in {p for m, d in deps.items() if os.path.basename(m) in {n + ".ko" for n in MODULES} for p in [m] + d}:
        install(kernel + "/modules/" + path, modules + path)
    add_program(root, target, triplet, args.binary)
    if args.record:
        add_program(root, target, triplet, "/usr/bin/umockdev-record")
        add_program(root, target, triplet, "/usr/bin/udevadm")
    elif not elf("-l", args.binary, r"interpreter:"):
        # The stage's Python brings a C library, so the binary must name none; inside it runs
        # in a root that holds no C library (vm.py).
        if elf("-d", args.binary, r"\(NEEDED\)"):
            sys.exit("%s has no interpreter but needs shared libraries" % args.binary)
        print("%s is statically linked: it runs in a root of its own, without a C library" % args.binary)
        open(root + "/vm/static", "w").close()
    add_program(root, target, triplet, target + "/usr/bin/python3.11")
    os.symlink("python3.11", root + "/usr/bin/python3")
    shutil.copytree(target + "/usr/lib/python3.11", root + "/usr/lib/python3.11", symlinks=True, ignore=shutil.ignore_patterns(
        "test", "idlelib", "tkinter", "ensurepip", "lib2to3", "pydoc_data", "config-*", "site-packages"))
    for name in glob.glob(engine.HERE + "/*.py") + [engine.HERE + "/scenarios.txt"]:
        shutil.copy(name, root + "/vm/tests/e2e/")
    shutil.copytree(args.data, root + "/vm/tests/data")
    shutil.copy(engine.HERE + "/../../VERSION", root + "/vm/")
    install(engine.HERE + "/../vm/init.sh", root + "/init")
    with open(root + "/vm/mode", "w") as f:
        f.write("record" if args.record else "test " + (args.only or ""))
    subprocess.run("find . | cpio -o -H newc --quiet > ../initramfs.cpio", shell=True, cwd=root, check=True)
    if os.environ.get("MORVEK_VM_KVM") == "1" and args.arch == "amd64":
        qemu = ["qemu-system-x86_64", "-accel", "kvm", "-cpu", "host"]
    # The console carries the results; a second serial line carries recorded trees.
    return qemu + ["-m", "1024", "-smp", "2", "-nographic", "-no-reboot", "-serial", "mon:stdio"] + (
        ["-serial", "file:%s/recorded" % work] if args.record else []) + [
        "-kernel", kernel + "/vmlinuz", "-initrd", work + "/initramfs.cpio",
        "-append", "console=%s quiet loglevel=1 panic=-1" % console]


def boot(command):
    """The console from the suite's first line on, and the lines before it."""
    vm = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    timer = threading.Timer(900, vm.kill)
    timer.start()
    raw, console = [], []
    for line in vm.stdout:
        line = line.decode(errors="replace").replace("\r", "").rstrip("\n")
        at = line.find("== VM suite")
        if console or at >= 0 or line.startswith("recorded "):
            console.append(line[max(at, 0):])
            if not line.startswith("@"):
                print(console[-1], flush=True)
        else:
            raw.append(line)
    vm.wait()
    timer.cancel()
    return raw, console


def prepare(args, scenarios):
    with tempfile.TemporaryDirectory() as work:
        raw, console = boot(initramfs(args, work))
        if args.record:
            os.makedirs(args.record, exist_ok=True)
            out = None
            for line in open(work + "/recorded", "rb"):
                if line.startswith(b"== "):
                    out = open(os.path.join(args.record, line.split()[1].decode() + ".umockdev"), "wb")
                elif out:
                    out.write(line)
            sys.exit(0)
    if not any(line.startswith("== VM suite done") for line in console):
        sys.exit("the VM did not finish its cases; its console ended with:\n" + "\n".join((raw + console)[-30:]))
    found, startup = {}, 0
    for key, _, value in (line.partition(" ") for line in console):
        if key == "@startup":
            startup = max(startup, int(value))
        elif key == "@run":
            name, _, outcome = value.partition(" ")
            found[name] = engine.Outcome.loads(outcome)

    def play(s):
        o = found.get(s.name) or engine.Outcome(problems=["the VM recorded no run"])
        o.slack_ms = startup
        return o
    return play
