"""Shared set-up of the package's tests: the software terminal comes from
the plugin's ``talvo_sim`` fixture (pytest -p talvo.pytest_plugin)."""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path
from typing import Iterator

import pytest

import talvo
from talvo.sim import Sim

# Loading libtalvo.so runs its load step for the 43 exports, which opens the
# port its settings file names: point it at a private file that names no
# device, so the tests hold nothing but the software terminal.
_WINDIR = tempfile.mkdtemp(prefix="talvo-pytest-")
with open(os.path.join(_WINDIR, "VELDA.INI"), "w", newline="") as _f:
    _f.write(f"[CommParam]\r\nComName={_WINDIR}/no-port\r\n")
os.environ["TALVO_WINDIR"] = _WINDIR


def pytest_unconfigure(config: pytest.Config) -> None:
    shutil.rmtree(_WINDIR, ignore_errors=True)


@pytest.fixture(autouse=True)
def _private_directory(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Each test in its own current directory: collections log damaged
    records to ErrRec.doc there."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def line(talvo_sim: Sim) -> Iterator[talvo.Line]:
    """A line on the software terminal with quick time limits."""
    with talvo_sim.line() as opened:
        yield opened


def raw_record(card: str = "001234", amount: str = "503412", kind: str = "2", month: str = "3", day: str = "15",
               hour: str = "09", minute: str = "30", second: str = "005000") -> str:
    """The 26 characters of a record before its check pair.  `amount` and
    `second` are in the line's order (cents, units, hundreds: 503412 is
    1234.50); `kind` is the type digit with the month's tens in bit 0
    (0 payment, 2 deposit, 4 subsidy)."""
    return card + amount + kind + month + day + hour + minute + second
