"""Recsift: SQ_LS over a generated sequence-list file, time and peak memory."""
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap

import benchlib
from benchlib import Case, alternating_medians, sample_seconds

import pellar.recsift
from pellar.recsift import Recsift
from plain.recsift import Recsift as PlainRecsift

HERE = pathlib.Path(__file__).resolve().parent
STAGE = pathlib.Path(pellar.recsift.__file__).resolve().parent.parent
WORK = pathlib.Path(tempfile.gettempdir()) / f"pellar-bench-recsift-{os.getuid()}"

BASES = "ACGT"


def write_sequence_file(path: pathlib.Path, n: int, seed: int = 3, scattered: bool = False) -> None:
    """`n` lines: mostly records of 2-6 parts of 1-14 bases (some lower case or
    without any "A"), about a tenth reusing an id, and a sprinkling of
    comments, blank lines, indented comments and two-field lines.  A reused id
    is an earlier one; with `scattered`, it is the id of any other record of
    the file, earlier or later, as in merged lists."""
    rng = random.Random(seed)
    ids = []
    lines = []
    records = []
    for i in range(n):
        r = rng.random()
        if r < 0.03:
            lines.append("# batch %d" % i if rng.random() < 0.7 else "   # indented note|x|y")
        elif r < 0.05:
            lines.append("" if rng.random() < 0.5 else "  \t")
        elif r < 0.07:
            lines.append("short%d|%s" % (i, "".join(rng.choices(BASES, k=rng.randint(1, 9)))))
        else:
            if not scattered and ids and rng.random() < 0.1:
                seq_id = rng.choice(ids)
            else:
                seq_id = "seq%07d" % i
                ids.append(seq_id)
            alphabet = BASES if rng.random() < 0.85 else ("CGT" if rng.random() < 0.5 else "acgt")
            parts = ["".join(rng.choices(alphabet, k=rng.randint(1, 14))) for _ in range(rng.randint(2, 6))]
            records.append(len(lines))
            lines.append(seq_id + "|" + "|".join(parts))
    if scattered:
        own = {k: lines[k][:lines[k].index("|")] for k in records}
        for k in records:
            if rng.random() < 0.1:
                lines[k] = own[rng.choice(records)] + lines[k][lines[k].index("|"):]
    path.write_text("\n".join(lines) + "\n")


def sequence_file(n: int, scattered: bool = False) -> pathlib.Path:
    WORK.mkdir(exist_ok=True)
    path = WORK / f"sequences-{'scattered-' if scattered else ''}{n}.txt"
    if not path.exists():
        tmp = path.with_suffix(".part")
        write_sequence_file(tmp, n, scattered=scattered)
        tmp.replace(path)
    return path


# The peak is the high-water mark of this process image (VmHWM), reset just
# before the call; ru_maxrss would carry over the parent's peak across the exec.
PEAK = textwrap.dedent("""
    import sys
    if sys.argv[1] == "native":
        from pellar.recsift import Recsift
    else:
        from plain.recsift import Recsift

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])

    r = Recsift(sys.argv[2])
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = status("VmRSS")
    result = r.SQ_LS()
    print(status("VmHWM") - base, len(result))
""")


def peak_kib(which: str, path: pathlib.Path) -> int:
    """Growth of the peak resident set (KiB) during one SQ_LS call, in a fresh interpreter."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(STAGE), str(HERE)])
    done = subprocess.run([sys.executable, "-P", "-c", PEAK, which, str(path)], env=env,
                          capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"peak-memory run ({which}) failed:\n{done.stderr}")
    return int(done.stdout.split()[0])


def memory_line(path: pathlib.Path) -> str:
    native, plain = peak_kib("native", path), peak_kib("plain", path)
    return (f"native {native / 1024:.1f} MiB, plain {plain / 1024:.1f} MiB, "
            f"native/plain {native / plain:.2f} (target <= 0.3)")


def fmt(seconds):
    return f"{seconds * 1e3:.1f} ms"


def paired_ratios(native, floor, decode_floor, result_floor, rounds: int) -> dict[str, str]:
    """SQ_LS beside the line floor, and beside the decode floor plus the result
    floor, in rounds: each ratio is taken from runs side by side, so that a
    busy moment of the machine weighs on both of its terms."""
    for f in (native, floor, decode_floor, result_floor):
        f()  # warm up
    to_floor, to_both = [], []
    for _ in range(rounds):
        n = sample_seconds(native, 1)
        to_floor.append(n / sample_seconds(floor, 1))
        to_both.append(n / (sample_seconds(decode_floor, 1) + sample_seconds(result_floor, 1)))

    def summary(ratios):
        return f"median {statistics.median(ratios):.2f}x, range {min(ratios):.2f}x-{max(ratios):.2f}x"

    return {
        f"paired SQ_LS/line floor ({rounds} rounds)": summary(to_floor) + " (target <= 1.5)",
        f"paired SQ_LS/(decode floor + result floor) ({rounds} rounds)": summary(to_both),
    }


def file_case(n: int, scattered: bool, quick: bool) -> Case:
    path = sequence_file(n, scattered)
    native, plain = Recsift(str(path)), PlainRecsift(str(path))
    what = "repeated ids anywhere in the file" if scattered else "repeated ids earlier in the file"
    name, target = f"SQ_LS() over {n:,} lines, {what}", "native/floor <= 1.5 (floor: iterating and stripping the lines)"
    if not benchlib.FIGURES_BESIDE:
        return Case("recsift", name, native.SQ_LS, target=target)
    assert native.SQ_LS() == plain.SQ_LS()

    def floor():
        for line in open(path):
            line.strip()

    def decode_floor():
        with open(path) as f:
            while f.read(1 << 20):
                pass

    # The result alone: as many strs of the same lengths, made and dropped
    # (split of their text, joined beforehand).
    joined = "\n".join(native.SQ_LS())

    def result_floor():
        joined.split("\n")

    extra = {f"peak RSS growth, {m:,} lines": memory_line(sequence_file(m, scattered))
             for m in ((n, 2 * n) if not scattered else (n,))}
    decode_s, result_s = alternating_medians([decode_floor, result_floor], 1, 7)
    extra["decode floor (while f.read(1 << 20): pass)"] = fmt(decode_s)
    extra["result floor (the result's strs made and dropped: text.split)"] = fmt(result_s)
    extra.update(paired_ratios(native.SQ_LS, floor, decode_floor, result_floor, 5 if quick else 11))
    return Case("recsift", name, native.SQ_LS, plain.SQ_LS, floor=floor, repeat=3 if quick else 7, target=target,
                extra=extra)


def cases(quick: bool):
    n = 50_000 if quick else 1_000_000
    return [file_case(n, False, quick), file_case(n, True, quick)]
