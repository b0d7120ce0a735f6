"""Records: batches fetched and confirmed in two steps, collections into a
store file or the host's own storage, and what survives a killed host."""

from __future__ import annotations

import datetime as dt
import os
import signal
import subprocess
import sys
import textwrap
import time
from decimal import Decimal
from pathlib import Path
from typing import List

import pytest

import talvo
from talvo import RawStatus, RecordType
from talvo.sim import Sim

from conftest import raw_record

R = Sim.request


def queue(sim: Sim, n: int, first: int = 0) -> List[str]:
    """Queues n deposits on terminal 1 with cards first, first+1, ...;
    returns the cards."""
    cards = [f"{first + i:06d}" for i in range(n)]
    for card in cards:
        sim.add_record(1, raw_record(card=card))
    return cards


def test_batches_in_two_steps(line: talvo.Line, talvo_sim: Sim) -> None:
    talvo_sim.add_record(1, raw_record(card="001234", amount="503412", kind="3", month="2", day="24"))
    talvo_sim.add_record(1, raw_record(card="204518", amount="501200", kind="0", month="3"))
    talvo_sim.add_record(1, raw_record(card="111111"), damaged=True)
    talvo_sim.add_record(1, raw_record(card="CLEAR0"))
    talvo_sim.add_record(1, raw_record(card="000777", kind="4", second="000100"))
    queue(talvo_sim, 3, first=500)
    batches = []
    for batch in line.records(1):
        batches.append(batch)
        batch.confirm()
    assert [b.count for b in batches] == [6, 2]
    first = batches[0]
    assert first.status == [RawStatus.KEPT, RawStatus.KEPT, RawStatus.DAMAGED, RawStatus.UNWANTED, RawStatus.KEPT,
                            RawStatus.KEPT]
    assert len(first.raw) == 6 and all(len(r) == 28 for r in first.raw)
    deposit, payment, subsidy, _ = first.records
    assert (deposit.terminal, deposit.card, deposit.type, deposit.amount) == (1, "001234", RecordType.DEPOSIT, Decimal("1234.50"))
    assert (deposit.when.month, deposit.when.day, deposit.when.hour, deposit.when.minute) == (12, 24, 9, 30)
    assert deposit.second_amount == Decimal("50.00")
    assert (payment.type, payment.amount) == (RecordType.PAYMENT, Decimal("-12.50"))
    assert (subsidy.type, subsidy.second_amount) == (RecordType.SUBSIDY, Decimal("1.00"))
    assert talvo_sim.get(1, "records") == "0"
    frames = talvo_sim.frames()
    assert frames[0] == R(1, 0x37, count=6)
    assert frames[1] == R(1, 0x47, first.mark >> 8, first.mark & 0xFF, 6)
    assert frames[-1] == R(1, 0x37, count=6)  # the empty answer that ends the loop


def test_year_of_a_record(line: talvo.Line, talvo_sim: Sim) -> None:
    now = dt.datetime.now()
    ahead = now.month % 12 + 1  # next month: still ahead, so last year unless it is January
    talvo_sim.add_record(1, raw_record(kind="2" if ahead < 10 else "3", month=str(ahead % 10), day="01"))
    talvo_sim.add_record(1, raw_record(kind="0", month="2", day="31"))  # no such day
    batch = line.fetch(1)
    ahead_record, impossible = batch.records
    assert ahead_record.when.year == (now.year - 1 if ahead > now.month else now.year)
    assert impossible.when is None and impossible.date_fields[1:3] == (2, 31)


def test_an_unconfirmed_batch_stays_on_the_terminal(line: talvo.Line, talvo_sim: Sim) -> None:
    queue(talvo_sim, 8)
    batches = line.records(1)
    first = next(batches)
    with pytest.raises(RuntimeError, match="confirm"):
        next(batches)
    assert talvo_sim.get(1, "records") == "8"
    for batch in line.records(1):  # leaving the loop leaves the batch
        break
    assert talvo_sim.get(1, "records") == "8"
    again = line.fetch(1)
    assert again.mark == first.mark and again.raw == first.raw


def test_collect_into_a_store_file(line: talvo.Line, talvo_sim: Sim, tmp_path: Path) -> None:
    cards = queue(talvo_sim, 8)
    talvo_sim.add_record(1, raw_record(card="999999"), damaged=True)
    path = tmp_path / "records.dat"
    assert line.collect(1, path) == 8
    assert [r.card for r in talvo.store.read(path)] == cards
    assert talvo.store.count(path) == 8
    assert talvo_sim.get(1, "records") == "0"
    assert line.collect(1, str(path)) == 0  # nothing more, nothing changed
    assert talvo.store.count(path) == 8


def test_collect_a_batch_of_unwanted_records_only(line: talvo.Line, talvo_sim: Sim, tmp_path: Path) -> None:
    talvo_sim.set(1, "batch", "2")
    talvo_sim.add_record(1, raw_record(card="CLEAR0"))
    talvo_sim.add_record(1, raw_record(card="ABCD00"), damaged=True)
    cards = queue(talvo_sim, 3)
    assert line.collect(1, tmp_path / "records.dat") == 3
    assert [r.card for r in talvo.store.read(tmp_path / "records.dat")] == cards


def test_collect_into_the_hosts_storage(line: talvo.Line, talvo_sim: Sim) -> None:
    cards = queue(talvo_sim, 8)
    kept: List[str] = []
    marks_confirmed: List[int] = []

    def store(batch: talvo.Batch) -> None:
        # Called before the terminal hears anything of the batch.
        assert talvo_sim.get(1, "records") == str(len(cards) - len(kept))
        kept.extend(r.card for r in batch.records)
        marks_confirmed.append(batch.mark)

    assert line.collect(1, store) == 8
    assert kept == cards and len(marks_confirmed) == 2


