"""The package as a user gets it: type stubs that match the modules, and a wheel that works."""
import doctest
import io
import os
import pathlib
import platform
import re
import subprocess
import sys
import tarfile
import venv
import zipfile

import pytest

from conftest import INSTALLED, MODULES, ROOT, STAGE, UNDER_SANITIZERS

pytestmark = pytest.mark.skipif(UNDER_SANITIZERS, reason="packaging is checked in the normal run")


def run(cmd, **kw):
    env = dict(os.environ, PYTHONPATH=str(STAGE))
    env.update(kw.pop("env", {}))
    return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900, **kw)


def mypy(args, tmp_path):
    """mypy on the package under test: in the stage, with the stage on the path; an installed
    package from elsewhere (its folder holds other top-level modules mypy must not take as ours)."""
    if INSTALLED:
        return run([sys.executable, "-m", *args], cwd=tmp_path, env={"PYTHONPATH": ""})
    return run([sys.executable, "-m", *args], cwd=STAGE)


def test_stubs_match_the_built_modules(tmp_path):
    r = mypy(["mypy.stubtest", *[f"pellar.{m}" for m in MODULES], "scorekit", "Graphout"], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_tour_type_checks_against_the_stubs(tmp_path):
    r = mypy(["mypy", "--strict", "--no-incremental", "-m", "pellar.tour"], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_readme_examples_hold(tmp_path, monkeypatch):
    """The README's examples run as a doctest (its code blocks with a prompt, in order),
    in a folder holding the tree its dirscan example describes."""
    readme = (ROOT / "README.md").read_text()
    blocks = [b for b in re.findall(r"^```[a-z]*\n(.*?)^```", readme, re.M | re.S) if ">>> " in b]
    tree = re.search(r"# tree/: (.*)", readme).group(1).split()
    for name in tree:
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / name).write_text("")
    monkeypatch.chdir(tmp_path)
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", str(ROOT / "README.md"), 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert (runner.failures, runner.tries) == (0, sum(b.count(">>> ") for b in blocks))


def installed_run(cmd, **kw):
    """Runs `cmd` as a user of the installed wheel would: nothing of the repository on the path."""
    return run(cmd, env={"PYTHONPATH": "", "MYPYPATH": ""}, **kw)


def venv_with(where, *requirements):
    env_dir = where / "venv"
    # The new environment gets no pip of its own (ensurepip is not there on
    # every interpreter); this environment's pip installs into it.
    venv.create(env_dir, with_pip=False)
    py = env_dir / "bin" / "python"
    r = installed_run([sys.executable, "-m", "pip", "--python", str(py), "install", "-q", "--disable-pip-version-check",
                       *map(str, requirements)])
    assert r.returncode == 0, r.stdout + r.stderr
    return py


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist and the wheel, built once for the module (the wheel from the sdist, as `build` does);
    or the release's, in PELLAR_DIST."""
    if os.environ.get("PELLAR_DIST"):
        return pathlib.Path(os.environ["PELLAR_DIST"])
    out = tmp_path_factory.mktemp("dist")
    r = run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(ROOT)],
            env={"PYTHONPATH": ""})
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    return out


