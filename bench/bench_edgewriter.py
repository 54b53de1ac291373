"""Edgewriter: create_net on generated inputs, file and report included.

The generator is the real Graphout (it writes the GraphML network of LIs, a
few milliseconds for 3,000 labels).  Printed lines go to /dev/null during the
timing, for both implementations; in the cases marked "stdout a file",
sys.stdout is a text file opened on a real file, as a shell redirection gives.
"""
import contextlib
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import benchlib
from benchlib import Case

from pellar.edgewriter import Edgewriter
from plain.edgewriter import Edgewriter as PlainEdgewriter

WORK = pathlib.Path(tempfile.gettempdir()) / f"pellar-bench-edgewriter-{os.getuid()}"

SUBTYPES = ["H1N1", "H3N2", "H5N1", "H5N6", "H5N8", "H7N9", "H9N2", "H10N8", "H6N6"]
PLACES = ["GD", "JS", "SH", "ZJ", "HN", "FJ", "Anhui", "Hubei", "Yunnan", "Guangxi"]


def strain_labels(n, rng):
    """`n` distinct strain labels of 6 to 16 characters (no underscore)."""
    labels = []
    for i in range(n):
        year = rng.choice(["", str(rng.randint(2005, 2024))])
        labels.append(f"{rng.choice(SUBTYPES)}-{rng.choice(PLACES)}{i}{year[2:]}")
    return labels


def sample_zidian(n, rng):
    """`n` entries: isolate lists, segment-length dicts, single names and counts."""
    zidian = {}
    for i in range(n):
        r = i % 4
        if r == 0:
            zidian[f"batch{i}"] = [f"{rng.choice(SUBTYPES)}-iso{i}-{k}" if k % 2 == 0 else rng.randint(1, 99)
                                   for k in range(rng.randint(2, 8))]
        elif r == 1:
            zidian[f"segments{i}"] = {seg: rng.randint(800, 2400) 
                                  for seg in ("PB2", "PB1", "PA", "HA", "NP", "NA", "M1M2", "NS1NS2")}
        elif r == 2:
            zidian[f"host{i}"] = rng.choice(["duck", "chicken", "goose", "quail", "swine"])
        else:
            zidian[f"count{i}"] = rng.randint(0, 500)
    return zidian


def inputs(n_labels, n_entries, seed):
    rng = random.Random(seed)
    return sample_zidian(n_entries, rng), strain_labels(n_labels, rng)


def quietly(fn):
    """fn with standard output sent to /dev/null."""
    def run():
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            fn()
    return run


def to_file(fn, path):
    """fn with sys.stdout a text file on `path` (a real file, as `> path` gives)."""
    def run():
        with open(path, "w") as out:
            saved, sys.stdout = sys.stdout, out
            try:
                fn()
            finally:
                sys.stdout = saved
    return run


HERE = pathlib.Path(__file__).resolve().parent
STAGE = pathlib.Path(__import__("pellar").__file__).resolve().parent.parent

# Peak resident memory during one create_net, in a fresh interpreter: the
# high-water mark of this process image (VmHWM), reset just before the call.
PEAK = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    import bench_edgewriter as b
    from pellar.edgewriter import Edgewriter

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])

    zidian, LIs = b.inputs(int(sys.argv[2]), 1_000, seed=11)
    e = Edgewriter(sys.argv[3] + ".graphml", sys.argv[3] + ".txt")
    with open(sys.argv[3] + ".out", "w") as out:
        sys.stdout = out
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        base = status("VmRSS")
        e.create_net(zidian, LIs, "H5")
        peak = status("VmHWM") - base
    sys.stdout = sys.__stdout__
    print(peak)
