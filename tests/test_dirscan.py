"""pellar.dirscan: counting a tree by extension, the extension graph, the CLI line and the summary.

Most cases run the native class and the plain-Python one in bench/plain side by
side and compare what they count, build, print and raise; the expected values
of the documented examples are spelled out as well.
"""
import builtins
import collections
import contextlib
import genericpath
import io
import os
import pathlib
import posixpath
import shutil
import subprocess
import sys
import textwrap
import traceback
import types
from collections import Counter, defaultdict

import networkx as nx
import pytest
from hypothesis import event, example, given, settings, strategies as st

import pellar.dirscan as mod
import scorekit
from conftest import STAGE, hide_installed
from leakcheck import assert_no_leak
from pellar.dirscan import dirscan
from plain import dirscan as plain_mod
from plain.dirscan import dirscan as PlainDirscan

BOTH = pytest.mark.parametrize("cls", [dirscan, PlainDirscan], ids=["native", "plain"])


# ---- helpers -------------------------------------------------------------------------------

def make_tree(root, layout):
    """layout: name -> None (empty file), dict (folder), ("link", target) or "fifo"."""
    root = pathlib.Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for name, what in layout.items():
        p = root / name
        if what is None:
            p.touch()
        elif isinstance(what, dict):
            make_tree(p, what)
        elif what == "fifo":
            os.mkfifo(p)
        else:
            os.symlink(what[1], p)
    return root


def survey(cls, path):
    d = cls(path)
    assert d.process_directory() is None
    return d


def entry_names(exc):
    return [e.name for e in traceback.extract_tb(exc.__traceback__)]


def assert_entry(exc, method):
    entries = traceback.extract_tb(exc.__traceback__)
    mine = [e for e in entries if e.name == f"pellar.dirscan.dirscan.{method}"]
    assert len(mine) == 1, [e.name for e in entries]
    assert mine[0].filename == "pellar/dirscan" and mine[0].lineno > 0


def printed(call):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        call()
    return out.getvalue().splitlines()


def graph_state(g):
    return list(g.nodes(data=True)), [(a, b, dict(w)) for a, b, w in g.edges(data=True)]


