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
