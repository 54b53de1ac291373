"""Test set-up: the built modules come from the build's stage directory, or,
with PELLAR_INSTALLED=1, from the package installed into the running
environment (a wheel or the sdist, as a user gets it).

Every built extension module is imported here, once and early, so that a
broken build shows one clear error instead of a failure in every test.
"""
import importlib
import os
import pathlib
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

# Property-based tests: a bounded run by default (the normal suite and CI), a
# long one with --hypothesis-profile=long.
settings.register_profile("default", max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("default")

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The plain-Python equivalents of the classes live in bench/plain.
sys.path.insert(0, str(ROOT / "bench"))

MODULES = ("dirscan", "edgewriter", "genomatch", "recsift", "refbook")
# The folder that holds the package under test (its `pellar`, `scorekit` and `Graphout`).
INSTALLED = os.environ.get("PELLAR_INSTALLED") == "1"
if INSTALLED:
    import pellar as _installed

    STAGE = pathlib.Path(_installed.__file__).resolve().parent.parent
else:
    STAGE = pathlib.Path(os.environ.get("PELLAR_STAGE", ROOT / "build" / "normal" / "stage")).resolve()
UNDER_SANITIZERS = "libasan" in os.environ.get("LD_PRELOAD", "")


def hide_installed(name, keep):
    """Code that, run first in a fresh interpreter, puts every module `name`
    outside the folder `keep` out of reach (an installed one sits beside
    networkx, which must stay): a finder ahead of the others looks for it only
    in the folders of sys.path that held none when it started."""
    return textwrap.dedent(f"""\
        import importlib.machinery, os, sys
        _hidden = [p for p in sys.path if p != {str(keep)!r} and any(os.path.exists(os.path.join(p or '.', n))
                                                                   for n in ({name + '.py'!r}, {name!r}))]
        class _Hide:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name != {name!r}:
                    return None
                spec = importlib.machinery.PathFinder.find_spec(name, [p for p in sys.path if p not in _hidden])
                if spec is None:
                    raise ModuleNotFoundError("No module named {name!r}", name=name)
                return spec
        sys.meta_path.insert(0, _Hide)
        """)


def built_modules():
    """Short names of the modules whose extension exists in the stage."""
    return [m for m in MODULES if list((STAGE / "pellar").glob(f"{m}.*.so"))]


def pytest_configure(config):
    import pellar

    where = pathlib.Path(pellar.__file__).resolve().parent
    if INSTALLED and (where == ROOT / "pellar" or built_modules() != list(MODULES)):
        pytest.exit(f"pellar imported from {where}, not from an installed package of all the modules", returncode=4)
    if where != STAGE / "pellar":
        pytest.exit(f"pellar imported from {where}, not from the build stage {STAGE}", returncode=4)
    for name in built_modules():
        try:
            importlib.import_module(f"pellar.{name}")
        except Exception as exc:  # pragma: no cover - reported, then the run stops
            pytest.exit(f"pellar.{name} does not import: {exc!r}", returncode=4)


def pytest_collection_modifyitems(items):
    # Every hypothesis test is a property test: `-m property` selects them all.
    for item in items:
        if getattr(getattr(item, "obj", None), "is_hypothesis_test", False):
            item.add_marker(pytest.mark.property)


@pytest.fixture
def stage():
    return STAGE
