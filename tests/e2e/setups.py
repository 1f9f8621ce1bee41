# SPDX-License-Identifier: MIT
"""The setups of the scenario table, played around the checked run inside the umockdev
testbed, the chroot and the VM: SETUPS maps each name to a function of the run and the setup
line.
"""
import fcntl
import glob
import os
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time

import engine

try:  # loaded before the chroot stage enters a root whose Python has no ctypes
    import ctypes
    LIBC = ctypes.CDLL(None, use_errno=True)
except ImportError:  # the VM's Python has no libffi
    ctypes = LIBC = None

LOCK = "/var/lock/LCK..ttyACM0"


class Run:
    """The checked run of the binary, and what it left: status, ms, problems."""

    def __init__(self, binary, args, work, root=None):
        self.binary, self.args, self.work, self.root = binary, args, work, root
        self.out, self.err = (open(os.path.join(work, n), "ab") for n in ("out", "err"))
        self.status, self.ms, self.problems, self.err_taken = None, 0, [], False
        self.released = lambda: None  # a stage that holds the ttys open resets them here
        self.copy = None

    def reachable(self):
        """The binary where any user may run it: a clone in a home that only its owner may
        enter is out of reach of the user a case runs it as."""
        if self.copy is None:
            self.copy = tempfile.mkdtemp(prefix="morvek-run-")
            os.chmod(self.copy, 0o755)
            shutil.copy(self.binary, self.copy)
        return os.path.join(self.copy, os.path.basename(self.binary))

    def start(self, stdout=None, stderr=None, argv0=None, args=None, **popen):
        binary = self.binary
        if popen.get("user") is not None and not self.root:
            binary = self.reachable()
        if self.root:
            # Into the root first, then drop to the user: subprocess would drop first.
            ids = [popen.pop(k, None) for k in ("extra_groups", "group", "user")]
            inner = popen.pop("preexec_fn", None)

            def enter(root=self.root):
                os.chroot(root)
                os.chdir("/")
                for change, value in zip((os.setgroups, os.setgid, os.setuid), ids):
                    if value is not None:
                        change(value)
                if inner:
                    inner()
            popen["preexec_fn"] = enter
        return subprocess.Popen([binary if argv0 is None else argv0] + (self.args if args is None else args),
                                executable=binary, stdout=stdout or self.out,
                                stderr=stderr or self.err, **popen)

    def wait(self, process):
        """The status as a POSIX shell sees it (128 + N for an end by signal N)."""
        try:
            status = process.wait(timeout=20)
            return 128 - status if status < 0 else status
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return "none (killed after 20 s)"

    def checked(self, runs=1, **popen):
        """Starts RUNS runs together and waits for them."""
        start = time.monotonic()
        # Standard error put elsewhere by the setup is not the judge's to read.
        self.err_taken = popen.get("stderr") is not None
        processes = [self.start(**popen) for _ in range(runs)]
        for fd in (popen.get("stdout"), popen.get("stderr")):
            if isinstance(fd, int) and fd >= 0:
                os.close(fd)  # the run's end of a pipe is the run's alone
        self.waited(processes, start)

    def waited(self, processes, start):
        """Waits for PROCESSES, started at START (time.monotonic()); their statuses must agree."""
        statuses = sorted({self.wait(p) for p in processes}, key=str)
        self.ended = time.monotonic()
        self.ms = int((self.ended - start) * 1000)
        self.status = statuses[0] if len(statuses) == 1 else " and ".join(map(str, statuses))

    def outcome(self):
        if self.copy:
            shutil.rmtree(self.copy)
        self.out.close()
        self.err.close()
        with open(self.out.name, "rb") as out, open(self.err.name, "rb") as err:
            return engine.Outcome(self.status, out.read(), None if self.err_taken else err.read(), self.ms,
                                  self.problems)


def held_by_another(run, setup):
    """A first run, without the scenario's arguments, holds the port (its lock file is there)
    when the checked one starts; it must end with status 0, having printed the text after the
    setup's name."""
    first = run.start(stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, args=[])
    if not wait_for(lambda: glob.glob("/var/lock/LCK..ttyACM*")):
        run.problems.append("the first run took no lock")
    run.checked()
    printed, _ = first.communicate(timeout=20)
    expected = setup.partition(" ")[2].encode()
    if first.returncode != 0 or printed.strip() != expected:
        run.problems.append("the first run ended with status %d and printed %r, expected 0 and %r"
                            % (first.returncode, printed, expected))


