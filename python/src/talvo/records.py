"""Transaction records, batches and the conversions between Python values
and what the library takes: amounts in cents, dates in fields."""

from __future__ import annotations

import datetime as _dt
import enum
from dataclasses import dataclass, field
from decimal import ROUND_DOWN, Decimal, InvalidOperation
from pathlib import Path
from typing import TYPE_CHECKING, List, Optional, Tuple

from . import _native
from .errors import E_INVALID, InvalidArgumentError, LibraryError, error_for

if TYPE_CHECKING:  # pragma: no cover
    from .line import Line

__all__ = ["Record", "RecordType", "RawStatus", "Batch", "AttendZone", "RejectedRecord", "CollectResult", "MAX_AMOUNT"]

#: The largest amount the line carries (six digits, two of them decimals).
MAX_AMOUNT = Decimal("9999.99")
_CENT = Decimal("0.01")


class RecordType(enum.IntEnum):
    """What a record stands for."""

    UNREADABLE = 0  #: a stored record the library could not read; its other fields are empty
    PAYMENT = 5  #: a payment; its amount is negative
    DEPOSIT = 13
    SUBSIDY = 14


class RawStatus(enum.IntEnum):
    """What became of a raw record of a batch."""

    KEPT = 0  #: decoded, among the batch's records
    DAMAGED = 1  #: its check pair does not match
    UNWANTED = 2  #: a card number nobody wants (CLEAR, ABCD, letters)


@dataclass(frozen=True)
class Record:
    """A decoded transaction record.

    The terminal does not send the year: it is the host's current year, or
    the year before for a month still ahead.  `when` is None only for a
    date the calendar does not have (a terminal may send 31 February);
    `date_fields` always holds what was received.
    """

    terminal: int
    card: str
    type: RecordType
    amount: Decimal  #: negative for payments
    second_amount: Decimal
    when: Optional[_dt.datetime]
    date_fields: Tuple[int, int, int, int, int] = field(compare=False)  #: year, month, day, hour, minute


@dataclass(frozen=True)
class AttendZone:
    """An attendance zone: from `start` to `end`, with a two-character code."""

    start: _dt.time
    end: _dt.time
    code: str


@dataclass(frozen=True)
class RejectedRecord:
    """A raw record a terminal handed over that was not stored."""

    terminal: int
    raw: str  #: the 28 characters (and what followed them) as received
    status: RawStatus  #: DAMAGED or UNWANTED


@dataclass(frozen=True)
class CollectResult:
    """What :meth:`Line.collect` did.

    :ivar stored: records stored.
    :ivar rejected: raw records kept out (damaged, unwanted), in order.
    :ivar log: the file the library logged the rejected records to
        (``ErrRec.doc`` in the current directory); None when none were
        rejected, or when the host's own callable stored the batches.
    """

    stored: int
    rejected: List[RejectedRecord]
    log: Optional[Path] = None


class Batch:
    """One batch of up to six records as a terminal handed it over.

    The terminal keeps the batch until :meth:`confirm` tells it to clear
    it; fetching again before that gives the same batch.

    :ivar terminal: the terminal number.
    :ivar mark: the terminal's 16-bit mark of the batch.
    :ivar records: the decoded records the host wants, in order.
    :ivar raw: every raw record of the batch (28 characters each).
    :ivar status: for each raw record, what became of it.
    """

    def __init__(self, line: "Line", terminal: int, native: _native.Batch, records: List[Record]) -> None:
        self._line = line
        self._native = native
        self.terminal = terminal
        self.mark = int(native.mark)
        self.records = records
        count = max(0, min(int(native.count), _native.BATCH_MAX))
        self.raw = [native.raw[i].value.decode("latin-1") for i in range(count)]
        self.status = [RawStatus(native.status[i]) if native.status[i] in (0, 1, 2) else RawStatus.DAMAGED for i in range(count)]
        self.confirmed = False

    @property
    def count(self) -> int:
        """Raw records in the batch (kept, damaged and unwanted)."""
        return len(self.raw)

    @property
    def rejected(self) -> List[RejectedRecord]:
        """The raw records not decoded into :attr:`records`, with why."""
        return [RejectedRecord(self.terminal, raw, status) for raw, status in zip(self.raw, self.status) if status != RawStatus.KEPT]

    def confirm(self) -> None:
        """Tells the terminal to clear the batch.

        :raises UnconfirmedError: the terminal did not confirm it; fetch
            again (an unconfirmed batch comes back, a cleared one does not).
        :raises BatchError: not the batch last fetched from this terminal.
        """
        self._line._confirm(self)
        self.confirmed = True

    def __repr__(self) -> str:
        return f"<Batch terminal={self.terminal} mark={self.mark:#06x} count={self.count} kept={len(self.records)}>"


