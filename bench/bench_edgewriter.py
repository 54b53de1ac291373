"""Edgewriter: create_net on generated inputs, file and report included.

The generator is the real Graphout (it writes the GraphML network of LIs, a
few milliseconds for 3,000 labels).  Printed lines go to /dev/null during the
timing, for both implementations.
"""
import contextlib
import os
import pathlib
import random
import tempfile

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
    ]