@contextlib.contextmanager
def fake_walk(listing):
    """The real os.walk replaced by one that yields `listing` (in both modules, which share os)."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(os, "walk", lambda top: iter(listing))
        yield


# ---- loading and construction ---------------------------------------------------------------

def test_module_namespace_binds_the_imports_in_order():
    names = [k for k in vars(mod) if k in ("os", "Counter", "nx", "estimate_cli", "dirscan", "__test__")]
    assert names == ["os", "Counter", "nx", "estimate_cli", "dirscan", "__test__"]
    assert mod.os is os and mod.Counter is collections.Counter and mod.nx is nx
    assert mod.estimate_cli is scorekit.estimate_cli


def test_constructor_stores_the_path_and_makes_empty_containers():
    path = object()
    d = dirscan(directory_path=path)
    assert list(vars(d)) == ["directory_path", "file_counts", "graph"]
    assert d.directory_path is path
    assert type(d.file_counts) is Counter and not d.file_counts
    assert type(d.graph) is nx.Graph and d.graph.number_of_nodes() == 0
    other = dirscan(path)
    assert other.file_counts is not d.file_counts and other.graph is not d.graph


def test_constructor_looks_counter_and_nx_up_at_each_call(monkeypatch):
    made = []
    monkeypatch.setattr(mod, "Counter", lambda: made.append("counter") or {"kind": "counter"})
    monkeypatch.setattr(mod, "nx", types.SimpleNamespace(Graph=lambda: made.append("graph") or "graph"))
    d = dirscan("p")
    assert made == ["counter", "graph"] and d.file_counts == {"kind": "counter"} and d.graph == "graph"
    monkeypatch.delattr(mod, "nx")
    with pytest.raises(NameError, match="^name 'nx' is not defined$") as info:
        dirscan("p")
    assert_entry(info.value, "__init__")


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
    (("a", "b"), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
    (("a",), {"directory_path": "b"}, "__init__() got multiple values for keyword argument 'directory_path'"),
    ((), {"path": "a"}, "__init__() takes exactly 2 positional arguments (1 given)"),
])
def test_constructor_refuses_other_calls(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        dirscan(*args, **kwargs)
    assert str(info.value) == message


# ---- counting -------------------------------------------------------------------------------

TREES = {
    "mixed case and names without extension": (
        {"report.TXT": None, "notes.txt": None, "sub": {"data.Txt": None}, "Makefile": None, ".profile": None},
        {".txt": 3, "": 2}),
    "last extension, trailing dot, leading dots": (
        {"archive.tar.gz": None, "name.": None, "..x": None, "...": None, "a..b": None, ".a.b": None,
         "..dir": {"inner.C": None}},
        {".gz": 1, ".": 1, "": 2, ".b": 2, ".c": 1}),
    "unicode lower-casing is the str's own": (
        {"Ünïcode.ÄÖ": None, "word.ΑΣ": None, "x.İ": None, "naïve.TXT": None},
        {".äö": 1, ".ας": 1, ".i\u0307": 1, ".txt": 1}),
    "deep and empty folders": (
        {"a": {"b": {"c": {"d": {"deep.Py": None}}}, "empty": {}}, "top.py": None},
        {".py": 2}),
    "links and special files": (
        {"real.dat": None, "sub": {"in.dat": None},
         "to_file.LNK": ("link", "real.dat"), "dangling.lnk": ("link", "nowhere"),
         "to_sub": ("link", "sub"), "to_root": ("link", "."),
         "loop_a": ("link", "loop_b"), "loop_b": ("link", "loop_a"), "pipe.fifo": "fifo"},
        {".dat": 2, ".lnk": 2, "": 2, ".fifo": 1}),
}


@BOTH
@pytest.mark.parametrize("layout,expected", TREES.values(), ids=TREES.keys())
def test_counts_by_lower_cased_extension(cls, layout, expected, tmp_path):
    root = make_tree(tmp_path / "t", layout)
    d = survey(cls, str(root))
    assert type(d.file_counts) is Counter and dict(d.file_counts) == expected
    # Keys are in the order the walk first met them: the same as plain Python's.
    assert list(d.file_counts) == list(survey(PlainDirscan, str(root)).file_counts)


@pytest.mark.parametrize("path_kind", ["str", "bytes", "pathlib"])
def test_the_path_may_be_str_bytes_or_path_like(path_kind, tmp_path):
    root = make_tree(tmp_path / "t", {"A.TXT": None, "b.Txt": None, "c": {".rc": None, "d.tar.GZ": None}})
    path = {"str": str(root), "bytes": os.fsencode(root), "pathlib": root}[path_kind]
    d = survey(dirscan, path)
    if path_kind == "bytes":
        assert dict(d.file_counts) == {b".txt": 2, b"": 1, b".gz": 1}
        assert all(type(k) is bytes for k in d.file_counts)
    else:
        assert dict(d.file_counts) == {".txt": 2, "": 1, ".gz": 1}
    assert d.directory_path is path


def test_undecodable_names_keep_their_escapes(tmp_path):
    root = tmp_path / "t"
    root.mkdir()
    for raw in (b"a.\xff\xfe", b"B.\xffX", b"\xff.TXT"):
        open(os.fsencode(root) + b"/" + raw, "w").close()
    native, plain = survey(dirscan, str(root)), survey(PlainDirscan, str(root))
    assert native.file_counts == plain.file_counts == Counter({".\udcff\udcfe": 1, ".\udcffx": 1, ".txt": 1})
    assert survey(dirscan, os.fsencode(root)).file_counts == Counter({b".\xff\xfe": 1, b".\xffx": 1, b".txt": 1})


@BOTH
@pytest.mark.parametrize("kind", ["empty folder", "missing path", "regular file"])
def test_paths_that_give_an_empty_walk(cls, kind, tmp_path):
    path = {"empty folder": tmp_path / "e", "missing path": tmp_path / "missing",
            "regular file": tmp_path / "f.txt"}[kind]
    make_tree(tmp_path, {"e": {}, "f.txt": None})
    d = survey(cls, str(path))
    assert d.file_counts == Counter() and type(d.file_counts) is Counter


@BOTH
@pytest.mark.parametrize("path,message", [
    (None, "expected str, bytes or os.PathLike object, not NoneType"),
    (42, "expected str, bytes or os.PathLike object, not int"),
])
def test_a_non_path_raises_the_walks_type_error(cls, path, message):
    d = cls(path)
    with pytest.raises(TypeError) as info:
        d.process_directory()
    assert str(info.value) == message and d.file_counts == Counter()
    if cls is dirscan:
        assert_entry(info.value, "process_directory")


def test_counting_twice_doubles_and_a_new_instance_starts_empty(tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.py": None, "b.PY": None, "c": {"d.md": None}}))
    d = survey(dirscan, root)
    d.process_directory()
    assert d.file_counts == Counter({".py": 4, ".md": 2})
    assert survey(dirscan, root).file_counts == Counter({".py": 2, ".md": 1})


def _deep_unlistable(root):
    """A folder below `root` whose full path is too long to list (ENAMETOOLONG),
    which even root cannot list; made step by step with directory descriptors."""
    part = "d" * 250
    fd = os.open(root, os.O_RDONLY)
    try:
        for _ in range(17):
            os.mkdir(part, dir_fd=fd)
            nfd = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        os.close(os.open("hidden.txt", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    finally:
        os.close(fd)


@BOTH
@pytest.mark.parametrize("how", ["path too long", "gone before it is listed", "no permission"])
def test_an_unlistable_subfolder_is_skipped(cls, how, tmp_path):
    root = make_tree(tmp_path / "t", {"top.txt": None, "a": {"one.md": None},
                                      "z": {"two.zz": None, "blocked": {"lost.bin": None}}})
    blocked = root / "z" / "blocked"
    d = cls(str(root))
    if how == "path too long":
        shutil.rmtree(blocked)
        blocked.mkdir()
        _deep_unlistable(blocked)
    elif how == "gone before it is listed":
        # Listed in z's dirs, removed while z's files are counted, before the
        # walk lists it.
        class Vanishing(Counter):
            def __setitem__(self, key, value):
                if key == ".zz":
                    shutil.rmtree(blocked)
                super().__setitem__(key, value)
        d.file_counts = Vanishing()
    elif os.geteuid() == 0:
        pytest.skip("root lists any folder")
    else:
        blocked.chmod(0)
    try:
        d.process_directory()
    finally:
        if blocked.exists():
            blocked.chmod(0o755)
    assert dict(d.file_counts) == {".txt": 1, ".md": 1, ".zz": 1}


# ---- the extension: fast and literal roads give one result -----------------------------------

NAMES = ["plain.txt", "UPPER.TXT", "Mixed.TxT", ".profile", "..x", "...", "x.", "a..b", ".a.B", "archive.tar.GZ",
         "", ".", "..", "dir/file.C", "dir.d/file", "dir/.hidden", "a/b.c/d.E", "/abs.Q", "x./y", "trailing/",
         "Ünï.ÄÖ", "word.ΑΣ", "x.İ", "naïve.TXT", "emoji.😀X", "sur.\udcffA", "\udcff", "A" * 80 + ".B" * 40,
         "long." + "X" * 70, "ascii.WITH-dash_1"]
BYTES_NAMES = [n.encode("utf-8", "surrogateescape") for n in NAMES] + [b"\xff.\xc3\x84X", b"a.\x80B"]


@pytest.mark.parametrize("names", [NAMES, BYTES_NAMES], ids=["str", "bytes"])
def test_extension_keys_match_splitext_for_any_name(names):
    listing = [("r", [], list(names))]
    with fake_walk(listing):
        d = survey(dirscan, "r")
    expected = Counter(os.path.splitext(n)[1].lower() for n in names)
    assert d.file_counts == expected
    assert [type(k) for k in d.file_counts] == [type(k) for k in expected]


class StrName(str):
    pass


class BytesName(bytes):
    pass


@pytest.mark.parametrize("name,key", [
    (StrName("A.TXT"), ".txt"),
    (BytesName(b"A.TXT"), b".txt"),  # splitext's slice of a subclass is a plain bytes
    (pathlib.PurePosixPath("dir/F.Md"), ".md"),
])
def test_names_of_other_types_go_through_splitext(name, key):
    with fake_walk([("r", [], [name])]):
        d = survey(dirscan, "r")
        p = survey(PlainDirscan, "r")
    assert d.file_counts == p.file_counts == Counter({key: 1})


def recording(fn, seen):
    def wrapper(*args):
        seen.append(args)
        return fn(*args)
    return wrapper


def _replacements():
    """(name, installer(monkeypatch, seen) -> the keys the names should get)."""
    def splitext(mp, seen):
        mp.setattr(os.path, "splitext", recording(lambda p: ("", ".SEEN"), seen))
        return lambda name: ".seen"

    def inner(mp, seen):
        mp.setattr(genericpath, "_splitext", recording(lambda p, sep, alt, dot: (p, ".INNER"), seen))
        return lambda name: ".inner"

    def fspath(mp, seen):
        mp.setattr(os, "fspath", recording(lambda p: p + ".Fs", seen))
        return lambda name: ".fs"

    def posix_os(mp, seen):
        mp.setattr(posixpath, "os", types.SimpleNamespace(fspath=recording(lambda p: p + ".PO", seen)))
        return lambda name: ".po"

    def code(mp, seen):
        def fake(p):
            return "", ".CODE"
        mp.setattr(posixpath.splitext, "__code__", fake.__code__)
        seen.append("code")
        return lambda name: ".code"

    def module_os(mp, seen):
        stub_path = types.SimpleNamespace(splitext=recording(lambda p: ("", ".STUB"), seen))
        mp.setattr(mod, "os", types.SimpleNamespace(walk=os.walk, path=stub_path))
        return lambda name: ".stub"

    def os_path(mp, seen):
        stub = types.SimpleNamespace(splitext=recording(lambda p: ("", ".OSPATH"), seen),
                                     islink=posixpath.islink, join=posixpath.join)
        mp.setattr(os, "path", stub)
        return lambda name: ".ospath"

    def module_class(mp, seen):
        stub = types.SimpleNamespace(splitext=recording(lambda p: ("", ".CLS"), seen))

        class Watched(types.ModuleType):
            path = property(lambda self: stub)
        mp.setattr(os, "__class__", Watched)
        return lambda name: ".cls"

    return {f.__name__: f for f in (splitext, inner, fspath, posix_os, code, module_os, os_path, module_class)}


REPLACEMENTS = _replacements()


@pytest.mark.parametrize("install", REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_a_replaced_path_function_takes_effect(install):
    names = ["a.txt", "B.PY", "c.MD", "noext"]
    listing = [("r", [], names)]
    with fake_walk(listing):
        survey(dirscan, "r")  # the real functions first
        with pytest.MonkeyPatch.context() as mp:
            seen = []
            key = install(mp, seen)
            d = survey(dirscan, "r")
        assert seen, "the replacement was not used"
        assert d.file_counts == Counter(key(n) for n in names)
        # Restored: the standard keys again.
        assert survey(dirscan, "r").file_counts == Counter({".txt": 1, ".py": 1, ".md": 1, "": 1})


@pytest.mark.parametrize("shadow", ["isinstance", "bytes"])
def test_shadowed_builtins_of_posixpath_take_effect(shadow, monkeypatch):
    # With either shadowed the standard splitext treats a str as bytes and fails.
    monkeypatch.setattr(posixpath, shadow, (lambda o, t: True) if shadow == "isinstance" else str, raising=False)
    with fake_walk([("r", [], ["a.txt"])]):
        d = dirscan("r")
        with pytest.raises(TypeError) as info:
            d.process_directory()
    assert "must be str, not bytes" in str(info.value)
    assert_entry(info.value, "process_directory")


@pytest.mark.parametrize("install,key", [("splitext", ".seen"), ("module_os", ".stub"), ("code", ".code")])
def test_a_replacement_made_during_the_walk_takes_effect_at_the_next_name(install, key):
    names = [f"f{i}.TXT" for i in range(6)]
    with pytest.MonkeyPatch.context() as mp:
        class Patching(Counter):
            def __setitem__(self, k, value):
                super().__setitem__(k, value)
                if sum(self.values()) == 2:
                    REPLACEMENTS[install](mp, [])
        with fake_walk([("r", [], names)]):
            d = dirscan("r")
            d.file_counts = Patching()
            d.process_directory()
    assert dict(d.file_counts) == {".txt": 2, key: 4}


def test_os_removed_during_the_walk_fails_at_the_next_name_or_falls_back_to_builtins():
    names = ["a.txt", "b.txt", "c.txt"]
    with pytest.MonkeyPatch.context() as mp:
        class Removing(Counter):
            def __setitem__(self, k, value):
                super().__setitem__(k, value)
                mp.delattr(mod, "os")
        with fake_walk([("r", [], names)]):
            d = dirscan("r")
            d.file_counts = Removing()
            with pytest.raises(NameError, match="^name 'os' is not defined$") as info:
                d.process_directory()
            assert d.file_counts == Counter({".txt": 1})
            assert_entry(info.value, "process_directory")
            mp.setattr(builtins, "os", types.SimpleNamespace(
                walk=os.walk, path=types.SimpleNamespace(splitext=lambda p: ("", ".built"))), raising=False)
            d.file_counts = Counter()
            d.process_directory()
    assert d.file_counts == Counter({".built": 3})
    assert mod.os is os and not hasattr(builtins, "os")


# ---- the counter ----------------------------------------------------------------------------

def _counters():
    class Recording(Counter):
        def __setitem__(self, key, value):
            self.log.append((key, value))
            super().__setitem__(key, value)

    def recording_counter():
        c = Recording()
        c.log = []
        return c

    return {"dict": dict, "defaultdict": lambda: defaultdict(int), "recording Counter": recording_counter,
            "plain Counter": Counter}


COUNTERS = _counters()


@BOTH
@pytest.mark.parametrize("make", COUNTERS.values(), ids=COUNTERS.keys())
def test_a_replaced_file_counts_is_used(cls, make, tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None, "b.TXT": None, "c.py": None}))
    d = cls(root)
    d.file_counts = counts = make()
    if make is dict:
        with pytest.raises(KeyError) as info:
            d.process_directory()
        assert info.value.args == (os.path.splitext(os.listdir(root)[0])[1].lower(),)
        assert counts == {}
        return
    d.process_directory()
    assert d.file_counts is counts and dict(counts) == {".txt": 2, ".py": 1}
    if hasattr(counts, "log"):
        assert len(counts.log) == 3 and sorted(counts.log)[-1] == (".txt", 2)


def test_a_patched_counter_class_takes_effect(tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None, "b.txt": None}))
    survey(dirscan, root)  # the unpatched class first
    log = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(Counter, "__setitem__", lambda self, k, v: (log.append((k, v)), dict.__setitem__(self, k, v)),
                   raising=False)
        d = survey(dirscan, root)
    assert log == [(".txt", 1), (".txt", 2)] and d.file_counts == Counter({".txt": 2})
    del log[:]
    survey(dirscan, root)
    assert log == []


class TenFirst(dict):
    def __missing__(self, key):
        return 10


class StaticMissing(Counter):
    __missing__ = staticmethod(lambda key: len(key))


class NoMissing(dict):
    pass


class RaisingMissing(Counter):
    def __missing__(self, key):
        raise LookupError(f"no {key!r} yet")


@BOTH
@pytest.mark.parametrize("make,expected", [
    (TenFirst, {".txt": 12, ".py": 11}),
    (StaticMissing, {".txt": 6, ".py": 4}),
    (NoMissing, KeyError),
    (RaisingMissing, LookupError),
], ids=["__missing__", "static __missing__", "no __missing__", "__missing__ raises"])
def test_a_dict_subclass_counts_through_its_own_missing(cls, make, expected):
    with fake_walk([("r", [], ["a.txt", "b.TXT", "c.py"])]):
        d = cls("r")
        d.file_counts = make()
        if isinstance(expected, dict):
            d.process_directory()
            assert dict(d.file_counts) == expected
        else:
            with pytest.raises(expected) as info:
                d.process_directory()
            assert info.value.args == ((".txt",) if expected is KeyError else ("no '.txt' yet",))


@pytest.mark.parametrize("name", ["__getitem__", "__missing__"])
def test_a_patched_counter_read_takes_effect(name):
    with fake_walk([("r", [], ["a.txt", "b.txt"])]):
        survey(dirscan, "r")  # the unpatched class first
        with pytest.MonkeyPatch.context() as mp:
            if name == "__getitem__":
                mp.setattr(Counter, "__getitem__", lambda self, k: dict.get(self, k, 100), raising=False)
            else:
                mp.setattr(Counter, "__missing__", lambda self, k: 100)
            d = survey(dirscan, "r")
        assert d.file_counts == Counter({".txt": 102})
        assert survey(dirscan, "r").file_counts == Counter({".txt": 2})


def test_file_counts_is_read_afresh_for_every_file(tmp_path):
    names = [f"n{i}.x" for i in range(5)]
    second = Counter()

    class Switching(Counter):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            d.file_counts = second

    with fake_walk([("r", [], names)]):
        d = dirscan("r")
        first = d.file_counts = Switching()
        d.process_directory()
    assert first == Counter({".x": 1}) and second == Counter({".x": 4})


@BOTH
@pytest.mark.parametrize("bad,exc,message", [
    (object(), TypeError, "'object' object is not subscriptable"),
    (Counter({".txt": "one"}), TypeError, 'can only concatenate str (not "int") to str'),
    (Counter({".txt": None}), TypeError, "unsupported operand type(s) for +=: 'NoneType' and 'int'"),
    (types.MappingProxyType({".txt": 1}), TypeError, "'mappingproxy' object does not support item assignment"),
])
def test_a_file_counts_that_cannot_count_fails(cls, bad, exc, message, tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None}))
    d = cls(root)
    d.file_counts = bad
    with pytest.raises(exc) as info:
        d.process_directory()
    assert str(info.value) == message
    if cls is dirscan:
        assert_entry(info.value, "process_directory")


@BOTH
@pytest.mark.parametrize("item,message", [
    (("r", []), "need more than 2 values to unpack"),
    (["r", [], [], []], "too many values to unpack (expected 3)"),
    (lambda: iter(["r"]), "need more than 1 value to unpack"),
    ("ab", "need more than 2 values to unpack"),
])
def test_walk_items_that_do_not_unpack_into_three(cls, item, message):
    with fake_walk([("r", [], ["ok.txt"]), item() if callable(item) else item]):
        d = cls("r")
        with pytest.raises(ValueError) as info:
            d.process_directory()
    assert str(info.value) == message
    assert d.file_counts == Counter({".txt": 1})  # counts made before the failure stay


@BOTH
def test_files_may_be_any_iterable_and_a_list_is_read_as_it_grows(cls):
    files = ["a.one"]

    class Growing(Counter):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            if len(files) < 4:
                files.append(f"x{len(files)}.TWO")

    with fake_walk([("r", [], files), ("s", [], ("t.tup",)), ("u", [], (n for n in ["g.gen"]))]):
        d = cls("r")
        d.file_counts = Growing()
        d.process_directory()
    assert dict(d.file_counts) == {".one": 1, ".two": 3, ".tup": 1, ".gen": 1}


# ---- the graph -------------------------------------------------------------------------------

@BOTH
@pytest.mark.parametrize("counts,nodes,edges", [
    ({}, [], []),
    ({".txt": 5}, [(".txt", {"weight": 5})], []),
    ({".txt": 4, ".py": 1, "": 3},
     [(".txt", {"weight": 4}), (".py", {"weight": 1}), ("", {"weight": 3})],
     [(".txt", ".py", {"weight": 0.5}), (".txt", "", {"weight": 1.5}), (".py", "", {"weight": 1.5})]),
    ({"a": 2, "b": 7}, [("a", {"weight": 2}), ("b", {"weight": 7})], [("a", "b", {"weight": 3.5})]),
    ({b".c": 2, ".c": 6}, [(b".c", {"weight": 2}), (".c", {"weight": 6})], [(b".c", ".c", {"weight": 3.0})]),
    ({1: 2.5, 2.0: -4}, [(1, {"weight": 2.5}), (2.0, {"weight": -4})], [(1, 2.0, {"weight": -2.0})]),
])
def test_build_graph_makes_the_complete_graph_with_the_later_keys_weight(cls, counts, nodes, edges):
    d = cls("unused")
    d.file_counts = Counter(counts)
    assert d.build_graph() is None
    assert graph_state(d.graph) == (nodes, edges)
    assert all(type(w["weight"]) is float for _, _, w in d.graph.edges(data=True))
    d.build_graph()
    assert graph_state(d.graph) == (nodes, edges)


def test_build_graph_after_more_counting_updates_weights_and_keeps_other_content():
    d = dirscan("unused")
    d.graph.add_edge("mine", "theirs", colour="red")
    d.file_counts = Counter({".a": 2, ".b": 4})
    d.build_graph()
    d.file_counts.update({".a": 10, ".c": 1})
    d.build_graph()
    assert dict(d.graph.nodes(data="weight")) == {"mine": None, "theirs": None, ".a": 12, ".b": 4, ".c": 1}
    assert d.graph.edges["mine", "theirs"] == {"colour": "red"}
    weights = {frozenset(e): w for *e, w in d.graph.edges(data="weight") if "mine" not in e}
    assert weights == {frozenset({".a", ".b"}): 2.0, frozenset({".a", ".c"}): 0.5, frozenset({".b", ".c"}): 0.5}


class CallLog:
    """A stand-in graph that records every call (and fails on a chosen one)."""

    def __init__(self, fail_at=None):
        self.calls, self.fail_at = [], fail_at

    def _record(self, *call):
        self.calls.append(call)
        if len(self.calls) == self.fail_at:
            raise RuntimeError(f"call {self.fail_at} refused")

    def add_node(self, *args, **kwargs):
        self._record("add_node", args, kwargs)

    def add_edge(self, *args, **kwargs):
        self._record("add_edge", args, kwargs)


@pytest.mark.parametrize("fail_at", [None, 1, 2, 5])
def test_build_graph_calls_exactly_the_documented_operations(fail_at):
    logs = []
    for cls in (dirscan, PlainDirscan):
        d = cls("unused")
        d.file_counts = Counter({".x": 3, ".y": 2, ".z": 9})
        d.graph = CallLog(fail_at)
        if fail_at:
            with pytest.raises(RuntimeError, match=f"call {fail_at} refused") as info:
                d.build_graph()
            if cls is dirscan:
                assert_entry(info.value, "build_graph")
        else:
            d.build_graph()
        logs.append(d.graph.calls)
    assert logs[0] == logs[1]
    if not fail_at:
        assert [c[0] for c in logs[0]] == ["add_node", "add_edge", "add_edge"] * 3
        assert logs[0][:3] == [("add_node", (".x",), {"weight": 3}), ("add_edge", (".x", ".y"), {"weight": 1.5}),
                               ("add_edge", (".x", ".z"), {"weight": 1.5})]


def test_build_graph_reads_the_graph_afresh_before_each_call():
    graphs = [CallLog(), CallLog()]
    reads = []

    class Alternating(dirscan):
        @property
        def graph(self):
            reads.append(1)
            return graphs[len(reads) % 2]

    s = Alternating.__new__(Alternating)
    s.file_counts = Counter({"a": 1, "b": 3})
    dirscan.build_graph(s)
    assert len(reads) == 4
    assert graphs[1].calls == [("add_node", ("a",), {"weight": 1}), ("add_node", ("b",), {"weight": 3})]
    assert graphs[0].calls == [("add_edge", ("a", "b"), {"weight": 0.5}), ("add_edge", ("b", "a"), {"weight": 1.5})]


# ---- score and summary ----------------------------------------------------------------------

@pytest.fixture
def captured_estimate(monkeypatch):
    """estimate_cli replaced (in both modules) by one that records its argument and returns `value`."""
    seen = []
    box = {"value": 0.25}

    def fake(*args, **kwargs):
        seen.append((args, kwargs))
        return box["value"]
    monkeypatch.setattr(mod, "estimate_cli", fake)
    monkeypatch.setattr(plain_mod, "estimate_cli", fake)
    return seen, box


@BOTH
def test_calculate_cli_hands_over_the_adjacency(cls, captured_estimate):
    seen, _ = captured_estimate
    d = cls("unused")
    assert printed(d.calculate_cli) == ["Estimated CLI: 0.25"]
    d.file_counts = Counter({".txt": 4, ".py": 1, "": 3})
    assert printed(d.calculate_cli) == ["Estimated CLI: 0.25"]   # counted, graph not built
    d.build_graph()
    d.calculate_cli()
    assert [a for a, _ in seen[:2]] == [({},), ({},)] and all(kw == {} for _, kw in seen)
    (data,), _ = seen[2]
    assert type(data) is dict and list(data) == [".txt", ".py", ""]
    assert data == {".txt": {"edges": [(".txt", ".py"), (".txt", "")]},
                    ".py": {"edges": [(".py", ".txt"), (".py", "")]},
                    "": {"edges": [("", ".txt"), ("", ".py")]}}
    assert all(type(v) is dict and type(v["edges"]) is list for v in data.values())
    assert all(type(t) is tuple for v in data.values() for t in v["edges"])


class Formatted:
    def __format__(self, format_spec):
        return f"<formatted {format_spec!r}>"


class StrSub(str):
    def __str__(self):
        return "its own text"


@BOTH
@pytest.mark.parametrize("value,line", [
    (0.25, "Estimated CLI: 0.25"),
    (1.0, "Estimated CLI: 1.0"),
    (1e16, "Estimated CLI: 1e+16"),
    (7, "Estimated CLI: 7"),
    ("high", "Estimated CLI: high"),
    ("", "Estimated CLI: "),
    (None, "Estimated CLI: None"),
    (True, "Estimated CLI: True"),
    ((1, "a"), "Estimated CLI: (1, 'a')"),
    (Formatted(), "Estimated CLI: <formatted ''>"),
    (StrSub("sub"), "Estimated CLI: its own text"),  # a str subclass goes through format()
])
def test_calculate_cli_prints_the_display_text(cls, value, line, captured_estimate):
    captured_estimate[1]["value"] = value
    assert printed(cls("unused").calculate_cli) == [line]


def test_calculate_cli_with_the_real_scorekit_on_a_real_tree(tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None, "b.py": None, "c.md": None}))
    d = survey(dirscan, root)
    assert printed(d.calculate_cli) == ["Estimated CLI: 0.0"]
    d.build_graph()
    assert printed(d.calculate_cli) == ["Estimated CLI: 1.0"]
    d.graph.remove_edge(".txt", ".py")
    assert printed(d.calculate_cli) == [f"Estimated CLI: {2 / 3}"]


@BOTH
@pytest.mark.parametrize("failure", ["estimate raises", "format raises", "format returns bytes"])
def test_calculate_cli_prints_nothing_when_it_fails(cls, failure, captured_estimate, monkeypatch):
    class BadFormat:
        def __format__(self, format_spec):
            if failure == "format raises":
                raise LookupError("no text")
            return b"bytes"

    if failure == "estimate raises":
        def boom(data):
            raise ArithmeticError("score failed")
        monkeypatch.setattr(mod, "estimate_cli", boom)
        monkeypatch.setattr(plain_mod, "estimate_cli", boom)
    else:
        captured_estimate[1]["value"] = BadFormat()
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises((ArithmeticError, LookupError, TypeError)) as info:
        cls("unused").calculate_cli()
    assert out.getvalue() == ""
    if failure == "format returns bytes":  # the interpreter's own words for it
        with pytest.raises(TypeError) as expected:
            format(BadFormat(), "")
        assert str(info.value) == str(expected.value)
    if cls is dirscan:
        assert_entry(info.value, "calculate_cli")


def test_estimate_cli_is_looked_up_at_each_call(monkeypatch):
    d = dirscan("unused")
    monkeypatch.setattr(mod, "estimate_cli", lambda data: "first")
    assert printed(d.calculate_cli) == ["Estimated CLI: first"]
    monkeypatch.delattr(mod, "estimate_cli")
    with pytest.raises(NameError, match="^name 'estimate_cli' is not defined$") as info:
        d.calculate_cli()
    assert_entry(info.value, "calculate_cli")
    monkeypatch.setattr(builtins, "estimate_cli", lambda data: "from builtins", raising=False)
    assert printed(d.calculate_cli) == ["Estimated CLI: from builtins"]


def test_print_is_the_one_found_at_load(monkeypatch, capsys):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: pytest.fail("the replaced print was used"))
    d = dirscan("unused")
    d.calculate_cli()
    d.display_summary()
    monkeypatch.undo()
    assert capsys.readouterr().out.splitlines() == [
        "Estimated CLI: 0.0", "File Extension Counts: {}", "Number of Nodes in Graph: 0",
        "Number of Edges in Graph: 0"]


@BOTH
def test_display_summary_before_and_after_building(cls, tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None, "b.TXT": None, "c": {"Makefile": None, "d.py": None}}))
    d = cls(root)
    assert printed(d.display_summary) == ["File Extension Counts: {}", "Number of Nodes in Graph: 0",
                                          "Number of Edges in Graph: 0"]
    d.process_directory()
    before = printed(d.display_summary)
    counts_line = "File Extension Counts: " + str(dict(d.file_counts))
    assert before == [counts_line, "Number of Nodes in Graph: 0", "Number of Edges in Graph: 0"]
    assert "Counter" not in counts_line and eval(counts_line.split(": ", 1)[1]) == {".txt": 2, "": 1, ".py": 1}
    d.build_graph()
    assert printed(d.display_summary) * 2 == printed(lambda: (d.display_summary(), d.display_summary())) == [
        counts_line, "Number of Nodes in Graph: 3", "Number of Edges in Graph: 3"] * 2


@BOTH
def test_reporting_changes_nothing_on_the_instance(cls, tmp_path):
    d = survey(cls, str(make_tree(tmp_path / "t", {"a.txt": None, "b.md": None})))
    d.build_graph()
    before = dict(vars(d))
    counts, state = dict(d.file_counts), graph_state(d.graph)
    printed(d.calculate_cli)
    printed(d.display_summary)
    assert vars(d) == before and all(vars(d)[k] is v for k, v in before.items())
    assert dict(d.file_counts) == counts and graph_state(d.graph) == state


@BOTH
def test_display_summary_keeps_the_lines_printed_before_a_failure(cls):
    class HalfGraph:
        def number_of_nodes(self):
            return 2

        def number_of_edges(self):
            raise OSError("edges unavailable")

    d = cls("unused")
    d.graph = HalfGraph()
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(OSError) as info:
        d.display_summary()
    assert out.getvalue().splitlines() == ["File Extension Counts: {}", "Number of Nodes in Graph: 2"]
    if cls is dirscan:
        assert_entry(info.value, "display_summary")


def test_display_summary_copies_through_the_dict_type():
    class Keys:
        def keys(self):
            return ["k"]

        def __getitem__(self, key):
            return "value"

    d = dirscan("unused")
    d.file_counts = Keys()
    assert printed(d.display_summary)[0] == "File Extension Counts: {'k': 'value'}"
    d.file_counts = 3
    with pytest.raises(TypeError, match="'int' object is not iterable") as info:
        d.display_summary()
    assert_entry(info.value, "display_summary")


# ---- a module without scorekit ---------------------------------------------------------------

def run_isolated(tmp_path, code, with_scorekit):
    """Runs `code` with a copy of the stage's package, with or without a scorekit beside it."""
    where = tmp_path / "site"
    shutil.copytree(STAGE / "pellar", where / "pellar")
    if with_scorekit is not None:
        (where / "scorekit.py").write_text(with_scorekit)
    # Any scorekit installed elsewhere (an installed package) is out of reach too.
    env = dict(os.environ, PYTHONPATH=str(where))
    return subprocess.run([sys.executable, "-P", "-c", hide_installed("scorekit", where) + textwrap.dedent(code)],
                          env=env, capture_output=True, text=True, timeout=120, cwd=tmp_path)


