"""Lines on a serial device server: tcp:// and rfc2217:// URLs against the
software terminal serving loopback, and the errors of URLs and connections."""

from __future__ import annotations

import socket
from decimal import Decimal
from pathlib import Path

import pytest

import talvo
from conftest import raw_record
from talvo.sim import Sim


@pytest.mark.parametrize("scheme", ["tcp", "rfc2217"])
def test_a_line_on_a_device_server(scheme: str, tmp_path: Path) -> None:
    with Sim(listen=f"{scheme}:127.0.0.1:0") as sim:
        assert sim.device.startswith(f"{scheme}://127.0.0.1:")
        sim.set(1, "menu", "501200")
        sim.add_record(1, raw_record())
        sim.add_record(1, raw_record(card="004321"))
        with sim.line() as line:
            line.status(1)
            assert line.menu(1) == [Decimal("12.50")]
            line.set_cmw(1, "ABCDEF012345")
            assert line.cmw(1) == "ABCDEF012345"
            result = line.collect(1, tmp_path / "records.dat")
        assert sim.get(1, "cmw") == "ABCDEF012345"
        assert [r.card for r in talvo.store.read(tmp_path / "records.dat")] == ["001234", "004321"]
        assert result.stored == 2


def test_a_dropped_connection_is_made_again() -> None:
    with Sim(listen="tcp:127.0.0.1:0") as sim:
        with sim.line() as line:
            line.status(1)
            sim.command("net drop")
            line.status(1)  # the next request goes out on a new connection
            assert len(sim.frames()) == 2


@pytest.mark.parametrize(
    "device, error",
    [
        ("tcp://127.0.0.1", talvo.DeviceUrlError),  # no port
        ("udp://127.0.0.1:4001", talvo.DeviceUrlError),  # unknown scheme
        ("tcp://127.0.0.1:70000", talvo.DeviceUrlError),  # port out of range
        ("tcp://no-such-host.invalid:4001", talvo.ConnectError),
    ],
)
def test_urls_that_cannot_open(device: str, error: type) -> None:
    with pytest.raises(error) as caught:
        talvo.Line(device)
    assert isinstance(caught.value, talvo.OpenError)
    assert caught.value.code in (-22, -23, -24, -25, -26)


def test_a_refused_connection() -> None:
    # A port just given back by the system: nothing listens there.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(talvo.ConnectError):
        talvo.Line(f"tcp://127.0.0.1:{port}")
