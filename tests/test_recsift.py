"""pellar.recsift: the records of a sequence-list file, sifted and reversed."""
import builtins
import codecs
import contextlib
import ctypes
import gc
import os
import pathlib
import random
import signal
import subprocess
import sys
import textwrap
import traceback
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import ROOT, STAGE
from leakcheck import assert_no_leak
from pellar.recsift import Recsift
from plain.recsift import Recsift as PlainRecsift

ENTRY = "pellar.recsift.Recsift.SQ_LS"


def default_encoding():
    """The encoding `open(path, "r")` reads with in this process."""
    with open(__file__) as f:
        return f.encoding


ENCODING = default_encoding()


def write(path, text):
    """`text` written as it is (no newline translation) in the default encoding."""
    path.write_bytes(text.encode(ENCODING))
    return path


def outcome(cls, file):
    """("ok", result) or ("error", type, message) of cls(file).SQ_LS()."""
    try:
        return ("ok", cls(file).SQ_LS())
    except Exception as exc:  # noqa: BLE001 - the outcome is compared
        return ("error", type(exc), str(exc))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def last_entry(exc):
    return traceback.extract_tb(exc.__traceback__)[-1]


def own_entry(exc):
    """The traceback entry of SQ_LS (a decoder written in Python adds its own after it)."""
    entries = [e for e in traceback.extract_tb(exc.__traceback__) if e.name == ENTRY]
    assert len(entries) == 1, traceback.format_tb(exc.__traceback__)
    assert entries[0].filename == "pellar/recsift" and entries[0].lineno > 0
    return entries[0]


@contextlib.contextmanager
def no_unclosed_files():
    """Fails when a file object is left for the collector to close."""
    before = open_fds()
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", ResourceWarning)
        yield
        gc.collect()
    assert [w for w in seen if issubclass(w.category, ResourceWarning)] == []
    assert open_fds() == before


# ---- what a file gives ------------------------------------------------------------------------

WORKED_EXAMPLE = "# header\n\ns1|AC|GT\ns2|CC|GG\ns4|CG|TTT\ns5|GATTACA|GG\ns6|CCCCC|TTTTT\ns7|x\n"


def test_worked_example(tmp_path):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)
    assert Recsift(str(path)).SQ_LS() == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"]


@pytest.mark.parametrize("lines,expected", [
    # Skipped lines.
    (["  #note|A|b"], []),
    (["\t# x|AAAAAAAAAAAA|B"], []),
    (["s7|x", "s8|AAAAAAAAAAAAAAAAAAAA"], []),
    (["AAAAAAAAAAAAAAAA"], []),
    (["", "   ", "\t\t"], []),
    # A "#" after the first character is data.
    (["id#|A|C", "i|#A|C"], ["C-A#", "A-C"]),
    # Trailing and empty fields stay.
    (["id|A|b|"], ["-b-A"]),
    (["id|a|b|"], []),
    (["id||A"], ["A-"]),
    (["|||A"], ["--A"]),
    # Only the line is stripped, not the fields.
    (["  s1 | AC | GT \t"], ["TG - CA "]),
    # Even lengths are reversed, odd ones kept.
    (["x|AC|G", "y|A|GC"], ["CG-A", "G-CA"]),
    # The filter: an upper-case A, or more than 10 characters.
    (["x|ab|cd", "A1|cc|gg"], []),
    (["x|abcde|fghij"], ["abcde-fghij"]),
    (["x|CCCC|GGGGG", "y|CCCCC|GGGGG"], ["CCCCC-GGGGG"]),
    # Whitespace as str.strip knows it, beyond ASCII.
    (["\u3000\xa0s|A|b\x85\u2028", "\x1ft|A|c\x1c\x0b\x0c"], ["A-c", "A-b"]),
    # Reversal by code point, at every character width.
    (["s|A\xc4|\u20ac\U0001f600\u20ac"], ["\u20ac\U0001f600\u20ac-\xc4A"]),
    (["s|A\xc4|\u20ac\U0001f600"], ["A\xc4-\u20ac\U0001f600"]),
    (["s|A\xe9|b"], ["b-\xe9A"]),
    (["\u20acid|AC|G", "\U0001f600|A|GC"], ["CG-A", "G-CA"]),
    (["s|\u20acA|\u20ac", "t|A\U0001f600|\U0001f600\u20ac"], ["A\U0001f600-\U0001f600\u20ac", "\u20ac-A\u20ac"]),
])
def test_lines(tmp_path, lines, expected):
    path = write(tmp_path / "seq.txt", "\n".join(lines) + "\n")
    result = Recsift(str(path)).SQ_LS()
    assert result == expected
    assert result == PlainRecsift(str(path)).SQ_LS()
    # Each sequence is the very str the join makes: equal strs hash alike.
    assert {*result} == {*expected} and all(hash(a) == hash(b) for a, b in zip(result, expected))