LOAD_FAILURE = """
    import sys, traceback
    try:
        import pellar.dirscan
    except ImportError as e:
        tb = traceback.extract_tb(e.__traceback__)
        print(type(e).__name__, e)
        print([(t.name, t.filename) for t in tb if t.filename == "pellar/dirscan"])
        print("pellar.dirscan" in sys.modules)
"""


@pytest.mark.parametrize("scorekit_source,error", [
    (None, "ModuleNotFoundError No module named 'scorekit'"),
    ("def other(): pass\n", "ImportError cannot import name estimate_cli"),
])
def test_the_module_does_not_load_without_estimate_cli(scorekit_source, error, tmp_path):
    r = run_isolated(tmp_path, LOAD_FAILURE, scorekit_source)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [error, "[('init pellar.dirscan', 'pellar/dirscan')]", "False"]


def test_a_failed_load_can_be_retried_once_scorekit_is_there(tmp_path):
    shutil.copytree(STAGE / "scorekit", tmp_path / "later" / "scorekit")
    r = run_isolated(tmp_path, f"""
        import os, sys
        try:
            import pellar.dirscan
        except ModuleNotFoundError:
            pass
        sys.path.insert(0, {str(tmp_path / "later")!r})
        from pellar.dirscan import dirscan
        os.makedirs("t/s")
        for n in ("a.TXT", "s/b.txt", "s/.c"):
            open("t/" + n, "w").close()
        d = dirscan("t")
        d.process_directory()
        d.build_graph()
        d.calculate_cli()
        d.display_summary()
    """, None)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == "Estimated CLI: 1.0"
    assert r.stdout.splitlines()[1] in ("File Extension Counts: {'.txt': 2, '': 1}",
                                        "File Extension Counts: {'': 1, '.txt': 2}")


