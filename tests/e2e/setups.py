"""The setups of the scenario table, played around the checked run inside the umockdev
testbed and inside the VM: SETUPS maps each name to a function of the run and the setup line.
"""
import fcntl
import glob
import os
import signal
import subprocess
import threading
import time

import engine

LOCK = "/var/lock/LCK..ttyACM0"


class Run:
    """The checked run of the binary, and what it left: status, ms, problems."""

    def __init__(self, binary, args, work):
        self.binary, self.args, self.work = binary, args, work
        self.out, self.err = (open(os.path.join(work, n), "ab") for n in ("out", "err"))
        self.status, self.ms, self.problems = None, 0, []

    def start(self, stdout=None, stderr=None, argv0=None, args=None, **popen):
        return subprocess.Popen([self.binary if argv0 is None else argv0] + (self.args if args is None else args),
                                executable=self.binary, stdout=stdout or self.out,
                                stderr=stderr or self.err, **popen)

    def wait(self, process):
        try:
            return process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return "none (killed after 20 s)"

    def checked(self, runs=1, **popen):
        """Starts RUNS runs together and waits for them; their statuses must agree."""
        start = time.monotonic()
        processes = [self.start(**popen) for _ in range(runs)]
        for fd in (popen.get("stdout"), popen.get("stderr")):
            if isinstance(fd, int) and fd >= 0:
                os.close(fd)  # the run's end of a pipe is the run's alone
        statuses = sorted({self.wait(p) for p in processes}, key=str)
        self.ended = time.monotonic()
        self.ms = int((self.ended - start) * 1000)
        self.status = statuses[0] if len(statuses) == 1 else " and ".join(map(str, statuses))

    def outcome(self):
        self.out.close()
        self.err.close()
        with open(self.out.name, "rb") as out, open(self.err.name, "rb") as err:
            return engine.Outcome(self.status, out.read(), err.read(), self.ms, self.problems)


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


def wait_for(condition, seconds=10):
    for _ in range(int(seconds / 0.05)):
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def hdb_lock(run, setup):
    """A lock file as lockdev writes it, of a process that runs through the case or of one
    that has ended; a running one's file must be left as it was."""
    lock = open(LOCK, "xb")  # not there before: it would not be this case's
    holder = subprocess.Popen(["true"] if setup == "hdb-lock-of-dead-process" else ["sleep", "60"])
    if setup == "hdb-lock-of-dead-process":
        holder.wait()
    text = b"%10d\n" % holder.pid
    with lock:
        lock.write(text)
    run.checked()
    with open(LOCK, "a+b") as f:
        f.seek(0)
        if holder.poll() is None and f.read() != text:
            run.problems.append("the lock file of a running process was changed or removed")
    os.remove(LOCK)
    holder.kill()
    holder.wait()


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


SETUPS = {
    "": lambda run, _: run.checked(),
    "held-by-another": held_by_another,
    "held-by-hdb-lock": hdb_lock,
    "hdb-lock-of-dead-process": hdb_lock,
    "held-by-flock": held_by_flock,
    "two-runs-at-once": lambda run, _: run.checked(runs=2),
    "stdout-full": lambda run, _: run.checked(stdout=open("/dev/full", "wb")),
    "stdout-closed": lambda run, _: run.checked(preexec_fn=lambda: os.close(1)),
    "stdout-broken-pipe": stdout_broken_pipe,
    "stderr-full": lambda run, _: run.checked(stderr=open("/dev/full", "wb")),
    "stderr-closes-early": stderr_closes_early,
    "argv0-empty": lambda run, _: run.checked(argv0=""),
}
