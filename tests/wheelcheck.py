"""A compact check of an installed pellar, in one process, for a machine where
the whole suite cannot run (an aarch64 wheel under qemu, where a program is
about 300 times slower):

    python tests/wheelcheck.py

It runs the tour, then, for every method, its worked example and one failure
of each kind -- a wrong call (the frame's exact texts) and a failing operation
in the body (the interpreter's exception, with the method's traceback entry) --
comparing result, printed lines, written files and exceptions with the
plain-Python classes of bench/plain.  It prints one line per check and exits
with 1 when any failed.
"""
from __future__ import annotations

import contextlib
import io
import os
import pathlib
import random
import sys
import tempfile
import traceback
import warnings

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

failures: list[str] = []


def report(label: str, problem: str | None) -> None:
    print(f"{'FAIL' if problem else 'ok  '} {label}{': ' + problem if problem else ''}", flush=True)
    if problem:
        failures.append(label)


def outcome(call):
    """(result, printed text, exception) of call()."""
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            return call(), out.getvalue(), None
    except Exception as exc:  # noqa: BLE001 - compared below
        return None, out.getvalue(), exc


def entry_problem(exc: BaseException, module: str, qualname: str) -> str | None:
    """None when the traceback holds the method's one entry."""
    entries = [(e.filename, e.name) for e in traceback.extract_tb(exc.__traceback__)]
    want = (f"pellar/{module}", f"pellar.{module}.{qualname}")
    return None if entries.count(want) == 1 else f"entries {entries}, not one {want}"


def same(label: str, module: str, qualname: str, native, plain, files=()) -> None:
    """The native call and the plain one agree: result, printed lines, the files
    they write, and the exception's type and message."""
    got, want = [], []
    for call, into in ((native, got), (plain, want)):
        result, printed, exc = outcome(call)
        into.append((result, printed, type(exc), str(exc) if exc else None,
                     [pathlib.Path(f).read_bytes() if os.path.exists(f) else None for f in files]))
        into.append(exc)
    problem = None if got[0] == want[0] else f"native {got[0]!r}, plain {want[0]!r}"
    if problem is None and got[1] is not None:
        problem = entry_problem(got[1], module, qualname)
    report(label, problem)


def wrong_call(label: str, module: str, qualname: str, call, message: str) -> None:
    _, _, exc = outcome(call)
    if type(exc) is not TypeError or str(exc) != message:
        report(label, f"{type(exc).__name__}: {exc}, not TypeError: {message}")
    else:
        report(label, entry_problem(exc, module, qualname))


def check_refbook(native, plain) -> None:
    r = native.Refbook("ref.txt")
    same("Refbook stores its file", "refbook", "Refbook.__init__", lambda: vars(native.Refbook("ref.txt")),
         lambda: vars(plain.Refbook("ref.txt")))
    for name in ("basic_dict_index", "dirscan_Exclusive_dict_index", "read_basic_index"):
        same(f"Refbook.{name}()", "refbook", f"Refbook.{name}", getattr(r, name), getattr(plain.Refbook("x"), name))
    same("Refbook.read_basic_index(self=r)", "refbook", "Refbook.read_basic_index",
         lambda: native.Refbook.read_basic_index(self=r), lambda: None)
    wrong_call("Refbook()", "refbook", "Refbook.__init__", native.Refbook,
               "__init__() takes exactly 2 positional arguments (1 given)")
    wrong_call("Refbook.read_basic_index()", "refbook", "Refbook.read_basic_index", native.Refbook.read_basic_index,
               "read_basic_index() takes exactly 1 positional argument (0 given)")
    wrong_call("Refbook('a', file='b')", "refbook", "Refbook.__init__", lambda: native.Refbook("a", file="b"),
               "__init__() got multiple values for keyword argument 'file'")
    wrong_call("r.basic_dict_index(x=1)", "refbook", "Refbook.basic_dict_index", lambda: r.basic_dict_index(x=1),
               "basic_dict_index() got an unexpected keyword argument 'x'")


def sequence_file(path: str, n: int) -> None:
    """Records of every shape: ids repeated anywhere, fields of any length
    (past sixteen characters, separators and "A"s anywhere), comments, blank
    lines, short records, non-ASCII text, both line ends."""
    rng = random.Random(20)
    alphabet = "ACGT" * 4 + "acgtNé漢|"
    with open(path, "w", newline="") as f:
        for i in range(n):
            kind = rng.random()
            if kind < 0.05:
                line = "# comment | A | B" if kind < 0.03 else ""
            else:
                fields = ["".join(rng.choice(alphabet) for _ in range(rng.choice([0, 1, 3, 9, 17, 40])))
                          for _ in range(rng.choice([1, 2, 3, 5]))]
                line = f"  s{rng.randrange(n // 3)}|" + "|".join(fields) + " "
            f.write(line + rng.choice(["\n", "\r\n"]))


