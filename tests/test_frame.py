"""The module frame as a caller sees it: loading, function objects, binding, tracebacks."""
import ast
import ctypes
import importlib
import inspect
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import textwrap
import traceback

import pytest

from conftest import MODULES, ROOT, STAGE, UNDER_SANITIZERS, built_modules
from leakcheck import assert_no_leak

# module -> (class, [(method, params incl. self)])
SHAPES = {
    "dirscan": ("dirscan", [("__init__", ["self", "directory_path"]), ("process_directory", ["self"]),
                            ("build_graph", ["self"]), ("calculate_cli", ["self"]), ("display_summary", ["self"])]),
    "edgewriter": ("Edgewriter", [("__init__", ["self", "network_file", "gephi"]),
                                  ("create_net", ["self", "zidian", "LIs", "filter_seq"])]),
    "genomatch": ("Genomatch", [("__init__", ["self", "genotype", "A_csv", "B_csv"]),
                                ("AIVChina", ["self", "nWlist", "Zidian"])]),
    "recsift": ("Recsift", [("__init__", ["self", "file"]), ("SQ_LS", ["self"])]),
    "refbook": ("Refbook", [("__init__", ["self", "file"]), ("basic_dict_index", ["self"]),
                            ("dirscan_Exclusive_dict_index", ["self"]), ("read_basic_index", ["self"])]),
}

METHODS = [(m, name, params) for m in built_modules() for name, params in SHAPES[m][1]]


def load(short):
    return importlib.import_module(f"pellar.{short}")


def method(short, name):
    mod = load(short)
    return getattr(mod, SHAPES[short][0]).__dict__[name]


def run_python(code, *args, env=None):
    """Runs `code` in a fresh interpreter with the stage on its path."""
    e = dict(os.environ)
    e["PYTHONPATH"] = str(STAGE)
    e.update(env or {})
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code), *args], env=e,
                          capture_output=True, text=True, timeout=120)


def test_every_module_is_built():
    assert built_modules() == list(MODULES)


# ---- class and function objects ----------------------------------------------------------

@pytest.mark.parametrize("short", built_modules())
def test_class_shape(short):
    mod = load(short)
    cls_name, methods = SHAPES[short]
    cls = getattr(mod, cls_name)
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == f"pellar.{short}" and cls.__qualname__ == cls_name
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == [name for name, _ in methods]
    assert mod.__test__ == {} and type(mod.__test__) is dict
    assert mod.__builtins__ is __builtins__ or mod.__builtins__ is sys.modules["builtins"]


@pytest.mark.parametrize("short,name,params", METHODS)
def test_function_attributes(short, name, params):
    mod = load(short)
    cls_name = SHAPES[short][0]
    f = method(short, name)
    assert f.__name__ == name
    assert f.__qualname__ == f"{cls_name}.{name}"
    assert f.__module__ == f"pellar.{short}"
    assert f.__doc__ is None and f.__closure__ is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__annotations__ == {} and isinstance(f.__dict__, dict)
    assert f.__globals__ is mod.__dict__
    code = f.__code__
    assert code.co_argcount == len(params) and code.co_varnames[: len(params)] == tuple(params)
    assert code.co_filename == f"pellar/{short}" and code.co_name == name
    assert code.co_kwonlyargcount == 0 and code.co_posonlyargcount == 0
    assert list(inspect.signature(f).parameters) == params
    assert callable(f) and repr(f).startswith(f"<function {cls_name}.{name} at ")
    # Read from the class it is the function itself; from an instance it binds.
    assert getattr(getattr(mod, cls_name), name) is f
    obj = object.__new__(getattr(mod, cls_name))
    bound = getattr(obj, name)
    assert bound.__func__ is f and bound.__self__ is obj
    assert f.__get__(None, type(obj)) is f
    # Plain functions pickle and copy by reference.
    assert pickle.loads(pickle.dumps(f)) is f


def test_function_objects_are_not_instantiable_and_keep_attributes():
    f = method("refbook", "basic_dict_index")
    with pytest.raises(TypeError):
        type(f)()
    f.custom = 1
    try:
        assert f.__dict__["custom"] == 1
    finally:
        del f.custom
    with pytest.raises(AttributeError):
        f.__code__ = None
    with pytest.raises(TypeError):
        f.__name__ = 3


# ---- argument binding ----------------------------------------------------------------------

