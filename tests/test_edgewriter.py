"""pellar.edgewriter: the generator call, the label list, the gephi file and the report.

Most cases run the native class and its plain-Python equivalent (bench/plain)
on the same input and require the same outcome: result or exception (type and
message), the gephi file's bytes, the printed lines and every call the input
objects saw.

The property tests run a bounded number of examples here; for a long run:
    ./dev pytest tests/test_edgewriter.py -k property --hypothesis-profile=long
"""
import builtins
import contextlib
import copy
import io
import locale
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import traceback

import pytest
from hypothesis import given, note, strategies as st

import Graphout
import pellar.edgewriter as native_module
import plain.edgewriter as plain_module
from conftest import ROOT, STAGE, hide_installed
from leakcheck import assert_no_leak
from pellar.edgewriter import Edgewriter

ENTRY = "pellar.edgewriter.Edgewriter.create_net"
UTF8 = locale.getpreferredencoding(False).lower().replace("-", "") == "utf8"
IMPLEMENTATIONS = [native_module, plain_module]


# ---- running both implementations ---------------------------------------------------------

class Recorder:
    """Stands in for generate_network_file: records its calls, optionally acts on them."""

    def __init__(self, action=None):
        self.calls = []
        self.action = action

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.action:
            self.action(*args)
        return "ignored"


def quiet(action=None):
    """A generator that records nothing (for the leak checks)."""
    def generate(*args):
        if action:
            action(*args)
    return generate


@pytest.fixture
def generator(monkeypatch):
    """A recording generator bound in both modules (restored afterwards)."""
    rec = Recorder()
    for mod in IMPLEMENTATIONS:
        monkeypatch.setattr(mod, "generate_network_file", rec)
    return rec


def outcome(mod, zidian, LIs, filter_seq=None, *, gephi, old=None):
    """What one create_net call did: (result or exception, gephi bytes or None, printed lines)."""
    gephi = pathlib.Path(gephi)
    if old is not None:
        gephi.write_bytes(old)
    elif gephi.exists():
        gephi.unlink()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result = ("returned", mod.Edgewriter("net.graphml", str(gephi)).create_net(zidian, LIs, filter_seq))
        except Exception as exc:  # noqa: BLE001 - the outcome is compared
            result = ("raised", type(exc), str(exc))
    content = gephi.read_bytes() if gephi.exists() else None
    return result, content, out.getvalue().splitlines()


def both(tmp_path, make, filter_seq=None, old=None):
    """Runs native and plain on fresh inputs from `make()`; asserts equal outcomes and returns the native one."""
    seen = []
    for mod in IMPLEMENTATIONS:
        zidian, LIs = make()
        seen.append(outcome(mod, zidian, LIs, filter_seq, gephi=tmp_path / f"{mod.__name__}.txt", old=old))
    assert seen[0] == seen[1]
    return seen[0]


def labels_of(content):
    return content.decode().split("\n")[:-1]


def entry_names(exc):
    return [e.name for e in traceback.extract_tb(exc.__traceback__)]


# ---- the label list, the file and the report ----------------------------------------------

class Shown(str):
    def __format__(self, spec):
        return f"<{str(self)}>"


class Plain(str):
    pass


@pytest.mark.parametrize("zidian,LIs,labels", [
    ({}, [], []),
    ({"k": ["a", "b", "c", "d", "e"]}, [], ["a", "c", "e"]),
    ({"k": ("x", "y")}, [], ["('x', 'y')('x', 'y')"]),
    ({"k": {"abc": 1, "abcd": 2, "abcdef": 3}}, [], ["abcd", "abcdef"]),
    ({"a": "hi", "b": 7, "c": None, "d": True, "e": 0.5, "f": {1, 2}, "g": b"x"}, [],
     ["hihi", "77", "NoneNone", "TrueTrue", "0.50.5", "{1, 2}{1, 2}", "b'x'b'x'"]),
    ({}, ["a", "b", "c", "d", "e"], ["a_a", "a_c", "a_e", "d_e"]),
    ({}, ["p", "q", "r", "s", "t", "u", "v"], ["p_p", "p_r", "p_t", "p_v", "s_t", "s_v", "v_v"]),
    ({}, ["x"], ["x_x"]),
    ({}, ("a", "b", "c", "d"), ["a_a", "a_c"]),
    ({}, "abcdefg", ["a_a", "a_c", "a_e", "a_g", "d_e", "d_g", "g_g"]),
    ({"k": ["a_c"]}, ["a", "b", "c"], ["a_c", "a_a"]),
    ({"k": "q", "m": "q"}, [], ["qq", "qq"]),  # no duplicate test in the first step
    ({"k": ["a", "_", "a_b"]}, ["a", "x", "_b"], ["a", "a_b", "a_a", "a__b"]),
    ({"k": [10, 11, 12]}, [], ["10", "12"]),
    ({"k": [[1, 2], 3, {"a": 1}, 4, (5,)]}, ["a", "b", "c"], ["[1, 2]", "{'a': 1}", "(5,)", "a_a", "a_c"]),
    ({"k": ["two\nlines"]}, [], ["two", "lines"]),
    ({"k": ["Zürich", "x", "Москва", "x", "🦆"]}, ["é", "ж", "🦆"], ["Zürich", "Москва", "🦆", "é_é", "é_🦆"]),
])
def test_labels_written_one_per_line(tmp_path, generator, zidian, LIs, labels):
    result, content, printed = both(tmp_path, lambda: (copy.deepcopy(zidian), copy.deepcopy(LIs)))
    assert result == ("returned", None)
    assert labels_of(content) == labels and printed == []
    assert len(generator.calls) == 2  # once per implementation


ELEVEN = {"g": ["aa", "x", "bbb", "y", "cccc"], "h": "z"}
SEVEN = ["p", "q", "r", "s", "t", "u", "v"]


def test_report_of_eleven_labels(tmp_path, generator):
    _, content, printed = both(tmp_path, lambda: (dict(ELEVEN), list(SEVEN)))
    assert labels_of(content) == ["aa", "bbb", "cccc", "zz", "p_p", "p_r", "p_t", "p_v", "s_t", "s_v", "v_v"]
    assert printed == ["Processing aa: 2", "Processing cccc: 4", "Processing zz: 2"]


def test_no_report_for_ten_labels(tmp_path, generator):
    _, content, printed = both(tmp_path, lambda: ({"g": ELEVEN["g"]}, list(SEVEN)))
    assert len(labels_of(content)) == 10 and printed == []


@pytest.mark.parametrize("zidian,LIs,printed", [
    # Equal labels collapse into the place of the first.
    ({"a": "qq", "b": ["zz", 0, "qqqq", 0, "zz"], "c": "qq"}, SEVEN, ["Processing qqqq: 4", "Processing zz: 2"]),
    # A str subclass equal to a str; a tuple has a length too.
    ({"a": [Plain("zz"), 0, ("x", "y"), 0, "zz", 0, "qq"]}, SEVEN,
     ["Processing zz: 2", "Processing ('x', 'y'): 2", "Processing qq: 2"]),
    # Even-length pair labels, one of them already there from the first step.
    ({"a": ["ab_v", 0, "x", 0, "ab_v"], "b": "y", "c": "z"}, ["ab", "q", "cd", "s", "tt", "u", "v"],
     ["Processing ab_v: 4", "Processing yy: 2", "Processing zz: 2", "Processing s_tt: 4"]),
])
def test_report_collapses_equal_labels(tmp_path, generator, zidian, LIs, printed):
    _, content, got = both(tmp_path, lambda: (copy.deepcopy(zidian), list(LIs)))
    assert got == printed
    assert len(labels_of(content)) >= 11


