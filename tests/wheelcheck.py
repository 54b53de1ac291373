"""A compact check of an installed pellar, in one process, for a machine where
the whole suite cannot run (an aarch64 wheel under qemu, about 300 times
slower):

    python tests/wheelcheck.py

It runs the tour, then every method's worked example and a failure of each
kind -- a failing operation in the body (the interpreter's exception, with the
method's traceback entry) and a wrong call (the frame's exact text) --
comparing results, printed lines, written files and exceptions with the
plain-Python classes of bench/plain.  One line per check; exit status 1 when
any failed.
"""
from __future__ import annotations

import contextlib
import importlib
import io
import os
import pathlib
import random
import sys
import tempfile
import traceback
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
MODULES = ("refbook", "recsift", "edgewriter", "genomatch", "dirscan")
failed: list[str] = []


def report(label, problem):
    print(f"{'FAIL' if problem else 'ok  '} {label}{': ' + problem if problem else ''}", flush=True)
    if problem:
        failed.append(label)


def outcome(call, files=()):
    """(result, printed text, exception type and text, files written), and the exception."""
    out, exc, result = io.StringIO(), None, None
    try:
        with contextlib.redirect_stdout(out):
            result = call()
    except Exception as e:  # noqa: BLE001 - compared
        exc = e
    written = [pathlib.Path(f).read_bytes() if os.path.exists(f) else None for f in files]
    return (result, out.getvalue(), type(exc), str(exc) if exc else None, written), exc


def entry_problem(exc, module, method):
    """None when the traceback holds the method's one entry."""
    want = (f"pellar/{module}", f"pellar.{module}.{method}")
    entries = [(e.filename, e.name) for e in traceback.extract_tb(exc.__traceback__)]
    return None if entries.count(want) == 1 else f"entries {entries}, not one {want}"


def agrees(label, module, method, native, plain, files=()):
    """The native call and the plain one give the same outcome."""
    (got, exc), (want, _) = outcome(native, files), outcome(plain, files)
    report(label, f"native {got!r}, plain {want!r}" if got != want else exc and entry_problem(exc, module, method))


def raises(label, module, method, call, kind, message):
    """The native call fails with exactly this exception."""
    _, exc = outcome(call)
    report(label, f"{exc!r}, not {kind.__name__}({message!r})" if type(exc) is not kind or str(exc) != message
           else entry_problem(exc, module, method))


def check_refbook(n, p):
    r = n.Refbook("f")
    for name in ("basic_dict_index", "dirscan_Exclusive_dict_index", "read_basic_index"):
        agrees(f"Refbook.{name}()", "refbook", f"Refbook.{name}", getattr(r, name), getattr(p.Refbook("f"), name))
    agrees("Refbook.read_basic_index(self=r)", "refbook", "Refbook.read_basic_index",
           lambda: n.Refbook.read_basic_index(self=r), lambda: p.Refbook.read_basic_index(self=r))
    raises("Refbook.basic_dict_index, called wrongly", "refbook", "Refbook.basic_dict_index",
           lambda: r.basic_dict_index(x=1), TypeError, "basic_dict_index() got an unexpected keyword argument 'x'")


def sequence_file(path, n):
    """Records of every shape: ids repeated anywhere, fields past sixteen
    characters with separators and "A"s anywhere, comments, blank lines,
    short records, non-ASCII text, both line ends."""
    rng = random.Random(20)
    with open(path, "w", newline="") as f:
        for _ in range(n):
            fields = ["".join(rng.choices("ACGTACGTACGTacgtNé漢|", k=rng.choice([0, 1, 3, 9, 17, 40])))
                      for _ in range(rng.choice([1, 2, 3, 5]))]
            pad = rng.choice(["", "", "  "])
            line = rng.choice(["# note|A|B", "", *[f"{pad}s{rng.randrange(n // 3)}|" + "|".join(fields) + pad] * 8])
            f.write(line + rng.choice(["\n", "\r\n"]))


def check_recsift(n, p):
    with open("seqs.txt", "w") as f:
        f.write("# id|parts\ns1|AC|GT\ns2|CC|GG\ns4|CG|TTT\ns5|GATTACA|GG\ns6|CCCCC|TTTTT\ns7|x\n")
    sequence_file("many.txt", 6000)
    with open("bad.txt", "wb") as f:
        f.write(b"s1|AC|GT\n" * 3000 + b"s2|\xff\xfe|GG\n")
    for what, path in (("the worked example", "seqs.txt"), ("6,000 records of every shape", "many.txt"),
                       ("a missing file", "missing.txt"), ("an undecodable file", "bad.txt")):
        agrees(f"Recsift.SQ_LS() of {what}", "recsift", "Recsift.SQ_LS", n.Recsift(path).SQ_LS, p.Recsift(path).SQ_LS)
    raises("Recsift.SQ_LS, called wrongly", "recsift", "Recsift.SQ_LS", lambda: n.Recsift("x").SQ_LS(1), TypeError,
           "SQ_LS() takes exactly 1 positional argument (2 given)")