def check_recsift(native, plain) -> None:
    with open("seqs.txt", "w") as f:
        f.write("# id|parts\ns1|AC|GT\ns2|CC|GG\ns4|CG|TTT\ns5|GATTACA|GG\ns6|CCCCC|TTTTT\ns7|x\n")
    same("Recsift.SQ_LS() of the worked example", "recsift", "Recsift.SQ_LS",
         native.Recsift("seqs.txt").SQ_LS, plain.Recsift("seqs.txt").SQ_LS)
    sequence_file("many.txt", 6000)
    same("Recsift.SQ_LS() of 6,000 records of every shape", "recsift", "Recsift.SQ_LS",
         native.Recsift("many.txt").SQ_LS, plain.Recsift("many.txt").SQ_LS)
    with open("bad.txt", "wb") as f:
        f.write(b"s1|AC|GT\n" * 3000 + b"s2|\xff\xfe|GG\n")
    for name, arg in (("a missing file", "missing.txt"), ("an undecodable file", "bad.txt"), ("None", None)):
        same(f"Recsift.SQ_LS() of {name}", "recsift", "Recsift.SQ_LS",
             native.Recsift(arg).SQ_LS, plain.Recsift(arg).SQ_LS)
    wrong_call("Recsift(path='x')", "recsift", "Recsift.__init__", lambda: native.Recsift(path="x"),
               "__init__() takes exactly 2 positional arguments (1 given)")
    wrong_call("r.SQ_LS(1)", "recsift", "Recsift.SQ_LS", lambda: native.Recsift("x").SQ_LS(1),
               "SQ_LS() takes exactly 1 positional argument (2 given)")


def check_edgewriter(native, plain) -> None:
    def run(module, zidian, lis, filter_seq):
        return lambda: module.Edgewriter("net.graphml", "labels.txt").create_net(zidian, lis, filter_seq)

    zidian = {"g": ["aa", "x", "bbb", "y", "cccc"], "h": "z", "d": {"long": 1, "no": 2}}
    lis = ["p", "q", "r", "s", "t", "u", "v"]
    files = ("net.graphml", "labels.txt")
    same("Edgewriter.create_net() of the worked example", "edgewriter", "Edgewriter.create_net",
         run(native, zidian, lis, None), run(plain, zidian, lis, None), files)
    many = [f"L{i % 37}" for i in range(300)]
    same("Edgewriter.create_net() of 300 labels", "edgewriter", "Edgewriter.create_net",
         run(native, {"k": many[:50]}, many, "L1"), run(plain, {"k": many[:50]}, many, "L1"), files)
    for name, args in (("zidian None", (None, lis, None)), ("an int label", ({}, ["a", 3, "b"], None)),
                       ("a dict key without a length", ({"d": {5: 1}}, lis, None))):
        same(f"Edgewriter.create_net() with {name}", "edgewriter", "Edgewriter.create_net",
             run(native, *args), run(plain, *args), files)
    same("Edgewriter.create_net() into a missing folder", "edgewriter", "Edgewriter.create_net",
         lambda: native.Edgewriter("net.graphml", "no/labels.txt").create_net({}, lis, None),
         lambda: plain.Edgewriter("net.graphml", "no/labels.txt").create_net({}, lis, None))
    wrong_call("w.create_net(zidian={})", "edgewriter", "Edgewriter.create_net",
               lambda: native.Edgewriter("a", "b").create_net(zidian={}), "create_net() takes exactly 4 positional "
               "arguments (2 given)")


