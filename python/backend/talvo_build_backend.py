"""The package's own build backend: standard library only, so that
``pip install ./python`` needs nothing from a package index.

It builds a pure-Python wheel of ``src/talvo`` (and an sdist of this
folder), and an editable install that points at ``src``.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
NAME = "talvo"
SUMMARY = "Drive card-payment and attendance terminals on a serial line (ctypes over libtalvo / TALVO.dll)"
REQUIRES_PYTHON = ">=3.8"
ENTRY_POINTS = "[pytest11]\ntalvo.pytest_plugin = talvo.pytest_plugin\n"
TAG = "py3-none-any"


def _version() -> str:
    text = (ROOT / "src" / NAME / "__init__.py").read_text(encoding="utf-8")
    found = re.search(r'^__version__ = "([^"]+)"', text, re.M)
    if found is None:
        raise RuntimeError("no __version__ in src/talvo/__init__.py")
    return found.group(1)


def _metadata(version: str) -> str:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {version}\n"
        f"Summary: {SUMMARY}\n"
        f"Requires-Python: {REQUIRES_PYTHON}\n"
        "Classifier: Programming Language :: Python :: 3\n"
        "Classifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def _package_files() -> List[Tuple[str, Path]]:
    base = ROOT / "src" / NAME
    files = []
    for path in sorted(base.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix in (".py", ".typed"):
            files.append((f"{NAME}/{path.relative_to(base).as_posix()}", path))
    return files


def _hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def _write_wheel(directory: str, contents: Dict[str, bytes]) -> str:
    version = _version()
    dist_info = f"{NAME}-{version}.dist-info"
    contents = dict(contents)
    contents[f"{dist_info}/METADATA"] = _metadata(version).encode()
    contents[f"{dist_info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: talvo_build_backend\nRoot-Is-Purelib: true\nTag: {TAG}\n"
    ).encode()
    contents[f"{dist_info}/entry_points.txt"] = ENTRY_POINTS.encode()
    record = "".join(f"{name},{_hash(data)},{len(data)}\n" for name, data in contents.items())
    record += f"{dist_info}/RECORD,,\n"
    contents[f"{dist_info}/RECORD"] = record.encode()
    name = f"{NAME}-{version}-{TAG}.whl"
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry, data in contents.items():
            info = zipfile.ZipInfo(entry, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


# ---- PEP 517 / 660 hooks ---------------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def _paths_source(text: str) -> str:
    """_paths.py for a wheel: built from a checkout (this folder is its
    python/), it names the checkout, whose build folders hold the library.
    A wheel made for distribution (TALVO_WHEEL_NO_CHECKOUT=1, as the
    packages' build makes it) names none: it loads the installed library."""
    top = ROOT.parent
    if os.environ.get("TALVO_WHEEL_NO_CHECKOUT") == "1" or not (top / "include" / "talvo.h").is_file():
        return text
    marker = "CHECKOUT: Optional[str] = None"
    if marker not in text:
        raise RuntimeError("src/talvo/_paths.py has no CHECKOUT line")
    return text.replace(marker, f"CHECKOUT: Optional[str] = {str(top)!r}", 1)


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    contents = {name: path.read_bytes() for name, path in _package_files()}
    paths = f"{NAME}/_paths.py"
    if paths in contents:
        contents[paths] = _paths_source(contents[paths].decode("utf-8")).encode("utf-8")
    return _write_wheel(wheel_directory, contents)


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    pth = str(ROOT / "src") + "\n"
    return _write_wheel(wheel_directory, {f"__editable__.{NAME}.pth": pth.encode()})


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    version = _version()
    base = f"{NAME}-{version}"
    name = f"{base}.tar.gz"
    members = ["pyproject.toml", "README.md", "backend/talvo_build_backend.py"]
    members += [f"src/{entry}" for entry, _ in _package_files()]
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for member in members:
            data = (ROOT / member).read_bytes()
            info = tarfile.TarInfo(f"{base}/{member}")
            info.size = len(data)
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(data))
        pkg_info = _metadata(version).encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(pkg_info))
    return name
