"""Two builds of pellar side by side: every benchmark case's native call, timed
in paired rounds.

    python bench/compare.py PYTHON_A PYTHON_B [--rounds N] [--quick] [--only MODULE ...]

PYTHON_A and PYTHON_B are interpreters whose environments hold the two builds
(one process cannot load both).  Each runs a worker that makes the cases once;
then, in every round, each case takes one sample in each worker, A and B in
turn (the order swapped every round), so that both see the same state of the
machine.  Per case it prints the medians of A and B and the median of the
paired ratios B/A, with their range.  (`./dev bench-release` compares the
release wheel with the build that `pip install .` makes.)
"""
from __future__ import annotations

import argparse
import importlib
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def make_cases(quick: bool, only: list[str]):
    sys.path.insert(0, str(HERE))
    import benchlib
    from run import MODULES

    benchlib.FIGURES_BESIDE = False
    return [c for name in only or MODULES for c in importlib.import_module(f"bench_{name}").cases(quick)]


def worker(quick: bool, only: list[str]) -> None:
    """Makes the cases, then answers "i" (one sample of case i, in seconds)."""
    cases = make_cases(quick, only)
    import benchlib

    for c in cases:
        c.native()  # warm up
    print(json.dumps([f"{c.module}: {c.name}" for c in cases]), flush=True)
    for line in sys.stdin:
        case = cases[int(line)]
        print(benchlib.sample_seconds(case.native, case.number), flush=True)


def calls(quick: bool, only: list[str], i: int, times: int) -> None:
    """Makes the cases, then calls case i's native function `times` times."""
    case = make_cases(quick, only)[i]
    for _ in range(times):
        case.native()


def instructions(python: str, quick: bool, module: str, i: int) -> int:
    """The instructions of one call of the module's case i (valgrind's
    cachegrind counts them): those of a run that makes the module's cases and
    calls it twice, less those of one that calls it once (the first call warms
    what the second finds)."""
    counts = []
    for times in (1, 2):
        done = subprocess.run(["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
                               os.path.abspath(python), "-P", __file__, "--calls", str(i), str(times),
                               "--only", module, *(["--quick"] if quick else [])],
                              capture_output=True, text=True, cwd=HERE, env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode:
            raise SystemExit(done.stderr[-3000:])
        counts.append(int(re.search(r"I\s+refs:\s+([\d,]+)", done.stderr)[1].replace(",", "")))
    return counts[1] - counts[0]


class Worker:
    def __init__(self, python: str, args: list[str]):
        self.proc = subprocess.Popen([os.path.abspath(python), "-P", __file__, "--worker", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, cwd=HERE)
        self.names = json.loads(self.proc.stdout.readline())

    def sample(self, i: int) -> float:
        self.proc.stdin.write(f"{i}\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def count_instructions(args, passed: list[str]) -> int:
    a = Worker(args.python_a, passed)  # the names of the cases
    a.close()
    print(f"A: {args.python_a}\nB: {args.python_b}\ninstructions of one call (cachegrind)\n")
    print("| case | A | B | B/A |")
    print("|---|---|---|---|")
    for name in a.names:
        module = name.split(":")[0]
        i = [n for n in a.names if n.startswith(module + ":")].index(name)  # among the module's cases
        ia, ib = (instructions(python, args.quick, module, i) for python in (args.python_a, args.python_b))
        print(f"| {name} | {ia / 1e6:,.2f}M | {ib / 1e6:,.2f}M | {ib / ia:.3f} |", flush=True)
    return 0


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.1f} us"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("python_a", nargs="?")
    ap.add_argument("python_b", nargs="?")
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--quick", action="store_true", help="small sizes")
    ap.add_argument("--only", nargs="*", default=[], help="modules to run")
    ap.add_argument("--instructions", action="store_true",
                    help="count the instructions of each case's call (valgrind) instead of timing it")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--calls", nargs=2, type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    passed = (["--quick"] if args.quick else []) + (["--only", *args.only] if args.only else [])
    if args.worker:
        worker(args.quick, args.only)
        return 0
    if args.calls:
        calls(args.quick, args.only, *args.calls)
        return 0
    if not args.python_b:
        ap.error("two interpreters to compare")
    if args.instructions:
        return count_instructions(args, passed)
    a, b = Worker(args.python_a, passed), Worker(args.python_b, passed)
    if a.names != b.names:
        raise SystemExit(f"the builds make different cases:\n{a.names}\n{b.names}")
    print(f"A: {args.python_a}\nB: {args.python_b}\n{args.rounds} paired rounds per case (machine {os.uname().machine})\n")
    print("| case | A (median) | B (median) | B/A (median of rounds) | B/A range |")
    print("|---|---|---|---|---|")
    for i, name in enumerate(a.names):
        ta, tb, ratios = [], [], []
        for r in range(args.rounds):
            first, second = (a, b) if r % 2 == 0 else (b, a)
            s1, s2 = first.sample(i), second.sample(i)
            x, y = (s1, s2) if first is a else (s2, s1)
            ta.append(x)
            tb.append(y)
            ratios.append(y / x)
        print(f"| {name} | {fmt(statistics.median(ta))} | {fmt(statistics.median(tb))} | "
              f"{statistics.median(ratios):.3f} | {min(ratios):.3f}-{max(ratios):.3f} |", flush=True)
    a.close()
    b.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
