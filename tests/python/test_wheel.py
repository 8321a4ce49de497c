"""The wheel in a fresh venv without system packages, as a user outside the
repository installs it: no index, numpy asked for by name, and the README's
example recording through it into a dataset that reads back."""
import os
import subprocess
import sys
from pathlib import Path

import numpy

from conftest import Process, _PRELOAD, read_dataset

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))
from make_wheel import write_wheel  # noqa: E402

WHEEL = Path(os.environ["TESSALINE_WHEEL"])


def run(args, cwd, **kwargs):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300, **kwargs)


def test_the_wheel_in_a_venv_of_its_own(studio, rig, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    python = str(venv / "bin" / "python")

    # Without numpy: the install script says how to get it, and so does the import.
    installed = run([str(REPO / "scripts" / "install-python"), str(WHEEL.parents[1]), python], cwd=tmp_path)
    assert installed.returncode == 0, installed.stderr
    assert f"({python}, " in installed.stdout
    assert f"{python} has no numpy, which tessaline needs: {python} -m pip install numpy" in installed.stdout
    imported = run([python, "-c", "import tessaline"], cwd=tmp_path)
    assert imported.returncode != 0
    assert imported.stderr.strip().splitlines()[-1] == (
        f"ImportError: tessaline needs numpy, which {python} does not have: run `{python} -m pip install numpy` "
        "(or, with Debian's python3, `apt-get install python3-numpy`)")

    # From a wheelhouse with numpy (this machine's, packed as a wheel), pip
    # finds the requirement itself.
    wheelhouse = tmp_path / "wheelhouse"
    write_wheel(Path(numpy.__file__).parent, "numpy", numpy.__version__, wheelhouse)
    (wheelhouse / WHEEL.name).write_bytes(WHEEL.read_bytes())
    run([python, "-m", "pip", "uninstall", "--yes", "tessaline"], cwd=tmp_path, check=True)
    pip = run([python, "-m", "pip", "install", "--no-index", "--find-links", str(wheelhouse), "tessaline"], cwd=tmp_path)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    where = run([python, "-c", "import tessaline, tessaline.robots; print(tessaline.__file__)"], cwd=tmp_path)
    assert where.stdout.startswith(str(venv)), where.stdout + where.stderr

    example = Process([python, str(REPO / "examples" / "record.py"), "--studio", studio.base, "--flight", studio.flight,
                       "--repo-id", "me/from-a-venv", "--seconds", "1"],
                      {"PYTHONPATH": None, "LD_PRELOAD": _PRELOAD, "USER": "venv"})
    assert example.wait(timeout=120) == 0, example.read()
    state = studio.wait_for_export("me/from-a-venv", "venv")
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    assert dataset["problems"] == []
    assert [e["length"] for e in dataset["episodes"]] == [30, 30]
