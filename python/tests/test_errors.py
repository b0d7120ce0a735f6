"""Every kind of failure becomes its own exception carrying the library's
code and text; arguments are checked before anything is sent."""

from __future__ import annotations

import datetime as dt
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path
from typing import Any, Callable

import pytest

import talvo
from talvo import errors
from talvo.sim import Sim


def raises(kind: type, code: int, call: Callable[[], Any]) -> talvo.TalvoError:
    with pytest.raises(kind) as caught:
        call()
    error = caught.value
    assert error.code == code
    assert error.text == talvo.strerror(code) and error.text in str(error)
    return error


def test_every_code_has_its_class_and_the_librarys_text() -> None:
    expected = {
        -1: talvo.PortError, -2: talvo.BadReplyError, -3: talvo.NoReplyError, -4: talvo.InternalError,
        -6: talvo.ReplyCheckError, -7: talvo.RefusedError, -8: talvo.ShortReplyError, -9: talvo.InvalidArgumentError,
        -10: talvo.BufferSizeError, -11: talvo.ClosedError, -12: talvo.InternalError, -13: talvo.NoDeviceError,
        -14: talvo.DeviceBusyError, -15: talvo.AccessError, -16: talvo.LineFormatError, -17: talvo.OpenError,
        -18: talvo.StoreError, -19: talvo.BatchError, -20: talvo.UnconfirmedError, -21: talvo.InternalError,
    }
    texts = set()
    for code, kind in expected.items():
        error = errors.error_for(code, "op")
        assert type(error) is kind and error.code == code
        assert error.text == talvo.strerror(code) != "unknown error"
        texts.add(error.text)
    assert len(texts) == len(expected)  # -4, -12 and -21 share a class, not a text
    assert isinstance(errors.error_for(-99), talvo.TalvoError)
    assert issubclass(talvo.NoReplyError, talvo.ExchangeError) and issubclass(talvo.NoDeviceError, talvo.OpenError)
    assert issubclass(talvo.InvalidArgumentError, ValueError)


def test_exchange_failures(line: talvo.Line, talvo_sim: Sim) -> None:
    error = raises(talvo.NoReplyError, -3, lambda: line.status(9))
    assert error.operation == "status"
    assert line.last_error == -3
    talvo_sim.fault(0x10, "badsum", times=0)
    raises(talvo.BadReplyError, -2, lambda: line.status(1))
    talvo_sim.clear_faults()
    talvo_sim.add_record(1, "00123450341232240930005000")
    talvo_sim.fault(0x37, "count", 2, times=0)  # announces two records, carries one
    raises(talvo.ReplyCheckError, -6, lambda: line.fetch(1))
    talvo_sim.clear_faults()
    talvo_sim.fault(0x32, "short", 4)
    raises(talvo.ShortReplyError, -8, lambda: line.cmw(1))
    talvo_sim.fault(0x10, "status", "NN")
    raises(talvo.RefusedError, -7, lambda: line.status(1))
    line.status(1)
    assert line.last_error == 0


def test_refused_outputs_stay_untouched(line: talvo.Line, talvo_sim: Sim) -> None:
    talvo_sim.set(1, "menu", "501200")
    talvo_sim.fault(0x36, "status", "NN")
    with pytest.raises(talvo.RefusedError):
        line.menu(1)
    assert line.menu(1) == [Decimal("12.50")]


def test_batches(line: talvo.Line, talvo_sim: Sim) -> None:
    talvo_sim.add_record(1, "00123450341232240930005000")
    batch = line.fetch(1)
    talvo_sim.fault(0x47, "wrongmark")
    raises(talvo.UnconfirmedError, -20, batch.confirm)
    assert not batch.confirmed
    again = line.fetch(1)  # the terminal still holds it
    again.confirm()
    raises(talvo.BatchError, -19, again.confirm)
    assert talvo_sim.get(1, "records") == "0"


def test_a_lost_port(tmp_path: Path) -> None:
    with Sim(link=tmp_path / "ttyTALVO") as sim, sim.line(tries=1) as line:
        sim.fault(0x10, "close")
        raises(talvo.NoReplyError, -3, lambda: line.status(1))
        raises(talvo.PortError, -1, lambda: line.status(1))
        sim.command("reopen")  # a new device behind the same link
        line.status(1)


def test_opening(talvo_sim: Sim, tmp_path: Path) -> None:
    raises(talvo.NoDeviceError, -13, lambda: talvo.Line(tmp_path / "ttyNONE"))
    raises(talvo.LineFormatError, -16, lambda: talvo.Line(talvo_sim.device, line_format="parity=X"))
    raises(talvo.LineFormatError, -16, lambda: talvo.Line(talvo_sim.device, 12345))
    with talvo_sim.line():
        error = raises(talvo.DeviceBusyError, -14, lambda: talvo.Line(talvo_sim.device))
        assert error.detail == talvo_sim.device and error.operation == "open"
        # The system's reason, as the library kept it.
        assert error.reason == f"cannot open {talvo_sim.device}: in use by another program"
    if os.geteuid() != 0:
        locked = tmp_path / "ttyLOCKED"
        locked.write_bytes(b"")
        locked.chmod(0)
        raises(talvo.AccessError, -15, lambda: talvo.Line(locked))


def test_a_closed_line(talvo_sim: Sim) -> None:
    line = talvo_sim.line()
    line.close()
    line.close()
    assert line.closed
    raises(talvo.ClosedError, -11, lambda: line.status(1))
    raises(talvo.ClosedError, -11, lambda: line.last_error)