@pytest.mark.parametrize("label,line", [
    (0.1, "0.1"), (1e16, "1e+16"), (-0.0, "-0.0"), (float("inf"), "inf"), (2.5e-7, "2.5e-07"),
    (True, "True"), (False, "False"), (12345678901234567890, "12345678901234567890"),
    (Shown("s"), "<s>"), (Plain("p"), "p"), (None, "None"), (1 + 2j, "(1+2j)"),
])
def test_display_text_of_a_label(tmp_path, generator, label, line):
    _, content, _ = both(tmp_path, lambda: ({"k": [label]}, []))
    assert labels_of(content) == [line]


def test_display_text_in_report_lines(tmp_path, generator):
    zidian = {"a": [Shown("ab"), 0, Shown("cd"), 0, "x"], "b": "y", "c": "z", "d": "w"}
    _, _, printed = both(tmp_path, lambda: (zidian, ["p", "q", "r", "s", "t", "u", "v"]))
    assert printed[:2] == ["Processing <ab>: 2", "Processing <cd>: 2"]


@pytest.mark.parametrize("kind", ["str", "bytes", "pathlike", "fd"])
def test_gephi_as_path_bytes_path_like_and_descriptor(tmp_path, generator, kind):
    path = tmp_path / "labels.txt"
    path.write_text("old content that is longer\n")
    fd = None
    if kind == "str":
        gephi = str(path)
    elif kind == "bytes":
        gephi = os.fsencode(path)
    elif kind == "pathlike":
        gephi = path
    else:
        fd = gephi = os.open(path, os.O_WRONLY | os.O_TRUNC)
    w = Edgewriter("net", gephi)
    assert w.create_net({"k": ["a", "b", "c"]}, ["x", "y"], None) is None
    assert path.read_text() == "a\nc\nx_x\n"
    assert w.gephi is gephi
    if fd is not None:
        with pytest.raises(OSError):
            os.fstat(fd)  # the file object closed it


def test_every_call_rewrites_and_rereads_attributes(tmp_path, generator):
    w = Edgewriter("first", str(tmp_path / "one.txt"))
    w.create_net({"k": ["a", "b", "c"]}, [], None)
    w.create_net({"k": ["d"]}, [], None)
    assert (tmp_path / "one.txt").read_text() == "d\n"
    w.network_file, w.gephi = "second", str(tmp_path / "two.txt")
    w.create_net({}, ["z"], None)
    assert (tmp_path / "two.txt").read_text() == "z_z\n"
    assert [c[0][0] for c in generator.calls] == ["first", "first", "second"]


def test_builtins_are_the_ones_resolved_at_load(tmp_path, generator, monkeypatch, capsys):
    def refuse(*args, **kwargs):
        raise AssertionError("rebound built-in used")

    for name in ("open", "print", "range", "enumerate"):
        monkeypatch.setattr(builtins, name, refuse)
    Edgewriter("n", str(tmp_path / "g.txt")).create_net(dict(ELEVEN), list(SEVEN), None)
    monkeypatch.undo()
    assert len((tmp_path / "g.txt").read_text().splitlines()) == 11
    assert capsys.readouterr().out.splitlines()[0] == "Processing aa: 2"


def test_print_goes_to_the_current_stdout(tmp_path, generator):
    for target in (io.StringIO(), io.StringIO()):
        with contextlib.redirect_stdout(target):
            Edgewriter("n", str(tmp_path / "g.txt")).create_net(dict(ELEVEN), list(SEVEN), None)
        assert target.getvalue() == "Processing aa: 2\nProcessing cccc: 4\nProcessing zz: 2\n"


# ---- the generator --------------------------------------------------------------------------

def test_generator_runs_first_with_the_callers_objects(tmp_path, monkeypatch):
    gephi = tmp_path / "g.txt"
    zidian, LIs, filter_seq = {"k": "v"}, ["a"], object()
    seen = []

    def generate(*args, **kwargs):
        seen.append((args, kwargs, gephi.exists()))

    monkeypatch.setattr(native_module, "generate_network_file", generate)
    w = Edgewriter(object(), str(gephi))
    w.create_net(zidian, LIs, filter_seq)
    (args, kwargs, file_there), = seen
    assert kwargs == {} and not file_there
    assert args[0] is w.network_file and args[1] is LIs and args[2] is filter_seq


def test_generator_is_looked_up_at_each_call(tmp_path, monkeypatch):
    w = Edgewriter("n", str(tmp_path / "g.txt"))
    first, second = Recorder(), Recorder()
    monkeypatch.setattr(native_module, "generate_network_file", first)
    w.create_net({}, [], None)
    monkeypatch.setattr(native_module, "generate_network_file", second)
    w.create_net({}, [], None)
    assert len(first.calls) == 1 and len(second.calls) == 1
    # Not in the module: the built-ins are next; in neither: NameError.
    monkeypatch.delattr(native_module, "generate_network_file")
    from_builtins = Recorder()
    monkeypatch.setattr(builtins, "generate_network_file", from_builtins, raising=False)
    w.create_net({}, [], None)
    assert len(from_builtins.calls) == 1
    monkeypatch.delattr(builtins, "generate_network_file")
    (tmp_path / "g.txt").unlink()
    with pytest.raises(NameError) as info:
        w.create_net({}, [], None)
    assert str(info.value) == "name 'generate_network_file' is not defined"
    assert entry_names(info.value)[-1] == ENTRY
    assert not (tmp_path / "g.txt").exists()


def test_generator_changes_are_seen_by_the_pairs(tmp_path, monkeypatch):
    def grow(network_file, LIs, filter_seq):
        LIs.append("c")

    for mod in IMPLEMENTATIONS:
        monkeypatch.setattr(mod, "generate_network_file", Recorder(grow))
    _, content, _ = both(tmp_path, lambda: ({}, ["a", "b"]))
    assert labels_of(content) == ["a_a", "a_c"]


def test_real_generator_writes_the_network(tmp_path):
    assert native_module.generate_network_file is Graphout.generate_network_file
    assert native_module.os is os
    network = tmp_path / "net.graphml"
    Edgewriter(str(network), str(tmp_path / "labels.txt")).create_net({"k": ["H5N1"]}, ["H5N1", "H7N9"], None)
    import networkx as nx

    assert list(nx.read_graphml(network).edges) == [("H5N1", "H7N9")]
    assert (tmp_path / "labels.txt").read_text() == "H5N1\nH5N1_H5N1\n"


# ---- failures and what each leaves behind ---------------------------------------------------

class NoLen:
    def __hash__(self):
        return 1

    def __format__(self, spec):
        return "no len"


