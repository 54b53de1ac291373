"""Allocation failures: a call run with the interpreter's k-th allocation failing.

failing_allocations(setup, limit) runs, in a child process, `setup`: code that
defines `call(arg)`, the call itself, and optionally `prepare()`, whose result
is the `arg` of the next call, and `finish(arg)`, which tells what the call did
(files written, lines printed) and puts things back.  Only `call` runs with an
allocation failing.  The clean result is what `call` and `finish` give with
nothing failing.  It counts
the allocations of one call, then for each k of a spread sample of 1..count
(all of them when there are at most `limit`) calls it with allocation k failing
(_testcapi.set_nomemory), and calls it again with nothing failing.  A crash of
the child shows as the k it was at.

The returned Report passes when the child did not crash, every failing call
raised an ordinary exception or gave the clean result (an allocation may fail
harmlessly), and every clean call after it gave the clean result with the
same file descriptors open as before.
"""
import dataclasses
import os
import subprocess
import sys
import textwrap

from conftest import STAGE

CHILD = textwrap.dedent("""
    import faulthandler, gc, json, os, signal, sys
    import _testcapi
    faulthandler.enable()
    # A call that hangs shows where it is when the alarm ends the child.  (No
    # watchdog thread: one starting up would meet the failing allocation.)
    faulthandler.register(signal.SIGALRM, chain=True)
    limit = int(sys.argv[1])
    exec(sys.stdin.read())

    def fds():
        return sorted(os.listdir("/proc/self/fd"))

    prepare = globals().get("prepare", lambda: None)
    finish = globals().get("finish", lambda arg: None)

    def clean_call():
        arg = prepare()
        got = call(arg)
        return repr((got, finish(arg)))

    clean_call()
    clean = clean_call()
    gc.collect()
    open_fds = fds()

    def failing(start, stop):
        arg = prepare()
        try:
            _testcapi.set_nomemory(start, stop)
            try:
                got = call(arg)
            finally:
                _testcapi.remove_mem_hooks()
        finally:
            done = finish(arg)
        return repr((got, done))

    def outcome(start, stop):
        signal.alarm(30)
        try:
            if failing(start, stop) != clean:
                return "not ordinary: a wrong result"
        except MemoryError:
            return "MemoryError"
        except Exception as e:
            return f"{type(e).__name__}: {e}"[:120]
        except BaseException as e:
            return "not ordinary: " + type(e).__name__
        finally:
            signal.alarm(0)
        return "ok"

    # The call's allocations: the least n from which on a failing allocation
    # changes nothing (n and the seven after it), found by doubling, then
    # halving.  (Failing every allocation from some point on is no way to
    # count them: the interpreter's own os.walk, for one, then loops for ever.)
    def quiet(k):
        return all(outcome(j - 1, j) == "ok" for j in range(k, k + 8))

    low, high = 0, 1
    while not quiet(high):
        low, high = high, high * 2
        if high > 1 << 24:
            raise SystemExit("no end to the call's allocations")
    while high - low > 1:
        mid = (low + high) // 2
        low, high = (low, mid) if quiet(mid) else (mid, high)
    count = high
    ks = list(range(1, count + 1))
    if count > limit:
        ks = sorted({1 + (count - 1) * i // (limit - 1) for i in range(limit)})
    print(json.dumps({"count": count}), flush=True)
    for k in ks:
        print(json.dumps({"at": k}), flush=True)
        got = outcome(k - 1, k)
        again = clean_call()
        gc.collect()
        print(json.dumps({"k": k, "got": got, "clean": again == clean, "fds": fds() == open_fds}), flush=True)
""")


@dataclasses.dataclass
class Report:
    count: int = 0
    tried: int = 0
    outcomes: dict = dataclasses.field(default_factory=dict)  # outcome -> number of k
    bad: list = dataclasses.field(default_factory=list)       # (k, what went wrong)
    crashed_at: int | None = None
    stderr: str = ""

    @property
    def passed(self):
        return self.crashed_at is None and not self.bad and self.tried > 0

    def __str__(self):
        where = f"crashed at k={self.crashed_at}: {self.stderr[-1500:]}" if self.crashed_at else "no crash"
        return f"{self.tried} of {self.count} allocations failed in turn, {where}; {self.outcomes}; bad: {self.bad[:5]}"


def failing_allocations(setup, limit=120, cwd=None):
    import json

    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(STAGE), os.path.join(os.path.dirname(__file__), "..",
                                                                                  "bench")]))
    done = subprocess.run([sys.executable, "-P", "-c", CHILD, str(limit)], input=textwrap.dedent(setup),
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=600)
    report, at = Report(stderr=done.stderr), None
    for line in done.stdout.splitlines():
        if not line.startswith("{"):
            continue
        row = json.loads(line)
        if "count" in row:
            report.count = row["count"]
        elif "at" in row:
            at = row["at"]
        else:
            at = None
            report.tried += 1
            report.outcomes[row["got"]] = report.outcomes.get(row["got"], 0) + 1
            if row["got"].startswith("not ordinary"):
                report.bad.append((row["k"], row["got"]))
            if not row["clean"]:
                report.bad.append((row["k"], "the clean call after it gave another result"))
            if not row["fds"]:
                report.bad.append((row["k"], "a file descriptor was left open"))
    if done.returncode != 0:
        report.crashed_at = at if at is not None else -1
    return report
