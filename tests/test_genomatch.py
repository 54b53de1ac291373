"""pellar.genomatch: label look-up, genotype selection, pairing and sampling."""
import builtins
import copy
import traceback

import pytest
from hypothesis import given, settings, strategies as st

import pellar.genomatch as genomatch_module
from conftest import UNDER_SANITIZERS
from leakcheck import assert_no_leak
from pellar.genomatch import Genomatch
from plain.genomatch import Genomatch as PlainGenomatch

ENTRY = "pellar.genomatch.Genomatch.AIVChina"
BOUND = "candidate list would grow beyond 1000000 entries"


def run(nWlist, Zidian, genotype=(), cls=Genomatch):
    return cls(genotype, "A.csv", "B.csv").AIVChina(nWlist, Zidian)


def entry_names(exc):
    return [e.name for e in traceback.extract_tb(exc.__traceback__)]


class Inert(str):
    """A candidate whose joins all have odd length, so it adds nothing."""

    def __add__(self, other):
        return Inert("x")

    def __radd__(self, other):
        return Inert("x")


def inputs(names=(), pairs=(), pads=0):
    """nWlist, Zidian, genotype whose stage 1 adds `pads` inert entries, then
    each of `names` (four characters or more), and whose stage 2 adds each
    pair of `pairs` (alphanumeric names, as they are to be added)."""
    labels = [f"PD{10 + t}" for t in range(pads)] + [f"NM{10 + t}" for t in range(len(names))]
    zidian = {f"PD{10 + t}": [Inert(f"pad{t}")] for t in range(pads)}
    zidian.update({f"NM{10 + t}": ["abc", n] for t, n in enumerate(names)})
    zidian.update({f"K{t}": [a[::-1], b[::-1], "zzz"] for t, (a, b) in enumerate(pairs)})
    return labels, zidian, [f"K{t}" for t in range(len(pairs))]


def candidates(names=(), pairs=()):
    """The distinct candidate list of a call, read from the index maps of the
    same call behind 0, 1 and 2 inert entries (every position lands on a
    sampled one in one of them)."""
    seen = {}
    for pads in range(3):
        nw, z, g = inputs(names, pairs, pads)
        seen.update({k - pads: v for k, v in run(nw, z, g).items() if k >= pads})
    assert sorted(seen) == list(range(len(seen)))
    return [seen[q] for q in range(len(seen))]