def wait_for(condition, seconds=10, step=0.05):
    for _ in range(int(seconds / step)):
        if condition():
            return True
        time.sleep(step)
    return condition()


def held_by_flock(run, _):
    """A process named flock holds flock(LOCK_EX) on the tty through the run, as util-linux
    flock(1) does for picocom."""
    ready, held = os.pipe()
    holder = os.fork()
    if holder == 0:
        try:
            with open("/proc/self/comm", "w") as comm:
                comm.write("flock")
            fcntl.flock(os.open("/dev/ttyACM0", os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK), fcntl.LOCK_EX)
            os.write(held, b"held")
            signal.pause()
        finally:
            os._exit(1)
    if os.read(ready, 4) != b"held":
        run.problems.append("could not flock the tty")
    run.checked()
    os.kill(holder, signal.SIGKILL)
    os.waitpid(holder, 0)


def stdout_broken_pipe(run, _):
    # A pipe whose reader has gone, SIGPIPE ignored (as Python has it).
    reader, writer = os.pipe()
    os.close(reader)
    run.checked(stdout=writer, restore_signals=False)


def stderr_closes_early(run, _):
    reader, writer = os.pipe()

    def head():  # takes 120 bytes and goes away
        got = 0
        while got < 120 and (chunk := os.read(reader, 120 - got)):
            got += len(chunk)
        os.close(reader)
    threading.Thread(target=head).start()
    run.checked(stderr=writer)


def at_lock_path(run, setup):
    """What another put at the lock path: a lock file as lockdev writes it (or as minicom does,
    an hour old), of a process that runs through the case or has ended (of user daemon, while the run is user nobody's, for
    stale-lock-of-other-user), a FIFO, a directory, or a link to a running process's lock
    file elsewhere. All but our own user's stale lock must be left as they were."""
    holder = None
    if setup == "fifo-at-lock":
        os.mkfifo(LOCK)
    elif setup == "dir-at-lock":
        os.mkdir(LOCK)
    elif setup == "huge-garbled-lock":
        # Anybody's hour-old garbled file of 256 MB, one line (sparse: it costs no disk).
        with open(LOCK, "xb") as f:
            f.write(b"garbled")
            f.truncate(256 << 20)
        os.utime(LOCK, (time.time() - 3600, time.time() - 3600))
    else:
        live = setup in ("held-by-hdb-lock", "held-by-minicom-lock", "link-to-live-lock",
                         "qt-lock-pid-reused", "unreadable-lock-of-other-user")
        holder = subprocess.Popen(["sleep", "60"] if live else ["true"])
        if not live:
            holder.wait()
        target = os.path.join(run.work, "held-lock") if setup == "link-to-live-lock" else LOCK
        with open(target, "xb") as f:  # not there before: it would not be this case's
            # minicom's form: a name and a user after the PID, from a session begun a while ago.
            f.write(b"%10d minicom alice\n" % holder.pid if setup == "held-by-minicom-lock" else
                    # QLockFile's, of a killed run whose PID a sleep has now.
                    b"%d\nmorvek\nhost\n" % holder.pid if setup == "qt-lock-pid-reused" else
                    b"%10d\n" % holder.pid)
        if setup == "held-by-minicom-lock":
            os.utime(target, (time.time() - 3600, time.time() - 3600))
        if target != LOCK:
            os.symlink(target, LOCK)

    def seen():
        st = os.lstat(LOCK) if os.path.lexists(LOCK) else None
        text = open(LOCK, "rb").read(4096) if st and stat.S_ISREG(st.st_mode) else None
        return st and (st.st_mode, st.st_uid, text, os.path.islink(LOCK) and os.readlink(LOCK))
    popen = {}
    if setup in ("stale-lock-of-other-user", "unreadable-lock-of-other-user"):
        os.chown(LOCK, 1, 1)
        if setup == "unreadable-lock-of-other-user":
            os.chmod(LOCK, 0)
        # Nobody may open the tty, and under umockdev read its testbed.
        tty = subprocess.run(["readlink", "-f", "/dev/ttyACM0"], stdout=subprocess.PIPE, text=True).stdout.strip()
        paths = [p for p in (os.environ.get("UMOCKDEV_DIR"), tty) if p]
        subprocess.run(["chmod", "-R", "a+rwX"] + paths)
        popen = {"user": 65534, "group": 65534, "extra_groups": []}
    before = seen()
    run.checked(**popen)
    if setup not in ("hdb-lock-of-dead-process", "huge-garbled-lock", "qt-lock-pid-reused") and seen() != before:
        run.problems.append("what was at the lock path was changed or removed")
    if holder:
        holder.kill()
        holder.wait()
    if os.path.isdir(LOCK) and not os.path.islink(LOCK):
        os.rmdir(LOCK)
    elif os.path.lexists(LOCK):
        os.remove(LOCK)