class EqFails:
    def __eq__(self, other):
        raise LookupError("no comparing")

    __hash__ = None


class Items:
    """A mapping walked through its items() method."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


def boom(*args):
    raise LookupError("generator failed")


OLD = b"old content\n"
FAILURES = [
    # (name, step, zidian, LIs, generator action, exception type); the message is the plain class's
    ("generator raises", 1, {}, [], boom, LookupError),
    ("zidian None", 2, None, [], None, AttributeError),
    ("zidian without items", 2, ["a"], [], None, AttributeError),
    ("dict key without len", 2, {"k": {5: 1}}, [], None, TypeError),
    ("items yield one", 2, Items([("k",)]), [], None, ValueError),
    ("items yield none", 2, Items([()]), [], None, ValueError),
    ("items yield three", 2, Items([(1, 2, 3)]), [], None, ValueError),
    ("items yield None", 2, Items([None]), [], None, TypeError),
    ("items not iterable", 2, Items(5), [], None, TypeError),
    ("int elements", 3, {}, [1, 2], None, TypeError),
    ("str then int", 3, {}, ["a", "b", 1], None, TypeError),
    ("LIs without len", 3, {}, object(), None, TypeError),
    ("LIs None", 3, {"k": "v"}, None, None, TypeError),
    ("label __eq__ raises", 3, {"k": [EqFails()]}, ["a"], None, LookupError),
    ("lone surrogate", 4, {"k": ["ok", 0, "bad\ud800"]}, [], None, UnicodeEncodeError),
    ("int label reported", 5, {"k": [10, 11, 12]}, SEVEN + ["w", "x", "y", "z"], None, TypeError),
    ("unhashable label", 5, {"k": [["a", "b"]]}, SEVEN + ["w", "x", "y", "z"], None, TypeError),
    ("label without len", 5, {"k": [NoLen()]}, SEVEN + ["w", "x", "y", "z"], None, TypeError),
]


@pytest.mark.parametrize("name,step,zidian,LIs,action,error", FAILURES, ids=[f[0] for f in FAILURES])
def test_failure_of_each_step(tmp_path, monkeypatch, name, step, zidian, LIs, action, error):
    if step == 4 and not UTF8:
        pytest.skip("needs a UTF-8 default encoding")
    recs = {}
    for mod in IMPLEMENTATIONS:
        recs[mod] = Recorder(action)
        monkeypatch.setattr(mod, "generate_network_file", recs[mod])
    made = iter([copy.deepcopy((zidian, LIs)), copy.deepcopy((zidian, LIs))])
    result, content, printed = both(tmp_path, lambda: next(made), old=OLD)
    assert result[:2] == ("raised", error)  # the message: the same as the plain class's
    assert printed == []
    assert all(len(r.calls) == 1 for r in recs.values())  # the generator ran first, every time
    if step <= 3:
        assert content == OLD
    elif step == 4:
        assert content == b"ok\n"  # the lines before the failing one, file closed
    else:
        assert len(labels_of(content)) >= 11  # complete before the report failed

    # The traceback entry names the method; each step fails on its own line.
    monkeypatch.setattr(native_module, "generate_network_file", Recorder(action))
    zidian, LIs = copy.deepcopy((zidian, LIs))
    with pytest.raises(error) as info:
        Edgewriter("n", str(tmp_path / "g.txt")).create_net(zidian, LIs, None)
    entries = traceback.extract_tb(info.value.__traceback__)
    mine = [e for e in entries if e.name == ENTRY]
    assert len(mine) == 1 and mine[0].filename == "pellar/edgewriter" and mine[0].lineno > 0
    if action is boom:
        assert [e.name for e in entries][-3:] == [ENTRY, "__call__", "boom"]


def test_steps_report_their_own_lines(tmp_path, monkeypatch):
    lines = {}
    for name, step, zidian, LIs, action, error in FAILURES:
        monkeypatch.setattr(native_module, "generate_network_file", Recorder(action))
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                Edgewriter("n", str(tmp_path / "g.txt")).create_net(*copy.deepcopy((zidian, LIs)), None)
        except error as exc:
            entry = [e for e in traceback.extract_tb(exc.__traceback__) if e.name == ENTRY][0]
            lines.setdefault(step, set()).add(entry.lineno)
    assert len(lines) == 5
    for a in lines:
        for b in lines:
            assert a == b or not lines[a] & lines[b], lines
    # Each is the line of a statement of the module's own source, in its code.
    source = (ROOT / "pellar" / "edgewriter.cpp").read_text().splitlines()
    code_ends = next(n for n, text in enumerate(source, 1) if text.startswith("const frame::ModuleInfo"))
    assert all(0 < line < code_ends for found in lines.values() for line in found), lines


def test_gephi_that_cannot_be_opened(tmp_path, generator):
    for gephi, error in [(str(tmp_path), IsADirectoryError), (None, TypeError),
                         (str(tmp_path / "missing" / "g.txt"), FileNotFoundError)]:
        with pytest.raises(error) as info:
            Edgewriter("n", gephi).create_net(dict(ELEVEN), list(SEVEN), None)
        assert entry_names(info.value)[-1] == ENTRY
    assert len(generator.calls) == 3


def test_failing_write_leaves_the_lines_before_it(tmp_path, generator):
    class Bad:
        def __format__(self, spec):
            raise ArithmeticError("no text")

    zidian = {"k": ["a", 0, "b", 0, Bad(), 0, "c"]}
    result, content, printed = both(tmp_path, lambda: (zidian, list(SEVEN)))
    assert result == ("raised", ArithmeticError, "no text")
    assert labels_of(content) == ["a", "b"] and printed == []


def test_missing_network_file_attribute(tmp_path, generator):
    w = Edgewriter("n", str(tmp_path / "g.txt"))
    del w.network_file
    with pytest.raises(AttributeError, match="network_file"):
        w.create_net({}, [], None)
    assert generator.calls == [] and not (tmp_path / "g.txt").exists()


def test_init_failures_and_binding(tmp_path, generator):
    class Refusing(Edgewriter):
        def __setattr__(self, name, value):
            if name == "gephi":
                raise PermissionError(name)
            super().__setattr__(name, value)

    with pytest.raises(PermissionError) as info:
        Refusing("n", "g")
    assert entry_names(info.value)[-2:] == ["pellar.edgewriter.Edgewriter.__init__", "__setattr__"]
    w = Edgewriter(gephi=str(tmp_path / "g.txt"), network_file="n")
    assert vars(w) == {"network_file": "n", "gephi": str(tmp_path / "g.txt")}
    assert list(vars(Edgewriter("a", "b"))) == ["network_file", "gephi"]
    assert w.create_net(filter_seq=1, LIs=["x"], zidian={}) is None
    for call, message in [
        (lambda: Edgewriter("n"), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: w.create_net({}, []), "create_net() takes exactly 4 positional arguments (3 given)"),
        (lambda: w.create_net({}, [], None, 1), "create_net() takes exactly 4 positional arguments (5 given)"),
        (lambda: w.create_net({}, [], zidian={}), "create_net() takes exactly 4 positional arguments (3 given)"),
        (lambda: w.create_net({}, [], None, zidian={}),
         "create_net() got multiple values for keyword argument 'zidian'"),
        (lambda: w.create_net({}, [], None, x=1), "create_net() got an unexpected keyword argument 'x'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert len(generator.calls) == 1


# ---- the membership test beyond plain strings -----------------------------------------------

class Probe:
    """A label whose comparisons are logged; equal to the texts in `equal_to`."""

    def __init__(self, log, name, equal_to=(), action=None):
        self.log, self.name, self.equal_to, self.action = log, name, equal_to, action

    def __eq__(self, other):
        self.log.append((self.name, other if isinstance(other, str) else type(other).__name__))
        if self.action:
            return self.action(other)
        return other in self.equal_to

    __hash__ = None

    def __format__(self, spec):
        return f"Probe({self.name})"


def probes_run(tmp_path, build):
    """Runs both implementations on build(log); returns the outcome and the native log."""
    seen = []
    for mod in IMPLEMENTATIONS:
        log = []
        zidian, LIs = build(log)
        seen.append((outcome(mod, zidian, LIs, gephi=tmp_path / f"{mod.__name__}.txt"), log))
    assert seen[0] == seen[1]
    return seen[0]


def test_open_labels_are_compared_in_order_up_to_the_first_equal_text(tmp_path, generator):
    def build(log):
        zidian = {"a": [Probe(log, "p1")], "b": ["a_c"], "c": [Probe(log, "p2", equal_to=("a_e",))]}
        return zidian, ["a", "b", "c", "d", "e"]

    (result, content, _), log = probes_run(tmp_path, build)
    assert labels_of(content) == ["Probe(p1)", "a_c", "Probe(p2)", "a_a", "d_e"]
    # a_c stops at the str label, before p2; a_e stops at p2.
    assert log == [("p1", "a_a"), ("p2", "a_a"), ("p1", "a_c"), ("p1", "a_e"), ("p2", "a_e"),
                   ("p1", "d_e"), ("p2", "d_e")]


@pytest.mark.parametrize("action,expect", [
    (lambda other: [], None),                       # falsy, not a bool
    (lambda other: [0], "dropped"),                 # truthy, not a bool
    (lambda other: NotImplemented, None),           # falls back to the str's side, then identity
    (lambda other: 1 / 0, ZeroDivisionError),
])
def test_equality_results_of_any_kind(tmp_path, generator, action, expect):
    def build(log):
        return {"k": [Probe(log, "p", action=action)]}, ["a", "b", "c"]

    (result, content, _), log = probes_run(tmp_path, build)
    if expect is ZeroDivisionError:
        assert result[:2] == ("raised", ZeroDivisionError)
    elif expect == "dropped":
        assert labels_of(content) == ["Probe(p)"]
    else:
        assert labels_of(content) == ["Probe(p)", "a_a", "a_c"]


def test_bool_of_the_equality_result_can_fail(tmp_path, generator):
    def build(log):
        return {"k": [Probe(log, "p", action=lambda other: NoBool())]}, ["a"]

    (result, _, _), _ = probes_run(tmp_path, build)
    assert result == ("raised", OverflowError, "no truth value")


@pytest.mark.parametrize("mutation", ["append", "clear", "pop"])
def test_equality_that_changes_LIs(tmp_path, generator, mutation):
    def build(log):
        LIs = ["a", "b", "c", "d", "e", "f", "g"]

        def act(other):
            if len(log) == 2:
                getattr(LIs, mutation)(*(["z"] if mutation == "append" else []))
            return False

        return {"k": [Probe(log, "p", action=act)]}, LIs

    (result, content, _), log = probes_run(tmp_path, build)
    if mutation == "append":
        assert result == ("returned", None) and len(log) >= 3
    else:
        assert result == ("raised", IndexError, "list index out of range")


class Joined:
    """An LIs element with its own addition: its result is not a str."""

    def __init__(self, text):
        self.text = text

    def __add__(self, other):
        return Joined(self.text + (other if isinstance(other, str) else other.text))

    __radd__ = __add__

    def __eq__(self, other):
        return isinstance(other, Joined) and other.text == self.text

    __hash__ = None

    def __format__(self, spec):
        return f"J[{self.text}]"


class Backwards(str):
    """A str element that joins from the right itself."""

    def __radd__(self, other):
        return Backwards(str(self) + "+" + other)

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize("LIs,labels", [
    (["a", Backwards("b"), Backwards("c")], ["a_a", "c+a_"]),  # "a_" + Backwards("c"): its own __radd__
    ([Plain("a"), "b", Plain("c")], ["a_a", "a_c"]),
    ([Shown("a"), "b", "c", Shown("d")], ["a_a", "a_c"]),
])
def test_pairs_of_str_subclasses(tmp_path, generator, LIs, labels):
    _, content, _ = both(tmp_path, lambda: ({}, list(LIs)))
    assert labels_of(content) == labels


def test_joined_pair_labels_are_compared_by_their_own_equality(tmp_path, generator):
    # a_a twice would be two equal Joined objects: the second is not added.
    _, content, _ = both(tmp_path, lambda: ({}, [Joined("a"), Joined("x"), Joined("a")]))
    assert labels_of(content) == ["J[a_a]"]
    _, content, _ = both(tmp_path, lambda: ({}, [Joined(s) for s in "abcdefg"]))
    assert labels_of(content) == ["J[a_a]", "J[a_c]", "J[a_e]", "J[a_g]", "J[d_e]", "J[d_g]", "J[g_g]"]


def test_labels_of_other_types_and_then_strings(tmp_path, generator):
    # Unhashable and non-str labels first; a str subclass equal to a pair label blocks it.
    zidian = {"a": [[1], 0, {"x": 1}, 0, 3.5, 0, None, 0, (1,), 0, {2}, 0, Plain("a_c"), 0, 1j]}
    _, content, _ = both(tmp_path, lambda: (copy.deepcopy(zidian), ["a", "b", "c", "d"]))
    assert labels_of(content) == ["[1]", "{'x': 1}", "3.5", "None", "(1,)", "{2}", "a_c", "1j", "a_a"]


def test_custom_sequence_sees_the_same_calls(tmp_path, generator):
    class Seq:
        def __init__(self, log, items):
            self.log, self.items = log, items

        def __len__(self):
            self.log.append("len")
            return len(self.items)

        def __getitem__(self, i):
            self.log.append(i)
            return self.items[i]

    def build(log):
        return {}, Seq(log, list("abcdefg"))

    (result, content, _), log = probes_run(tmp_path, build)
    assert labels_of(content) == ["a_a", "a_c", "a_e", "a_g", "d_e", "d_g", "g_g"]
    assert log.count("len") == 1 + 7 and log[:3] == ["len", "len", 0]


def test_zidian_walks(tmp_path, generator):
    class Sub(dict):
        def items(self):
            return [("x", ["from", 0, "items"])]

    class Keys(dict):
        def __iter__(self):
            return iter(["walked", "by", "iter"])

    class Evens(list):
        def __getitem__(self, i):
            raise AssertionError("read through indexing")

    _, content, _ = both(tmp_path, lambda: (Sub(k=["ignored"]), []))
    assert labels_of(content) == ["from", "items"]
    _, content, _ = both(tmp_path, lambda: ({"k": Keys(a=1)}, []))
    assert labels_of(content) == ["walked", "iter"]
    _, content, _ = both(tmp_path, lambda: ({"k": Evens("abcde")}, []))
    assert labels_of(content) == ["a", "c", "e"]
    _, content, _ = both(tmp_path, lambda: (Items([["k", "v"], "kv", iter(("a", "b"))]), []))
    assert labels_of(content) == ["vv", "vv", "bb"]


def test_zidian_changed_during_the_walk(tmp_path, generator):
    def build(log):
        zidian = {}

        class Grows:
            def __str__(self):
                zidian["more"] = 1
                return "g"

        zidian.update(a=Grows(), b="x")
        return zidian, []

    (result, content, _), _ = probes_run(tmp_path, build)
    assert result == ("raised", RuntimeError, "dictionary changed size during iteration")


def test_step_two_text_uses_str_and_its_repetition(tmp_path, generator):
    class Text:
        def __str__(self):
            return Twice("t")

    class Twice(str):
        def __mul__(self, n):
            return "multiplied"

    class BadStr:
        def __str__(self):
            return 5

    _, content, _ = both(tmp_path, lambda: ({"k": Text()}, []))
    assert labels_of(content) == ["multiplied"]
    result, _, _ = both(tmp_path, lambda: ({"k": BadStr()}, []))
    assert result[:2] == ("raised", TypeError)  # with the plain class's message


# ---- leaks ----------------------------------------------------------------------------------

def test_no_leak_on_success(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(native_module, "generate_network_file", quiet())
    sink = io.StringIO()
    w = Edgewriter("n", "g.txt")
    zidian = {"a": ["x", 1.5, ("t", "u")], "b": {"abcd": 1, "ab": 2}, "c": "s", "d": None, "e": Shown("ab")}
    LIs = ["p", "q", "r", "s", "t", "u", "v"]
    log = []
    with_probe = {"p": [Probe(log, "p", action=lambda other: log.clear())]}
    odd = [Joined("a"), Joined("b"), Joined("c")]

    def run(z, L):
        def call():
            sink.seek(0)
            sink.truncate()
            with contextlib.redirect_stdout(sink):
                w.create_net(z, L, None)
        return call

    for z, L in [(zidian, LIs), (with_probe, LIs), ({}, odd), ({"k": ["xy"] * 30}, LIs)]:
        assert_no_leak(run(z, L), z, L, w)


@pytest.mark.parametrize("name,step,zidian,LIs,action,error", FAILURES, ids=[f[0] for f in FAILURES])
def test_no_leak_on_failure(tmp_path, monkeypatch, name, step, zidian, LIs, action, error):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(native_module, "generate_network_file", quiet(action))
    w = Edgewriter("n", "g.txt")
    sink = io.StringIO()

    def call():
        with contextlib.redirect_stdout(sink):
            w.create_net(zidian, LIs, None)

    assert_no_leak(call, zidian, LIs, w, expect=error)


def test_init_does_not_leak():
    a, b = object(), object()
    assert_no_leak(lambda: Edgewriter(a, b), a, b)
    assert_no_leak(lambda: Edgewriter(gephi=b, network_file=a), a, b)


# ---- loading --------------------------------------------------------------------------------

def run_python(code, pythonpath):
    """Runs `code` with `pythonpath`; a Graphout elsewhere (an installed one) is out of reach."""
    env = dict(os.environ, PYTHONPATH=str(pythonpath))
    return subprocess.run([sys.executable, "-P", "-c", hide_installed("Graphout", pythonpath) + textwrap.dedent(code)],
                          env=env, capture_output=True, text=True, timeout=120)


LOAD = """
    import sys, traceback
    try:
        import pellar.edgewriter
    except Exception as e:
        # The last entry, but for the finder that hides an installed Graphout (code of "-c" too).
        entry = [t for t in traceback.extract_tb(e.__traceback__) if t.filename != "<string>"][-1]
        print(type(e).__name__, e, "|", entry.name, entry.filename, entry.lineno > 0,
              "pellar.edgewriter" in sys.modules)
    else:
        print("loaded")
