"""What a benchmark case is, and how it is timed."""
from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable


# Cases also measure what the runner prints beside their times (peak memory,
# Ctrl-C latency, paired floors, the plain version on a timer); bench/compare.py,
# which times only the native calls of two builds, turns this off.
FIGURES_BESIDE = True


@dataclass
class Case:
    """One measurement: the native call against its plain-Python equivalent.

    `native` and `plain` run the same work; `floor` (optional) is the least any
    implementation must do (e.g. only reading the file), so `native / floor`
    says how close the native code is to that.  `plain=None` means the plain
    version is too slow to run; `plain_note` says why.  `number` calls make one
    sample, `repeat` samples are taken, the median is reported.  `target` is the
    goal the figures are judged against, in words.
    """

    module: str
    name: str
    native: Callable[[], object]
    plain: Callable[[], object] | None = None
    floor: Callable[[], object] | None = None
    number: int = 1
    repeat: int = 5
    target: str = ""
    plain_note: str = ""
    extra: dict[str, str] = field(default_factory=dict)


def sample_seconds(fn: Callable[[], object], number: int) -> float:
    """Time of one call, averaged over one sample of `number` calls."""
    gc.collect()
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def median_seconds(fn: Callable[[], object], number: int, repeat: int) -> float:
    """Median over `repeat` samples of the time of one call (each sample: `number` calls)."""
    fn()  # warm up: caches, imports, page cache
    return statistics.median(sample_seconds(fn, number) for _ in range(repeat))


def alternating_medians(fns: list[Callable[[], object] | None], number: int, repeat: int) -> list[float | None]:
    """Medians of `fns` sampled in turn (a, b, c, a, b, c, ...), so that all of
    them see the same state of a shared, noisy machine."""
    live = [f for f in fns if f is not None]
    for f in live:
        f()  # warm up
    samples: dict[int, list[float]] = {id(f): [] for f in live}
    for _ in range(repeat):
        for f in live:
            samples[id(f)].append(sample_seconds(f, number))
    return [statistics.median(samples[id(f)]) if f is not None else None for f in fns]
