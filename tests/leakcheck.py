"""Leak check for native methods.

assert_no_leak(call, *watched) calls `call()` in warm-up rounds, then in
measured rounds, and fails when the interpreter's allocated blocks, the memory
traced by tracemalloc, or the reference count of any watched object grew in
every measured round.  A single growth (a cache filling, a free list) is not a
leak; growth in every round is.
"""
import array
import gc
import sys
import tracemalloc


# The type attribute cache keeps the latest name looked up in each slot; names
# made afresh per call (a text file's codec lookups) would otherwise show as
# slow growth.  3.13 names its emptying anew (the old name warns from 3.14 on,
# and each warning, recorded, would be growth of its own).
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def settle():
    _clear_caches()
    gc.collect()


def _grows(values):
    return all(b > a for a, b in zip(values, values[1:]))


def assert_no_leak(call, *watched, expect=None, rounds=6, per_round=40, warmup=2):
    """`expect`: an exception type (or tuple) that `call` is meant to raise."""

    def once():
        if expect is None:
            call()
            return
        try:
            call()
        except expect:
            return
        raise AssertionError(f"the call did not raise {expect}")

    # Tracing starts before the warm-up, so that what the interpreter caches on
    # first use (type attribute caches, interned names) is made and counted
    # before the measured rounds.
    tracemalloc.start()
    try:
        for _ in range(warmup * per_round):
            once()
        settle()
        # Fixed-size arrays: recording a figure keeps no object alive.
        blocks = array.array("q", bytes(8 * rounds))
        traced = array.array("q", bytes(8 * rounds))
        refs = [array.array("q", bytes(8 * rounds)) for _ in watched]
        for r in range(rounds):
            for _ in range(per_round):
                once()
            settle()
            blocks[r] = sys.getallocatedblocks()
            traced[r] = tracemalloc.get_traced_memory()[0]
            for i, o in enumerate(watched):
                refs[i][r] = sys.getrefcount(o)
    finally:
        tracemalloc.stop()
    assert not _grows(blocks), f"allocated blocks grow every round: {list(blocks)}"
    assert not _grows(traced), f"traced memory grows every round: {list(traced)}"
    for i, counts in enumerate(refs):
        assert not _grows(counts), f"reference count of argument {i} grows every round: {list(counts)}"
