"""pellar.refbook: a file reference with three index operations that do nothing."""
import traceback

import pytest

from leakcheck import assert_no_leak
from pellar.refbook import Refbook

INDEX_METHODS = ["basic_dict_index", "dirscan_Exclusive_dict_index", "read_basic_index"]


@pytest.mark.parametrize("file", ["missing-file.txt", None, 42, b"bytes", object(), ["a", "list"]])
def test_stores_file_unchanged(file, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    r = Refbook(file)
    assert r.file is file
    assert vars(r) == {"file": file}
    for name in INDEX_METHODS:
        assert getattr(r, name)() is None
        # Called through the class with any object as self.
        assert getattr(Refbook, name)(object()) is None
    assert list(tmp_path.iterdir()) == []  # nothing touched


def test_attribute_setting_of_a_subclass_is_honoured():
    seen = []

    class Recording(Refbook):
        def __setattr__(self, name, value):
            seen.append((name, value))
            super().__setattr__(name, value)

    assert Recording("f").file == "f" and seen == [("file", "f")]

    class Refusing(Refbook):
        def __setattr__(self, name, value):
            raise PermissionError(name)

    with pytest.raises(PermissionError) as info:
        Refusing("f")
    assert str(info.value) == "file"
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["pellar.refbook.Refbook.__init__", "__setattr__"]
    entry = traceback.extract_tb(info.value.__traceback__)[-2]
    assert entry.filename == "pellar/refbook" and entry.lineno > 0


def test_index_methods_touch_nothing():
    class Watch(Refbook):
        def __getattribute__(self, name):
            raise AssertionError(f"read {name}")

    w = Watch.__new__(Watch)
    for name in INDEX_METHODS:
        assert Refbook.__dict__[name](w) is None


@pytest.mark.parametrize("name", INDEX_METHODS)
def test_index_methods_do_not_leak(name):
    r = Refbook("f")
    assert_no_leak(getattr(r, name), r)


def test_constructor_does_not_leak():
    f = object()
    assert_no_leak(lambda: Refbook(f), f)
    assert_no_leak(lambda: Refbook(file=f), f)


# ---- properties ----------------------------------------------------------------------------

from hypothesis import given, strategies as st  # noqa: E402

from plain.refbook import Refbook as PlainRefbook  # noqa: E402

ANY = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=10,
)
NAMES = st.sampled_from(["file", "self", "x", "fi" + "le"])


@given(file=ANY)
def test_property_any_file_is_stored_unchanged(file):
    r = Refbook(file)
    assert r.file is file and vars(r) == {"file": file}
    assert [getattr(r, m)() for m in INDEX_METHODS] == [None, None, None]


@given(n_positional=st.integers(0, 3), keywords=st.lists(NAMES, max_size=3, unique=True),
       method=st.sampled_from(["__init__"] + INDEX_METHODS))
def test_property_call_shapes_bind_as_plain_functions_do(n_positional, keywords, method):
    """Any mix of positional and keyword arguments binds exactly when a plain
    function's binding accepts it; a refusal is a TypeError with the method's entry."""
    def attempt(cls):
        args = [object.__new__(cls)] + [object()] * n_positional
        try:
            getattr(cls, method)(*args, **{k: object.__new__(cls) for k in keywords})
        except TypeError as exc:
            return exc
        return None

    native, plain = attempt(Refbook), attempt(PlainRefbook)
    assert (native is None) == (plain is None)
    if native is not None:
        assert traceback.extract_tb(native.__traceback__)[-1].name == f"pellar.refbook.Refbook.{method}"


# ---- allocation failures --------------------------------------------------------------------

from nomemory import failing_allocations  # noqa: E402


@pytest.mark.parametrize("method", ["__init__", "basic_dict_index", "dirscan_Exclusive_dict_index",
                                    "read_basic_index"])
def test_every_allocation_may_fail(method):
    call = "Refbook(arg).file" if method == "__init__" else f"Refbook.{method}(arg)"
    report = failing_allocations(f"""
from pellar.refbook import Refbook
def prepare():
    return Refbook("f") if {method!r} != "__init__" else "f"
def call(arg):
    return {call}
""")
    assert report.passed, str(report)