def check_edgewriter(n, p):
    lis, labels = ["p", "q", "r", "s", "t", "u", "v"], [f"L{i % 37}" for i in range(300)]
    for what, gephi, args in (
            ("the worked example", "labels.txt", ({"g": ["aa", "x", "bbb", "y", "cccc"], "h": "z"}, lis, None)),
            ("300 labels", "labels.txt", ({"k": labels[:50], "d": {"long": 1, "no": 2}}, labels, "L1")),
            ("zidian None", "labels.txt", (None, lis, None)),
            ("a label file in a missing folder", "no/labels.txt", ({}, lis, None))):
        agrees(f"Edgewriter.create_net() of {what}", "edgewriter", "Edgewriter.create_net",
               lambda: n.Edgewriter("net.graphml", gephi).create_net(*args),
               lambda: p.Edgewriter("net.graphml", gephi).create_net(*args), files=("net.graphml", gephi))
    raises("Edgewriter.create_net, called wrongly", "edgewriter", "Edgewriter.create_net",
           lambda: n.Edgewriter("a", "b").create_net(zidian={}), TypeError,
           "create_net() takes exactly 4 positional arguments (2 given)")


def check_genomatch(n, p):
    def one_char(k):  # k one-character names, then two of two characters: over 2**(k+1) entries when paired
        return {f"GT{t}": [chr(97 + 2 * t), chr(98 + 2 * t), "zz"] for t in range(k // 2)} | {"GTX": ["dc", "fe", "hg"]}

    grown = one_char(10) | {f"AB{10 + i}": ["ab", f"name{i}", "x"] for i in range(20)}
    for what, (genotype, nwlist, names) in (
            ("the worked example", (["K1"], ["AB12", "xy", 7],
                                    {"AB12": ["abc", "defg", "hijkl"], "K1": ["abc", "d-e", "fgh", "ijk"]})),
            ("growing to 2,000 entries", (list(grown), [f"AB{10 + i}" for i in range(20)] + ["ab12", None], grown)),
            ("a name list of ints", ([], ["AB12"], {"AB12": 5}))):
        agrees(f"Genomatch.AIVChina() of {what}", "genomatch", "Genomatch.AIVChina",
               lambda: n.Genomatch(genotype, "A.csv", "B.csv").AIVChina(nwlist, names),
               lambda: p.Genomatch(genotype, "A.csv", "B.csv").AIVChina(nwlist, names))
    # The plain class would take hours to get there.
    raises("Genomatch.AIVChina() past the candidates' bound", "genomatch", "Genomatch.AIVChina",
           lambda: n.Genomatch(list(one_char(20)), "A.csv", "B.csv").AIVChina([], one_char(20)), MemoryError,
           f"candidate list would grow beyond {p.MAX_CANDIDATES} entries")
    raises("Genomatch.__init__, called wrongly", "genomatch", "Genomatch.__init__", lambda: n.Genomatch(1, 2, 3, 4),
           TypeError, "__init__() takes exactly 4 positional arguments (5 given)")


def check_dirscan(n, p):
    for name in ("Makefile", ".profile", "sub/notes.txt", "sub/report.TXT", "sub/deeper/data.Txt", "sub/deeper/x.py"):
        pathlib.Path("tree", name).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path("tree", name).write_text("")
    steps = ["process_directory", "build_graph", "calculate_cli", "display_summary"]

    def survey(m, upto, attribute=None, value=None):
        d = m.dirscan("tree")
        for step in steps[:upto]:
            getattr(d, step)()
        if attribute:
            setattr(d, attribute, value)
            getattr(d, steps[upto])()
        return dict(d.file_counts), sorted(d.graph.edges(data=True))

    for what, step, args in [("the worked example", s, (k + 1,)) for k, s in enumerate(steps)] + [
            ("graph None", "build_graph", (1, "graph", None)), ("counts 5", "display_summary", (3, "file_counts", 5))]:
        agrees(f"dirscan.{step}() of {what}", "dirscan", f"dirscan.{step}", lambda: survey(n, *args),
               lambda: survey(p, *args))
    raises("dirscan.__init__, called wrongly", "dirscan", "dirscan.__init__",
           lambda: n.dirscan(directory_path=1, path=2), TypeError, "__init__() got an unexpected keyword argument 'path'")


def main() -> int:
    with warnings.catch_warnings():  # a module built for the running version loads without a warning
        warnings.simplefilter("error")
        native = [importlib.import_module(f"pellar.{m}") for m in MODULES]
        tour = importlib.import_module("pellar.tour")
    print(f"pellar from {pathlib.Path(tour.__file__).parent} on {sys.version.split()[0]} ({os.uname().machine})")
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        status = tour.main(["--out", os.path.join(tmp, "tour")])
        print()
        report("the tour", status and f"it returned {status}")
        for m, n in zip(MODULES, native):
            globals()[f"check_{m}"](n, importlib.import_module(f"plain.{m}"))
        os.chdir(here)
    print(f"{len(failed)} of the checks failed" if failed else "every check passed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