def signals_at_default():
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE):
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT and SIGABRT dump no core here


def lock_folder_unwritable(run, setup):
    """The run sees /run/lock (and so /var/lock) read-only, in a mount namespace of its own, and a
    FIFO at /tmp/LCK..ttyACM0, where Qt Serial Port falls back to; opening the FIFO would hang
    the run. No lock file may be put in /tmp or taken from it."""
    if LIBC is None:
        run.problems.append("no ctypes here to make a mount namespace")
        return run.checked()

    def read_only():
        # CLONE_NEWNS; MS_REC | MS_PRIVATE, on / or, in a root that is no mount point, on /run;
        # MS_RDONLY
        if (LIBC.unshare(0x20000) != 0
                or all(LIBC.mount(None, top, None, 0x4000 | 0x40000, None) != 0 for top in (b"/", b"/run"))
                or LIBC.mount(b"tmpfs", b"/run/lock", b"tmpfs", 1, b"mode=1777") != 0):
            raise OSError(ctypes.get_errno(), "cannot mount a read-only /run/lock")
    fallback = "/tmp/" + os.path.basename(LOCK)
    try:
        os.mkfifo(fallback)
    except FileExistsError:
        run.problems.append(fallback + " was there before")
        return run.checked()
    locks = lambda: sorted(glob.glob("/tmp/LCK..*"))  # the rest of /tmp is others'
    before = locks()
    try:
        run.checked(preexec_fn=read_only)
    finally:
        after = locks()
        os.remove(fallback)
    if after != before:
        run.problems.append("lock files in /tmp changed: %s" % sorted(set(before) ^ set(after)))


def line_kept_open(run, _):
    """Device 2 (on ttyACM0) is asked again over its open line: its lock file in QLockFile's form
    is one file from its open to the end, never a new one of a close and a reopen."""
    seen, done = set(), threading.Event()

    def watch():
        while not done.is_set():
            try:
                with open(LOCK, "rb") as f:
                    if f.read(64).count(b"\n") > 1:  # ours is HDB's, until Qt's replaces it
                        seen.add(os.fstat(f.fileno()).st_ino)
            except OSError:
                pass
            time.sleep(0.002)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        run.checked()
    finally:
        done.set()
        watcher.join()
    if len(seen) != 1:
        run.problems.append("device 2's line was locked %d times, not once" % len(seen))


def signal_mid_run(run, setup):
    """Once the run's lock file is there (and 0.1 s later) the run is sent the signal; it
    starts with every signal at its default, and may leave no lock file."""
    start = time.monotonic()
    process = run.start(preexec_fn=signals_at_default)
    if not wait_for(lambda: os.path.exists(LOCK) or process.poll() is not None):
        run.problems.append("the run took no lock")
    time.sleep(0.1)
    process.send_signal(getattr(signal, "SIG" + setup.split("-", 1)[1]))
    run.waited([process], start)
    run.problems += ["the run left its lock file %s" % left for left in glob.glob("/var/lock/LCK..*")]


def stderr_stalled(run, _):
    """Standard error on a FIFO whose reader is alive but reads nothing, filled beforehand."""
    path = os.path.join(run.work, "errpipe")
    os.mkfifo(path)
    reader = os.open(path, os.O_RDWR)
    os.write(reader, bytes(65536))
    run.checked(stderr=os.open(path, os.O_WRONLY))
    os.close(reader)


