"""The software terminal helper and the pytest fixture built on it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import talvo
from talvo.sim import Sim, SimError, find_sim


def test_fixture_hands_out_a_fresh_terminal_1(talvo_sim: Sim) -> None:
    talvo_sim.set(1, "cmw", "CHANGED00000")
    talvo_sim.fault(0x10, "silence", times=0)
    talvo_sim.add_terminal(7)
    with talvo_sim.line(tries=1) as line, pytest.raises(talvo.NoReplyError):
        line.status(1)


def test_fixture_hands_out_a_fresh_terminal_2(talvo_sim: Sim) -> None:
    # Whatever the test before did is gone: state, faults, terminals, frames.
    assert talvo_sim.frames() == []
    assert talvo_sim.get(1, "cmw") == "000000000000"
    with pytest.raises(SimError, match="not served"):
        talvo_sim.get(7, "cmw")
    with talvo_sim.line() as line:
        line.status(1)
        line.attend_clock(2)  # terminal 2 is an attendance terminal


def test_request_frames() -> None:
    assert Sim.request(1, 0x10) == b"\x02000110000000\x0342"
    assert Sim.request(2, 0x4D) == b"\x0200024D000000\x035A"
    assert Sim.request(1, 0x22, count=6, payload="ABC000000000") == b"\x02000122000006ABC000000000\x03C1"


def test_control_channel(talvo_sim: Sim) -> None:
    with pytest.raises(SimError, match="unknown command"):
        talvo_sim.command("no-such-command")
    with pytest.raises(SimError):
        talvo_sim.set(1, "mdeb", "12")  # six digits or nothing
    assert talvo_sim.get(1, "mdeb") == "000000"
    with pytest.raises(ValueError):
        talvo_sim.fault(0x10, "explode")
    with pytest.raises(ValueError):
        talvo_sim.add_record(1, "too short")
    with pytest.raises(ValueError):
        talvo_sim.command("two\nlines")
    talvo_sim.remove_terminal(2)
    with talvo_sim.line(tries=1) as line, pytest.raises(talvo.NoReplyError):
        line.attend_clock(2)


def test_settings_for_hosts_on_the_exports(talvo_sim: Sim, tmp_path: Path) -> None:
    env = talvo_sim.settings(tmp_path, Repeat=1, StatStr="parity=E data=8 stop=1")
    assert env == {"TALVO_WINDIR": str(tmp_path)}
    text = (tmp_path / "VELDA.INI").read_bytes().decode()
    assert f"ComName={talvo_sim.device}\r\n" in text and "Repeat=1\r\n" in text
    assert text.endswith("[CommStat]\r\nStatStr=parity=E data=8 stop=1\r\n")


def test_own_terminal_with_a_link(tmp_path: Path) -> None:
    link = tmp_path / "ttyHOST"
    with Sim(["5:attendance"], link=link) as sim:
        assert sim.device == str(link) and link.is_symlink()
        pid = sim.pid
        with sim.line() as line:
            line.attend_clock(5)
    assert not link.exists()
    assert pid is not None and not Path(f"/proc/{pid}").exists()


def test_start_failures(tmp_path: Path) -> None:
    with pytest.raises(SimError, match="not found|cannot run"):
        Sim(executable=str(tmp_path / "no-talvo-sim")).start()
    with pytest.raises(SimError, match="ended at start"):
        Sim(executable="/bin/false").start()
    with pytest.raises(ValueError):
        Sim(["256"])


def test_found_without_help(monkeypatch: pytest.MonkeyPatch) -> None:
    found = find_sim()
    assert found is not None and os.access(found, os.X_OK)
    monkeypatch.delenv("TALVO_SIM")
    monkeypatch.setenv("PATH", str(Path(found).parent) + os.pathsep + os.environ.get("PATH", ""))
    assert find_sim() == found


def test_the_fixture_in_a_hosts_own_suite(tmp_path: Path) -> None:
    # How a host's tests use it: a test file and pytest, nothing else.
    (tmp_path / "test_host.py").write_text(
        "import talvo\n"
        "def test_host(talvo_sim):\n"
        "    talvo_sim.set(1, 'menu', '501200')\n"
        "    with talvo_sim.line() as line:\n"
        "        assert [str(p) for p in line.menu(1)] == ['12.50']\n"
        "    assert talvo_sim.frames() == [talvo_sim.request(1, 0x36, count=16)]\n"
    )
    package = str(Path(talvo.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=package + os.pathsep + os.environ.get("PYTHONPATH", ""))
    out = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "talvo.pytest_plugin", "-p", "no:cacheprovider", str(tmp_path)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "1 passed" in out.stdout
