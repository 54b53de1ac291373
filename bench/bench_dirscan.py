"""dirscan: counting a generated tree, building the graph of 300 extensions, its CLI score.

The tree (100,000 files in 1,000 folders; 10,000 in 100 with --quick) is made
once under the temp dir and reused.  The floor of process_directory is the walk
alone: `for root, dirs, files in os.walk(path): pass` over the same tree.
"""
import contextlib
import gc
import io
import os
import pathlib
import random
import shutil
import statistics
import tempfile
import time
from collections import Counter

import benchlib
from benchlib import Case

from pellar.dirscan import dirscan
from plain.dirscan import dirscan as PlainDirscan

WORK = pathlib.Path(tempfile.gettempdir()) / f"pellar-bench-dirscan-{os.getuid()}"

# Extensions of the generated files, as they would be spelled on disk: mixed
# case, none at all, dot-files, double extensions, a trailing dot.
SPELLINGS = [".txt", ".TXT", ".Txt", ".py", ".PY", ".c", ".h", ".json", ".tar.gz", ".md", "", ".csv", ".JPG",
             ".jpeg", ".png", ".log", ".", ".cpp", ".HPP", ".yaml", ".xml", ".html", ".css", ".js"]


def make_tree(root: pathlib.Path, folders: int, per_folder: int, seed: int = 6) -> None:
    """`folders` folders of `per_folder` files each, nested two deep (group/folder)."""
    rng = random.Random(seed)
    groups = max(1, folders // 100)
    for f in range(folders):
        folder = root / f"group{f % groups:02d}" / f"folder{f:04d}"
        folder.mkdir(parents=True)
        for i in range(per_folder):
            r = rng.random()
            if r < 0.03:
                name = f".hidden{i}"
            else:
                name = f"file{i:03d}{rng.choice(SPELLINGS)}"
            (folder / name).touch()


def tree(folders: int, per_folder: int) -> pathlib.Path:
    WORK.mkdir(exist_ok=True)
    root = WORK / f"tree-{folders}x{per_folder}"
    done = WORK / f"tree-{folders}x{per_folder}.done"
    if not done.exists():
        shutil.rmtree(root, ignore_errors=True)
        make_tree(root, folders, per_folder)
        done.touch()
    return root


def extension_counts(n: int, seed: int = 7) -> Counter:
    rng = random.Random(seed)
    counts = Counter()
    for i in range(n):
        counts[f".e{i:03d}"] = rng.randint(1, 5000)
    return counts


def interleaved(first, second, rounds: int) -> str:
    """second / first, timed alternately so that a change in the machine's load
    reaches both alike: the ratio of the medians and of the minima."""
    if not benchlib.FIGURES_BESIDE:
        return ""
    a, b = [], []
    first()
    second()
    for _ in range(rounds):
        for fn, out in ((first, a), (second, b)):
            gc.collect()
            t0 = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t0)
    return (f"{statistics.median(b) / statistics.median(a):.2f}x (medians), "
            f"{min(b) / min(a):.2f}x (minima) over {rounds} alternate rounds")


def cases(quick: bool):
    folders, per_folder = (100, 100) if quick else (1000, 100)
    root = str(tree(folders, per_folder))
    files = folders * per_folder

    def walk_only():
        for root_, dirs, names in os.walk(root):
            pass

    def count(cls):
        def run():
            cls(root).process_directory()
        return run

    keys = 100 if quick else 300
    counts = extension_counts(keys)

    def build(cls):
        def run():
            d = cls(root)
            d.file_counts = counts
            d.build_graph()
        return run

    def built(cls):
        d = cls(root)
        d.file_counts = counts
        d.build_graph()
        return d

    def score(d):
        def run():
            with contextlib.redirect_stdout(io.StringIO()):
                d.calculate_cli()
        return run

    return [
        Case("dirscan", f"process_directory, {files:,} files in {folders:,} folders", count(dirscan),
             count(PlainDirscan), floor=walk_only, repeat=9,
             target="native <= 1.2x floor (os.walk alone), native < plain",
             extra={"native/floor, timed alternately": interleaved(walk_only, count(dirscan), 3 if quick else 9)}),
        Case("dirscan", f"build_graph, {keys} extensions ({keys * (keys - 1):,} add_edge)", build(dirscan),
             build(PlainDirscan), repeat=7, target="native <= plain (networkx does the work)",
             extra={"plain/native, timed alternately": interleaved(build(dirscan), build(PlainDirscan),
                                                                   3 if quick else 9)}),
        Case("dirscan", f"calculate_cli, {keys} extensions", score(built(dirscan)), score(built(PlainDirscan)),
             target="native <= plain (networkx and scorekit do the work)"),
    ]
