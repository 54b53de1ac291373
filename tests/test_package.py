"""The package as a user gets it: type stubs that match the modules, and a wheel that works."""
import os
import subprocess
import sys
import venv

import pytest

from conftest import MODULES, ROOT, STAGE, UNDER_SANITIZERS

pytestmark = pytest.mark.skipif(UNDER_SANITIZERS, reason="packaging is checked in the normal run")


def run(cmd, **kw):
    env = dict(os.environ, PYTHONPATH=str(STAGE))
    env.update(kw.pop("env", {}))
    return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900, **kw)


def test_stubs_match_the_built_modules():
    r = run([sys.executable, "-m", "mypy.stubtest", *[f"pellar.{m}" for m in MODULES], "scorekit", "Graphout"],
            cwd=STAGE)
    assert r.returncode == 0, r.stdout + r.stderr


def test_tour_type_checks_against_the_stubs():
    r = run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(STAGE / "pellar" / "tour.py")],
            cwd=STAGE)
    assert r.returncode == 0, r.stdout + r.stderr


def test_sdist_and_wheel_install_and_run_the_tour(tmp_path):
    dist = tmp_path / "dist"
    r = run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(dist), str(ROOT)],
            env={"PYTHONPATH": ""})
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    wheels = list(dist.glob("pellar-*.whl"))
    assert len(wheels) == 1 and list(dist.glob("pellar-*.tar.gz"))

    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    r = run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheels[0])],
            env={"PYTHONPATH": ""})
    assert r.returncode == 0, r.stdout + r.stderr
    r = run([str(py), "-m", "pellar.tour", "--out", str(tmp_path / "out")], cwd=tmp_path, env={"PYTHONPATH": ""})
    assert r.returncode == 0, r.stdout + r.stderr
    for name in MODULES:
        assert f"== pellar.{name}:" in r.stdout
    assert "Estimated CLI: " in r.stdout and "Number of Edges in Graph:" in r.stdout
    assert (tmp_path / "out" / "labels.txt").stat().st_size > 0
    # The wheel carries the stubs and the outside modules.
    r = run([str(py), "-c", "import pellar, scorekit, Graphout, pathlib; "
             "p = pathlib.Path(pellar.__file__).parent; "
             "print(sorted(x.name for x in p.glob('*.pyi')), (p / 'py.typed').exists())"],
            cwd=tmp_path, env={"PYTHONPATH": ""})
    assert r.stdout.split("]")[0] + "]" == str(sorted(f"{m}.pyi" for m in MODULES))
    assert r.stdout.strip().endswith("True")
