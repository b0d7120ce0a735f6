"""Every command family against the software terminal: the request bytes
the terminal received, the state it was left in, and what the calls hand
back as Python values."""

from __future__ import annotations

import datetime as dt
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import talvo
from talvo.sim import Sim

R = Sim.request


def test_status_and_clear_memory(line: talvo.Line, talvo_sim: Sim) -> None:
    talvo_sim.set(1, "blacklist", "111111")
    line.status(1)
    line.clear_memory(1)
    assert talvo_sim.frames() == [R(1, 0x10), R(1, 0x4A, count=0x65)]
    assert talvo_sim.get(1, "blacklist") == ""


def test_cmw(line: talvo.Line, talvo_sim: Sim) -> None:
    line.set_cmw(1, "ABC")
    assert talvo_sim.get(1, "cmw") == "ABC000000000"
    line.set_cmw(1, "123456789012")
    talvo_sim.set(1, "cmw", "ZYXWVUTSRQPO")
    assert line.cmw(1) == "ZYXWVUTSRQPO"
    assert talvo_sim.frames() == [
        R(1, 0x22, count=6, payload=b"ABC000000000"),
        R(1, 0x22, count=6, payload=b"123456789012"),
        R(1, 0x32, count=6),
    ]


def test_mdeb_amounts_are_decimals(line: talvo.Line, talvo_sim: Sim) -> None:
    line.set_mdeb(1, Decimal("1234.56"))
    line.set_mdeb(1, 12)
    line.set_mdeb(1, "9999.99")
    line.set_mdeb(1, Decimal("0"))
    assert [f[13:19] for f in talvo_sim.frames()] == [b"563412", b"001200", b"999999", b"000000"]
    talvo_sim.set(1, "mdeb", "501200")
    amount = line.mdeb(1)
    assert amount == Decimal("12.50") and isinstance(amount, Decimal) and str(amount) == "12.50"


def test_card_key(line: talvo.Line, talvo_sim: Sim) -> None:
    assert line.check_key(1, "740258") is True
    assert line.check_key(1, "000000") is False  # a refusal is an answer here
    line.set_key(1, "a1b2c3")
    assert talvo_sim.get(1, "key") == "A1B2C3"
    talvo_sim.set(1, "flags", "66000666")
    assert line.key_flags(1) == (True, False, False, True)
    assert talvo_sim.frames() == [
        R(1, 0x61, count=1, payload=b"740258"),
        R(1, 0x61, count=1, payload=b"000000"),
        R(1, 0x21, count=1, payload=b"A1B2C3"),
        R(1, 0x11, count=0x10),
    ]


def test_blacklist(line: talvo.Line, talvo_sim: Sim) -> None:
    line.blacklist_add(1, ["123456", "654321"])
    line.blacklist_remove(1, "123456")
    line.blacklist_write(1, 0x0102, ["AAAAAA", "BBBBBB"])
    assert line.blacklist(1, 0x0102) == ["AAAAAA", "BBBBBB"]
    assert line.blacklist(1, 0x0200) == []
    line.blacklist_clear(1)
    assert talvo_sim.get(1, "blacklist") == ""
    assert talvo_sim.frames() == [
        R(1, 0x2C, count=2, payload=b"123456654321"),
        R(1, 0x4C, count=1, payload=b"123456"),
        R(1, 0x24, 0x01, 0x02, 2, b"AAAAAABBBBBB"),
        R(1, 0x34, 0x01, 0x02, 0x20),
        R(1, 0x34, 0x02, 0x00, 0x20),
        R(1, 0x44, count=0x65),
    ]


def test_blacklist_read_takes_at_most_32(line: talvo.Line, talvo_sim: Sim) -> None:
    cards = [f"{i:06d}" for i in range(40)]
    talvo_sim.set(1, "blacklist", "".join(cards))
    assert line.blacklist(1) == cards[:32]
    assert line.blacklist(1, 32) == cards[32:]


def test_menu(line: talvo.Line, talvo_sim: Sim) -> None:
    assert line.menu(1) == []  # an empty menu is no error
    line.set_menu(1, [Decimal("12.50"), Decimal("1234.56")])
    assert talvo_sim.get(1, "menu") == "501200563412"
    assert line.menu(1) == [Decimal("12.50"), Decimal("1234.56")]
    line.clear_menu(1)
    line.set_menu(1, [])
    assert talvo_sim.frames() == [
        R(1, 0x36, count=0x10),
        R(1, 0x26, count=2, payload=b"501200563412"),
        R(1, 0x36, count=0x10),
        R(1, 0x46, count=0x65),
        R(1, 0x26, count=0),
    ]