def one_char(k):
    """k odd-length entries (one character each, but the first when k is odd),
    then two of two characters."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = ["abcde"] if k % 2 else []
    pairs = [(letters[2 * t], letters[2 * t + 1]) for t in range(k // 2)] + [("xy", "zw")]
    return names, pairs


# ---- stages 1 and 2 -------------------------------------------------------------------------

@pytest.mark.parametrize("label,matches", [
    ("AB12", True), ("AB123", True), ("AB1234", True), ("AB12345", True), ("AB12-x", True),
    ("AB\u0661\u0662", True),  # Arabic-Indic digits are decimal digits
    ("A12", False), ("ab12", False), (" AB12", False), ("AB1", False), ("ABC12", False),
    ("\u00c4B12", False), ("AB\u00b2\u00b3", False),  # only A-Z; superscripts are not decimal
])
def test_stage1_pattern(label, matches):
    assert run([label], {label: ["abc", "defg", "hijkl"]}) == ({0: "defg"} if matches else {})


@pytest.mark.parametrize("nWlist,Zidian,expected", [
    ([], {}, {}),
    (["AB12"], {"AB12": "defgh"}, {}),                        # a str value: its elements are single chars
    ("AB12", {"AB12": ["defg"]}, {}),                         # a str nWlist: walked char by char
    ([12, None, 3.5, b"AB12", ("AB12",)], {12: ["wxyz"], None: ["wxyz"], b"AB12": ["wxyz"]}, {}),
    (["CD34"], {"AB12": ["wxyz"]}, {}),                        # not listed
    (["AB12", "CD34", "AB12", "EF56", "GH78"],
     {"AB12": ["wxyz"], "CD34": ["abcd", "zzzz"], "EF56": ["ab", "efgh"], "GH78": ["ijkl"]},
     {0: "wxyz", 3: "ijkl"}),                                 # repeated entries count once, first place kept
    (iter(["AB12"]), {"AB12": ("xy", "zyxwv", "uvwxyz")}, {0: "zyxwv"}),
])
def test_stage1(nWlist, Zidian, expected):
    assert run(nWlist, Zidian) == expected


@pytest.mark.parametrize("genotype,Zidian,expected", [
    (["K0", "K1"], {"K0": ["aaa", "bbb", "ccc"], "K1": ["abc", "d-e", "fgh", "ijk"]}, {0: "aaa", 3: "hgf"}),
    (["K0", "K1"], {"K0": ["aaa", "bbb", "ccc"], "K1": ["abc", "fgh", "d-e"]}, {0: "aaa"}),
    (["K0", "K1"], {"K0": ["aaa", "bbb", "ccc"], "K1": ("abc", "fgh", "ijk")}, {0: "aaa"}),
    (["K0", "K1"], {"K0": ["aaa", "bbb", "ccc"], "K1": ["", "a b", "x_y", "fgh", "ijk", "lmn"]}, {0: "aaa", 3: "kji"}),
    ("K1K2", {"K1": ["aaa", "bbb", "ccc"], "1K": ["ddd", "eee", "fff"], "K": ["ggg", "hhh", "iii"],
              "K3": ["jjj", "kkk", "lll"]}, {0: "aaa", 3: "eee"}),
    ({"K1": 0}, {"K1": ["aaa", "bbb", "ccc"], "K2": ["ddd", "eee", "fff"]}, {0: "aaa"}),
])
def test_stage2(genotype, Zidian, expected):
    assert run([], Zidian, genotype) == expected


class Refusing:
    def __contains__(self, key):
        raise AssertionError("genotype consulted")


def test_stage2_reads_genotype_only_for_list_values_and_afresh():
    assert run([], {"K": ("aaa", "bbb", "ccc"), "L": "abc", "M": None}, Refusing()) == {}
    g = Genomatch(None, 1, 2)

    class Switch:  # admits every key, then hands the instance a genotype that admits none
        def __contains__(self, key):
            g.genotype = []
            return True

    g.genotype = Switch()
    assert g.AIVChina([], {"K0": ["aaa", "bbb", "ccc"], "K1": ["ddd", "eee", "fff"]}) == {0: "aaa"}


@pytest.mark.parametrize("names,pairs,expected", [
    ([], [("\u00e9\u00f6", "\u03a9\u03bc")], ["\u00e9\u00f6", "\u03a9\u03bc"]),          # letters of any script
    ([], [("a\U0001d518b", "\u0661\u0662")], ["a\U0001d518b", "\u0661\u0662", "\u0662\u0661_b\U0001d518a"]),
    (["\u00e9t\u00e9\U0001d518x"], [("\u00e9\u00f6", "b")],
     ["\u00e9t\u00e9\U0001d518x", "\u00e9\u00f6", "b", "\u00f6\u00e9_x\U0001d518\u00e9t\u00e9",
      "b_\u00f6\u00e9", "\u00e9t\u00e9\U0001d518x_\u00e9\u00f6_b", "\u00e9\u00f6_b_b"]),
])
def test_unicode_names_are_reversed_by_code_points(names, pairs, expected):
    assert candidates(names, pairs) == expected


@pytest.mark.parametrize("name,alnum", [
    ("e\u0301x", False), ("\U0001f600", False), ("a b", False), ("a-b", False), ("x_y", False), ("", False),
    ("ab12", True), ("7", True), ("\u00b2", True), ("\u216b\u00bd", True), ("\u01c5\u00df", True), ("\U0001d518\u0e51", True),
])
def test_alphanumeric_in_the_unicode_sense(name, alnum):
    z = {"K": [name, "abc", "def", "ghi"]}
    assert run([], z, ["K"])[0] == (name[::-1] if alnum else "cba")


# ---- stage 3 --------------------------------------------------------------------------------

@pytest.mark.parametrize("pairs,expected", [
    ([("ab", "c")], ["ab", "c", "c_ba", "ab_c_c"]),
    ([("a", "bc")], ["a", "bc", "cb_a"]),
    ([("ab", "cd")], ["ab", "cd"]),
    ([("a", "b")], ["a", "b"]),
    ([("cba", "hgf")], ["cba", "hgf"]),
])
def test_stage3_examples(pairs, expected):
    assert candidates(pairs=pairs) == expected


@pytest.mark.parametrize("k,length", [(1, 5), (2, 10), (3, 19), (4, 36), (5, 69), (10, 2058)])
def test_growth(k, length):
    names, pairs = one_char(k)
    got = candidates(names, pairs)
    assert len(got) == length  # every entry of these lists is distinct
    nw, z, g = inputs(names, pairs, 1)
    assert run(nw, z, g) == run(nw, z, g, cls=PlainGenomatch)


def test_growth_to_524306_entries():
    names, pairs = one_char(18)
    got = candidates(names, pairs)
    assert len(got) == 524306
    assert all(type(e) is str and len(e) % 2 == 0 for e in got[18:])


def test_bound_is_one_million_entries():
    # Stage 1 gives n copies of "abcd", stage 2 "yz" and "x": 3n + 4 entries
    # after stage 3, and one more with an inert entry in front.
    n = 333_332
    z = {"AB12": ["abcd"], "PD10": [Inert("pad0")], "K": ["zy", "x", "w"]}
    assert len(run(["AB12"] * n, z, ["K"])) == 3  # 1,000,000 entries, 9 of them distinct
    with pytest.raises(MemoryError, match=BOUND):
        run(["PD10"] + ["AB12"] * n, z, ["K"])


@pytest.mark.parametrize("k", [19, 20])
def test_bound(k):
    nw, z, g = inputs(*one_char(k))
    before = copy.deepcopy((nw, z, g))
    obj = Genomatch(g, "A.csv", "B.csv")
    with pytest.raises(MemoryError) as info:
        obj.AIVChina(nw, z)
    assert str(info.value) == BOUND and entry_names(info.value)[-1] == ENTRY
    assert (nw, z, g) == before and vars(obj) == {"genotype": g, "A_csv": "A.csv", "B_csv": "B.csv"}


def test_other_entries_are_joined_with_their_own_operators():
    calls = []

    class Tracing(str):
        def __add__(self, other):
            calls.append(("add", str(self), other))
            return str.__add__(self, other)

        def __radd__(self, other):
            calls.append(("radd", other, str(self)))
            return other + str(self)

    z = {"AB12": ["abcd"], "CD34": [Tracing("efghi")]}
    expected = run(["AB12", "CD34"], z, cls=PlainGenomatch)
    plain_calls, calls[:] = calls[:], []
    assert run(["AB12", "CD34"], z) == expected and calls == plain_calls
    assert ("radd", "abcd_", "efghi") in calls and ("add", "efghi", "_") in calls


# ---- failures -------------------------------------------------------------------------------

class NoItems:
    def get(self, key, default):
        return default


class Pairs(dict):
    def __init__(self, pairs):
        super().__init__()
        self.pairs = pairs

    def items(self):
        return self.pairs


class Sized:
    def __len__(self):
        return 4


class NoReverse(str):
    def __getitem__(self, index):
        raise LookupError(f"no {index!r}")


def grows_zidian(z):
    class G:
        def __contains__(self, key):
            z[f"new{len(z)}"] = []
            return True
    return G()


def swaps_keys(z):
    class G:
        def __contains__(self, key):
            del z[key]
            z[key + "'"] = []
            return True
    return G()


@pytest.mark.parametrize("make,exc,message", [
    (lambda: (5, {}, ()), TypeError, "'int' object is not iterable"),
    (lambda: (["AB12"], None, ()), AttributeError, "'NoneType' object has no attribute 'get'"),
    (lambda: (["ab12"], None, ()), AttributeError, "'NoneType' object has no attribute 'items'"),
    (lambda: ([], NoItems(), ()), AttributeError, "'NoItems' object has no attribute 'items'"),
    (lambda: (["AB12"], {"AB12": 5}, ()), TypeError, "'int' object is not iterable"),
    (lambda: (["AB12"], {"AB12": [5]}, ()), TypeError, "object of type 'int' has no len()"),
    (lambda: ([], {"K": ["a"]}, None), TypeError, "argument of type 'NoneType' is not iterable"),
    (lambda: ([], {5: ["a"]}, "K1"), TypeError, "'in <string>' requires string as left operand, not int"),
    (lambda: ([], {"K": ["abc", 5]}, ["K"]), AttributeError, "'int' object has no attribute 'isalnum'"),
    (lambda: ([], {"K": ["ab", "cd", NoReverse("ef")]}, ["K"]), LookupError, "no slice(None, None, -1)"),
    (lambda: (["AB12"], {"AB12": [[1, 2, 3, 4]]}, ()), TypeError, 'can only concatenate list (not "str") to list'),
    (lambda: (["AB12"], {"AB12": [b"abcd"]}, ()), TypeError, "can't concat str to bytes"),
    (lambda: (["AB12", "CD34"], {"AB12": ["abcd"], "CD34": [Sized()]}, ()), TypeError,
     'can only concatenate str (not "Sized") to str'),
    (lambda: ([], Pairs([("K", [], 3)]), ()), ValueError, "too many values to unpack (expected 2)"),
    (lambda: ([], Pairs([("K",)]), ()), ValueError, "need more than 1 value to unpack"),
    (lambda: ([], Pairs([()]), ()), ValueError, "need more than 0 values to unpack"),
    (lambda: ([], Pairs([iter("K")]), ()), ValueError, "need more than 1 value to unpack"),
    (lambda: ([], Pairs([7]), ()), TypeError, "'int' object is not iterable"),
    (lambda: ([], Pairs(5), ()), TypeError, "'int' object is not iterable"),
])
def test_failures(make, exc, message):
    # `message` names the case (3.12's wording); the text to match is the plain
    # class's on the running interpreter.
    messages = []
    for cls in (PlainGenomatch, Genomatch):
        with pytest.raises(exc) as info:
            run(*make(), cls=cls)
        messages.append(str(info.value))
    assert messages[0] == messages[1]
    assert ENTRY in entry_names(info.value)


@pytest.mark.parametrize("genotype,message", [
    (grows_zidian, "dictionary changed size during iteration"),
    (swaps_keys, "dictionary keys changed during iteration"),
])
def test_zidian_changed_during_stage2(genotype, message):
    for cls in (PlainGenomatch, Genomatch):
        z = {"K1": [], "K2": []}
        with pytest.raises(RuntimeError) as info:
            run([], z, genotype(z), cls=cls)
        assert str(info.value) == message
    assert entry_names(info.value)[-1] == ENTRY


def test_re_is_looked_up_at_each_call(monkeypatch):
    compiled = []

    class Pattern:
        def match(self, item):
            compiled.append(item)
            return item == "yes"

    class FakeRe:
        def compile(self, *args, **kwargs):
            compiled.append((args, kwargs))
            return Pattern()

    monkeypatch.setattr(genomatch_module, "re", FakeRe())
    items = ["yes", "no", 5, Inert("sub"), None]
    assert run(items, {"yes": ["wxyz"]}) == {0: "wxyz"}
    assert compiled == [(("[A-Z]{2}\\d{2,3}",), {}), "yes", "no", "sub"]
    monkeypatch.delattr(genomatch_module, "re")
    with pytest.raises(NameError) as info:
        run(5, None)  # the name is looked up before nWlist is walked
    assert str(info.value) == "name 're' is not defined" and entry_names(info.value)[-1] == ENTRY
    monkeypatch.setattr(builtins, "re", FakeRe(), raising=False)
    assert run(["yes"], {"yes": ["wxyz"]}) == {0: "wxyz"}


def test_constructor_and_binding():
    g, a, b = ["K"], object(), object()
    obj = Genomatch(g, B_csv=b, A_csv=a)
    assert list(vars(obj).items()) == [("genotype", g), ("A_csv", a), ("B_csv", b)] and obj.A_csv is a
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 4 positional arguments \(2 given\)$"):
        Genomatch(g)
    with pytest.raises(TypeError, match=r"^AIVChina\(\) takes exactly 3 positional arguments \(2 given\)$"):
        obj.AIVChina([])
    assert obj.AIVChina(Zidian={}, nWlist=[]) == {}


# ---- leaks ----------------------------------------------------------------------------------

LEAK_CASES = [
    (lambda: inputs(*one_char(5), pads=1), None),
    (lambda: (["AB12", "CD34", 7], {"AB12": ["abcde"], "CD34": ["\U0001d518xyz"], "K": ["ab", "c", "d"]}, ["K"]),
     None),
    (lambda: (["AB12", "CD34"], {"AB12": ["abcd"], "CD34": [Sized()]}, ()), TypeError),
    (lambda: ([], Pairs([("K",)]), ()), ValueError),
    (lambda: ([], {"K": ["abc", 5]}, ["K"]), AttributeError),
]


@pytest.mark.parametrize("case", range(len(LEAK_CASES)))
def test_no_leak(case):
    make, expect = LEAK_CASES[case]
    nw, z, g = make()
    obj = Genomatch(g, "A.csv", "B.csv")
    assert_no_leak(lambda: obj.AIVChina(nw, z), obj, nw, z, g, expect=expect)
    assert_no_leak(lambda: Genomatch(g, nw, z), g, nw, z)


def test_no_leak_at_the_bound():
    nw, z, g = inputs(*one_char(20))
    obj = Genomatch(g, "A.csv", "B.csv")
    assert_no_leak(lambda: obj.AIVChina(nw, z), obj, nw, z, expect=MemoryError, rounds=3, per_round=1, warmup=1)


# ---- properties: differential against the plain version -----------------------------------

def canonical(result):
    return [(k, type(v), str.__str__(v) if isinstance(v, str) else repr(v)) for k, v in result.items()]


def outcome(cls, make):
    """The result or the failure of a call on fresh inputs from `make`."""
    nw, z, g = make()
    try:
        return "ok", canonical(cls(g, "A.csv", "B.csv").AIVChina(nw, z)), None
    except Exception as exc:
        return type(exc), str(exc), exc


def weighted(*choices):
    """One of the strategies, each drawn with its weight."""
    table = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.integers(0, len(table) - 1).flatmap(lambda i: table[i])


LABEL = st.from_regex(r"\A[A-Z]{2}[0-9\u0660-\u0669]{2,3}[-a-z0-9]{0,2}\Z")
ALNUM = st.text(st.sampled_from("abc09\u00e9\u03a9\U0001d518\u0661\u00b2"), min_size=1, max_size=6)
NAME = weighted((4, ALNUM), (1, st.text(st.sampled_from("ab\u00e9-_ "), max_size=6)), (1, st.text(max_size=5)))
JUNK = st.one_of(st.integers(-3, 3), st.none(), st.binary(max_size=5),
                 st.floats(allow_nan=False), st.lists(st.integers(), max_size=5))
KEY = weighted((3, LABEL), (1, NAME), (1, st.integers(-3, 3) | st.none()))
VALUE = weighted((6, st.lists(NAME, min_size=3, max_size=5)), (2, st.lists(NAME, max_size=3)),
                 (1, st.lists(NAME | JUNK, max_size=5)),
                 (1, st.tuples(NAME, NAME, NAME)), (1, NAME | JUNK))


@st.composite
def plain_inputs(draw):
    """nWlist, Zidian, genotype of plain values, mostly of the shapes the
    method expects (labels that Zidian lists, genotypes holding its keys)."""
    z = draw(st.dictionaries(KEY, VALUE, min_size=draw(st.integers(0, 2)), max_size=3))
    keys = st.sampled_from(list(z)) if z else KEY
    item = weighted((4, keys), (1, LABEL), (1, JUNK))
    nw = draw(weighted((8, st.lists(item, min_size=draw(st.integers(0, 3)), max_size=5)), (1, st.tuples(item, item)), (1, LABEL | st.integers())))
    g = draw(weighted((8, st.lists(keys, min_size=draw(st.integers(0, 2)), max_size=4)), (1, st.frozensets(keys, max_size=4)), (1, NAME),
                      (1, st.dictionaries(keys, st.none(), max_size=3)), (1, st.none() | st.integers())))
    return nw, z, g


@pytest.mark.property
@given(plain_inputs())
def test_property_plain_values(args):
    before = copy.deepcopy(args)
    expected = outcome(PlainGenomatch, lambda: args)
    got = outcome(Genomatch, lambda: args)
    assert got[:2] == expected[:2]
    assert args == before
    if got[2] is not None:
        assert ENTRY in entry_names(got[2])


# Hostile objects: each factory makes fresh inputs, so both versions see the same.

def hostile_cases(n):
    mode = ["abcd", "", 5, None, [1], "abcde"][n % 6]

    class Clearing(str):  # isalnum empties the list being read
        target = []

        def isalnum(self):
            self.target.clear()
            return True

    def clearing():
        values = [Clearing("ab"), "cd", "ef", "gh"]
        Clearing.target = values
        return [], {"K": values, "L": ["ab", "cd", "ef"]}, ["K", "L"]

    def genotype_clears():
        z = {"K": ["ab", "cd", "ef"], "L": ["gh", "ij", "kl"]}

        class G:
            def __contains__(self, key):
                for v in z.values():
                    v.clear()
                return True
        return [], z, G()

    class OddLen(str):
        def __len__(self):
            return mode

    class OddAdd(str):
        def __add__(self, other):
            return mode

        def __radd__(self, other):
            return mode if n % 2 else NotImplemented

    class OddRev(str):
        def __getitem__(self, i):
            return mode

    class Unhashable(str):
        __hash__ = None

    class Colliding(str):
        def __hash__(self):
            return 1

        def __eq__(self, other):
            Colliding.log.append(other)
            return False
        log = []

    class GetRaises(dict):
        def get(self, key, default):
            raise KeyError(key)

    class ItemsMutate(dict):
        def items(self):
            for k in list(dict.keys(self)):
                self[k + "x"] = ["abc", "def", "ghi"]
                yield k, dict.__getitem__(self, k)
            yield ("K",)

    def one(entry, more=("efgh",)):
        return ["AB12", "CD34"], {"AB12": [entry], "CD34": list(more)}, ()

    return [
        clearing, genotype_clears,
        lambda: one(OddLen("ab")), lambda: one(OddAdd("abcd")), lambda: one(OddAdd("abcde"), ["efg"]),
        lambda: one("abcd", [OddAdd("efghi")]), lambda: ([], {"K": [OddRev("ab"), "c", "d"]}, ["K"]),
        lambda: one(Unhashable("abcd")), lambda: (["AB12", Colliding("CD34")], {"AB12": [Colliding("abcd")],
                                                   "CD34": [Colliding("wxyz")]}, ()),
        lambda: (["AB12"], GetRaises(AB12=["abcd"]), ()),
        lambda: ([], ItemsMutate(K1=["abc", "def", "ghi"]), ["K1", "K1x"]),
        lambda: ([], {"K": ["a", "b", "c"]}, OddAdd("K" if n % 2 else "x")),
    ]


@pytest.mark.property
@given(st.integers(0, 11), st.integers(0, 11))
def test_property_hostile_objects(case, n):
    make = hostile_cases(n)[case]
    expected = outcome(PlainGenomatch, make)
    got = outcome(Genomatch, make)
    assert got[:2] == expected[:2]
    if got[2] is not None:
        assert ENTRY in entry_names(got[2])


@pytest.mark.property
@settings(max_examples=6 if UNDER_SANITIZERS else 12)
@given(plain_inputs())
def test_property_no_leak(args):
    nw, z, g = args
    kind = outcome(PlainGenomatch, lambda: args)[0]
    expect = None if kind == "ok" else kind
    obj = Genomatch(g, "A.csv", "B.csv")
    assert_no_leak(lambda: obj.AIVChina(nw, z), obj, z, expect=expect, rounds=4, per_round=10, warmup=1)


# ---- allocation failures --------------------------------------------------------------------

from nomemory import failing_allocations  # noqa: E402


@pytest.mark.parametrize("method,entries", [("__init__", "str"), ("AIVChina", "str"), ("AIVChina", "subclass")])
def test_every_allocation_may_fail(method, entries):
    report = failing_allocations(f"""