BAD_CALLS = [
    # (call, exception): each refused before the library sends anything
    (lambda l: l.status(256), talvo.InvalidArgumentError),
    (lambda l: l.status(-1), talvo.InvalidArgumentError),
    (lambda l: l.status(True), TypeError),
    (lambda l: l.status("1"), TypeError),
    (lambda l: l.set_cmw(1, "ABCDEFGHIJKLM"), talvo.InvalidArgumentError),
    (lambda l: l.set_cmw(1, ""), talvo.InvalidArgumentError),
    (lambda l: l.set_cmw(1, "AB\0"), talvo.InvalidArgumentError),
    (lambda l: l.set_cmw(1, b"ABC"), TypeError),
    (lambda l: l.set_mdeb(1, 12.5), TypeError),
    (lambda l: l.set_mdeb(1, Decimal("1.234")), talvo.InvalidArgumentError),
    (lambda l: l.set_mdeb(1, Decimal("10000")), talvo.InvalidArgumentError),
    (lambda l: l.set_mdeb(1, -1), talvo.InvalidArgumentError),
    (lambda l: l.set_mdeb(1, "NaN"), talvo.InvalidArgumentError),
    (lambda l: l.set_mdeb(1, "twelve"), talvo.InvalidArgumentError),
    (lambda l: l.set_key(1, "12G456"), talvo.InvalidArgumentError),
    (lambda l: l.check_key(1, "1234567"), talvo.InvalidArgumentError),
    (lambda l: l.blacklist_add(1, ["12345"]), talvo.InvalidArgumentError),
    (lambda l: l.blacklist_add(1, "123456"), TypeError),
    (lambda l: l.blacklist_add(1, []), talvo.InvalidArgumentError),
    (lambda l: l.blacklist_add(1, ["123456"] * 256), talvo.InvalidArgumentError),
    (lambda l: l.blacklist_remove(1, "1234567"), talvo.InvalidArgumentError),
    (lambda l: l.blacklist_write(1, 65536, ["123456"]), talvo.InvalidArgumentError),
    (lambda l: l.blacklist(1, -1), talvo.InvalidArgumentError),
    (lambda l: l.set_menu(1, [Decimal("1.00")] * 256), talvo.InvalidArgumentError),
    (lambda l: l.set_menu(1, [Decimal("1.00"), Decimal("10000")]), talvo.InvalidArgumentError),
    (lambda l: l.set_subsidy_max(1, Decimal("0.001")), talvo.InvalidArgumentError),
    (lambda l: l.set_subsidy_time(1, "x" * 1025), talvo.InvalidArgumentError),
    (lambda l: l.subsidy_add(1, 0, ["A" * 11]), talvo.InvalidArgumentError),
    (lambda l: l.set_clock(1, dt.datetime(2100, 1, 1)), talvo.InvalidArgumentError),
    (lambda l: l.set_clock(1, dt.date(2024, 1, 1)), TypeError),
    (lambda l: l.set_zones(1, [dt.time(6, 30)] * 7), talvo.InvalidArgumentError),
    (lambda l: l.set_attend_zones(2, [talvo.AttendZone(dt.time(8), dt.time(9), "001")] * 8), talvo.InvalidArgumentError),
    (lambda l: l.set_attend_reason(2, 256, "A"), talvo.InvalidArgumentError),
    (lambda l: l.set_attend_reason(2, 1, "ABCDEFGHI"), talvo.InvalidArgumentError),
    (lambda l: l.set_attend_reason(2, 1, "迟到迟到迟"), talvo.InvalidArgumentError),  # ten bytes
    (lambda l: l.set_attend_reason(2, 1, "A\x0fB"), talvo.InvalidArgumentError),
    (lambda l: l.set_attend_clock(2, "20240506070809"), TypeError),
]


@pytest.mark.parametrize("call, kind", BAD_CALLS)
def test_arguments_checked_before_sending(line: talvo.Line, talvo_sim: Sim, call: Callable, kind: type) -> None:
    with pytest.raises(kind):
        call(line)
    assert talvo_sim.frames() == []


def test_options_checked_before_opening(talvo_sim: Sim) -> None:
    with pytest.raises(talvo.InvalidArgumentError):
        talvo.Line(talvo_sim.device, tries=0)
    with pytest.raises(talvo.InvalidArgumentError):
        talvo.Line(talvo_sim.device, filler_bytes=31)
    with pytest.raises(TypeError):
        talvo.Line(talvo_sim.device, baud="4800")
    with pytest.raises(LookupError):
        talvo.Line(talvo_sim.device, encoding="no-such-code-page")
    with talvo_sim.line():  # nothing above kept the device
        pass


def test_the_librarys_own_refusal(line: talvo.Line, talvo_sim: Sim) -> None:
    # Past the package's checks, the library refuses on its own.
    rc = line._lib.talvo_mdeb_set(line._h("raw"), 1, 1_000_000)
    raises(talvo.InvalidArgumentError, -9, lambda: line._check(rc, "mdeb_set"))
    assert talvo_sim.frames() == []


def test_no_library(tmp_path: Path) -> None:
    env = dict(os.environ, TALVO_LIBRARY=str(tmp_path / "libnone.so"))
    script = "import talvo\ntry:\n    talvo.Line('/dev/null')\nexcept talvo.LibraryError as e:\n    print('LibraryError', e)\n"
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("LibraryError") and "libnone.so" in out.stdout, out.stderr
