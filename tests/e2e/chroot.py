# SPDX-License-Identifier: MIT
"""The chroot stage: a statically linked binary in the Debian 11 root (glibc 2.31) that
scripts/install-deps makes with debootstrap, its devices the sysfs trees of
tests/data/SET.umockdev, each played tty a pseudo-terminal bound on /dev/ttyACMn. As root, in
a mount namespace of its own, it mounts over the root's /tmp, /run, /proc, /dev and /sys,
then enters the root itself, so that the setups see what the binary sees; the root stays as
it was. A tty that plays nothing has no node.
"""
import ctypes
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import termios

import engine
import player
import setups

SETUPS = setups.PLAYED


def add_options(parser):
    parser.add_argument("--root", default=os.path.join(engine.CACHE, "debian-bullseye-amd64"))
    parser.add_argument("--binary", required=True)


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def prepare(args, scenarios):
    root = args.root
    if not os.path.exists(root + "/.complete"):
        sys.exit("no Debian 11 root in %s (scripts/install-deps debian makes it)" % root)
    about = subprocess.run(["chroot", root, "sh", "-c", '. /etc/os-release; echo "$PRETTY_NAME"; ldd --version'],
                           stdout=subprocess.PIPE, text=True).stdout.split("\n")
    print("== Debian 11 root: %s, %s" % tuple(about[:2]), flush=True)
    if ctypes.CDLL(None, use_errno=True).unshare(0x20000):  # CLONE_NEWNS
        sys.exit("no mount namespace of its own (root needed): " + os.strerror(ctypes.get_errno()))
    mount("--make-rprivate", "/")
    for kind, folder in (("tmpfs", "tmp"), ("tmpfs", "run"), ("proc", "proc"), ("tmpfs", "dev")):
        mount("-t", kind, "morvek-" + folder, os.path.join(root, folder))
    os.mkdir(root + "/run/lock")
    for node in ("null", "full", "zero", "urandom"):
        open(root + "/dev/" + node, "w").close()
        mount("--bind", "/dev/" + node, root + "/dev/" + node)
    os.mkdir(root + "/dev/pts")
    mount("--bind", "/dev/pts", root + "/dev/pts")
    os.symlink("pts/ptmx", root + "/dev/ptmx")
    shutil.copy(args.binary, root + "/tmp/morvek")
    shutil.copytree(args.data, root + "/tmp/data")
    os.mkdir(root + "/tmp/sys-none")
    # umockdev's testbed holds a set's tree under $UMOCKDEV_DIR/sys, its links relative.
    for name in {s.on for s in scenarios} - {"none"}:
        subprocess.run(["umockdev-run", "-d", os.path.join(args.data, name + ".umockdev"), "--", "sh", "-c",
                        'cp -a "$UMOCKDEV_DIR/sys" "$0"', root + "/tmp/sys-" + name], check=True)
    os.chroot(root)
    os.chdir("/")

    def run(s):
        mount("--bind", "/tmp/sys-" + s.on, "/sys")
        r = setups.Run("/tmp/morvek", [os.fsdecode(a) for a in s.args], tempfile.mkdtemp())
        r.player, fds, ttys = player.Player(), [], []
        for name, script in s.plays.items():
            fds += player.pseudo_terminal(r.player, name, "/tmp/data/%s.script" % script)
            ttys.append("/dev/" + name)
            open(ttys[-1], "w").close()
            mount("--bind", os.ttyname(fds[-1]), ttys[-1])
        # A tty leaves exclusive mode at its last close, which our hold on the slaves prevents.
        r.released = lambda: [fcntl.ioctl(fd, termios.TIOCNXCL) for fd in fds[1::2]]
        r.player.start()
        try:
            SETUPS[s.setup.split(" ")[0]](r, s.setup)
        except (RuntimeError, OSError) as error:
            r.problems.append("cannot play it: %r" % error)
        r.problems += r.player.finish()[0]
        setups.left_behind(r)
        for path in ttys:
            subprocess.run(["umount", path], check=True)
            os.remove(path)
        for fd in fds:
            os.close(fd)
        subprocess.run(["umount", "/sys"], check=True)
        return r.outcome()
    return run