def test_storage_that_fails_confirms_nothing(line: talvo.Line, talvo_sim: Sim) -> None:
    queue(talvo_sim, 3)

    def store(batch: talvo.Batch) -> None:
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        line.collect(1, store)
    assert talvo_sim.get(1, "records") == "3"
    assert not any(f[5:7] == b"47" for f in talvo_sim.frames())


CHILD = textwrap.dedent(
    """
    import os, signal, sys
    import talvo
    device, path = sys.argv[1], sys.argv[2]
    batches = 0
    def store(batch):
        global batches
        talvo.store.append(path, batch.records)
        batches += 1
        if batches == 2:  # stored, not yet confirmed
            os.kill(os.getpid(), signal.SIGKILL)
    with talvo.Line(device, 9600, echo_time_ms=60, wait_time_ms=250) as line:
        line.collect(1, store)
    """
)


def test_a_kill_between_store_and_confirm_loses_nothing(talvo_sim: Sim, tmp_path: Path) -> None:
    cards = queue(talvo_sim, 15)
    path = tmp_path / "records.dat"
    child = subprocess.run([sys.executable, "-c", CHILD, talvo_sim.device, str(path)], capture_output=True, timeout=60)
    assert child.returncode == -signal.SIGKILL, child.stderr
    assert [r.card for r in talvo.store.read(path)] == cards[:12]
    assert talvo_sim.get(1, "records") == "9"  # the second batch is still on the terminal
    with talvo_sim.line() as line:
        assert line.collect(1, lambda batch: talvo.store.append(path, batch.records)) == 9
    stored = [r.card for r in talvo.store.read(path)]
    assert sorted(set(stored)) == cards  # every record, the second batch twice
    assert stored == cards[:12] + cards[6:]


def stored_count(path: Path) -> int:
    """The record count in a store's header, read without the library (the
    collecting process holds the file)."""
    try:
        header = path.read_bytes()[:16]
    except FileNotFoundError:
        return 0
    return int.from_bytes(header[12:16], "little") if len(header) == 16 else 0


def test_a_kill_while_the_confirmation_is_awaited_loses_nothing(talvo_sim: Sim, tmp_path: Path) -> None:
    cards = queue(talvo_sim, 15)
    path = tmp_path / "records.dat"
    # The terminal clears the second batch but its answer never comes; the
    # host waits for it long enough to be killed while waiting.
    talvo_sim.fault(0x47, "silence", skip=1)
    script = "import sys, talvo; talvo.Line(sys.argv[1], 9600, echo_time_ms=30000, tries=1).collect(1, sys.argv[2])"
    child = subprocess.Popen([sys.executable, "-c", script, talvo_sim.device, str(path)], stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 20
        while stored_count(path) != 12:
            assert child.poll() is None and time.monotonic() < deadline, "the second batch was never stored"
            time.sleep(0.01)
    finally:
        child.kill()
        child.communicate()
    assert talvo_sim.get(1, "records") == "3"
    with talvo_sim.line() as line:
        assert line.collect(1, path) == 3
    assert [r.card for r in talvo.store.read(path)] == cards


def test_store_files(tmp_path: Path) -> None:
    path = tmp_path / "own.dat"
    records = [
        talvo.Record(7, "123456", RecordType.PAYMENT, Decimal("-12.50"), Decimal("0.00"), dt.datetime(2025, 12, 24, 9, 30),
                     (2025, 12, 24, 9, 30)),
        talvo.Record(7, "654321", RecordType.SUBSIDY, Decimal("9999.99"), Decimal("1.00"), dt.datetime(2026, 1, 2, 3, 4),
                     (2026, 1, 2, 3, 4)),
    ]
    talvo.store.append(path, records)
    talvo.store.append(path, records[:1])
    assert talvo.store.read(path) == records + records[:1]
    assert list(talvo.store.iterate(path)) == records + records[:1]
    data = path.read_bytes()
    assert data[:9] == b"CASEDATA\0" and len(data) == 16 + 3 * 44


def test_files_that_are_no_store(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        talvo.store.read(tmp_path / "missing.dat")
    other = tmp_path / "other.dat"
    other.write_bytes(b"NOTASTORE" + bytes(7))
    with pytest.raises(talvo.StoreError) as caught:
        talvo.store.read(other)
    assert caught.value.code == -18
    # A header counting more records than the file holds.
    short = tmp_path / "short.dat"
    short.write_bytes(b"CASEDATA\0\0\0\0" + (3).to_bytes(4, "little") + bytes(44))
    with pytest.raises(talvo.StoreError):
        talvo.store.count(short)


def test_empty_files_and_records_that_do_not_read(tmp_path: Path) -> None:
    empty = tmp_path / "empty.dat"
    empty.write_bytes(b"")
    assert talvo.store.read(empty) == []
    path = tmp_path / "damaged.dat"
    record = talvo.Record(7, "123456", RecordType.PAYMENT, Decimal("-1.00"), Decimal("0.00"),
                          dt.datetime(2026, 1, 2, 3, 4), (2026, 1, 2, 3, 4))
    talvo.store.append(path, [record, record])
    data = bytearray(path.read_bytes())
    data[16 + 44 + 11:16 + 44 + 13] = b"99"  # the second record's type: none there is
    path.write_bytes(bytes(data))
    first, second = talvo.store.read(path)
    assert first == record
    assert second.type is RecordType.UNREADABLE and second.card == "" and second.when is None
