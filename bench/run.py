"""Benchmark runner: every native method against its plain-Python equivalent, in one run.

    python bench/run.py                 all cases, full sizes
    python bench/run.py --quick         small sizes (a smoke run)
    python bench/run.py --only recsift  cases of some modules
    python bench/run.py --markdown      also print the table as Markdown
    python bench/run.py --json FILE     also write the figures as JSON
    python bench/run.py --readme        put the Markdown table into README.md (and
                                        bench/results/latest.json), replacing the
                                        figures of the modules that ran
    python bench/run.py --chart FILE    draw the figures as a PNG chart (needs matplotlib)

Figures are medians of several samples, taken in turn (native, plain, floor,
native, ...) so that all see the same machine; ratio = plain / native (how many
times faster the native module is), floor ratio = native / floor.
(`./dev bench ARGS` builds the modules first and runs this.)
"""
from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchlib import Case, alternating_medians  # noqa: E402

MODULES = ["refbook", "recsift", "edgewriter", "genomatch", "dirscan"]


def fmt(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def measure(case: Case) -> dict:
    native, plain, floor = alternating_medians([case.native, case.plain, case.floor], case.number, case.repeat)
    return {
        "module": case.module,
        "case": case.name,
        "native_s": native,
        "plain_s": plain,
        "floor_s": floor,
        "speedup": plain / native if plain else None,
        "vs_floor": native / floor if floor else None,
        "target": case.target,
        "note": case.plain_note,
        **case.extra,
    }


def table(rows: list[dict], markdown: bool) -> str:
    head = ["module", "case", "native", "plain Python", "plain/native", "floor", "native/floor", "target"]
    body = []
    for r in rows:
        body.append([
            r["module"], r["case"], fmt(r["native_s"]),
            fmt(r["plain_s"]) if r["plain_s"] is not None else (r["note"] or "-"),
            f"{r['speedup']:.2f}x" if r["speedup"] else "-",
            fmt(r["floor_s"]), f"{r['vs_floor']:.2f}x" if r["vs_floor"] else "-", r["target"],
        ])
    if markdown:
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(row) + " |" for row in body]
        return "\n".join(lines)
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    out = ["  ".join(h.ljust(w) for h, w in zip(head, widths))]
    out += ["  ".join(c.ljust(w) for c, w in zip(row, widths)) for row in body]
    return "\n".join(out)


README_START = "<!-- bench:start -->"
README_END = "<!-- bench:end -->"


def update_readme(rows: list[dict], path: pathlib.Path) -> None:
    """Replaces the table between the README's bench markers with these figures."""
    text = path.read_text()
    start, end = text.index(README_START) + len(README_START), text.index(README_END)
    path.write_text(text[:start] + "\n" + table(rows, True) + "\n" + text[end:])


def chart(rows: list[dict], path: str) -> None:
    """Horizontal bars per case: native, plain Python and the floor, in seconds (log scale)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [f"{r['module']}: {r['case']}" for r in rows]
    series = [("native", "native_s", "#1f77b4"), ("plain Python", "plain_s", "#d62728"),
              ("floor", "floor_s", "#7f7f7f")]
    fig, ax = plt.subplots(figsize=(11, 0.55 * len(rows) * len(series) + 1.5))
    height = 0.8 / len(series)
    for k, (name, key, color) in enumerate(series):
        ys = [i + k * height for i in range(len(rows))]
        xs = [r[key] if r[key] else 0 for r in rows]
        ax.barh(ys, xs, height=height, label=name, color=color)
        for y, r in zip(ys, rows):
            if key == "plain_s" and r.get("speedup"):
                ax.text(r[key], y, f"  plain/native {r['speedup']:.2f}x", va="center", fontsize=7)
            elif key == "plain_s" and r.get("note"):
                ax.text(r["native_s"], y, f"  plain: {r['note']}", va="center",
                        fontsize=7)
    ax.set_yticks([i + height for i in range(len(rows))], labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("seconds (median, log scale)")
    ax.set_title("pellar: native modules against plain Python")
    ax.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes")
    ap.add_argument("--only", nargs="*", default=None, help="modules to run")
    ap.add_argument("--markdown", action="store_true", help="also print a Markdown table")
    ap.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    ap.add_argument("--readme", action="store_true", help="put the Markdown table into README.md")
    ap.add_argument("--chart", metavar="FILE", help="draw the figures as a PNG chart (needs matplotlib)")
    args = ap.parse_args(argv)
    rows = []
    for name in args.only or MODULES:
        try:
            mod = importlib.import_module(f"bench_{name}")
        except ModuleNotFoundError as exc:
            if exc.name == f"bench_{name}":
                continue
            raise
        for case in mod.cases(args.quick):
            row = measure(case)
            rows.append(row)
            print(table([row], False).splitlines()[1], flush=True)
            for k, v in case.extra.items():
                print(f"    {k}: {v}", flush=True)
    print()
    print(table(rows, False))
    if args.markdown:
        print()
        print(table(rows, True))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(rows, indent=2))
    if args.readme:
        # The README keeps the latest figures of every module: a run of some
        # modules replaces only theirs.
        latest = HERE / "results" / "latest.json"
        ran = {r["module"] for r in rows}
        kept = [r for r in json.loads(latest.read_text()) if r["module"] not in ran] if latest.exists() else []
        merged = sorted(kept + rows, key=lambda r: MODULES.index(r["module"]))
        latest.write_text(json.dumps(merged, indent=2))
        update_readme(merged, HERE.parent / "README.md")
    if args.chart:
        chart(rows, args.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
