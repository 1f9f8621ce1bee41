"""The umockdev stage: the Linux binary on simulated devices (tests/data/SET.umockdev), each
device's script played by umockdev-run. Inside the testbed this file runs again, as
umockdev.py WORK BINARY TABLE NAME: it plays the scenario's setup and leaves the outcome in WORK.
"""
import fcntl
import os
import signal
import subprocess
import sys
import tempfile
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

    def start(self, stdout=None, stderr=None, argv0=None, **popen):
        return subprocess.Popen([self.binary if argv0 is None else argv0] + self.args,
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
            if isinstance(fd, int):
                os.close(fd)  # the run's end of a pipe is the run's alone
        statuses = sorted({str(self.wait(p)) for p in processes})
        self.ms = int((time.monotonic() - start) * 1000)
        self.status = " and ".join(statuses)


def held_by_another(run, _):
    first = run.start(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    run.checked()
    run.wait(first)


def hdb_lock(run, setup):
    """A lock file as lockdev writes it, of a process that runs through the case or of one
    that has ended; a running one's file must be left as it was."""
    if os.path.exists(LOCK):
        return run.problems.append("%s exists already" % LOCK)
    holder = subprocess.Popen(["sleep", "30"])
    if setup == "hdb-lock-of-dead-process":
        holder.wait()
    text = b"%10d\n" % holder.pid
    with open(LOCK, "wb") as f:
        f.write(text)
    try:
        run.checked()
        with open(LOCK, "rb") as f:
            if holder.poll() is None and f.read() != text:
                run.problems.append("the lock file of a running process was changed")
    except FileNotFoundError:
        if holder.poll() is None:
            run.problems.append("the lock file of a running process was removed")
    finally:
        holder.kill()
        holder.wait()
        if os.path.exists(LOCK):
            os.remove(LOCK)


def held_by_flock(run, _):
    # util-linux flock(1) holds flock(LOCK_EX) on the tty through the run, as picocom does.
    holder = subprocess.Popen(["flock", "/dev/ttyACM0", "sh", "-c", "echo held; exec sleep 30"],
                              stdout=subprocess.PIPE, start_new_session=True)
    holder.stdout.readline()
    run.checked()
    os.killpg(holder.pid, signal.SIGTERM)
    holder.wait()


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


def add_options(parser):
    parser.add_argument("--binary", required=True)
    parser.add_argument("--data", default=os.path.join(engine.HERE, "..", "data"))


def start(args, scenarios):
    # Lock files live in the machine's /var/lock: runs of other checkouts wait for each other.
    lock = open(os.path.join(tempfile.gettempdir(), "morvek-e2e.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)

    def run(s):
        testbed = ["umockdev-run"]
        if s.on != "none":
            testbed += ["-d", os.path.join(args.data, s.on + ".umockdev")]
        for tty, script in s.plays.items():
            testbed += ["-s", "/dev/%s=%s" % (tty, os.path.join(args.data, script + ".script"))]
        with tempfile.TemporaryDirectory() as work:
            inside = [sys.executable, os.path.abspath(__file__), work, args.binary, args.table, s.name]
            ended = subprocess.run(testbed + ["--"] + inside, timeout=120).returncode
            got = {}
            for name in ("out", "err", "status", "problems"):
                with open(os.path.join(work, name), "rb") as f:
                    got[name] = f.read()
        problems = got["problems"].decode().splitlines()
        if ended:
            problems.append("the testbed ended with status %d (133: a write that the device "
                            "script did not expect)" % ended)
        status, _, ms = got["status"].decode().rpartition(" ")
        o = engine.Outcome(int(status) if status.isdigit() else status or None, got["out"],
                           None if s.setup == "stderr-closes-early" else got["err"], int(ms or 0), problems)
        return o, engine.judge(s, o)
    return run


def inside(work, binary, table, name):
    s = next(s for s in engine.read_table(table, "umockdev") if s.name == name)
    run = Run(binary, [os.fsdecode(a) for a in s.args], work)
    with open(os.path.join(work, "status"), "w") as status, open(os.path.join(work, "problems"), "w") as problems:
        SETUPS[s.setup.split(" ")[0]](run, s.setup)
        status.write("%s %d" % (run.status, run.ms))
        problems.write("".join(p + "\n" for p in run.problems))


if __name__ == "__main__":
    inside(*sys.argv[1:])