@pytest.mark.parametrize("text,expected", [
    # The later record's parts, at the first record's position.
    ("a|AC|GT\nb|AA|A\na|CA|T\n", ["A-AA", "T-AC"]),
    # A later record whose sequence does not pass takes the id out of the result ...
    ("a|A|C\nb|AB|C\na|c|d\n", ["C-BA"]),
    # ... and one that passes brings it back, at its first position.
    ("a|c|d\nb|AB|C\na|A|C\n", ["C-BA", "A-C"]),
    # Ids are compared by their characters, whatever else is on their line.
    ("\xe9|A|C\nx|AA|C\n\xe9|G|A\u20ac\n", ["C-AA", "\u20acA-G"]),
    ("k|A|C\nk|T|A\U0001f600\n\u20ac|A|T\n\u20ac|G|GA\U0001f600\n", ["G-GA\U0001f600", "\U0001f600A-T"]),
    # Different ids stay apart: spaces are part of them, case counts.
    ("a |A|C\na|A|G\nA|A|T\n", ["A-T", "A-G", "A-C"]),
    ("|A|C\n|G|A\nx|A|A\n", ["A-A", "G-A"]),
])
def test_duplicate_ids(tmp_path, text, expected):
    path = write(tmp_path / "seq.txt", text)
    assert Recsift(str(path)).SQ_LS() == expected == PlainRecsift(str(path)).SQ_LS()


@pytest.mark.parametrize("text", ["", "\n\n\n", "# a\n# b|c|d\n", "  \n\t\n", "x\ny|z\n", "# only a comment"])
def test_files_without_records(tmp_path, text):
    path = write(tmp_path / "seq.txt", text)
    assert Recsift(str(path)).SQ_LS() == []


@pytest.mark.parametrize("raw", [
    b"a|A|C\r\nb|A|G\rc|A|T\n",
    b"a|A|C\rb|A|G\r",
    b"a|A|C",
    b"\xef\xbb\xbfa|A|C\n",
])
def test_line_endings_and_last_line(tmp_path, raw):
    path = tmp_path / "seq.txt"
    path.write_bytes(raw)
    assert outcome(Recsift, str(path)) == outcome(PlainRecsift, str(path))


@pytest.mark.parametrize("n,seed,id_len", [(3_000, 1, 4), (60_000, 2, 7), (4, 3, 1_500_000)])
def test_many_and_long_ids(tmp_path, n, seed, id_len):
    # Enough ids for the id table to grow several times, and ids longer than
    # its blocks of characters.
    rng = random.Random(seed)
    alphabet = "ACGTacgt|#  \xe9\u20ac"
    ids = ["".join(rng.choices("xyz\xe9\u20ac\U0001f600", k=rng.randint(1, id_len))) for _ in range(n)]
    lines = [rng.choice(ids) + "|" + "".join(rng.choices(alphabet, k=rng.randint(0, 20))) + "|A"
             for _ in range(n + n // 3)]
    path = write(tmp_path / "seq.txt", "\n".join(lines))
    assert Recsift(str(path)).SQ_LS() == PlainRecsift(str(path)).SQ_LS()


def test_sample_data_file():
    path = ROOT / "pellar" / "data" / "sequences.txt"
    text = path.read_text()
    assert "\n\n" in text and "\n#" in text
    result = Recsift(str(path)).SQ_LS()
    assert result and result == PlainRecsift(str(path)).SQ_LS()


# ---- the instance, the file argument and the built-ins -------------------------------------

def test_result_is_a_new_list_and_nothing_is_stored(tmp_path):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)
    r = Recsift(str(path))
    first = r.SQ_LS()
    first.append("changed")
    second = r.SQ_LS()
    assert second == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"] and second is not first
    assert vars(r) == {"file": str(path)}
    assert path.read_text() == WORKED_EXAMPLE


@pytest.mark.parametrize("form", ["str", "bytes", "path", "keyword"])
def test_file_name_forms(tmp_path, form):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)
    arg = {"str": str(path), "bytes": os.fsencode(path), "path": path, "keyword": str(path)}[form]
    r = Recsift(file=arg) if form == "keyword" else Recsift(arg)
    assert r.file is arg
    assert r.SQ_LS() == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"]