def refbook_cases():
    from pellar.refbook import Refbook

    r = Refbook("f")
    return [
        (lambda: Refbook(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: Refbook(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Refbook(path=1), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: Refbook(1, file=2), "__init__() got multiple values for keyword argument 'file'"),
        (lambda: Refbook(file=1, path=2), "__init__() got an unexpected keyword argument 'path'"),
        (lambda: Refbook(1, 2, file=3), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Refbook.__init__(r, 1, self=r), "__init__() got multiple values for keyword argument 'self'"),
        (lambda: Refbook.__init__(file=1), "__init__() takes exactly 2 positional arguments (0 given)"),
        (lambda: r.basic_dict_index(1), "basic_dict_index() takes exactly 1 positional argument (2 given)"),
        (lambda: r.read_basic_index(x=1), "read_basic_index() got an unexpected keyword argument 'x'"),
        (lambda: r.read_basic_index(self=1), "read_basic_index() got multiple values for keyword argument 'self'"),
        (lambda: Refbook.read_basic_index(), "read_basic_index() takes exactly 1 positional argument (0 given)"),
        (lambda: Refbook.read_basic_index(1, 2), "read_basic_index() takes exactly 1 positional argument (2 given)"),
        (lambda: Refbook.dirscan_Exclusive_dict_index(x=1),
         "dirscan_Exclusive_dict_index() takes exactly 1 positional argument (0 given)"),
        (lambda: Refbook.read_basic_index(**{"self": 1, "zz": 2}),
         "read_basic_index() got an unexpected keyword argument 'zz'"),
    ]


@pytest.mark.parametrize("case", range(len(refbook_cases())))
def test_binding_errors(case):
    call, message = refbook_cases()[case]
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    entry = traceback.extract_tb(info.value.__traceback__)[-1]
    assert entry.filename == "pellar/refbook"
    assert entry.name.startswith("pellar.refbook.Refbook.")
    assert entry.name.endswith("." + message.split("(")[0])


def test_binding_accepts_keywords_in_any_form():
    from pellar.refbook import Refbook

    r = Refbook(file="a")
    assert r.file == "a"
    Refbook.__init__(file="b", self=r)
    assert r.file == "b"
    assert Refbook.read_basic_index(self=object()) is None
    # A keyword name that is equal to the parameter but not the same object.
    name = "".join(["fi", "le"])
    assert Refbook(**{name: "c"}).file == "c"


def vectorcall(f, args, kwnames):
    """A direct vector call, as the interpreter itself never makes one with these keywords."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    arr = (ctypes.py_object * len(args))(*args)
    nkw = len(kwnames) if kwnames is not None else 0
    return call(f, ctypes.cast(arr, ctypes.c_void_p), len(args) - nkw, kwnames)


@pytest.mark.parametrize("args,kwnames,message", [
    ((1, 2, 3), (7,), "__init__() keywords must be strings"),
    ((1, 2, 3), (7, "file"), "__init__() keywords must be strings"),
    ((1, 2, 3, 4), ("zz", 7), "__init__() got an unexpected keyword argument 'zz'"),
    ((1, 2, 3), ("zz", 7), "__init__() takes exactly 2 positional arguments (1 given)"),
    ((1, 2), (7,), "__init__() takes exactly 2 positional arguments (1 given)"),
])
def test_binding_of_non_string_keywords(args, kwnames, message):
    from pellar.refbook import Refbook

    init = Refbook.__dict__["__init__"]
    r = object.__new__(Refbook)
    args = (r,) + args[1:]
    with pytest.raises(TypeError, match=r"^" + __import__("re").escape(message) + "$"):
        vectorcall(init, args, kwnames)


def test_binding_by_direct_vectorcall_succeeds():
    from pellar.refbook import Refbook

    init = Refbook.__dict__["__init__"]
    r = object.__new__(Refbook)
    assert vectorcall(init, (r, "x"), ("file",)) is None and r.file == "x"
    assert vectorcall(init, ("y", r), ("file", "self")) is None and r.file == "y"


@pytest.mark.parametrize("short", built_modules())
def test_a_keyword_given_twice_binds_its_later_value(short):
    cls = getattr(load(short), SHAPES[short][0])
    params = dict(SHAPES[short][1])["__init__"][1:]
    first, later = [object() for _ in params], [object() for _ in params]
    obj = object.__new__(cls)
    # Every parameter by keyword, then every one again.
    assert vectorcall(cls.__dict__["__init__"], (obj, *first, *later), tuple(params) * 2) is None
    assert [getattr(obj, p) for p in params] == later


def test_binding_creates_no_objects():
    from pellar.refbook import Refbook

    r = Refbook("x")
    before = sys.getallocatedblocks()
    for _ in range(2000):
        r.basic_dict_index()
        Refbook.read_basic_index(self=r)
    if not UNDER_SANITIZERS:
        assert sys.getallocatedblocks() - before < 50


def test_binding_errors_do_not_leak():
    from pellar.refbook import Refbook

    r = Refbook("x")
    assert_no_leak(lambda: Refbook(1, file=r), r, expect=TypeError)
    assert_no_leak(lambda: r.read_basic_index(x=r), r, expect=TypeError)


@pytest.mark.parametrize("leak", ["a reference to an argument", "a new object"])
def test_the_leak_check_sees_one_reference_leaked_per_call(leak):
    # A test double around a native method: one reference per call is never
    # released.  The check must fail on every interpreter version.
    from pellar.refbook import Refbook

    r = Refbook("x")

    def leaky():
        r.read_basic_index()
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(r if leak == "a reference to an argument" else Refbook("y")))

    with pytest.raises(AssertionError, match="grow"):
        assert_no_leak(leaky, r)


# ---- loading -------------------------------------------------------------------------------

@pytest.mark.parametrize("short", built_modules())
def test_import_twice_and_after_removal(short):
    mod = load(short)
    test_dict, cls = mod.__test__, getattr(mod, SHAPES[short][0])
    assert importlib.import_module(f"pellar.{short}") is mod
    del sys.modules[f"pellar.{short}"]
    again = importlib.import_module(f"pellar.{short}")
    # The same module object; its top-level statements did not run again.
    assert again is mod and again.__test__ is test_dict and getattr(again, SHAPES[short][0]) is cls
    assert sys.modules[f"pellar.{short}"] is mod


@pytest.mark.parametrize("short", built_modules())
def test_module_attributes_from_spec(short):
    mod = load(short)
    assert mod.__name__ == f"pellar.{short}" and mod.__package__ == "pellar"
    assert mod.__file__ == mod.__spec__.origin
    assert type(mod.__loader__).__name__ == "ExtensionFileLoader"
    assert not hasattr(mod, "__path__")
    assert mod.__doc__ is None


def test_second_module_object_is_refused():
    r = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("pellar.refbook")
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        assert a is not b
        spec.loader.exec_module(a)
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
        # A create step after the first exec hands back the first module.
        print(importlib.util.module_from_spec(spec) is a)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "Module 'refbook' has already been imported. Re-initialisation is not supported.", "True"]


def test_sub_interpreter_is_refused(tmp_path):
    out = tmp_path / "out.txt"
    sub = f"try:\n    import pellar.refbook\nexcept ImportError as e:\n    open({str(out)!r}, 'w').write(str(e))\n"
    r = run_python(f"""
        import _testcapi
        import pellar.refbook
        print(_testcapi.run_in_subinterp({sub!r}))
    """)
    assert r.returncode == 0, r.stderr
    assert out.read_text() == ("Interpreter change detected - this module can only be loaded into one "
                               "interpreter per process.")


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm")
@pytest.mark.parametrize("short", built_modules())
def test_only_the_entry_point_is_exported(short):
    path = load(short).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{short}"]


@pytest.mark.skipif(UNDER_SANITIZERS, reason="builds a separate normal variant")
def test_version_mismatch_warns(tmp_path):
    """A build that claims another minor version warns at load, or fails under -W error."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("needs cmake")
    build = tmp_path / "build"
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja", f"-DPython_EXECUTABLE={sys.executable}",
                    "-DPELLAR_BUILT_FOR_MINOR=11"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", "refbook"], check=True, capture_output=True)
    env = {"PYTHONPATH": str(build / "stage")}
    code = """
        import warnings
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            import pellar.refbook
        print(w[0].category.__name__, w[0].message)
    """
    r = run_python(code, env=env)
    v = sys.version_info
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (f"RuntimeWarning compile time Python version 3.11 of module 'pellar.refbook' "
                                f"does not match runtime version {v.major}.{v.minor}")
    r = run_python("""
        import sys
        try:
            import pellar.refbook
        except RuntimeWarning as e:
            print("refused", "pellar.refbook" in sys.modules)
    """, env={**env, "PYTHONWARNINGS": "error::RuntimeWarning"})
    assert r.stdout.strip() == "refused False", r.stderr


BUILTINS_AT_LOAD = {"dirscan": ["print"], "edgewriter": ["enumerate", "range", "open", "print"],
                    "genomatch": ["enumerate", "range"], "recsift": ["open", "enumerate", "sorted"]}


@pytest.mark.parametrize("short,missing", [(m, b) for m, names in BUILTINS_AT_LOAD.items() for b in names
                                           if m in built_modules()])
def test_a_missing_builtin_fails_the_load_with_its_one_entry(short, missing, tmp_path):
    # Beside it, a plain module of a package: where the import machinery itself
    # needs the built-in (3.15 needs range to import any submodule), both fail
    # alike before the module's own code runs.
    (tmp_path / "plainpkg").mkdir()
    (tmp_path / "plainpkg" / "__init__.py").write_text("")
    (tmp_path / "plainpkg" / "mod.py").write_text("")
    r = run_python("""
        import builtins, sys, traceback
        delattr(builtins, sys.argv[2])
        def outcome(name):
            try:
                __import__(name)
            except BaseException as e:
                tb = traceback.StackSummary.extract(traceback.walk_tb(e.__traceback__), lookup_lines=False)
                return [type(e).__name__, str(e), tb[-1].name, tb[-1].filename, name in sys.modules]
            return "loaded"
        sys.stdout.write(repr([outcome("plainpkg.mod"), outcome("pellar." + sys.argv[1])]))
    """, short, missing, env={"PYTHONPATH": f"{STAGE}{os.pathsep}{tmp_path}"})
    assert r.returncode == 0, r.stderr
    plain, native = ast.literal_eval(r.stdout)
    if plain == "loaded":
        assert native == ["NameError", f"name '{missing}' is not defined", f"init pellar.{short}",
                          f"pellar/{short}", False]
    else:
        assert native[:2] == plain[:2]


# ---- import statements at load ---------------------------------------------------------------

@pytest.mark.skipif("edgewriter" not in built_modules(), reason="needs pellar.edgewriter")
def test_from_import_falls_back_to_the_module_table_entry():
    """`from Graphout import generate_network_file`: a module without the attribute,
    but with a module-table entry "Graphout.generate_network_file", binds that entry."""
    r = run_python("""
        import sys, types
        stand_in = types.ModuleType("Graphout")
        marker = types.ModuleType("Graphout.generate_network_file")
        sys.modules["Graphout"] = stand_in
        sys.modules["Graphout.generate_network_file"] = marker
        import pellar.edgewriter as m
        print(m.generate_network_file is marker)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True"]


@pytest.mark.skipif("genomatch" not in built_modules(), reason="needs pellar.genomatch")
@pytest.mark.parametrize("initializing", [False, True])
def test_import_takes_the_module_table_entry_unless_it_is_initialising(initializing):
    """`import re`: an entry of sys.modules is taken as it is, unless its spec says it
    is still initialising; then the import system is asked, which waits for the
    module's import lock and hands back the entry."""
    r = run_python(f"""
        import _frozen_importlib as bootstrap, importlib.machinery, sys, types
        stand_in = types.ModuleType("stand-in")
        stand_in.__spec__ = importlib.machinery.ModuleSpec("re", None)
        stand_in.__spec__._initializing = {initializing}
        sys.modules["re"] = stand_in
        waited = []
        original = bootstrap._lock_unlock_module
        bootstrap._lock_unlock_module = lambda name: (waited.append(name), original(name))[1]
        import pellar.genomatch as m
        bootstrap._lock_unlock_module = original
        print(m.re is stand_in, waited)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == f"True {['re'] if initializing else []}"


# ---- context managers ---------------------------------------------------------------------

WITH_EXIT = """
    import builtins, sys
    how = sys.argv[1]

    class File:
        def __iter__(self):
            raise ValueError("boom")

    class Opened:
        def __enter__(self):
            return File()

        def __exit__(self, t, e, tb):
            if how == "reraise":
                raise e
            try:
                raise LookupError("inner")
            except LookupError:
                raise KeyError("outer")

    real_open = builtins.open
    builtins.open = lambda *args, **kwargs: Opened()
    from pellar.recsift import Recsift
    builtins.open = real_open

    def chain(e):
        out = []
        while e is not None and len(out) < 5:
            out.append(type(e).__name__)
            e = e.__context__
        return out

    def plain():
        with Opened() as f:
            iter(f)

    for call in (plain, Recsift("unused").SQ_LS):
        try:
            call()
        except Exception as e:
            print(chain(e))
"""


@pytest.mark.skipif("recsift" not in built_modules(), reason="needs a module with a with statement")
@pytest.mark.parametrize("how", ["reraise", "raise_in_handler"])
def test_exceptions_from_exit_chain_as_in_a_with_statement(how):
    r = run_python(WITH_EXIT, how)
    assert r.returncode == 0, r.stderr
    plain, native = r.stdout.splitlines()
    assert native == plain