def test_loads_and_counts_when_os_was_not_imported_yet(tmp_path):
    site = [p for p in sys.path if p.endswith("site-packages")]
    make_tree(tmp_path / "t", {"A.Md": None, "b.md": None, ".x": None})
    code = f"""
        import sys
        sys.path[:0] = {[str(STAGE)] + site!r}
        assert "os" not in sys.modules
        from pellar.dirscan import dirscan
        d = dirscan({str(tmp_path / "t")!r})
        d.process_directory()
        print(sorted(d.file_counts.items()))
    """
    r = subprocess.run([sys.executable, "-S", "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=120, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[('', 1), ('.md', 2)]"


def test_an_odd_os_in_the_module_table_at_load_is_used_as_it_is(tmp_path):
    """An `os` whose attributes are made afresh on each read (a module
    __getattr__): loading must hold what it reads, and counting then goes
    through the Python calls on that object."""
    make_tree(tmp_path / "t", {"A.Md": None, "b.md": None})
    r = run_isolated(tmp_path, f"""
        import os as real_os, posixpath, sys, types
        import networkx, scorekit
        reads = []
        def fresh(name):
            reads.append(name)
            if name == "path":
                copy = types.ModuleType("posixpath")
                copy.__dict__.update(vars(posixpath))
                return copy
            return getattr(real_os, name)
        odd = types.ModuleType("os")
        odd.__getattr__ = fresh
        sys.modules["os"] = odd
        from pellar.dirscan import dirscan
        sys.modules["os"] = real_os
        import pellar.dirscan
        assert pellar.dirscan.os is odd
        d = dirscan({str(tmp_path / "t")!r})
        d.process_directory()
        print(dict(d.file_counts), reads.count("path") >= 3)
    """, scorekit.__loader__.get_source("scorekit"))
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "{'.md': 2} True"


# ---- traceback entries and leaks ------------------------------------------------------------

def failing_cases():
    def no_walk():
        d = dirscan(None)
        return d.process_directory
    def bad_items():
        d = dirscan("u")
        d.file_counts = {"k": 1}.keys()
        return d.build_graph
    def bad_graph():
        d = dirscan("u")
        d.graph = None
        return d.calculate_cli
    def bad_counts():
        d = dirscan("u")
        del d.file_counts
        return d.display_summary
    return [("process_directory", no_walk, TypeError), ("build_graph", bad_items, AttributeError),
            ("calculate_cli", bad_graph, AttributeError), ("display_summary", bad_counts, AttributeError)]


@pytest.mark.parametrize("method,make,exc", failing_cases(), ids=[c[0] for c in failing_cases()])
def test_failures_carry_one_entry_naming_the_method(method, make, exc):
    with pytest.raises(exc) as info:
        make()()
    assert_entry(info.value, method)
    # Right below the caller's frame, above whatever the method called.
    assert entry_names(info.value)[1] == f"pellar.dirscan.dirscan.{method}"


@pytest.mark.parametrize("method,make,exc", failing_cases(), ids=[c[0] for c in failing_cases()])
def test_failures_do_not_leak(method, make, exc):
    call = make()
    assert_no_leak(call, call.__self__, expect=exc)


class Discard:
    """An unbuffered sink for printed lines: keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_methods_do_not_leak(tmp_path):
    root = str(make_tree(tmp_path / "t", {"a.txt": None, "b.PY": None, "c": {"d.md": None, ".e": None}}))
    path = root
    assert_no_leak(lambda: dirscan(path), path)
    d = dirscan(root)
    assert_no_leak(d.process_directory, d, path)  # the counts grow, their objects do not
    keys = list(d.file_counts)
    assert_no_leak(d.build_graph, d, d.file_counts, *keys)
    with contextlib.redirect_stdout(Discard()):
        assert_no_leak(d.calculate_cli, d, d.graph, *keys)
        assert_no_leak(d.display_summary, d, d.graph, d.file_counts)
    b = dirscan(os.fsencode(root))
    assert_no_leak(b.process_directory, b)


# ---- generated cases: native against plain Python ------------------------------------------
#
# Every property runs the native class and the plain-Python one on the same
# generated input (fresh objects for each) and requires the same counts, graph,
# printed lines, calls and exception (type and message); a native failure must
# carry its method's traceback entry.  40 examples each in the normal run,
# 2000 with --hypothesis-profile=long.

NAME_CHARS = st.sampled_from(list("aAzZ09._- ~") + ["é", "É", "ß", "Σ", "σ", "İ", "ı", "Ǆ", "ﬁ", "😀", "\u0301"])
file_names = st.text(NAME_CHARS, min_size=1, max_size=12).filter(lambda n: n not in (".", ".."))
trees = st.recursive(st.none(), lambda sub: st.dictionaries(file_names, sub, max_size=5), max_leaves=25).filter(
    lambda t: isinstance(t, dict))


def count_files(layout):
    return sum(1 if v is None else count_files(v) for v in layout.values())


@given(trees)
def test_generated_trees_count_as_plain_python_does(layout):
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        root = make_tree(pathlib.Path(tmp) / "t", layout)
        for path in (str(root), os.fsencode(root)):
            native, plain = survey(dirscan, path), survey(PlainDirscan, path)
            assert list(native.file_counts.items()) == list(plain.file_counts.items())
            assert sum(native.file_counts.values()) == count_files(layout)
            assert all(type(k) is type(path) for k in native.file_counts)


any_name = st.one_of(st.text(max_size=12), st.binary(max_size=12),
                     st.text(st.sampled_from("./.aAbB"), max_size=8))


@given(st.lists(st.lists(any_name, max_size=8), max_size=4))
def test_generated_names_give_the_keys_of_splitext(listings):
    walk = [("r", [], names) for names in listings]
    with fake_walk(walk):
        native, plain = survey(dirscan, "r"), survey(PlainDirscan, "r")
    assert [(type(k), k, v) for k, v in native.file_counts.items()] == \
           [(type(k), k, v) for k, v in plain.file_counts.items()]


plain_keys = st.one_of(st.text(max_size=4), st.binary(max_size=4), st.integers(-3, 3))
plain_counts = st.one_of(st.integers(-10**6, 10**6), st.floats(), st.integers(-10**400, 10**400))
counters = st.lists(st.tuples(plain_keys, plain_counts), max_size=6).map(lambda pairs: Counter(dict(pairs)))
cli_values = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=6),
                       st.tuples(st.integers(), st.text(max_size=3)))


def run_method(cls, method, setup, estimate=None):
    """Outcome of `method` on a fresh instance prepared by `setup(d)`: the
    exception (type, text), the printed lines and the instance's state."""
    d = cls("unused")
    setup(d)
    module = mod if cls is dirscan else plain_mod
    out = io.StringIO()
    exc = None
    with pytest.MonkeyPatch.context() as mp:
        if estimate is not None:
            mp.setattr(module, "estimate_cli", estimate)
        with contextlib.redirect_stdout(out):
            try:
                getattr(d, method)()
            except Exception as e:  # the outcome is compared, not judged here
                exc = e
    if exc is not None and cls is dirscan:
        assert_entry(exc, method)
    return (type(exc), str(exc)) if exc else None, out.getvalue().splitlines(), d


def state_text(d):
    fc, g = d.file_counts, d.graph
    counts = repr(list(fc.items())) if isinstance(fc, dict) else None
    graph = repr(graph_state(g)) if isinstance(g, nx.Graph) else repr(getattr(g, "calls", None))
    return counts, graph


@given(counters, cli_values)
@example(Counter({".a": 10**400, ".b": 1}), 0.5)   # too large for a float: fails at the first edge
@example(Counter({".a": 10**400}), None)            # one key: no edge, no division
@example(Counter({0: 1, b"": 2, "": float("nan")}), "text")
def test_generated_counters_build_score_and_report_as_plain_python_does(counts, value):
    def setup(d):
        d.file_counts = Counter(counts)
    for method in ("build_graph", "calculate_cli", "display_summary"):
        outcomes = []
        for cls in (dirscan, PlainDirscan):
            def built(d):
                setup(d)
                if method != "build_graph":
                    try:
                        d.build_graph()
                    except OverflowError:
                        pass
            exc, lines, d = run_method(cls, method, built, estimate=lambda data: value)
            outcomes.append((exc, lines, state_text(d)))
            # The counts are read, never changed.
            assert state_text(d)[0] == repr(list(counts.items()))
        assert outcomes[0] == outcomes[1]


@given(st.one_of(st.none(), st.integers(), st.text(), st.binary(), st.lists(st.integers()), st.floats()))
def test_any_object_is_stored_as_the_path(value):
    for cls in (dirscan, PlainDirscan):
        d = cls(value)
        assert d.directory_path is value and d.file_counts == Counter() and d.graph.number_of_nodes() == 0


walk_items = st.one_of(
    st.tuples(st.just("r"), st.just([]), st.lists(any_name, max_size=4)),
    st.tuples(st.just("r"), st.just([]), st.lists(any_name, max_size=3).map(tuple)),
    st.tuples(st.just("r"), st.just([]), st.sampled_from([None, 3, "ab.C", b"x.Y"])),
    st.lists(st.just("r"), max_size=4),
    st.sampled_from([5, "abc", b"ab", None]),
)
start_counts = st.sampled_from(["Counter", "dict", "defaultdict", "str count", "None count", "float count",
                                "read-only"])


def starting_counts(kind):
    return {"Counter": Counter, "dict": dict, "defaultdict": lambda: defaultdict(int),
            "str count": lambda: Counter({".c": "1", ".y": "2"}), "None count": lambda: Counter({"": None}),
            "float count": lambda: Counter({".c": 0.5, b".y": 1.5}),
            "read-only": lambda: types.MappingProxyType({".c": 1})}[kind]()


@given(st.lists(walk_items, max_size=4), start_counts)
def test_generated_walks_count_or_fail_as_plain_python_does(items, kind):
    outcomes = []
    for cls in (dirscan, PlainDirscan):
        def setup(d):
            d.file_counts = starting_counts(kind)
        with fake_walk([tuple(i) if isinstance(i, tuple) else i for i in items]):
            exc, lines, d = run_method(cls, "process_directory", setup)
        outcomes.append((exc, lines, repr(list(d.file_counts.items()))))
    event(f"process_directory: {outcomes[0][0][0].__name__ if outcomes[0][0] else 'no exception'}")
    assert outcomes[0] == outcomes[1]


# Adversarial objects.  A plan (drawn data) is turned into fresh objects for
# each side, so both see the same behaviour from the start.

class Key:
    """A key whose `!=` misbehaves as planned after `after` comparisons."""

    def __init__(self, value, mode, after, owner):
        self.value, self.mode, self.after, self.owner = value, mode, after, owner

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        return isinstance(other, Key) and other.value == self.value

    def __ne__(self, other):
        self.after -= 1
        if self.after >= 0 or self.mode == "fine":
            return not self == other
        if self.mode == "raise":
            raise ValueError(f"!= refused by {self.value!r}")
        if self.mode == "odd truth":
            return OddTruth()
        if self.mode == "mutate":
            self.owner()[f"added by {self.value!r}"] = 1
        return "non-empty"

    def __repr__(self):
        return f"Key({self.value!r})"

    def __format__(self, format_spec):
        return f"<{self.value!r}>"


class OddTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class Counts:
    """file_counts of any shape: items() and iteration as planned."""

    def __init__(self, items, keys):
        self._items, self._keys = items, keys

    def items(self):
        return self._items

    def __iter__(self):
        return iter(self._keys)

    def keys(self):
        return list(self._keys)

    def __getitem__(self, key):
        return 1


class Graph:
    """A graph that records calls and misbehaves as planned."""

    def __init__(self, plan):
        self.plan, self.calls = plan, []

    def _call(self, name, *args, **kwargs):
        self.calls.append((name, repr(args), repr(kwargs)))
        if self.plan["fail_at"] == len(self.calls):
            raise KeyError(f"{name} refused")

    def add_node(self, *args, **kwargs):
        self._call("add_node", *args, **kwargs)

    def add_edge(self, *args, **kwargs):
        self._call("add_edge", *args, **kwargs)

    @property
    def nodes(self):
        nodes = self.plan["nodes"]
        if nodes == "raise":
            raise LookupError("no nodes")
        return nodes

    def edges(self, node):
        self._call("edges", node)
        edges = self.plan["edges"]
        if edges == "generator failing":
            def gen():
                yield (node, "first")
                raise IndexError("edges ran out")
            return gen()
        return edges

    def number_of_nodes(self):
        self._call("number_of_nodes")
        return self.plan["size"]

    def number_of_edges(self):
        self._call("number_of_edges")
        if self.plan["size"] == "raise":
            raise MemoryError("too many")
        return self.plan["size"]


modes = st.sampled_from(["fine", "raise", "odd truth", "mutate", "non-empty"])
plan_keys = st.lists(st.tuples(st.text(max_size=3), modes, st.integers(0, 4)), max_size=4,
                     unique_by=lambda t: t[0])
item_shapes = st.sampled_from(["pair", "triple", "single", "empty", "int", "str", "list pair"])
graph_plans = st.fixed_dictionaries({
    "fail_at": st.none() | st.integers(1, 12),
    "nodes": st.sampled_from(["keys", "raise", 5, "ab", "none"]),
    "edges": st.sampled_from(["pairs", 7, "xy", "generator failing", None]),
    "size": st.sampled_from([0, 3, "raise", "text", None]),
})


def adversarial(key_plan, shapes, graph_plan, real_dict):
    """Fresh objects from the plan: (file_counts, graph)."""
    holder = {}
    keys = [Key(v, mode, after, lambda: holder["counts"]) for v, mode, after in key_plan]
    if real_dict:
        counts = {k: i + 1 for i, k in enumerate(keys)}
    else:
        items = []
        for i, k in enumerate(keys):
            shape = shapes[i % len(shapes)] if shapes else "pair"
            items.append({"pair": (k, i + 1), "triple": (k, i, i), "single": (k,), "empty": (), "int": i,
                          "str": "kv", "list pair": [k, i + 2]}[shape])
        counts = Counts(items, keys)
    holder["counts"] = counts if real_dict else {}
    plan = dict(graph_plan)
    if plan["nodes"] == "keys":
        plan["nodes"] = list(keys)
    elif plan["nodes"] == "none":
        plan["nodes"] = None
    if plan["edges"] == "pairs":
        plan["edges"] = [(k, "n") for k in keys]
    return counts, Graph(plan)


@given(plan_keys, st.lists(item_shapes, max_size=4), graph_plans, st.booleans(), cli_values)
@example([("a", "mutate", 0), ("b", "fine", 0)], [], {"fail_at": None, "nodes": "keys", "edges": "pairs",
                                                       "size": 0}, True, 1.0)
@example([("a", "odd truth", 1), ("b", "raise", 0)], ["pair", "triple"],
         {"fail_at": 3, "nodes": "ab", "edges": "generator failing", "size": "text"}, False, None)
def test_adversarial_objects_fail_as_plain_python_does(key_plan, shapes, graph_plan, real_dict, value):
    for method in ("build_graph", "calculate_cli", "display_summary"):
        outcomes = []
        for cls in (dirscan, PlainDirscan):
            def setup(d):
                d.file_counts, d.graph = adversarial(key_plan, shapes, graph_plan, real_dict)
            exc, lines, d = run_method(cls, method, setup, estimate=lambda data: value)
            outcomes.append((exc, lines, d.graph.calls,
                             repr(list(d.file_counts.items())) if real_dict else None))
        event(f"{method}: {outcomes[0][0][0].__name__ if outcomes[0][0] else 'no exception'}")
        assert outcomes[0] == outcomes[1]


@settings(max_examples=8)
@given(plan_keys, graph_plans, st.booleans())
def test_adversarial_calls_do_not_leak(key_plan, graph_plan, real_dict):
    for method in ("build_graph", "calculate_cli", "display_summary"):
        d = dirscan("unused")

        def call():
            d.file_counts, d.graph = adversarial(key_plan, [], graph_plan, real_dict)
            getattr(d, method)()
        with contextlib.redirect_stdout(Discard()):
            try:
                call()
                expect = None
            except Exception as e:
                expect = type(e)
            assert_no_leak(call, d, expect=expect, rounds=4, per_round=10, warmup=1)


# ---- review regressions ----------------------------------------------------------------------

@pytest.mark.parametrize("failing", [None, "graph", "division"])
def test_build_graph_looks_the_edge_method_up_before_halving_the_count(failing):
    """`self.graph.add_edge(ext, other, weight=count / 2)` reads the graph and
    its method before dividing; when both fail the read's error wins."""
    outcomes = []
    for cls in (dirscan, PlainDirscan):
        log = []

        class Count:
            def __truediv__(self, other):
                log.append("divide")
                if failing == "division":
                    raise ZeroDivisionError("no halves")
                return 0.5

        class Graph:
            def __getattribute__(self, name):
                log.append(name)
                if failing == "graph" and name == "add_edge":
                    raise AttributeError("no edges here")
                return object.__getattribute__(self, name)

            def add_node(self, *args, **kwargs):
                pass

            def add_edge(self, *args, **kwargs):
                log.append(("edge", args, kwargs))

        d = cls("unused")
        d.file_counts = {"a": Count(), "b": 2}
        d.graph = Graph()
        try:
            d.build_graph()
            exc = None
        except Exception as e:
            exc = (type(e), str(e))
        outcomes.append((exc, log))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][1][:3] == ["add_node", "add_edge", "divide"] or failing == "graph"


def test_a_replacement_made_while_the_check_compares_keys_takes_effect(tmp_path):
    """A key of another type with the hash of "splitext" in posixpath's
    namespace has its __eq__ run by the look-up of splitext; a change it makes
    to a name checked before must still reach the counting of this name."""
    make_tree(tmp_path / "t", {"a.TXT": None})
    calls = []
    real_fspath = os.fspath
    armed = [False]

    def recording_fspath(p):
        calls.append(p)
        return real_fspath(p)

    class Collides:
        def __hash__(self):
            return hash("splitext")

        def __eq__(self, other):
            if armed[0]:
                armed[0] = False
                os.fspath = recording_fspath
            return False

    splitext = posixpath.splitext
    hook = Collides()
    try:
        # Deleting and re-adding puts the hook first on the probe sequence.
        del posixpath.splitext
        posixpath.__dict__[hook] = None
        posixpath.splitext = splitext
        armed[0] = True
        d = dirscan(str(tmp_path / "t"))
        d.process_directory()
    finally:
        os.fspath = real_fspath
        del posixpath.__dict__[hook]
        posixpath.splitext = splitext
    assert dict(d.file_counts) == {".txt": 1}
    assert calls == ["a.TXT"]


# ---- allocation failures --------------------------------------------------------------------
#
# The graph is a stand-in that makes no function objects while it runs: with
# networkx's own graph, a failing allocation in networkx's code can leave
# CPython 3.12.1 with a freed function object that a later call releases
# again, in the plain class at the same allocation as in this one.

from nomemory import failing_allocations  # noqa: E402


@pytest.mark.parametrize("method", ["__init__", "process_directory", "build_graph", "calculate_cli",
                                    "display_summary"])
def test_every_allocation_may_fail(tmp_path, method):
    for i, ext in enumerate(["txt", "py", "md", "TXT", "", "tar.gz"]):
        (tmp_path / f"f{i}.{ext}").write_text("x")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "a.c").write_text("x")
    report = failing_allocations(f"""
import io, sys
import pellar.dirscan as m
from pellar.dirscan import dirscan
class Graph:
    def __init__(self):
        self.adj = {{}}
    def add_node(self, n, weight=None):
        self.adj.setdefault(n, {{}})
    def add_edge(self, a, b, weight=None):
        self.adj.setdefault(a, {{}})[b] = weight
        self.adj.setdefault(b, {{}})[a] = weight
    @property
    def nodes(self):
        return list(self.adj)
    def edges(self, n):
        # Not a comprehension: an append failing in one aborts 3.14's debug
        # interpreter (its LIST_APPEND leaves the frame's stack pointer unset).
        return list(zip([n] * len(self.adj[n]), self.adj[n]))
    def number_of_nodes(self):
        return len(self.adj)
    def number_of_edges(self):
        return sum(map(len, self.adj.values())) // 2
m.estimate_cli = len
def prepare():
    s = dirscan({str(tmp_path)!r})
    s.graph = Graph()
    if {method!r} != "process_directory":
        s.process_directory()
        if {method!r} != "build_graph":
            s.build_graph()
    sys.stdout = io.StringIO()
    return s
def call(s):
    if {method!r} == "__init__":
        return type(dirscan({str(tmp_path)!r}).file_counts)
    getattr(s, {method!r})()
def finish(s):
    out, sys.stdout = sys.stdout, sys.__stdout__
    return dict(s.file_counts), s.graph.adj, out.getvalue()
""")
    assert report.passed, str(report)


