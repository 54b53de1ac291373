"""Plain-Python equivalents of the native classes, written from the same behaviour.

They serve as the baseline of the benchmarks and as the reference of the
differential tests, so they follow every documented behaviour, including the
exact error messages that the native modules give.
"""