"""


@pytest.mark.parametrize("graphout,expected", [
    (None, "ModuleNotFoundError No module named 'Graphout' | init pellar.edgewriter pellar/edgewriter True False"),
    ("x = 1\n", "ImportError cannot import name generate_network_file | init pellar.edgewriter "
                "pellar/edgewriter True False"),
    ("raise KeyError('broken')\n", None),
    ("def generate_network_file(a, b, c):\n    pass\n", "loaded"),
])
def test_loading_needs_graphout(tmp_path, graphout, expected):
    shutil.copytree(STAGE / "pellar", tmp_path / "pellar")
    if graphout is not None:
        (tmp_path / "Graphout.py").write_text(graphout)
    r = run_python(LOAD, tmp_path)
    assert r.returncode == 0, r.stderr
    if expected is None:
        assert r.stdout.startswith("KeyError 'broken' | ")
    else:
        assert r.stdout.strip() == expected


def test_os_is_imported_before_graphout(tmp_path):
    shutil.copytree(STAGE / "pellar", tmp_path / "pellar")
    (tmp_path / "Graphout.py").write_text(
        "import sys\nprint('os' in vars(sys.modules['pellar.edgewriter']))\n"
        "def generate_network_file(a, b, c): pass\n")
    r = run_python("import pellar.edgewriter", tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


# ---- properties -----------------------------------------------------------------------------

small_text = st.text(alphabet="ab_é🦆", max_size=3)
any_text = st.one_of(small_text, st.text(max_size=6), st.text(st.characters(codec="utf-8"), max_size=4))
leaf = st.one_of(any_text, st.integers(-5, 20), st.floats(allow_nan=True), st.none(), st.booleans())
nested = st.recursive(leaf, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner), max_leaves=6)
values = st.one_of(
    st.lists(nested, max_size=7),
    st.dictionaries(st.one_of(any_text, st.tuples(small_text), st.integers(0, 3)), st.integers(), max_size=4),
    any_text, st.integers(), st.floats(), st.none(), st.booleans(), st.tuples(small_text, small_text),
    st.frozensets(st.integers(0, 3), max_size=2),
)
zidians = st.dictionaries(any_text, values, max_size=6)
element_lists = st.one_of(
    st.lists(small_text, max_size=14),
    st.lists(any_text, max_size=9),
    st.lists(st.one_of(small_text, st.integers(0, 3)), max_size=6),
)


@given(zidian=zidians, LIs=element_lists, as_tuple=st.booleans())
def test_property_same_as_plain(tmp_path_factory, zidian, LIs, as_tuple):
    tmp_path = tmp_path_factory.mktemp("prop")
    if as_tuple:
        LIs = tuple(LIs)
    before = repr((zidian, LIs))
    gens = []
    with contextlib.ExitStack() as stack:
        for mod in IMPLEMENTATIONS:
            gens.append(Recorder())
            stack.enter_context(swap(mod, gens[-1]))
        seen = [outcome(mod, copy.deepcopy(zidian), copy.deepcopy(LIs), gephi=tmp_path / f"{i}.txt")
                for i, mod in enumerate(IMPLEMENTATIONS)]
        # The caller's own objects are left as they were.
        outcome(native_module, zidian, LIs, gephi=tmp_path / "mine.txt")
    note(repr(seen[0]))
    assert seen[0] == seen[1]
    assert repr((zidian, LIs)) == before
    assert [len(g.calls) for g in gens] == [2, 1]


@contextlib.contextmanager
def swap(mod, generate):
    saved = mod.generate_network_file
    mod.generate_network_file = generate
    try:
        yield
    finally:
        mod.generate_network_file = saved


# Hostile objects: each built from a recipe, twice, so that both implementations
# meet equal objects; every special-method call is logged and compared.

class Ctx:
    def __init__(self):
        self.log = []
        self.LIs = None
        self.zidian = None


def describe(o):
    if isinstance(o, Odd):
        return o.name
    if isinstance(o, str):
        return str(o)
    return type(o).__name__


class Odd:
    """A label or element whose special methods follow its recipe (a dict of method -> behaviour)."""

    def __init__(self, ctx, name, recipe):
        self.ctx, self.name, self.recipe = ctx, name, recipe

    def _act(self, method, *args):
        self.ctx.log.append((self.name, method) + tuple(describe(a) for a in args))
        how = self.recipe.get(method, "default")
        if how == "raise":
            raise KeyError(f"{self.name}.{method}")
        if how == "grow LIs" and isinstance(self.ctx.LIs, list) and len(self.ctx.LIs) < 12:
            self.ctx.LIs.append("g")
        if how == "clear LIs" and isinstance(self.ctx.LIs, list):
            self.ctx.LIs.clear()
        if how == "grow zidian" and isinstance(self.ctx.zidian, dict) and len(self.ctx.zidian) < 12:
            self.ctx.zidian[f"new{len(self.ctx.zidian)}"] = "n"
        return how

    def __eq__(self, other):
        how = self._act("eq", other)
        return {"true": True, "list": [1], "empty": [], "none": None, "nobool": NoBool()}.get(how, False)

    def __hash__(self):
        self._act("hash")
        return hash(self.name)

    def __len__(self):
        how = self._act("len")
        return {"negative": -1, "huge": 2 ** 70, "text": "3", "float": 3.0, "odd": 3}.get(how, 2)

    def __format__(self, spec):
        how = self._act("format", spec)
        return 7 if how == "nonstr" else f"<{self.name}>"

    def __str__(self):
        how = self._act("str")
        return 7 if how == "nonstr" else f"s{self.name}"

    def __add__(self, other):
        how = self._act("add", other)
        return Odd(self.ctx, f"({self.name}+{describe(other)})", self.recipe) if how == "odd" else f"{self.name}+"

    def __radd__(self, other):
        self._act("radd", other)
        return f"{describe(other)}+{self.name}"


class NoBool:
    def __bool__(self):
        raise OverflowError("no truth value")


class OddItems:
    def __init__(self, ctx, rows, how):
        self.ctx, self.rows, self.how = ctx, rows, how

    def items(self):
        self.ctx.log.append(("items",))
        if self.how == "raise":
            raise KeyError("items")
        return iter(self.rows)


class OddSeq:
    def __init__(self, ctx, items, how):
        self.ctx, self.items, self.how = ctx, items, how

    def __len__(self):
        self.ctx.log.append(("seq len",))
        if self.how == "raise":
            raise KeyError("seq len")
        return len(self.items) + (self.how == "more")

    def __getitem__(self, i):
        self.ctx.log.append(("seq item", i))
        return self.items[i]


METHODS = ["eq", "hash", "len", "format", "str", "add"]
BEHAVIOURS = ["default", "raise", "true", "list", "empty", "none", "nobool", "negative", "huge", "text", "float",
              "odd", "nonstr", "grow LIs", "clear LIs", "grow zidian"]
recipes = st.dictionaries(st.sampled_from(METHODS), st.sampled_from(BEHAVIOURS), max_size=3)
eq_recipes = st.fixed_dictionaries({"eq": st.sampled_from(BEHAVIOURS)}, optional={"len": st.sampled_from(BEHAVIOURS)})
odd_spec = st.tuples(st.just("odd"), recipes | eq_recipes)
text_spec = small_text.map(lambda s: ("text", s))
item_spec = st.one_of(odd_spec, odd_spec, text_spec, text_spec, st.integers(0, 3).map(lambda i: ("int", i)),
                      st.just(("list", None)))
# Elements of LIs: mostly str, so that the pairs go on long enough to meet the labels.
element_spec = st.one_of(*[text_spec] * 8, odd_spec)
value_spec = st.one_of(
    st.tuples(st.just("list"), st.lists(item_spec, max_size=9)),
    st.tuples(st.just("dict"), st.lists(st.one_of(odd_spec, text_spec), max_size=3)),
    st.tuples(st.just("scalar"), item_spec),
)
zidian_spec = st.one_of(
    st.tuples(st.just("dict"), st.lists(value_spec, max_size=4)),
    st.tuples(st.just("dict"), st.lists(value_spec, max_size=4)),
    st.tuples(st.just("items"), st.lists(st.one_of(
        value_spec.map(lambda v: ("pair", v)), value_spec.map(lambda v: ("pair", v)),
        st.sampled_from([("short",), ("long",), ("none",), ("text",)])),
        max_size=4), st.sampled_from(["ok", "ok", "ok", "raise"])),
)
lis_spec = st.tuples(st.sampled_from(["list", "list", "tuple", "seq ok", "seq raise", "seq more"]),
                     st.lists(element_spec, max_size=9))


def build(ctx, spec, name="x"):
    kind, arg = spec
    if kind == "odd":
        return Odd(ctx, name, arg)
    if kind == "text":
        return arg
    if kind == "int":
        return arg
    return ["nested", name]


def build_value(ctx, spec, name):
    kind, arg = spec
    if kind == "list":
        return [build(ctx, s, f"{name}{i}") for i, s in enumerate(arg)]
    if kind == "dict":
        return {build(ctx, s, f"{name}k{i}"): i for i, s in enumerate(arg)
                if not (s[0] == "odd" and s[1].get("hash") == "raise")}
    return build(ctx, arg, name)


def build_case(spec):
    zspec, lspec = spec
    ctx = Ctx()
    if zspec[0] == "dict":
        zidian = {f"k{i}": build_value(ctx, v, f"z{i}.") for i, v in enumerate(zspec[1])}
    else:
        rows = []
        for i, row in enumerate(zspec[1]):
            if row[0] == "pair":
                rows.append((f"k{i}", build_value(ctx, row[1], f"r{i}.")))
            else:
                rows.append({"short": ("k",), "long": (1, 2, 3), "none": None, "text": "kv"}[row[0]])
        zidian = OddItems(ctx, rows, zspec[2])
    kind, items = lspec
    elements = [build(ctx, s, f"L{i}") for i, s in enumerate(items)]
    if kind == "list":
        LIs = elements
    elif kind == "tuple":
        LIs = tuple(elements)
    else:
        LIs = OddSeq(ctx, elements, kind.split()[1])
    ctx.LIs, ctx.zidian = LIs, zidian
    ctx.log.clear()  # building the dicts hashed their keys
    return ctx, zidian, LIs


@given(spec=st.tuples(zidian_spec, lis_spec))
def test_property_hostile_objects(tmp_path_factory, spec):
    tmp_path = tmp_path_factory.mktemp("hostile")
    seen = []
    for i, mod in enumerate(IMPLEMENTATIONS):
        ctx, zidian, LIs = build_case(spec)
        with swap(mod, Recorder()):
            result = outcome(mod, zidian, LIs, gephi=tmp_path / f"{i}.txt")
        seen.append((result, ctx.log))
    note(repr(seen[0]))
    assert seen[0] == seen[1]
    # A failure carries the method's entry.
    ctx, zidian, LIs = build_case(spec)
    with swap(native_module, Recorder()), contextlib.redirect_stdout(io.StringIO()):
        try:
            Edgewriter("n", str(tmp_path / "n.txt")).create_net(zidian, LIs, None)
        except Exception as exc:  # noqa: BLE001
            assert ENTRY in entry_names(exc)


# Fixed hostile cases, one per kind of trouble, also under the leak check.
HOSTILE = [
    (("dict", [("list", [("odd", {"eq": "grow LIs"}), ("text", "a")])]), ("list", [("text", "a")] * 4)),
    (("dict", [("list", [("odd", {"eq": "clear LIs"})])]), ("list", [("text", "a")] * 5)),
    (("dict", [("list", [("odd", {"eq": "nobool"})])]), ("tuple", [("text", "b")] * 2)),
    (("dict", [("scalar", ("odd", {"str": "grow zidian"})), ("scalar", ("text", "x"))]), ("list", [])),
    (("dict", [("dict", [("odd", {"len": "huge"})])]), ("list", [])),
    (("dict", [("dict", [("odd", {"len": "text"})])]), ("list", [])),
    (("items", [("long",)], "ok"), ("list", [])),
    (("items", [("pair", ("list", [("odd", {"format": "nonstr"})]))], "ok"), ("list", [])),
    (("dict", [("list", [("odd", {"len": "default", "hash": "raise"})] + [("text", "ab")] * 20)]), ("list", [])),
    (("dict", []), ("list", [("odd", {"add": "odd", "eq": "true"}), ("text", "b"), ("odd", {})])),
    (("dict", []), ("seq more", [("text", "a"), ("text", "b")])),
    (("dict", [("list", [("text", "a_a"), ("odd", {"eq": "true"})])]), ("list", [("text", "a"), ("text", "x")])),
]


@pytest.mark.parametrize("spec", HOSTILE)
def test_hostile_regressions(tmp_path, monkeypatch, spec):
    seen = []
    for i, mod in enumerate(IMPLEMENTATIONS):
        ctx, zidian, LIs = build_case(spec)
        with swap(mod, Recorder()):
            seen.append((outcome(mod, zidian, LIs, gephi=tmp_path / f"{i}.txt"), ctx.log))
    assert seen[0] == seen[1]
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(native_module, "generate_network_file", quiet())
    sink = io.StringIO()
    ctx, zidian, LIs = build_case(spec)

    def call():
        ctx.log.clear()
        with contextlib.redirect_stdout(sink):
            try:
                Edgewriter("n", "g.txt").create_net(zidian, LIs, None)
            except Exception as exc:  # noqa: BLE001
                assert ENTRY in entry_names(exc)
        sink.seek(0)
        sink.truncate()

    assert_no_leak(call, zidian, LIs)


# ---- lines in batches, against a line at a time ---------------------------------------------

def stdout_of(kind, path):
    """A standard output of `kind`, and how to read back what reached it."""
    if kind in ("file", "ascii", "ascii-replace", "closed"):
        encoding = {"file": "utf-8", "closed": "utf-8"}.get(kind, "ascii")
        errors = "backslashreplace" if kind == "ascii-replace" else "strict"
        f = open(path, "w", encoding=encoding, errors=errors)
        if kind == "closed":
            f.close()
        return f, lambda: path.read_bytes()
    if kind == "buffer":
        f = io.StringIO()
        return f, f.getvalue
    if kind == "none":
        return None, lambda: None
    lines = []  # an object with a write method of its own

    class Sink:
        write = lines.append
    return Sink(), lambda: list(lines)


# Labels of the dict's values and pairs; the report has lines of all widths.
BATCH_CASES = {
    "text": ({"k": ["aa", 0, "é€", 0, "🦆x", 0, "cccc"], "h": "zz"}, ["p", "q", "r_", "p", "t", "u", "v", "w"]),
    "surrogate label": ({"k": ["aa", 0, "b\ud800", 0, "cccc", 0, "dd"], "h": "zz"}, list("pqrstuvw")),
    "surrogate item": ({"k": ["aa", 0, "bb"], "h": "zz"}, ["p", "q", "r", "\udc80", "t", "u", "v", "w"]),
    "many lines": ({"k": [f"{i:07d}é" if i % 2 == 0 else i for i in range(300_000)]}, ["p", "q", "r"]),
    "late surrogate": ({"k": [f"{i:07d}" if i != 290_000 else "x\udcff" for i in range(300_000)]}, ["p"]),
}


@pytest.mark.parametrize("stdout", ["file", "ascii", "ascii-replace", "closed", "buffer", "none", "writer"])
@pytest.mark.parametrize("case", list(BATCH_CASES))
def test_written_and_printed_bytes_are_those_of_a_line_at_a_time(tmp_path, generator, monkeypatch, stdout, case):
    seen = []
    for mod in IMPLEMENTATIONS:
        out, printed = stdout_of(stdout, tmp_path / f"{mod.__name__}.out")
        gephi = tmp_path / f"{mod.__name__}.txt"
        monkeypatch.setattr(sys, "stdout", out)
        try:
            result = ("returned", mod.Edgewriter("n", str(gephi)).create_net(*copy.deepcopy(BATCH_CASES[case]), None))
        except Exception as exc:  # noqa: BLE001 - the outcome is compared
            result = ("raised", type(exc), str(exc))
        finally:
            monkeypatch.setattr(sys, "stdout", sys.__stdout__)
            if out is not None and hasattr(out, "close") and not isinstance(out, io.StringIO):
                out.close()
        seen.append((result, gephi.read_bytes() if gephi.exists() else None, printed()))
    assert seen[0] == seen[1]


class SwapsStdout:
    """An even-length label whose `method`, at its `at`-th call, points sys.stdout at `to`."""

    def __init__(self, method, at, to):
        self.calls, self.method, self.at, self.to = 0, method, at, to

    def _call(self, method):
        self.calls += method == self.method
        if method == self.method and self.calls == self.at:
            sys.stdout = self.to

    __len__ = lambda self: self._call("len") or 2  # noqa: E731
    __hash__ = lambda self: self._call("hash") or 7  # noqa: E731
    __format__ = lambda self, spec: self._call("format") or "sw"  # noqa: E731


@pytest.mark.parametrize("method,at", [("len", 1), ("hash", 1), ("format", 2)])
def test_report_lines_go_to_the_stdout_of_their_print(tmp_path, generator, monkeypatch, method, at):
    seen = []
    for mod in IMPLEMENTATIONS:
        files = [open(tmp_path / f"{mod.__name__}.{n}", "w", encoding="utf-8") for n in (1, 2)]
        zidian = {"k": ["aa", 0, "bb", 0, SwapsStdout(method, at, files[1]), 0, "cccc"]}
        monkeypatch.setattr(sys, "stdout", files[0])
        try:
            mod.Edgewriter("n", str(tmp_path / "g.txt")).create_net(zidian, list("pqrstuvwxyz"), None)
        finally:
            monkeypatch.setattr(sys, "stdout", sys.__stdout__)
            for f in files:
                f.close()
        seen.append([(tmp_path / f"{mod.__name__}.{n}").read_text() for n in (1, 2)])
    assert seen[0] == seen[1] and seen[0][1]


@pytest.mark.parametrize("LIs", [
    ["a_", "b", "c", "a_", "d", "e", "a_", "b"],   # "_" in rows only
    ["a", "b", "c_", "x", "c_", "e", "a", "c_"],   # "_" in columns only
    ["a_", "b", "_c", "a_", "_c"],                 # in both: made and tested pair by pair
    ["a", "b", "a", "a", "b", "a", "a", "a", "b"],  # rows and columns repeated
    ("p", "q", "r", "p", "s", "t", "p"),
    "abcab_ca_b",
    "\U0001f986é\U0001f986aé",
    [],
])
@pytest.mark.parametrize("zidian", [{}, {"k": ["a_c", 0, "a_a", 0, "p_r", 0, "a__c", 0, "a_b_"], "h": 1}])
def test_pair_labels_from_the_items_texts(tmp_path, generator, LIs, zidian):
    both(tmp_path, lambda: (copy.deepcopy(zidian), copy.deepcopy(LIs)))


# ---- allocation failures --------------------------------------------------------------------

from nomemory import failing_allocations  # noqa: E402


@pytest.mark.parametrize("method,items,stdout", [
    ("__init__", "str", "file"),
    ("create_net", "str", "file"),        # pair labels as runs, lines in batches
    ("create_net", "subclass", "buffer"),  # pair by pair, a line at a time
])
def test_every_allocation_may_fail(tmp_path, method, items, stdout):
    report = failing_allocations(f"""