from pellar.genomatch import Genomatch
class Text(str):
    pass
make = str if {entries!r} == "str" else Text
nWlist = ["AB12", "CD345", "x", 7]
Zidian = {{"AB12": ["abcd", "efghij"], "g1": [make(v) for v in ["ab1", "cde", "fg", "h"]], "g2": "no"}}
def prepare():
    return Genomatch(["g1"], "a.csv", "b.csv")
def call(g):
    if {method!r} == "__init__":
        made = Genomatch(["g1"], "a.csv", "b.csv")
        return made.genotype, made.A_csv, made.B_csv
    return g.AIVChina(nWlist, Zidian)
""")
    assert report.passed, str(report)


# ---- Ctrl-C ---------------------------------------------------------------------------------

from interrupt import ANSWERED, interrupt  # noqa: E402


@pytest.mark.parametrize("setup,call", [
    # Stage 1 over labels that never end.
    ("", "g.AIVChina(itertools.repeat('AB12'), {})"),
    ("", "g.AIVChina(itertools.repeat('zz'), {})"),
    # Stage 1: names that never end for a label.
    ("class Z(dict):\n    def get(self, k, d):\n        return itertools.repeat('abcd')",
     "g.AIVChina(['AB12'], Z())"),
    # Stage 2: a list of the genotype whose names never end.
    ("class L(list):\n    def __iter__(self):\n        return itertools.repeat('ab')",
     "g.AIVChina([], {'k': L()})"),
])
def test_ctrl_c_interrupts_a_call_over_endless_input(setup, call):
    got = interrupt(f"""
import itertools
from pellar.genomatch import Genomatch
g = Genomatch(["k"], "a", "b")
{setup}
""", call)
    assert got.get("latency", 99) < ANSWERED, got
    assert ENTRY in got["names"]
