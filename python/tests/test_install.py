"""The package installed with pip from a checkout finds the checkout's
build, and says where it looked when it finds no library."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

CHECKOUT = Path(__file__).resolve().parents[2]
BUILD = CHECKOUT / "build" / "linux"

PROBE = """
import sys
import talvo
from talvo import _native
assert talvo.__file__.startswith(sys.argv[1]), talvo.__file__
try:
    print("loaded", _native.library()._name)
except talvo.LibraryError as e:
    print("LibraryError", e)
"""


def pip_install(source: Path, target: Path) -> None:
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("pip is not installed")
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--no-cache-dir",
                    "--disable-pip-version-check", "--target", str(target), str(source)],
                   check=True, capture_output=True, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))


def probe(site: Path, cwd: Path) -> str:
    env = {k: v for k, v in os.environ.items() if k not in ("TALVO_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(PYTHONPATH=str(site), PYTHONDONTWRITEBYTECODE="1")
    out = subprocess.run([sys.executable, "-c", PROBE, str(site)], cwd=cwd, env=env, capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_installed_from_the_checkout_finds_its_build(tmp_path: Path) -> None:
    if not (BUILD / "libtalvo.so").is_file():
        pytest.skip(f"no build in {BUILD}")
    site = tmp_path / "site"
    pip_install(CHECKOUT / "python", site)
    assert probe(site, tmp_path) == f"loaded {BUILD / 'libtalvo.so.1'}"


def test_library_error_says_where_it_looked(tmp_path: Path) -> None:
    import ctypes.util

    if ctypes.util.find_library("talvo"):
        pytest.skip("a talvo library is installed system-wide")
    # A copy of the package outside any checkout, as a wheel built elsewhere installs it.
    source = tmp_path / "python"
    shutil.copytree(CHECKOUT / "python", source, ignore=shutil.ignore_patterns("__pycache__", "tests"))
    site = tmp_path / "site"
    pip_install(source, site)
    message = probe(site, tmp_path)
    assert message.startswith("LibraryError cannot load the talvo library (looked for libtalvo.so.1 or libtalvo.so in ")
    assert str(site / "talvo") in message and "the dynamic linker's path" in message
    assert "TALVO_LIBRARY" in message


def test_find_sim_takes_its_own_installation_before_path(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    from talvo import _paths, sim

    def program(path: Path) -> Path:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("#!/bin/sh\n")
        path.chmod(0o755)
        return path

    own = program(tmp_path / "prefix" / "bin" / "talvo-sim")
    other = program(tmp_path / "elsewhere" / "talvo-sim")
    monkeypatch.delenv("TALVO_SIM", raising=False)
    monkeypatch.setenv("PATH", str(other.parent) + os.pathsep + os.environ.get("PATH", ""))
    monkeypatch.setattr(_paths, "library_dirs", lambda: [str(tmp_path / "prefix" / "lib")])
    assert sim.find_sim() == str(own)
    # With none of its own, the one on PATH.
    own.unlink()
    assert sim.find_sim() == str(other)


def test_readme_venv_install(tmp_path: Path) -> None:
    """README: Debian's python3 takes the package in a virtual environment
    (pip outside one stops with "externally-managed-environment")."""
    if not (BUILD / "libtalvo.so").is_file():
        pytest.skip(f"no build in {BUILD}")
    venv = tmp_path / "talvo-venv"
    made = subprocess.run([sys.executable, "-m", "venv", str(venv)], capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, "python3 -m venv (Debian: python3-venv): " + made.stderr
    env = {k: v for k, v in os.environ.items() if k not in ("TALVO_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(PYTHONDONTWRITEBYTECODE="1", PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    installed = subprocess.run([str(venv / "bin" / "pip"), "install", "./python"], cwd=CHECKOUT, env=env,
                               capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    shown = subprocess.run([str(venv / "bin" / "python"), "-c", "import talvo; print(talvo.library_version())"],
                           cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert shown.returncode == 0 and shown.stdout.strip(), shown.stderr
    # The package installed into the environment finds the checkout's build.
    out = subprocess.run([str(venv / "bin" / "python"), "-c", PROBE, str(venv)], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"loaded {BUILD / 'libtalvo.so.1'}"