import io, os, sys
import pellar.edgewriter as m
from pellar.edgewriter import Edgewriter
m.generate_network_file = lambda *args: None
class Text(str):
    pass
make = str if {items!r} == "str" else Text
zidian = {{"g": ["aa", 1, "bbb", 2, "cccc"], "h": "z", "d": {{"abcd": 1, "ab": 2}}, "n": 7, "f": 0.5}}
LIs = [make(x) for x in ["p", "q", "r", "p", "t", "u_", "v", "q"]]
gephi = {str(tmp_path / "g.txt")!r}
out = {str(tmp_path / "out.txt")!r}
def prepare():
    sys.stdout = open(out, "w") if {stdout!r} == "file" else io.StringIO()
    return Edgewriter("n", gephi), sys.stdout
def call(arg):
    if {method!r} == "__init__":
        return Edgewriter("n", gephi).gephi
    arg[0].create_net(zidian, LIs, None)
def finish(arg):
    sys.stdout = sys.__stdout__
    printed = arg[1].getvalue() if {stdout!r} != "file" else None
    arg[1].close()
    read = lambda path: open(path).read() if os.path.exists(path) else None
    return read(gephi), printed if printed is not None else read(out)
""")
    assert report.passed, str(report)


# ---- Ctrl-C ---------------------------------------------------------------------------------

from interrupt import ANSWERED, interrupt  # noqa: E402


@pytest.mark.parametrize("LIs,opened", [
    ("[Text('A')] * 80_000", False),    # pair by pair: the label file is not opened yet
    ("[str(i) for i in range(80_000)]", True),  # 1.6e9 labels to write: the file is closed
])
def test_ctrl_c_interrupts_a_long_call(tmp_path, LIs, opened):
    gephi = tmp_path / "g.txt"
    got = interrupt(f"""