def check_genomatch(native, plain) -> None:
    def run(module, genotype, nwlist, names):
        return lambda: module.Genomatch(genotype, "A.csv", "B.csv").AIVChina(nwlist, names)

    worked = (["K1"], ["AB12", "xy", 7], {"AB12": ["abc", "defg", "hijkl"], "K1": ["abc", "d-e", "fgh", "ijk"]})
    same("Genomatch.AIVChina() of the worked example", "genomatch", "Genomatch.AIVChina",
         run(native, *worked), run(plain, *worked))
    letters = "abcdefghij"
    names = {f"GT{t}": [letters[2 * t], letters[2 * t + 1], "zz"] for t in range(5)}
    names["GTX"] = ["dc", "fe", "hg"]
    names.update({f"AB{10 + i}": ["ab", f"name{i}", "x"] for i in range(20)})
    labels = [f"AB{10 + i}" for i in range(20)] + ["ab12", None, "ZZ999"]
    same("Genomatch.AIVChina() growing to 2,000 entries", "genomatch", "Genomatch.AIVChina",
         run(native, list(names), labels, names), run(plain, list(names), labels, names))
    for name, args in (("nWlist None", ([], None, {})), ("a name list of ints", ([], ["AB12"], {"AB12": 5})),
                       ("an entry that is no pair", ([], [], MisPaired()))):
        same(f"Genomatch.AIVChina() with {name}", "genomatch", "Genomatch.AIVChina",
             run(native, *args), run(plain, *args))
    letters = "abcdefghijklmnopqrstuvwxyz"
    big = {f"GT{t}": [letters[2 * t], letters[2 * t + 1], "zz"] for t in range(10)}
    big["GTX"] = ["dc", "fe", "hg"]
    _, _, exc = outcome(run(native, list(big), [], big))
    want = f"candidate list would grow beyond {plain_module('genomatch').MAX_CANDIDATES} entries"
    report("Genomatch.AIVChina() past the candidates' bound",
           None if type(exc) is MemoryError and str(exc) == want and not entry_problem(exc, "genomatch",
                                                                                       "Genomatch.AIVChina")
           else f"{type(exc).__name__}: {exc}")
    wrong_call("Genomatch(1, 2, 3, 4)", "genomatch", "Genomatch.__init__", lambda: native.Genomatch(1, 2, 3, 4),
               "__init__() takes exactly 4 positional arguments (5 given)")


class MisPaired(dict):
    def items(self):
        return [("a", 1, 2)]


def check_dirscan(native, plain) -> None:
    for name in ("Makefile", ".profile", "sub/notes.txt", "sub/report.TXT", "sub/deeper/data.Txt", "sub/deeper/x.py"):
        pathlib.Path("tree", name).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path("tree", name).write_text("")

    def survey(module, *steps):
        def run():
            d = module.dirscan("tree")
            for step in steps:
                getattr(d, step)()
            return dict(d.file_counts), sorted(d.graph.edges(data=True))
        return run

    steps = ("process_directory", "build_graph", "calculate_cli", "display_summary")
    for k in range(1, len(steps) + 1):
        same(f"dirscan.{steps[k - 1]}() of the worked example", "dirscan", f"dirscan.{steps[k - 1]}",
             survey(native, *steps[:k]), survey(plain, *steps[:k]))

    def broken(module, attribute, value, step):
        def run():
            d = module.dirscan("tree")
            d.process_directory()
            setattr(d, attribute, value)
            getattr(d, step)()
        return run

    for attribute, value, step in (("graph", None, "build_graph"), ("file_counts", [("a", 1, 2)], "build_graph"),
                                   ("graph", 5, "calculate_cli"), ("file_counts", 5, "display_summary")):
        same(f"dirscan.{step}() with {attribute} = {value!r}", "dirscan", f"dirscan.{step}",
             broken(native, attribute, value, step), broken(plain, attribute, value, step))
    wrong_call("dirscan()", "dirscan", "dirscan.__init__", native.dirscan,
               "__init__() takes exactly 2 positional arguments (1 given)")


def plain_module(name: str):
    return __import__(f"plain.{name}", fromlist=["_"])


def main() -> int:
    # A module built for the running version loads without a warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        import pellar.dirscan
        import pellar.edgewriter
        import pellar.genomatch
        import pellar.recsift
        import pellar.refbook
        import pellar.tour
    print(f"pellar from {pathlib.Path(pellar.__file__).parent} on {sys.version.split()[0]} "
          f"({os.uname().machine})", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        status = pellar.tour.main(["--out", os.path.join(tmp, "tour")])
        print()
        report("the tour", None if status == 0 else f"it returned {status}")
        for name, check in (("refbook", check_refbook), ("recsift", check_recsift), ("edgewriter", check_edgewriter),
                            ("genomatch", check_genomatch), ("dirscan", check_dirscan)):
            check(sys.modules[f"pellar.{name}"], plain_module(name))
        os.chdir(ROOT)
    print(f"{len(failures)} of the checks failed" if failures else "every check passed", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