def test_file_descriptor_is_closed_after_reading(tmp_path):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)
    fd = os.open(path, os.O_RDONLY)
    assert Recsift(fd).SQ_LS() == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"]
    with pytest.raises(OSError):
        os.fstat(fd)


def test_later_rebinding_of_builtins_does_not_reach_the_module(tmp_path, monkeypatch):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)

    def refuse(*args, **kwargs):
        raise AssertionError("a rebound built-in was used")

    for name in ("open", "sorted", "enumerate"):
        monkeypatch.setattr(builtins, name, refuse)
    result = Recsift(str(path)).SQ_LS()
    monkeypatch.undo()
    assert result == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"]


@pytest.mark.parametrize("make", [
    lambda tmp: str(tmp / "missing.txt"),
    lambda tmp: str(tmp),
    lambda tmp: None,
    lambda tmp: 2.5,
    lambda tmp: object(),
    lambda tmp: "bad\0name",
    lambda tmp: -1,
], ids=["missing", "directory", "None", "float", "object", "nul", "bad-fd"])
def test_open_failures_come_from_sq_ls(tmp_path, make):
    file = make(tmp_path)
    r = Recsift(file)  # nothing is opened or checked here
    assert r.file is file
    with no_unclosed_files():
        with pytest.raises(Exception) as info:
            r.SQ_LS()
    expected = outcome(PlainRecsift, file)
    assert expected[0] == "error"
    assert (type(info.value), str(info.value)) == expected[1:]
    entry = last_entry(info.value)
    assert entry.name == ENTRY and entry.filename == "pellar/recsift" and entry.lineno > 0


def test_missing_file_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        Recsift(str(tmp_path / "nowhere.txt")).SQ_LS()


def test_instance_without_file_attribute(tmp_path):
    r = Recsift("x")
    del r.file
    with pytest.raises(AttributeError) as info:
        r.SQ_LS()
    p = PlainRecsift("x")
    del p.file
    with pytest.raises(AttributeError) as plain:
        p.SQ_LS()
    assert str(info.value) == str(plain.value)
    assert last_entry(info.value).name == ENTRY


def undecodable():
    """Bytes that fail to decode in the default encoding, after a good record."""
    for raw in (b"a|A|C\nb|\xff\xfe|G\n", b"a|A|C\n" + b"c|GG|T\n" * 5000 + b"\x80\n"):
        try:
            raw.decode(ENCODING)
        except UnicodeDecodeError:
            yield raw


@pytest.mark.parametrize("raw", list(undecodable()) or [pytest.param(b"", marks=pytest.mark.skip)])
def test_decode_error_after_the_file_is_closed(tmp_path, raw):
    path = tmp_path / "seq.txt"
    path.write_bytes(raw)
    with no_unclosed_files():
        with pytest.raises(UnicodeDecodeError) as info:
            Recsift(str(path)).SQ_LS()
    assert outcome(PlainRecsift, str(path)) == ("error", UnicodeDecodeError, str(info.value))
    own_entry(info.value)
    # Through a descriptor: closed by the file's exit before the error arrives.
    fd = os.open(path, os.O_RDONLY)
    with pytest.raises(UnicodeDecodeError):
        Recsift(fd).SQ_LS()
    with pytest.raises(OSError):
        os.fstat(fd)


