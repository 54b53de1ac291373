"""Genomatch.AIVChina: label look-up, genotype selection and the pairing walk.

The pairing walk of the plain version examines every pair of positions of the
growing candidate list; the native one visits only the pairs that add an entry.
"""
import pathlib
import random
import subprocess
import sys
import textwrap
import time

import benchlib
from benchlib import Case

from pellar.genomatch import Genomatch
from plain.genomatch import Genomatch as PlainGenomatch

BENCH = pathlib.Path(__file__).resolve().parent


def label(idx: int) -> str:
    """A distinct label of the pattern: two capitals and three or more digits."""
    return f"{chr(65 + idx % 26)}{chr(65 + idx // 26 % 26)}{idx:03d}"


def labelled_names(evens: int, odds: int):
    """nWlist and Zidian whose stage 1 gives `evens` names of even length, then
    `odds` of odd length (each label lists a too-short name first)."""
    rng = random.Random(20240501)
    labels, names = [], {}
    for idx in range(evens + odds):
        stem = "".join(rng.choice("acgtnrs") for _ in range(5))
        name = f"g{stem}" if idx < evens else f"go{stem}"  # 6 or 7 characters
        labels.append(label(idx))
        names[label(idx)] = ["abc", name, f"x{name}"]
    return labels, names


def one_char_genotypes(k: int):
    """Zidian and genotype whose stage 2 gives k one-character names (k even),
    then two of two characters."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = {f"GT{t}": [letters[2 * t], letters[2 * t + 1], "zz"] for t in range(k // 2)}
    names["GTX"] = ["dc", "fe", "hg"]
    return names, list(names)


def survey_input(n: int):
    """A label survey: most labels fail the pattern or are not listed; the
    genotype picks a few list entries."""
    rng = random.Random(7)
    labels, names = [], {}
    for idx in range(n):
        kind = rng.random()
        if kind < 0.4:
            labels.append(label(idx))
        elif kind < 0.7:
            labels.append(label(idx).lower())
        else:
            labels.append(rng.choice([idx, None, f"{label(idx)[:2]}-{idx}"]))
        if kind < 0.004:
            names[label(idx)] = ["abc", "g" + "".join(rng.choice("acgt") for _ in range(5)), "gattaca"]
    for t in range(40):
        names[f"gt{t}"] = ["hb" + "".join(rng.choice("acgt") for _ in range(4)) for _ in range(4)]
    genotype = {f"gt{t}" for t in range(0, 40, 13)}
    return labels, names, genotype


def plain_with_timeout(k: int, seconds: float) -> str:
    """Runs the plain version on the one-character input in a child process,
    stopped after `seconds`; returns the text for the table."""
    code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = [{str(BENCH)!r}]
        from bench_genomatch import one_char_genotypes
        from plain.genomatch import Genomatch
        names, genotype = one_char_genotypes({k})
        Genomatch(genotype, "A.csv", "B.csv").AIVChina([], names)
    """)
    t0 = time.perf_counter()
    try:
        subprocess.run([sys.executable, "-P", "-c", code], timeout=seconds, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return f"stopped after {seconds:.0f} s"
    return f"{time.perf_counter() - t0:.1f} s (child process)"


def cases(quick: bool):
    out = []

    def run(cls, genotype, labels, names):
        obj = cls(genotype, "A.csv", "B.csv")
        return lambda: obj.AIVChina(labels, names)

    # 1,000 even-length entries, then 2 odd-length ones: stage 3 adds 8,000
    # entries, and the plain walk examines some 40 million pairs.
    evens = 200 if quick else 1000
    labels, names = labelled_names(evens, 2)
    out.append(Case("genomatch", f"{evens:,} even + 2 odd entries (stage 3 adds {8 * evens:,})",
                    run(Genomatch, set(), labels, names), run(PlainGenomatch, set(), labels, names),
                    repeat=1, target=">= 50x plain"))

    # k one-character entries, then two of two characters: 2**(k+1) + ... entries.
    k = 10
    names, genotype = one_char_genotypes(k)
    out.append(Case("genomatch", f"{k} one-char + 2 two-char entries (2,058 after stage 3)",
                    run(Genomatch, genotype, [], names), run(PlainGenomatch, genotype, [], names),
                    repeat=3, target=">= 50x plain"))

    k = 18
    names, genotype = one_char_genotypes(k)
    limit = 5 if quick else 60
    out.append(Case("genomatch", f"{k} one-char + 2 two-char entries (524,306 after stage 3)",
                    run(Genomatch, genotype, [], names), None, repeat=3, target="native < 1 s",
                    plain_note=plain_with_timeout(k, limit) if benchlib.FIGURES_BESIDE else ""))

    # A survey with little pairing: the cost of the look-ups themselves.
    n = 20_000 if quick else 200_000
    labels, names, genotype = survey_input(n)
    out.append(Case("genomatch", f"survey of {n:,} labels (few matches)",
                    run(Genomatch, genotype, labels, names), run(PlainGenomatch, genotype, labels, names),
                    repeat=5, target="native <= plain"))
    return out