# ---- Ctrl-C ---------------------------------------------------------------------------------

from interrupt import ANSWERED, interrupt  # noqa: E402


def test_ctrl_c_interrupts_the_counting(tmp_path):
    # A folder of endless names, handed over by a walk that runs no Python code meanwhile.
    got = interrupt(f"""
import itertools, os
from pellar.dirscan import dirscan
os.walk = lambda top: iter([(top, [], itertools.repeat("a.TXT"))])
d = dirscan({str(tmp_path)!r})
""", "d.process_directory()")
    assert got.get("latency", 99) < ANSWERED, got
    assert "pellar.dirscan.dirscan.process_directory" in got["names"]


@pytest.mark.parametrize("change", ["clear", "shorten"])
def test_a_signal_handler_may_change_the_names_being_counted(tmp_path, monkeypatch, change):
    import signal

    # The handler runs at a signal check of the native count; the count goes
    # on over the list as the handler left it, as list iteration does.
    names = []
    monkeypatch.setattr(os, "walk", lambda top: iter([(top, [], names)]))
    old = signal.signal(signal.SIGALRM, lambda *_: names.__delitem__(slice(len(names) // 2 * (change == "shorten"), None)))
    try:
        for delay in (0.005, 0.02, 0.05, 0.1, 0.2):  # until the timer fires during the count
            names[:] = ["a.txt"] * 4_000_000
            d = mod.dirscan(str(tmp_path))
            signal.setitimer(signal.ITIMER_REAL, delay)
            d.process_directory()
            signal.setitimer(signal.ITIMER_REAL, 0)
            if len(names) < 4_000_000 and 0 < d.file_counts[".txt"] < 4_000_000:
                break
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # Cleared: the count stops where it was; halved: it goes on to the new end
    # unless it was past it.
    assert (1 if change == "clear" else 2_000_000) <= d.file_counts[".txt"] < 4_000_000