# ---- conversions -------------------------------------------------------------


def invalid(what: str, operation: str = "") -> InvalidArgumentError:
    try:
        text = _native.strerror(E_INVALID)
    except LibraryError:
        text = "an argument was refused"
    err = error_for(E_INVALID, operation, what, text=text)
    assert isinstance(err, InvalidArgumentError)
    return err


def check_int(value: object, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise invalid(f"{name} {value} outside {low} to {high}")
    return value


def to_cents(amount: object, name: str = "amount") -> int:
    """Decimal, int or decimal text to cents, 0 to 9999.99 with at most two
    decimals.  Floats are refused: they do not hold cents exactly."""
    if isinstance(amount, bool) or isinstance(amount, float) or not isinstance(amount, (Decimal, int, str)):
        raise TypeError(f"{name} must be a Decimal, an int or a decimal text, not {type(amount).__name__}")
    try:
        value = Decimal(amount)
    except InvalidOperation:
        raise invalid(f"{name} {amount!r} is not a number") from None
    if not value.is_finite():
        raise invalid(f"{name} {amount!r} is not a number")
    if not Decimal(0) <= value <= MAX_AMOUNT:
        raise invalid(f"{name} {amount} outside 0 to {MAX_AMOUNT}")
    if value != value.quantize(_CENT, rounding=ROUND_DOWN):
        raise invalid(f"{name} {amount} has more than two decimals")
    return int(value * 100)


def from_cents(cents: int) -> Decimal:
    return (Decimal(int(cents)) / 100).quantize(_CENT)


def record_from_native(r: _native.Record) -> Record:
    fields = (int(r.year), int(r.month), int(r.day), int(r.hour), int(r.minute))
    try:
        when: Optional[_dt.datetime] = _dt.datetime(*fields)
    except ValueError:
        when = None
    try:
        kind = RecordType(int(r.type))
    except ValueError:
        kind = RecordType.UNREADABLE
    return Record(
        terminal=int(r.terminal),
        card=r.card.decode("latin-1"),
        type=kind,
        amount=from_cents(r.amount_cents),
        second_amount=from_cents(r.second_amount_cents),
        when=when,
        date_fields=fields,
    )


def record_to_native(record: Record) -> _native.Record:
    if not isinstance(record, Record):
        raise TypeError(f"a talvo.Record expected, not {type(record).__name__}")
    card = record.card.encode("latin-1")
    if len(card) > 7 or b"\0" in card:
        raise invalid(f"card {record.card!r} longer than 7 characters")
    amount = abs(record.amount)
    sign = -1 if record.amount < 0 else 1
    year, month, day, hour, minute = record.date_fields
    if record.when is not None:
        year, month, day, hour, minute = (record.when.year, record.when.month, record.when.day,
                                          record.when.hour, record.when.minute)
    return _native.Record(
        terminal=record.terminal,
        card=card,
        type=int(record.type),
        amount_cents=sign * to_cents(amount, "amount"),
        second_amount_cents=to_cents(record.second_amount, "second amount"),
        year=year,
        month=month,
        day=day,
        hour=hour,
        minute=minute,
    )