@pytest.mark.parametrize("call,message", [
    (lambda r: Recsift(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda r: Recsift("a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda r: Recsift("a", file="b"), "__init__() got multiple values for keyword argument 'file'"),
    (lambda r: Recsift(path="a"), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda r: r.SQ_LS(x=1), "SQ_LS() got an unexpected keyword argument 'x'"),
    (lambda r: r.SQ_LS(1), "SQ_LS() takes exactly 1 positional argument (2 given)"),
    (lambda r: Recsift.SQ_LS(), "SQ_LS() takes exactly 1 positional argument (0 given)"),
])
def test_binding_texts(tmp_path, call, message):
    r = Recsift(str(tmp_path / "never-opened"))
    with pytest.raises(TypeError) as info:
        call(r)
    assert str(info.value) == message
    assert last_entry(info.value).name.startswith("pellar.recsift.Recsift.")


def test_sq_ls_binds_self_by_keyword(tmp_path):
    path = write(tmp_path / "seq.txt", WORKED_EXAMPLE)
    assert Recsift.SQ_LS(self=Recsift(str(path))) == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"]


def test_constructor_failure_has_its_entry():
    class Refusing(Recsift):
        def __setattr__(self, name, value):
            raise PermissionError(name)

    with pytest.raises(PermissionError) as info:
        Refusing("f")
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["pellar.recsift.Recsift.__init__", "__setattr__"]


# ---- lines that are not exact str --------------------------------------------------------

@contextlib.contextmanager
def lines_made_by(make):
    """While active, a text file's lines are `make(text)` (a str or a subclass):
    the incremental decoder of the default encoding hands out one line per call,
    and a line that is a whole decoded piece reaches the reader as it is."""
    info = codecs.lookup(ENCODING)
    original = info.incrementaldecoder

    class OneLineDecoder(codecs.IncrementalDecoder):
        def __init__(self, errors="strict"):
            super().__init__(errors)
            self.inner = original(errors)
            self.pending = ""

        def decode(self, data, final=False):
            self.pending += self.inner.decode(data, final)
            cut = self.pending.find("\n") + 1 or len(self.pending)
            text, self.pending = self.pending[:cut], self.pending[cut:]
            return make(text) if text else text

        def reset(self):
            self.inner.reset()
            self.pending = ""

    info.incrementaldecoder = OneLineDecoder
    try:
        yield
    finally:
        info.incrementaldecoder = original


class Line(str):
    """A line type with no behaviour of its own."""


class Traced(str):
    """A line whose strip, startswith and split are its own; calls are logged."""

    log = []

    def strip(self, *args):
        Traced.log.append(("strip", str(self)))
        return Traced(str.strip(self, *args))

    def startswith(self, *args):
        Traced.log.append(("startswith", str(self)))
        return str.startswith(self, *args)

    def split(self, *args):
        Traced.log.append(("split", str(self)))
        return str.split(self, *args)

    def __bool__(self):
        Traced.log.append(("bool", str(self)))
        return len(self) > 0


class Fields:
    """What a line's strip gives: any object with the operations a record needs."""

    def __init__(self, text, parts):
        self.text, self.parts = text, parts

    def __bool__(self):
        if self.text == "boom-bool":
            raise ValueError("no truth")
        return bool(self.text)

    def startswith(self, prefix):
        return self.text.startswith(prefix)

    def split(self, sep):
        return self.parts


class Shaped(str):
    """A line whose strip gives Fields: its parts are whatever the line's text names."""

    def strip(self):
        text = str.strip(self)
        if text == "boom-strip":
            raise RuntimeError("strip failed")
        if text.startswith("ints"):
            return Fields(text, ["id", 1, 2])
        if text.startswith("tuple"):
            return Fields(text, ("t", "A", "B"))
        if text.startswith("short"):
            return Fields(text, ["s", "A"])
        if text.startswith("unsized"):
            return Fields(text, iter(["u", "A", "B"]))
        if text.startswith("gen"):
            return Fields(text, ["g", ("A" for _ in range(2)), "x"])
        return Fields(text, str.split(text, "|"))


@pytest.mark.parametrize("make,text", [
    (Line, WORKED_EXAMPLE),
    (Traced, WORKED_EXAMPLE + "  # indented|A|B\nz|AC|GT|\n"),
    (Shaped, WORKED_EXAMPLE),
    (Shaped, "a|A|C\nints\nb|AA|C\n"),
    (Shaped, "a|A|C\ntuple\n"),
    (Shaped, "a|A|C\nshort\n"),
    (Shaped, "a|A|C\nunsized\n"),
    (Shaped, "gen\na|A|C\n"),
    (Shaped, "a|A|C\nboom-strip\nb|A|C\n"),
    (Shaped, "a|A|C\nboom-bool\n"),
    # Ids of other lines join those already read, at their first position.
    (lambda t: Shaped(t) if t.startswith("a") else t, "x|A|C\ny|A|G\nab\nx|T|AA\nz|AC|G\ny|cc|g\n"),
    (lambda t: Line(t) if "!" in t else t, "x|A|C\n!|A|G\nx|GA|C\n!|AAA|C\n\xe9|A|C\n\xe9!|AA|C\n\xe9|A|T\n"),
], ids=["Line", "Traced", "Shaped", "ints", "tuple", "short", "unsized", "generator", "strip-raises",
        "bool-raises", "mixed", "mixed-subclass"])
def test_lines_of_other_types(tmp_path, make, text):
    path = write(tmp_path / "seq.txt", text)
    with lines_made_by(make):
        Traced.log.clear()
        with no_unclosed_files():
            got = outcome(Recsift, str(path))
        native_log = list(Traced.log)
        Traced.log.clear()
        want = outcome(PlainRecsift, str(path))
        plain_log = list(Traced.log)
    assert got == want
    assert native_log == plain_log
    if make is Traced:
        assert native_log  # the line's own methods ran
    if got[0] == "error":
        with lines_made_by(make), pytest.raises(got[1]) as info:
            Recsift(str(path)).SQ_LS()
        own_entry(info.value)


@pytest.mark.parametrize("at", [0, 2500, 5999])
def test_a_line_of_another_type_after_many_records(tmp_path, at):
    # The records read so far, their ids repeated anywhere, move into the dict
    # in the order of their first records, each with its latest sequence.
    rng = random.Random(at)
    ids = ["".join(rng.choices("xyz\xe9\u20ac", k=rng.randint(1, 6))) for _ in range(2000)]
    lines = [rng.choice(ids) + "|" + "".join(rng.choices("ACGTa|\U0001f600", k=rng.randint(0, 14))) + "|G"
             for _ in range(6000)]
    lines[at] = "!" + lines[at]
    path = write(tmp_path / "seq.txt", "\n".join(lines) + "\n")
    with lines_made_by(lambda t: Line(t) if t.startswith("!") else t):
        got = outcome(Recsift, str(path))
        want = outcome(PlainRecsift, str(path))
    assert got == want and got[0] == "ok"


# ---- no leaks ------------------------------------------------------------------------------

def leak_cases(tmp):
    good = write(tmp / "good.txt", WORKED_EXAMPLE + "s1|AT|GC\ns9|\u20acA|\U0001f600\n# end\n")
    bad = tmp / "bad.txt"
    bad.write_bytes(next(undecodable(), b"a|A|C\n"))
    no_file = Recsift("x")
    del no_file.file
    return {
        "records": (Recsift(str(good)), None),
        "undecodable": (Recsift(str(bad)), UnicodeDecodeError),
        "missing": (Recsift(str(tmp / "missing.txt")), FileNotFoundError),
        "not-a-name": (Recsift(3.5), TypeError),
        "no-attribute": (no_file, AttributeError),
    }


@pytest.mark.parametrize("case", ["records", "undecodable", "missing", "not-a-name", "no-attribute"])
def test_no_leaks(tmp_path, case):
    r, expect = leak_cases(tmp_path)[case]
    if expect is UnicodeDecodeError and not list(undecodable()):
        pytest.skip("every byte sequence decodes in this encoding")
    assert_no_leak(r.SQ_LS, r, vars(r).get("file"), expect=expect)


def test_no_leaks_in_binding():
    f = object()
    assert_no_leak(lambda: Recsift(f), f)
    r = Recsift(f)
    assert_no_leak(lambda: r.SQ_LS(1), r, expect=TypeError)
    assert_no_leak(lambda: Recsift(f, file=f), f, expect=TypeError)


@pytest.mark.parametrize("text,expect", [(WORKED_EXAMPLE + "x|AC|G\n", None), ("a|A|C\nints\n", TypeError),
                                         ("a|A|C\nboom-strip\n", RuntimeError)])
def test_no_leaks_with_lines_of_other_types(tmp_path, text, expect):
    r = Recsift(str(write(tmp_path / "seq.txt", text)))
    with lines_made_by(Shaped):
        assert_no_leak(r.SQ_LS, r, expect=expect)


# ---- properties: any text, any bytes, against the plain version ---------------------------

SPECIAL = list("|||##AAa \t-ACGT\xa0\x85\u3000\u2028\x1c\x0b\xe9\u20ac\U0001f600\r\n")
TEXT = st.text(
    alphabet=st.one_of(st.sampled_from(SPECIAL), st.characters(blacklist_categories=("Cs",))),
    max_size=400,
)
LINES = st.lists(
    st.lists(st.text(alphabet=st.sampled_from(SPECIAL[:-2] + ["\xff", "\u0100"]), max_size=6), max_size=6)
    .map("|".join), max_size=30,
).map("\n".join)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("recsift-properties")


def check_against_plain(path, file=None):
    file = str(path) if file is None else file
    before = path.read_bytes()
    r = Recsift(file)
    fds = open_fds()
    try:
        got = ("ok", r.SQ_LS())
    except Exception as exc:  # noqa: BLE001
        got = ("error", type(exc), str(exc))
        own_entry(exc)
    assert open_fds() == fds
    assert got == outcome(PlainRecsift, file)
    assert vars(r) == {"file": file} and r.file is file
    assert path.read_bytes() == before
    return got


@given(text=st.one_of(TEXT, LINES))
def test_property_any_text(workdir, text):
    try:
        raw = text.encode(ENCODING)
    except UnicodeEncodeError:
        raw = text.encode("ascii", "replace")
    path = workdir / "text.txt"
    path.write_bytes(raw)
    check_against_plain(path)


@given(raw=st.binary(max_size=300) | st.lists(st.sampled_from(
    [b"|", b"A", b"#", b"\n", b"\r", b" ", b"\xc3\xa9", b"\xe2\x82\xac", b"\xff", b"\xc3", b"id"]),
    max_size=60).map(b"".join))
def test_property_any_bytes(workdir, raw):
    path = workdir / "bytes.txt"
    path.write_bytes(raw)
    check_against_plain(path)


@given(text=LINES, kinds=st.lists(st.sampled_from(["exact", "Line", "Shaped"]), min_size=1, max_size=8))
def test_property_lines_of_other_types(workdir, text, kinds):
    make = {"exact": str, "Line": Line, "Shaped": Shaped}
    counter = iter(range(10**9))

    def mixed(t):
        return make[kinds[next(counter) % len(kinds)]](t)

    path = workdir / "mixed.txt"
    path.write_bytes(text.encode(ENCODING, "replace"))
    with lines_made_by(mixed):
        got = outcome(Recsift, str(path))
    counter = iter(range(10**9))
    with lines_made_by(mixed):
        want = outcome(PlainRecsift, str(path))
    assert got == want


class Unstripped(str):
    """A line whose strip hands back its whole text as an exact str, spaces and all."""

    def strip(self):
        return str(self)


@pytest.mark.parametrize("text", [
    "  x|A|C\n",          # the id keeps its spaces, the sequence its newline
    "  # not|A|B\n",      # "#" after spaces does not make a comment
    "x|AC|GT \n",         # trailing spaces stay in the sequence
    "x|A|C\n  x|T|G\n",   # " x" and "x" are two ids
])
def test_exact_str_from_a_line_strip_is_not_stripped_again(tmp_path, text):
    path = write(tmp_path / "seq.txt", text)
    with lines_made_by(Unstripped):
        got = outcome(Recsift, str(path))
        want = outcome(PlainRecsift, str(path))
    assert got == want


# ---- the file read in place, against line iteration ---------------------------------------

@contextlib.contextmanager
def decoders_of(codec):
    """While active, files in the default encoding decode as `codec`, and every
    decode call is logged per decoder: (its number, bytes given, final)."""
    info = codecs.lookup(ENCODING)
    original, made, log = info.incrementaldecoder, [], []

    class Logged(codecs.getincrementaldecoder(codec)):
        def __init__(self, errors="strict"):
            super().__init__(errors)
            self.number = len(made)
            made.append(self)

        def decode(self, data, final=False):
            log.append((self.number, len(data), bool(final)))
            return super().decode(data, final)

    def taken():
        """The log so far, the decoders numbered afresh from here on."""
        got = list(log)
        log.clear()
        made.clear()
        return got

    info.incrementaldecoder = Logged
    try:
        yield taken
    finally:
        info.incrementaldecoder = original


def record_text(newline, n=2500):
    """Records and comments with multi-byte characters, runs of line ends and
    long lines, so that chunk boundaries fall everywhere."""
    rng = random.Random(n)
    lines = []
    for i in range(n):
        body = "".join(rng.choices("ACGT|é€ャ\U0001f986", k=rng.randint(0, 40 if i % 97 else 9000)))
        lines.append(rng.choice(["# c", "", f"id{i % 300}|{body}|A", f"  x{i}|G|{body}"]))
    return newline.join(lines) + rng.choice(["", newline])


@pytest.mark.parametrize("codec", ["utf-8", "utf-16", "utf-8-sig", "shift_jis", "latin-1"])
@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_the_decoder_gets_the_chunks_iteration_gives_it(tmp_path, codec, newline):
    text = record_text(newline)
    raw = text.encode(codec, errors="replace")
    path = tmp_path / "seq.txt"
    path.write_bytes(raw)
    with decoders_of(codec) as taken:
        got = outcome(Recsift, str(path))
        native = taken()
        want = outcome(PlainRecsift, str(path))
        plain = taken()
    assert got == want and got[0] == "ok"
    # One decoder decodes, in the same chunks: the file's own (plain), another
    # made for the read in place (native).
    assert {n for n, *_ in plain} == {0} and {n for n, *_ in native} == {1}
    assert [c for _, *c in native] == [c for _, *c in plain]


@pytest.mark.parametrize("at", [0, 1, 8191, 8192, 8193, 16384 + 5, -1])
@pytest.mark.parametrize("codec,bad", [("utf-8", b"\xff"), ("utf-16", b"\x00\xd8A\x00")])
def test_a_bad_byte_anywhere_raises_as_iteration_does(tmp_path, codec, bad, at):
    raw = record_text("\n", 800).encode(codec, errors="replace")
    at = (len(raw) + at) if at < 0 else at
    at -= at % 2 if codec == "utf-16" else 0
    path = tmp_path / "seq.txt"
    path.write_bytes(raw[:at] + bad + raw[at:])
    with decoders_of(codec):
        with no_unclosed_files():
            got = outcome(Recsift, str(path))
        want = outcome(PlainRecsift, str(path))
    assert got == want and got[1] is UnicodeDecodeError


def test_a_pipe_is_read_in_the_pieces_it_gives(tmp_path):
    text = record_text("\r\n", 1200)
    results = []
    for cls in (Recsift, PlainRecsift):
        fifo = tmp_path / f"{cls.__module__}.fifo"
        os.mkfifo(fifo)
        # Written a few bytes at a time: reads come back short, and pieces end
        # inside characters and between "\r" and "\n".
        writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import sys, time
            data = sys.stdin.buffer.read()
            with open(sys.argv[1], "wb", buffering=0) as f:
                for i in range(0, len(data), 4001):
                    f.write(data[i:i + 4001])
                    time.sleep(0.0005)
        """), str(fifo)], stdin=subprocess.PIPE)
        writer.stdin.write(text.encode(ENCODING))
        writer.stdin.close()
        results.append(outcome(cls, str(fifo)))
        writer.wait()
    assert results[0] == results[1] and results[0][0] == "ok"


def test_the_locale_encoding_is_the_files_own(tmp_path):
    # In the C locale without UTF-8 mode, open() reads ASCII, strictly.
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_bytes(b"a|A|C\nb|GA|T\n")
    bad.write_bytes(b"a|A|C\n" * 3000 + b"b|\xc3\xa9|A\n")
    code = f"""
import sys
sys.path.insert(0, {str(ROOT / "bench")!r})
from pellar.recsift import Recsift
from plain.recsift import Recsift as Plain
def outcome(cls, p):
    try:
        return cls(p).SQ_LS()
    except Exception as e:
        return type(e).__name__, str(e)
print(open({str(good)!r}).encoding)
for p in ({str(good)!r}, {str(bad)!r}):
    print(outcome(Recsift, p) == outcome(Plain, p), outcome(Recsift, p))
"""
    env = dict(os.environ, LC_ALL="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0", PYTHONPATH=str(STAGE))
    r = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True)
    lines = r.stdout.splitlines()
    assert len(lines) == 3, r.stderr
    assert lines[0] in ("ANSI_X3.4-1968", "ascii", "US-ASCII")
    assert lines[1].startswith("True ['T-AG', 'A-C']")
    assert lines[2].startswith("True ('UnicodeDecodeError', \"'ascii' codec can't decode byte 0xc3")


# ---- the object allocator ------------------------------------------------------------------

class ArenaAllocator(ctypes.Structure):
    _fields_ = [("ctx", ctypes.c_void_p), ("alloc", ctypes.c_void_p), ("free", ctypes.c_void_p)]


def arena_allocator():
    a = ArenaAllocator()
    ctypes.pythonapi.PyObject_GetArenaAllocator(ctypes.byref(a))
    return a.ctx, a.alloc, a.free


def test_the_result_lives_in_the_allocators_arenas(tmp_path):
    # Arenas handed out while the result is made are the allocator's to free
    # and reuse; the allocator in place is the same after the call.
    path = write(tmp_path / "seq.txt", "".join(f"id{i % 40000}|AC|G{'A' * (i % 30)}\n" for i in range(60000)))
    before = arena_allocator()
    result = Recsift(str(path)).SQ_LS()
    assert arena_allocator() == before
    want = PlainRecsift(str(path)).SQ_LS()
    assert result == want
    del result
    gc.collect()
    again = [str(i) * 3 for i in range(300000)]
    assert Recsift(str(path)).SQ_LS() == want
    assert again[-1] == "299999" * 3


def test_a_signal_handler_that_sifts_meanwhile(tmp_path):
    # Handlers run between the strs the result is made of, and may make a
    # result of their own.
    big = write(tmp_path / "big.txt", "".join(f"id{i % 90000}|AC|G{'A' * (i % 30)}\n" for i in range(200000)))
    small = write(tmp_path / "small.txt", WORKED_EXAMPLE * 50)
    before = arena_allocator()
    inner = []
    signal.signal(signal.SIGALRM, lambda *_: inner.append(Recsift(str(small)).SQ_LS()))
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        got = [Recsift(str(big)).SQ_LS() for _ in range(3)]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
    assert arena_allocator() == before
    assert inner and all(r == ["CCCCC-TTTTT", "GG-ACATTAG", "AC-GT"] for r in inner)
    assert all(r == got[0] for r in got) and got[0] == PlainRecsift(str(big)).SQ_LS()


# ---- allocation failures --------------------------------------------------------------------

from nomemory import failing_allocations  # noqa: E402

@pytest.mark.parametrize("method,lines", [("__init__", "str"), ("SQ_LS", "str"), ("SQ_LS", "subclass")])
def test_every_allocation_may_fail(tmp_path, method, lines):
    path = tmp_path / "s.txt"
    text = "# h\n" + "".join(f"id{i % 7}|AC|G{'T' * (i % 5)}\n" for i in range(30)) + "\u00e9|\U0001f986|A\n"
    path.write_text(text, encoding=ENCODING)
    report = failing_allocations(f"""
import codecs
from pellar.recsift import Recsift
if {lines!r} == "subclass":
    # Decoded pieces of a str subclass, a line each: iteration hands them out as they are.
    class Line(str):
        pass
    info = codecs.lookup({ENCODING!r})
    original = info.incrementaldecoder
    class OneLine(codecs.IncrementalDecoder):
        def __init__(self, errors="strict"):
            super().__init__(errors)
            self.inner, self.pending = original(errors), ""
        def decode(self, data, final=False):
            self.pending += self.inner.decode(data, final)
            cut = self.pending.find("\\n") + 1 or len(self.pending)
            text, self.pending = self.pending[:cut], self.pending[cut:]
            return Line(text) if text else text
    info.incrementaldecoder = OneLine
def prepare():
    return Recsift({str(path)!r})
def call(r):
    return Recsift(r.file).file if {method!r} == "__init__" else r.SQ_LS()
""")
    assert report.passed, str(report)


# ---- Ctrl-C ---------------------------------------------------------------------------------

from interrupt import ANSWERED, interrupt  # noqa: E402


def test_ctrl_c_interrupts_the_reading(tmp_path):
    fifo = tmp_path / "records"
    os.mkfifo(fifo)
    # An endless stream of records through a pipe.
    feeder = subprocess.Popen(["sh", "-c", f"yes 'id|AC|GT' > {fifo}"], stderr=subprocess.DEVNULL)
    try:
        got = interrupt(f"from pellar.recsift import Recsift\nr = Recsift({str(fifo)!r})", "r.SQ_LS()")
    finally:
        feeder.kill()
        feeder.wait()
    assert got.get("latency", 99) < ANSWERED, got
    assert ENTRY in got["names"]
