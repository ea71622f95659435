"""pip install of the source tree into a fresh virtual environment, offline, from
the system's packages only, then the module imported from there and used; and
the CMake install's default place, where Debian's python3 looks."""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def source_copy(to):
    """The project's files, without the build trees of a checkout."""
    shutil.copytree(ROOT, to, ignore=shutil.ignore_patterns("build*", ".git", "*.egg-info", "__pycache__"))
    return to


def test_pip_install_into_a_fresh_virtual_environment(tmp_path):
    # It builds the module once more, some minutes: CI asks for it.
    if not os.environ.get("TOLV_PIP_TEST"):
        pytest.skip("builds the module again: set TOLV_PIP_TEST=1 (CI does)")
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("pip is not installed (Debian's python3-pip)")
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], capture_output=True,
                          text=True)
    if made.returncode != 0:
        pytest.skip("no virtual environment can be made (Debian's python3-venv): " + made.stderr[-300:])
    source = source_copy(tmp_path / "source")
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    installed = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", str(source)],
                               capture_output=True, text=True, env=env, timeout=900)
    assert installed.returncode == 0, installed.stdout[-2000:] + installed.stderr[-2000:]
    code = ("import numpy as np, tolv\n"
            "y, x = np.mgrid[0:40, 0:50]\n"
            "f = np.sin(x / 3.0 + y / 5.0)\n"
            "s = 500 + 7 * f + np.random.default_rng(3).normal(0, 1, f.shape)\n"
            "image, rows = tolv.remove_fringes(s, [f])\n"
            "print(tolv.__file__)\n"
            "print(round(rows[-1].afringe[0]))\n")
    used = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env, cwd=str(tmp_path))
    assert used.returncode == 0, used.stderr
    where, amplitude = used.stdout.splitlines()
    assert where.startswith(str(venv)) and amplitude == "7"


def test_the_cmake_install_puts_the_module_where_debians_python_looks(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    build = tmp_path / "build"
    configured = subprocess.run(["cmake", "-S", ROOT, "-B", str(build), "-DTOLV_TESTS=OFF", "-DTOLV_PYTHON=ON",
                                 "-DCMAKE_INSTALL_PREFIX=/usr"], capture_output=True, text=True)
    assert configured.returncode == 0, configured.stderr[-2000:]
    with open(build / "CMakeCache.txt") as f:
        place = next(line.split("=", 1)[1].strip() for line in f if line.startswith("TOLV_PYTHON_DIR:"))
    looked_in = subprocess.run(["/usr/bin/python3", "-c", "import sys; print('\\n'.join(sys.path))"],
                               capture_output=True, text=True).stdout.split()
    assert "/usr/" + place in looked_in, (place, looked_in)
    elsewhere = subprocess.run(["cmake", "-S", ROOT, "-B", str(tmp_path / "other"), "-DTOLV_TESTS=OFF",
                                "-DTOLV_PYTHON=ON", "-DCMAKE_INSTALL_PREFIX=" + str(tmp_path / "opt")],
                               capture_output=True, text=True)
    assert "put that directory on PYTHONPATH" in elsewhere.stdout