def stdout_stalled(run, setup):
    """Standard output on a FIFO whose reader is alive but reads nothing, filled beforehand.
    Once the trace has a reading for each line opened and no lock file is left, the run
    must still be waiting for its reader; the signal must end it within 100 ms."""
    path = os.path.join(run.work, "outpipe")
    os.mkfifo(path)
    reader = os.open(path, os.O_RDWR)
    os.write(reader, bytes(65536))
    start = time.monotonic()
    process = run.start(stdout=os.open(path, os.O_WRONLY), preexec_fn=signals_at_default)
    def read_all():
        # Every line opened has given its reading, and no lock is held: the ports are closed.
        with open(run.err.name, "rb") as err:
            trace = err.read()
        return 0 < trace.count(b"reading from") == trace.count(b" opened ") and not glob.glob("/var/lock/LCK..*")
    if not wait_for(lambda: read_all() or process.poll() is not None):
        run.problems.append("the run never had its readings with its ports closed")
    time.sleep(0.1)
    if process.poll() is not None:
        run.problems.append("the run ended though its reader read nothing")
    run.problems += ["the run held %s while it waited for its reader" % held for held in glob.glob("/var/lock/LCK..*")]
    sent = time.monotonic()
    process.send_signal(getattr(signal, "SIG" + setup.rsplit("-", 1)[1]))
    run.waited([process], start)
    if run.ended - sent > 0.1:
        run.problems.append("ended %d ms after the signal, expected within 100 ms" % ((run.ended - sent) * 1000))
    os.close(reader)


def left_behind(run):
    """Nothing of a case may outlive it: a lock file left is a fault, removed for the next."""
    for left in glob.glob("/run/lock/LCK..*"):
        run.problems.append("left " + left)
        os.remove(left)


def killed_while_waiting(run, _):
    first = run.start(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, args=[])
    if not wait_for(lambda: run.player.asked):
        run.problems.append("the first run asked nothing")
    first.kill()
    first.wait()
    run.released()
    run.checked()


def unprivileged(run, _):
    for path in glob.glob("/dev/ttyACM*"):
        os.chown(path, 0, 0)
        os.chmod(path, 0o600)
    run.checked(user=65534, group=65534, extra_groups=[])


SETUPS = {
    "": lambda run, _: run.checked(),
    "held-by-another": held_by_another,
    "held-by-hdb-lock": at_lock_path,
    "held-by-minicom-lock": at_lock_path,
    "huge-garbled-lock": at_lock_path,
    "hdb-lock-of-dead-process": at_lock_path,
    "held-by-flock": held_by_flock,
    "two-runs-at-once": lambda run, _: run.checked(runs=2),
    "stdout-full": lambda run, _: run.checked(stdout=open("/dev/full", "wb")),
    "stdout-closed": lambda run, _: run.checked(preexec_fn=lambda: os.close(1)),
    "stdout-broken-pipe": stdout_broken_pipe,
    "stderr-full": lambda run, _: run.checked(stderr=open("/dev/full", "wb")),
    "stderr-closes-early": stderr_closes_early,
    "argv0-empty": lambda run, _: run.checked(argv0=""),
    "fifo-at-lock": at_lock_path,
    "dir-at-lock": at_lock_path,
    "link-to-live-lock": at_lock_path,
    "stale-lock-of-other-user": at_lock_path,
    "unreadable-lock-of-other-user": at_lock_path,
    "qt-lock-pid-reused": at_lock_path,
    "lock-folder-read-only": lock_folder_unwritable,
    "line-kept-open": line_kept_open,
    **{"signal-" + name: signal_mid_run
       for name in ("TERM", "INT", "HUP", "PIPE", "QUIT", "ABRT", "USR1", "USR2", "ALRM", "XCPU", "VTALRM")},
    "stderr-stalled": stderr_stalled,
    **{"stdout-stalled-" + name: stdout_stalled for name in ("TERM", "INT", "HUP")},
}
# Where the stage plays the devices itself (run.player) and may change the ttys' owners.
PLAYED = dict(SETUPS, unprivileged=unprivileged, **{"killed-while-waiting": killed_while_waiting})