@pytest.fixture(scope="module")
def wheel(dist):
    tag = "cp%d%d" % sys.version_info[:2]
    wheels = list(dist.glob(f"pellar-*-{tag}-{tag}{sys.abiflags}-*{platform.machine()}.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """A fresh environment holding the wheel only."""
    return venv_with(tmp_path_factory.mktemp("installed"), wheel)


@pytest.fixture(scope="module")
def typed(wheel, tmp_path_factory):
    """A fresh environment holding the wheel and, from PyPI, mypy and the networkx stubs."""
    return venv_with(tmp_path_factory.mktemp("typed"), wheel, "mypy", "types-networkx")


def test_sdist_and_wheel_install_and_run_the_tour(dist, wheel, installed, tmp_path):
    assert list(dist.glob("pellar-*.tar.gz"))
    # A wheel is for the interpreter that built it.
    tag = "cp%d%d" % sys.version_info[:2]
    assert f"-{tag}-{tag}{sys.abiflags}-" in wheel.name, wheel.name
    py = installed
    r = installed_run([str(py), "-m", "pellar.tour", "--out", str(tmp_path / "out")], cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    for name in MODULES:
        assert f"== pellar.{name}:" in r.stdout
    assert "Estimated CLI: " in r.stdout and "Number of Edges in Graph:" in r.stdout
    assert (tmp_path / "out" / "labels.txt").stat().st_size > 0
    # The wheel carries the stubs and the outside modules.
    r = installed_run([str(py), "-c", "import pellar, scorekit, Graphout, pathlib; "
                       "p = pathlib.Path(pellar.__file__).parent; "
                       "print(sorted(x.name for x in p.glob('*.pyi')), (p / 'py.typed').exists())"],
                      cwd=tmp_path)
    assert r.stdout.split("]")[0] + "]" == str(sorted(f"{m}.pyi" for m in MODULES))
    assert r.stdout.strip().endswith("True")


@pytest.mark.parametrize("name,module,function", [
    ("scorekit", "pellar.dirscan", "estimate_cli"),
    ("Graphout", "pellar.edgewriter", "generate_network_file"),
])
def test_a_users_own_outside_module_wins_over_the_installed_one(installed, tmp_path, name, module, function):
    own = tmp_path / "own"
    own.mkdir()
    (own / f"{name}.py").write_text(f"def {function}(*args):\n    return 'own'\n")
    r = run([str(installed), "-c", f"import {module} as m, {name}; print(m.{function}(1, 2, 3), {name}.__file__)"],
            cwd=tmp_path, env={"PYTHONPATH": str(own)})
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.split() == ["own", str(own / f"{name}.py")]


USER_SCRIPT = """\
import pathlib

import scorekit
from Graphout import generate_network_file
from pellar.dirscan import dirscan
from pellar.edgewriter import Edgewriter
from pellar.genomatch import Genomatch
from pellar.recsift import Recsift
from pellar.refbook import Refbook

labels = ["H5N1", "H5N8", "H7N9"]
nodes, edges = generate_network_file(pathlib.Path("net.graphml"), labels, "H5")
density: float = scorekit.estimate_cli({"a": {"edges": [("a", "b")]}, "b": {"edges": []}})
survey = dirscan(".")
survey.process_directory()
count: int = survey.file_counts["py"] + nodes + edges
Edgewriter("net.graphml", "labels.txt").create_net({}, labels, None)
index: dict[int, str] = Genomatch(labels, "A.csv", "B.csv").AIVChina(labels, {})
sequences: list[str] = Recsift("seq.txt").SQ_LS()
Refbook("ref.txt").read_basic_index()
"""


@pytest.mark.parametrize("extra,error", [
    ("", None),
    ('generate_network_file(3, labels, None)\n',
     'error: Argument 1 to "generate_network_file" has incompatible type "int"'),
    # estimate_cli takes any object: a call that cannot be right is one with a second argument.
    ('scorekit.estimate_cli({}, labels)\n', 'error: Too many arguments for "estimate_cli"'),
], ids=["correct", "wrong-network-file", "extra-adjacency"])
def test_a_users_script_type_checks_against_the_installed_wheel(typed, tmp_path, extra, error):
    script = tmp_path / "user" / "script.py"
    script.parent.mkdir()
    script.write_text(USER_SCRIPT + extra)
    r = installed_run([str(typed), "-m", "mypy", "--strict", "--no-incremental", str(script)], cwd=script.parent)
    if error is None:
        assert r.returncode == 0, r.stdout + r.stderr
    else:
        assert r.returncode == 1, r.stdout + r.stderr
        # The one error, on the added line: the rest of the script checks.
        lines = r.stdout.splitlines()
        last = len(script.read_text().splitlines())
        assert len(lines) == 2 and lines[0].startswith(f"{script.name}:{last}: {error}"), r.stdout
        assert lines[1] == "Found 1 error in 1 file (checked 1 source file)"


def test_the_installed_stubs_match_the_installed_modules(typed, tmp_path):
    r = installed_run([str(typed), "-m", "mypy.stubtest", *[f"pellar.{m}" for m in MODULES], "scorekit", "Graphout"],
                      cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_sdist_and_the_wheel_carry_the_license(dist, wheel):
    license_text = (ROOT / "LICENSE").read_bytes()
    sdist = next(dist.glob("pellar-*.tar.gz"))
    with tarfile.open(sdist) as tar:
        top = tar.getnames()[0].split("/")[0]
        assert tar.extractfile(f"{top}/LICENSE").read() == license_text
        assert "License-Expression: MIT" in tar.extractfile(f"{top}/PKG-INFO").read().decode().splitlines()
    with zipfile.ZipFile(wheel) as whl:
        info = next(n.split("/")[0] for n in whl.namelist() if n.endswith(".dist-info/METADATA"))
        assert whl.read(f"{info}/licenses/LICENSE") == license_text
        assert "License-Expression: MIT" in whl.read(f"{info}/METADATA").decode().splitlines()


RELEASE = sorted(pathlib.Path(os.environ["PELLAR_DIST"]).glob("pellar-*.whl")) if os.environ.get("PELLAR_DIST") else []
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# What a manylinux_2_17 module may link: glibc's own libraries.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
                   "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


@pytest.mark.skipif(not RELEASE, reason="the release's wheels (PELLAR_DIST) only")
@pytest.mark.parametrize("path", RELEASE, ids=lambda p: p.name)
def test_a_release_wheel_runs_on_glibc_2_17_with_no_cxx_library_of_the_systems(path):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection

    platforms = set(path.name.removesuffix(".whl").split("-")[-1].split("."))
    arch = next(a for a in MACHINES if platforms == {f"manylinux_2_17_{a}", f"manylinux2014_{a}"})
    r = run([sys.executable, "-m", "auditwheel", "show", str(path)])
    assert f'consistent with the following platform tag: "manylinux_2_17_{arch}"' in " ".join(r.stdout.split()), \
        r.stdout + r.stderr
    tag = re.search(r"-cp(\d)(\d+)-", path.name).groups()
    with zipfile.ZipFile(path) as whl:
        modules = sorted(n for n in whl.namelist() if n.endswith(".so"))
        assert modules == [f"pellar/{m}.cpython-{''.join(tag)}-{arch}-linux-gnu.so" for m in MODULES]
        for name in modules:
            elf = ELFFile(io.BytesIO(whl.read(name)))
            assert elf["e_machine"] == MACHINES[arch], name
            needed = {t.needed for s in elf.iter_sections() if isinstance(s, DynamicSection)
                      for t in s.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
            assert needed <= GLIBC_LIBRARIES, (name, needed)
            versions = {aux.name for s in elf.iter_sections() if isinstance(s, GNUVerNeedSection)
                        for _, auxes in s.iter_versions() for aux in auxes}
            newer = [v for v in versions if not (m := re.fullmatch(r"GLIBC_2\.(\d+)(\.\d+)*", v)) or int(m[1]) > 17]
            assert versions and not newer, (name, sorted(versions))
            exported = {s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                        if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] == "STB_GLOBAL"}
            assert exported == {f"PyInit_{name.split('/')[1].split('.')[0]}"}, (name, exported)