""")


def peak_line(n):
    """Peak RSS growth of create_net against the size of the label file it writes."""
    where = WORK / f"peak-{n}"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(STAGE), str(HERE)]))
    done = subprocess.run([sys.executable, "-P", "-c", PEAK, str(HERE), str(n), str(where)], env=env,
                          capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"peak-memory run failed:\n{done.stderr}")
    peak = int(done.stdout.split()[0]) * 1024
    size = (where.with_suffix(".txt")).stat().st_size
    return f"{peak / 2**20:.1f} MiB for a label file of {size / 2**20:.1f} MiB: {peak / size:.2f}x (target <= 2)"


# Ctrl-C during a long create_net: the time from SIGINT to KeyboardInterrupt.
INTERRUPT = textwrap.dedent("""
    import signal, sys, time
    from pellar.edgewriter import Edgewriter
    # A child started from a background job inherits SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    class Text(str):
        pass

    kind, n = sys.argv[1], int(sys.argv[2])
    LIs = "A" * n if kind == "str" else [Text("A")] * n
    e = Edgewriter(None, sys.argv[3])
    import pellar.edgewriter as m
    m.generate_network_file = lambda *args: None
    print("ready", flush=True)
    try:
        while True:
            e.create_net({}, LIs, None)
            print("done", time.monotonic(), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
""")


def interrupt_line(kind, n):
    env = dict(os.environ, PYTHONPATH=str(STAGE))
    child = subprocess.Popen([sys.executable, "-P", "-u", "-c", INTERRUPT, kind, str(n), str(WORK / "interrupt.txt")],
                             env=env, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    try:
        out, _ = child.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return "no KeyboardInterrupt within 120 s of SIGINT (target < 500 ms)"
    calls = out.count("done")
    caught = [float(line.split()[1]) for line in out.splitlines() if line.startswith("interrupted")]
    if not caught:
        return f"not interrupted: {out[-200:]!r}"
    return f"KeyboardInterrupt {1000 * (caught[0] - sent):.1f} ms after SIGINT ({calls} calls had ended; target < 500 ms)"


def pairs(n):
    """Pair labels of n distinct labels: i over multiples of 3, j over even positions from i."""
    return sum(len(range(i + i % 2, n, 2)) for i in range(0, n, 3))


def cases(quick: bool):
    WORK.mkdir(exist_ok=True)
    big, small = (1_000, 200) if quick else (3_000, 600)

    zidian, LIs = inputs(big, 1_000, seed=11)
    native = Edgewriter(str(WORK / "network-big.graphml"), str(WORK / "labels-big.txt"))
    run_big = quietly(lambda: native.create_net(zidian, LIs, "H5"))

    # The floor: only what any implementation must do with the result, the
    # same write() per label and print() per report line, from lists made ahead.
    run_big()
    labels = (WORK / "labels-big.txt").read_text().splitlines(keepends=True)
    seen = {}
    for k in labels:
        text = k[:-1]
        if len(text) % 2 == 0:
            seen.setdefault(text, len(text))
    report = [f"Processing {k}: {v}" for k, v in seen.items()]

    def io_only():
        with open(WORK / "floor.txt", "w") as f:
            for line in labels:
                f.write(line)
        for line in report:
            print(line)

    # LIs of 6,000 distinct labels, stdout a file: against the bulk floor, the
    # same label text and report text written with one write each.
    wide = 2_000 if quick else 6_000
    z_wide, L_wide = inputs(wide, 1_000, seed=11)
    n_wide = Edgewriter(str(WORK / "network-wide.graphml"), str(WORK / "labels-wide.txt"))
    run_wide = to_file(lambda: n_wide.create_net(z_wide, L_wide, "H5"), WORK / "report-wide.txt")
    run_wide()
    wide_labels = (WORK / "labels-wide.txt").read_text()
    wide_report = (WORK / "report-wide.txt").read_text()

    def bulk_floor():
        with open(WORK / "floor-wide.txt", "w") as f:
            f.write(wide_labels)
        sys.stdout.write(wide_report)

    # LIs of equal items: nearly every pair label is present already.
    same = 1_500 if quick else 4_000
    z_same = sample_zidian(20, random.Random(13))
    n_same = Edgewriter(str(WORK / "network-same.graphml"), str(WORK / "labels-same.txt"))
    p_same = PlainEdgewriter(str(WORK / "network-same-plain.graphml"), str(WORK / "labels-same-plain.txt"))
    same_cases = []
    for what, L in (("a list", ["A"] * same), ("a str", "A" * same)):
        same_cases.append(Case(
            "edgewriter", f"create_net LIs {same:,} equal items ({what}), zidian 20, stdout a file",
            to_file(lambda L=L: n_same.create_net(z_same, L, None), WORK / "report-same.txt"),
            to_file(lambda L=L: p_same.create_net(z_same, L, None), WORK / "report-same-plain.txt"),
            repeat=3, target=">= 10x plain"))

    z_small, L_small = inputs(small, 200, seed=12)
    n_small = Edgewriter(str(WORK / "network-small.graphml"), str(WORK / "labels-small.txt"))
    p_small = PlainEdgewriter(str(WORK / "network-small-plain.graphml"), str(WORK / "labels-small-plain.txt"))

    return [
        Case("edgewriter", f"create_net LIs {big:,} ({pairs(big):,} pairs), zidian 1,000", run_big,
             None, floor=quietly(io_only), repeat=5, target="< 1 s",
             plain_note="not run (quadratic label test: hours)",
             extra={"labels written": f"{len(labels):,}", "report lines": f"{len(report):,}",
                    "floor": "the same write() and print() calls alone"}),
        Case("edgewriter", f"create_net LIs {small:,} ({pairs(small):,} pairs), zidian 200",
             quietly(lambda: n_small.create_net(z_small, L_small, None)),
             quietly(lambda: p_small.create_net(z_small, L_small, None)), repeat=3, target=">= 100x plain"),
        Case("edgewriter", f"create_net LIs {wide:,} distinct ({pairs(wide):,} pairs), zidian 1,000, stdout a file",
             run_wide, None,
             floor=to_file(bulk_floor, WORK / "report-floor.txt"), repeat=5, target="<= 2x the bulk floor",
             plain_note="not run (quadratic label test: hours)",
             extra={"label file": f"{len(wide_labels.encode()) / 2**20:.1f} MiB",
                    "report": f"{len(wide_report.encode()) / 2**20:.1f} MiB",
                    "floor": "the same label text and report text, one write each, prepared beforehand",
                    **({"peak RSS growth": peak_line(wide),
                        "Ctrl-C, LIs = 'A' * 80,000": interrupt_line("str", 80_000),
                        "Ctrl-C, LIs = [str subclass 'A'] * 80,000 (pair by pair)": interrupt_line("list", 80_000)}
                       if benchlib.FIGURES_BESIDE else {})}),
        *same_cases,
    ]