import pellar.edgewriter as m
m.generate_network_file = lambda *args: None
class Text(str):
    pass
LIs = {LIs}
e = m.Edgewriter(None, {str(gephi)!r})
""", "e.create_net({}, LIs, None)")
    assert got.get("latency", 99) < ANSWERED, got
    assert ENTRY in got["names"]
    assert gephi.exists() == opened


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_failing_exit_reports_the_with_statement(generator):
    # Closing /dev/full fails: after a clean block, and after a failed one
    # (an unencodable label), the error of __exit__ is the with statement's.
    raised = []
    for labels in (["a", "b"], ["a", "b", "\ud800"]):
        with pytest.raises(OSError) as info:
            Edgewriter("n", "/dev/full").create_net({"k": labels}, [], None)
        raised.append(info.value)
    assert "UnicodeEncodeError" in "".join(traceback.format_exception(raised[1]))
    lines = [[e.lineno for e in traceback.extract_tb(exc.__traceback__) if e.name == ENTRY] for exc in raised]
    assert lines[0] == lines[1] and len(lines[0]) == 1


def test_a_signal_handler_that_changes_LIs_during_step_3(tmp_path, monkeypatch):
    import ctypes
    import operator
    import signal

    # Rows of distinct items, each with a pair label present from the start, so
    # that every row is walked and the long loop handles signals now and then.
    n = 3000
    old, new = [f"o{p}" for p in range(n)], [f"n{p}" for p in range(n)]
    present = [f"o{i}_o{i + (i & 1)}" for i in range(0, n, 3)]
    zidian = {"k": [x for label in present for x in (label, 0)]}
    LIs = list(old)

    handler = lambda *_: LIs.__setitem__(slice(None), new)  # noqa: E731
    monkeypatch.setattr(native_module, "generate_network_file", slice)  # runs no Python code
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        # The C library's raise() leaves the signal to the next check, unlike
        # the signal module's; and no Python code runs before the call.
        trip = ctypes.CDLL(None)["raise"]
        zidians = map(operator.itemgetter(1), zip(map(trip, [signal.SIGUSR1]), [zidian]))
        with contextlib.redirect_stdout(io.StringIO()):
            list(map(Edgewriter("n", str(tmp_path / "g.txt")).create_net, zidians, [LIs], [None]))
    finally:
        signal.signal(signal.SIGUSR1, previous)
    got = (tmp_path / "g.txt").read_text().splitlines()
    # As plain code would: the rows before some k from the items as they were,
    # the rows from k on from the items as the handler left them.
    changed = [line for line in got if line.startswith("n")]
    k = int(changed[0].split("_")[0][1:]) if changed else n
    assert 0 < k < n
    row = [old if i < k else new for i in range(n)]
    pairs = [row[i][i] + "_" + row[i][j] for i in range(0, n, 3) for j in range(i + (i & 1), n, 2)]
    assert got == list(dict.fromkeys(present + pairs))