def test_subsidy(line: talvo.Line, talvo_sim: Sim) -> None:
    line.subsidy_clear(1)
    line.set_subsidy_max(1, Decimal("150.50"))
    line.set_subsidy_time(1, "0800")
    line.subsidy_add(1, 258, ["AAAAAAAAAAAA", "BBBBBBBBBBBB"])
    assert talvo_sim.get(1, "maxbt") == "505001"
    assert talvo_sim.get(1, "bttime") == "0800"
    assert talvo_sim.get(1, "subsidy") == "AAAAAAAAAAAABBBBBBBBBBBB"
    assert talvo_sim.frames() == [
        R(1, 0x4D),
        R(1, 0x2E, payload=b"505001"),
        R(1, 0x2D, payload=b"0800"),
        R(1, 0x3D, 0x01, 0x02, 2, b"AAAAAAAAAAAABBBBBBBBBBBB"),
    ]


def test_clock_zones_and_lock(line: talvo.Line, talvo_sim: Sim) -> None:
    line.set_clock(1, dt.datetime(2024, 5, 6, 7, 8, 59))
    assert talvo_sim.get(1, "clock") == "2405060708"
    assert line.clock(1) == dt.datetime(2024, 5, 6, 7, 8)
    zones = [dt.time(6, 30), dt.time(11, 0), dt.time(17, 0), dt.time(20, 0)] + [dt.time(0, 0)] * 4
    line.set_zones(1, zones)
    assert line.zones(1) == zones
    line.lock(1)
    assert talvo_sim.get(1, "blocked") == "1"
    line.unlock(1)
    assert talvo_sim.get(1, "blocked") == "0"
    assert talvo_sim.frames() == [
        R(1, 0x2A, count=6, payload=b"2405060708"),
        R(1, 0x3A),
        R(1, 0x28, count=8, payload=b"06301100170020000000000000000000"),
        R(1, 0x38, count=8),
        R(1, 0x2B),
        R(1, 0x3B),
    ]


def test_attendance(line: talvo.Line, talvo_sim: Sim) -> None:
    zones = [talvo.AttendZone(dt.time(8, 0), dt.time(12, 0), "01"), talvo.AttendZone(dt.time(13, 0), dt.time(17, 30), "02")]
    zones += [talvo.AttendZone(dt.time(0, 0), dt.time(0, 0), "00")] * 6
    line.set_attend_zones(2, zones)
    assert line.attend_zones(2) == zones
    line.set_attend_reason(2, 3, "AB")
    assert talvo_sim.get(2, "reason3") == "41420F0F0F0F0F0F"
    assert line.attend_reason(2, 3) == "AB"
    line.set_attend_reason(2, 4, "ABCDEFGH")
    assert line.attend_reason(2, 4) == "ABCDEFGH"
    line.set_attend_clock(2, dt.datetime(2024, 5, 6, 7, 8, 9))
    assert talvo_sim.get(2, "aclock") == "20240506070809"
    # The terminal's clock runs on from the time set.
    assert dt.timedelta(0) <= line.attend_clock(2) - dt.datetime(2024, 5, 6, 7, 8, 9) < dt.timedelta(seconds=30)
    assert talvo_sim.frames() == [
        R(2, 0x28, count=8, payload=b"0800120001" + b"1300173002" + b"0000000000" * 6),
        R(2, 0x38, count=8),
        R(2, 0x28, count=3, payload=b"41420F0F0F0F0F0F"),
        R(2, 0x38, count=3),
        R(2, 0x28, count=4, payload=b"4142434445464748"),
        R(2, 0x38, count=4),
        R(2, 0x2A, count=1, payload=b"20240506070809"),
        R(2, 0x3A),
    ]


def test_texts_in_the_terminals_code_page(line: talvo.Line, talvo_sim: Sim) -> None:
    line.set_attend_reason(2, 1, "迟到")  # four bytes in GBK
    assert talvo_sim.get(2, "reason1") == "B3D9B5BD0F0F0F0F"
    assert line.attend_reason(2, 1) == "迟到"


def test_aware_times_set_the_local_clock(talvo_sim: Sim, tmp_path: Path) -> None:
    """The terminals keep local wall time: an aware datetime is converted."""
    script = (
        "import datetime as dt, sys, talvo\n"
        "from talvo.sim import FAST_OPTIONS\n"
        "utc = dt.datetime(2024, 5, 6, 7, 8, tzinfo=dt.timezone.utc)\n"
        "with talvo.Line(sys.argv[1], **FAST_OPTIONS) as line:\n"
        "    line.set_clock(1, utc)\n"
        "    line.set_attend_clock(2, utc.astimezone(dt.timezone(dt.timedelta(hours=-5))))\n"
        "    line.set_clock(3, dt.datetime(2024, 5, 6, 7, 8))  # naive: as it stands\n"
    )
    env = dict(os.environ, TZ="Asia/Tokyo")
    talvo_sim.reset([1, "2:attendance", 3])
    out = subprocess.run([sys.executable, "-c", script, talvo_sim.device], env=env, cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert talvo_sim.get(1, "clock") == "2405061608"
    assert talvo_sim.get(2, "aclock") == "20240506160800"
    assert talvo_sim.get(3, "clock") == "2405060708"
