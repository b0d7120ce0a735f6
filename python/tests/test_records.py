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
    result = line.collect(1, path)
    assert result.stored == 8
    # The damaged record is named, with where the library logged it.
    [rejected] = result.rejected
    assert rejected.terminal == 1 and rejected.status is talvo.RawStatus.DAMAGED
    assert rejected.raw.startswith(raw_record(card="999999"))
    assert result.log == tmp_path / "ErrRec.doc" and result.log.is_file()
    assert [r.card for r in talvo.store.read(path)] == cards
    assert talvo.store.count(path) == 8
    assert talvo_sim.get(1, "records") == "0"
    assert line.collect(1, str(path)) == talvo.CollectResult(0, [], None)  # nothing more, nothing changed
    assert talvo.store.count(path) == 8


def test_collect_a_batch_of_unwanted_records_only(line: talvo.Line, talvo_sim: Sim, tmp_path: Path) -> None:
    talvo_sim.set(1, "batch", "2")
    talvo_sim.add_record(1, raw_record(card="CLEAR0"))
    talvo_sim.add_record(1, raw_record(card="ABCD00"), damaged=True)
    cards = queue(talvo_sim, 3)
    result = line.collect(1, tmp_path / "records.dat")
    assert result.stored == 3
    assert [(r.raw[:6], r.status) for r in result.rejected] == [
        ("CLEAR0", talvo.RawStatus.UNWANTED), ("ABCD00", talvo.RawStatus.DAMAGED)]
    assert [r.card for r in talvo.store.read(tmp_path / "records.dat")] == cards


def test_collect_into_the_hosts_storage(line: talvo.Line, talvo_sim: Sim) -> None:
    cards = queue(talvo_sim, 8)
    kept: List[str] = []
    marks_confirmed: List[int] = []

    def store(batch: talvo.Batch) -> None:
        # Called before the terminal hears anything of the batch.
        assert talvo_sim.get(1, "records") == str(len(cards) + 1 - len(kept))  # the damaged one too
        kept.extend(r.card for r in batch.records)
        marks_confirmed.append(batch.mark)

    talvo_sim.add_record(1, raw_record(card="999999"), damaged=True)
    result = line.collect(1, store)
    assert result.stored == 8 and [r.raw[:6] for r in result.rejected] == ["999999"]
    assert result.log is None  # the host's callable saw them; the library logged nothing
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
        assert line.collect(1, lambda batch: talvo.store.append(path, batch.records)).stored == 9
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
        # Killed once the terminal has the second confirmation (the batch
        # was stored before it was sent), not merely once the store shows it.
        while sum(f[5:7] == b"47" for f in talvo_sim.frames()) < 2:
            assert child.poll() is None and time.monotonic() < deadline, "the second confirmation was never sent"
            time.sleep(0.01)
        assert stored_count(path) == 12
    finally:
        child.kill()
        child.communicate()
    assert talvo_sim.get(1, "records") == "3"
    with talvo_sim.line() as line:
        assert line.collect(1, path).stored == 3
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
    assert caught.value.path == str(other) and caught.value.reason == "not a record store (no CASEDATA header)"
    assert f"{other}: not a record store" in str(caught.value)
    # A header counting more records than the file holds.
    short = tmp_path / "short.dat"
    short.write_bytes(b"CASEDATA\0\0\0\0" + (3).to_bytes(4, "little") + bytes(44))
    with pytest.raises(talvo.StoreError) as caught:
        talvo.store.count(short)
    assert caught.value.reason == "damaged record store (the header counts 3 records, the file holds 1)"
    record = talvo.Record(7, "123456", RecordType.PAYMENT, Decimal("-1.00"), Decimal("0.00"),
                          dt.datetime(2026, 1, 2, 3, 4), (2026, 1, 2, 3, 4))
    with pytest.raises(talvo.StoreError) as caught:
        talvo.store.append(tmp_path, [record])
    assert caught.value.path == str(tmp_path) and caught.value.reason == "is a directory, not a record store file"


def test_collect_into_a_file_that_cannot_be_used(line: talvo.Line, talvo_sim: Sim, tmp_path: Path) -> None:
    """Refused as the command-line tool refuses it, before anything is sent."""
    queue(talvo_sim, 2)
    other = tmp_path / "other.dat"
    other.write_bytes(b"NOTASTORE" + bytes(7))
    cases = [
        (tmp_path, "is a directory, not a record store file"),
        (other, "not a record store (no CASEDATA header)"),
        (tmp_path / "missing" / "r.dat", f"cannot be created: the folder {tmp_path / 'missing'} does not exist"),
    ]
    for path, reason in cases:
        with pytest.raises(talvo.StoreError) as caught:
            line.collect(1, path)
        assert (caught.value.path, caught.value.reason, caught.value.operation) == (str(path), reason, "collect")
    assert talvo_sim.frames() == []
    assert other.read_bytes() == b"NOTASTORE" + bytes(7)
    assert talvo_sim.get(1, "records") == "2"


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
