"""A serial line with terminals on it: :class:`Line`."""

from __future__ import annotations

import ctypes
import datetime as _dt
import os
import re
import weakref
from ctypes import byref, c_int32, c_size_t, c_void_p
from decimal import Decimal
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from . import _native
from . import store as _store
from .errors import E_CLOSED, E_REFUSED, E_REPLY_CHECK, E_STORE, TalvoError, error_for
from .records import (
    AttendZone,
    Batch,
    CollectResult,
    RejectedRecord,
    check_int,
    from_cents,
    invalid,
    record_from_native,
    to_cents,
)

__all__ = ["Line", "TraceFunction"]

#: ``trace(direction, when, terminal, command, data)``: direction 0 for a
#: frame sent (filler bytes included), 1 for a reply collected (``data`` may
#: then be empty); ``when`` is an aware UTC datetime.
TraceFunction = Callable[[int, _dt.datetime, int, int, bytes], None]

StorePath = Union[str, "os.PathLike[str]"]

_HEX6 = re.compile(r"[0-9A-Fa-f]{6}\Z")


def _close_handle(lib: Any, handle: int) -> None:
    lib.talvo_line_close(c_void_p(handle))


class Line:
    """One line with terminals on it, opened for exclusive use: a serial
    port, or a serial device server on the network.

    Every command names a terminal by its number (0-255) and sends one
    request; a command the terminal refuses raises :class:`RefusedError`,
    a failed exchange an :class:`ExchangeError`.  Use it as a context
    manager; a line left unclosed is closed when it is garbage collected.

    :param port: ``"/dev/ttyUSB0"``, ``"ttyS1"``, ``"COM2"``..., or a device
        server: ``"tcp://host:port"`` (a raw byte stream) or
        ``"rfc2217://host:port"`` (Telnet with the COM port control option:
        the server is set to `baud` and `line_format` at open).  Hosts are
        names, IPv4 addresses or IPv6 addresses in brackets.  A malformed
        URL raises :class:`DeviceUrlError`, a host that does not resolve or
        a refused connection :class:`ConnectError`, a failed negotiation
        :class:`NegotiateError`.
    :param baud: the baud rate.
    :param line_format: parity, data and stop bits.
    :param echo_time_ms: the first byte's wait beyond the request's line time.
    :param wait_time_ms: the longest collection of one reply.
    :param tries: exchanges per command, 1 to 10.
    :param filler_bytes: filler bytes behind each request, 0 to 30.
    :param check_terminal: a reply must carry the terminal number asked
        (replies of other terminals are passed over); False takes the first
        valid reply, for terminals that leave the field unfilled.
    :param encoding: the terminals' code page for texts.
    :param trace: called for every frame sent and reply collected.
    """

    def __init__(
        self,
        port: Union[str, "os.PathLike[str]"],
        baud: int = 4800,
        *,
        line_format: str = "parity=N data=8 stop=1",
        echo_time_ms: int = 150,
        wait_time_ms: int = 1000,
        tries: int = 3,
        filler_bytes: int = 2,
        in_queue: int = 2048,
        out_queue: int = 1024,
        check_terminal: bool = True,
        encoding: str = "gbk",
        trace: Optional[TraceFunction] = None,
    ) -> None:
        self._handle: Optional[int] = None
        self._finalizer: Optional[weakref.finalize] = None
        device = os.fspath(port)
        if not isinstance(device, str) or not device or "\0" in device:
            raise TypeError("port must be a device name or path")
        if not isinstance(line_format, str):
            raise TypeError("line_format must be a str")
        "".encode(encoding)  # LookupError now for an unknown code page
        self.encoding = encoding
        self.port = device
        numbers = {
            "baud": (baud, 0, 4_000_000),
            "echo_time_ms": (echo_time_ms, 0, 600_000),
            "wait_time_ms": (wait_time_ms, 0, 600_000),
            "tries": (tries, 1, 10),
            "filler_bytes": (filler_bytes, 0, 30),
            "in_queue": (in_queue, 0, 1 << 24),
            "out_queue": (out_queue, 0, 1 << 24),
        }
        for name, (value, low, high) in numbers.items():
            check_int(value, name, low, high)
        self._lib = _native.library()
        options = _native.LineOptions()
        self._lib.talvo_line_options_init_size(byref(options), ctypes.sizeof(options))
        try:
            options.device = _native.path_bytes(device)
        except UnicodeEncodeError:
            raise invalid(f"port {device!r} cannot be named to the library") from None
        options.line_format = line_format.encode("ascii")
        for name, (value, _, _) in numbers.items():
            setattr(options, name, value)
        options.check_terminal = 1 if check_terminal else 0
        handle = c_void_p()
        rc = self._lib.talvo_line_open(byref(options), byref(handle))
        if rc != 0:
            # The system's reason, where the device could not be opened.
            reason = ctypes.create_string_buffer(512)
            self._lib.talvo_line_error_text(None, reason, len(reason))
            error = error_for(rc, "open", device)
            error.reason = reason.value.decode("utf-8", "replace")
            raise error
        self._handle = handle.value
        self._finalizer = weakref.finalize(self, _close_handle, self._lib, handle.value)
        self._trace_fn: Any = None
        if trace is not None:
            self.set_trace(trace)

    # ---- lifetime ----------------------------------------------------------

    def close(self) -> None:
        """Closes the port (waits for a call in progress).  Closing twice is
        harmless; every later command raises :class:`ClosedError`."""
        self._handle = None
        if self._finalizer is not None:
            self._finalizer()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Line":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<talvo.Line {self.port!r}{' closed' if self.closed else ''}>"

    @property
    def last_error(self) -> int:
        """The code of the line's last command (0 for success)."""
        return int(self._lib.talvo_line_last_error(self._h("last_error")))

    def set_trace(self, trace: Optional[TraceFunction]) -> None:
        """Calls `trace` for every frame sent and reply collected (None: off).
        It runs on the calling thread inside the command; exceptions it
        raises are printed and ignored."""
        if trace is not None and not callable(trace):
            raise TypeError("trace must be callable")
        if trace is None:
            fn = ctypes.cast(None, _native.TraceFn)
        else:

            def bridge(_user: Any, direction: int, time_ms: int, terminal: int, command: int, data: Any, n: int) -> None:
                when = _dt.datetime.fromtimestamp(time_ms / 1000, _dt.timezone.utc)
                trace(direction, when, terminal, command, ctypes.string_at(data, n) if n else b"")

            fn = _native.TraceFn(bridge)
        self._check(self._lib.talvo_line_set_trace(self._h("set_trace"), fn, None), "set_trace")
        self._trace_fn = fn  # the library holds the pointer: keep it alive

    # ---- plumbing ----------------------------------------------------------

    def _h(self, operation: str) -> c_void_p:
        if self._handle is None:
            raise error_for(E_CLOSED, operation)
        return c_void_p(self._handle)

    @staticmethod
    def _check(rc: int, operation: str) -> None:
        if rc != 0:
            raise error_for(rc, operation)

    def _run(self, operation: str, function: str, terminal: int, *args: Any) -> None:
        check_int(terminal, "terminal", 0, 255)
        handle = self._h(operation)
        self._check(getattr(self._lib, function)(handle, terminal, *args), operation)

    def _text(self, text: object, name: str, low: int, high: int, exact: bool = False) -> bytes:
        if not isinstance(text, str):
            raise TypeError(f"{name} must be a str, not {type(text).__name__}")
        try:
            data = text.encode(self.encoding)
        except UnicodeEncodeError:
            raise invalid(f"{name} {text!r} cannot be written in {self.encoding}") from None
        if b"\0" in data:
            raise invalid(f"{name} holds a zero character")
        if not low <= len(data) <= high:
            want = f"exactly {high}" if exact else f"{low} to {high}"
            raise invalid(f"{name} {text!r} must be {want} bytes long, not {len(data)}")
        return data

    def _groups(self, items: object, name: str, width: int) -> Tuple[bytes, int]:
        if isinstance(items, str):
            raise TypeError(f"{name} must be a list of texts, not one text")
        if not isinstance(items, Iterable):
            raise TypeError(f"{name} must be a list of texts")
        parts = [self._text(item, name[:-1] if name.endswith("s") else name, width, width, True) for item in items]
        if not 1 <= len(parts) <= 255:
            raise invalid(f"{len(parts)} {name}: 1 to 255 per call")
        return b"".join(parts), len(parts)

    def _decode(self, data: bytes) -> str:
        return data.decode(self.encoding, "replace")

    # ---- status and parameters ---------------------------------------------

    def status(self, terminal: int) -> None:
        """Asks whether the terminal answers and accepts (raises otherwise)."""
        self._run("status", "talvo_status", terminal)

    def clear_memory(self, terminal: int) -> None:
        """Clears the terminal's memory."""
        self._run("clear_memory", "talvo_clear_memory", terminal)

    def cmw(self, terminal: int) -> str:
        """The 12-character CMW text."""
        buffer = ctypes.create_string_buffer(13)
        self._run("cmw", "talvo_cmw_read", terminal, buffer, 13)
        return self._decode(buffer.value)

    def set_cmw(self, terminal: int, text: str) -> None:
        """Sets the CMW text: 1 to 12 characters, padded with '0' to 12."""
        data = self._text(text, "cmw", 1, 12)
        self._run("set_cmw", "talvo_cmw_set", terminal, data)

    def mdeb(self, terminal: int) -> Decimal:
        """The mdeb amount (0 to 9999.99)."""
        cents = c_int32()
        self._run("mdeb", "talvo_mdeb_read", terminal, byref(cents))
        return from_cents(cents.value)

    def set_mdeb(self, terminal: int, amount: Union[Decimal, int, str]) -> None:
        """Sets the mdeb amount: 0 to 9999.99, at most two decimals."""
        cents = to_cents(amount, "mdeb")
        self._run("set_mdeb", "talvo_mdeb_set", terminal, cents)

    # ---- card key ------------------------------------------------------------

    def _key(self, key: object) -> bytes:
        if not isinstance(key, str):
            raise TypeError(f"key must be a str, not {type(key).__name__}")
        if not _HEX6.match(key):
            raise invalid(f"key {key!r} is not six hex digits")
        return key.encode("ascii")

    def check_key(self, terminal: int, key: str) -> bool:
        """True when the terminal holds `key` (six hex digits), False when
        it refuses it."""
        data = self._key(key)
        try:
            self._run("check_key", "talvo_key_check", terminal, data)
        except TalvoError as e:
            if e.code == E_REFUSED:
                return False
            raise
        return True

    def set_key(self, terminal: int, key: str) -> None:
        """Gives the terminal a new card key (six hex digits)."""
        self._run("set_key", "talvo_key_set", terminal, self._key(key))

    def key_flags(self, terminal: int) -> Tuple[bool, bool, bool, bool]:
        """The four key flags."""
        flags = (c_int32 * 4)()
        self._run("key_flags", "talvo_key_flags", terminal, flags, 4)
        return (bool(flags[0]), bool(flags[1]), bool(flags[2]), bool(flags[3]))

    # ---- blacklist -----------------------------------------------------------

    def blacklist(self, terminal: int, position: int = 0) -> List[str]:
        """Up to 32 card numbers from list position `position` on."""
        check_int(position, "position", 0, 65535)
        cards = ctypes.create_string_buffer(32 * 6)
        count = c_size_t()
        self._run("blacklist", "talvo_blacklist_read", terminal, position, cards, 32, byref(count))
        raw = cards.raw
        return [self._decode(raw[6 * i : 6 * i + 6]) for i in range(count.value)]

    def blacklist_add(self, terminal: int, cards: Iterable[str]) -> None:
        """Adds card numbers (six characters each, 1 to 255 of them)."""
        data, n = self._groups(cards, "cards", 6)
        self._run("blacklist_add", "talvo_blacklist_add", terminal, data, n)

    def blacklist_remove(self, terminal: int, card: str) -> None:
        """Removes one card number."""
        data = self._text(card, "card", 6, 6, True)
        self._run("blacklist_remove", "talvo_blacklist_remove", terminal, data)

    def blacklist_write(self, terminal: int, position: int, cards: Iterable[str]) -> None:
        """Writes card numbers at list position `position` (0 to 65535)."""
        check_int(position, "position", 0, 65535)
        data, n = self._groups(cards, "cards", 6)
        self._run("blacklist_write", "talvo_blacklist_set", terminal, position, data, n)

    def blacklist_clear(self, terminal: int) -> None:
        """Clears the blacklist."""
        self._run("blacklist_clear", "talvo_blacklist_clear", terminal)

    # ---- price menu ----------------------------------------------------------

    def menu(self, terminal: int) -> List[Decimal]:
        """The prices of the menu (an empty list for an empty menu)."""
        cents = (c_int32 * 255)()
        count = c_size_t()
        self._run("menu", "talvo_menu_read", terminal, cents, 255, byref(count))
        return [from_cents(cents[i]) for i in range(count.value)]

    def set_menu(self, terminal: int, prices: Sequence[Union[Decimal, int, str]]) -> None:
        """Writes the menu: 0 to 255 prices, each 0 to 9999.99."""
        if isinstance(prices, (str, bytes)) or not isinstance(prices, Iterable):
            raise TypeError("prices must be a list of amounts")
        values = [to_cents(p, "price") for p in prices]
        if len(values) > 255:
            raise invalid(f"{len(values)} prices: at most 255")
        array = (c_int32 * max(1, len(values)))(*values)
        self._run("set_menu", "talvo_menu_set", terminal, array, len(values))

    def clear_menu(self, terminal: int) -> None:
        """Clears the menu."""
        self._run("clear_menu", "talvo_menu_clear", terminal)

    # ---- subsidy -------------------------------------------------------------

    def subsidy_clear(self, terminal: int) -> None:
        """Clears the subsidy list."""
        self._run("subsidy_clear", "talvo_subsidy_clear", terminal)

    def set_subsidy_max(self, terminal: int, amount: Union[Decimal, int, str]) -> None:
        """Sets the maximum subsidy (0 to 9999.99)."""
        cents = to_cents(amount, "subsidy")
        self._run("set_subsidy_max", "talvo_subsidy_set_max", terminal, cents)

    def set_subsidy_time(self, terminal: int, text: str) -> None:
        """Sends the subsidy time text as it stands (at most 1024 bytes)."""
        data = self._text(text, "subsidy time", 0, 1024)
        self._run("set_subsidy_time", "talvo_subsidy_set_time", terminal, data)

    def subsidy_add(self, terminal: int, position: int, entries: Iterable[str]) -> None:
        """Adds entries of 12 characters (1 to 255) at list position `position`."""
        check_int(position, "position", 0, 65535)
        data, n = self._groups(entries, "entries", 12)
        self._run("subsidy_add", "talvo_subsidy_add", terminal, position, data, n)

    # ---- clock, zones and lock -----------------------------------------------

    @staticmethod
    def _datetime(when: object, low_year: int, high_year: int) -> _native.DateTime:
        if not isinstance(when, _dt.datetime):
            raise TypeError(f"a datetime expected, not {type(when).__name__}")
        if when.tzinfo is not None and when.utcoffset() is not None:
            # The terminals keep local wall time: an aware time becomes this
            # computer's local time first.
            when = when.astimezone()
        if not low_year <= when.year <= high_year:
            raise invalid(f"year {when.year} outside {low_year} to {high_year}")
        return _native.DateTime(when.year, when.month, when.day, when.hour, when.minute, when.second)

    @staticmethod
    def _from_datetime(d: _native.DateTime, operation: str) -> _dt.datetime:
        try:
            return _dt.datetime(d.year, d.month, d.day, d.hour, d.minute, d.second)
        except ValueError as e:
            raise error_for(E_REPLY_CHECK, operation, f"the terminal's clock reads no date: {e}") from None

    def clock(self, terminal: int) -> _dt.datetime:
        """The payment terminal's clock (to the minute)."""
        out = _native.DateTime()
        self._run("clock", "talvo_clock_read", terminal, byref(out))
        return self._from_datetime(out, "clock")

    def set_clock(self, terminal: int, when: _dt.datetime) -> None:
        """Sets the payment terminal's clock (years 2000 to 2099; seconds are
        not kept).  A naive `when` is taken as local wall time; an aware one
        is converted to this computer's local time."""
        value = self._datetime(when, 2000, 2099)
        self._run("set_clock", "talvo_clock_set", terminal, byref(value))

    def zones(self, terminal: int) -> List[_dt.time]:
        """The eight time zones."""
        zones = (_native.TimeOfDay * 8)()
        self._run("zones", "talvo_zones_read", terminal, zones, 8)
        try:
            return [_dt.time(z.hour, z.minute) for z in zones]
        except ValueError as e:
            raise error_for(E_REPLY_CHECK, "zones", f"a zone is no time of day: {e}") from None

    def set_zones(self, terminal: int, zones: Sequence[_dt.time]) -> None:
        """Sets the eight time zones."""
        values = self._times(zones, "zones")
        array = (_native.TimeOfDay * 8)(*[_native.TimeOfDay(t.hour, t.minute) for t in values])
        self._run("set_zones", "talvo_zones_set", terminal, array, 8)

    @staticmethod
    def _times(zones: object, name: str) -> List[Any]:
        if isinstance(zones, (str, bytes)) or not isinstance(zones, Iterable):
            raise TypeError(f"{name} must be a list of 8")
        values = list(zones)
        if len(values) != 8:
            raise invalid(f"{len(values)} {name}: exactly 8")
        return values

    def lock(self, terminal: int) -> None:
        """Blocks the terminal."""
        self._run("lock", "talvo_lock", terminal)

    def unlock(self, terminal: int) -> None:
        """Unblocks the terminal."""
        self._run("unlock", "talvo_unlock", terminal)

    # ---- attendance terminals ------------------------------------------------

    def attend_zones(self, terminal: int) -> List[AttendZone]:
        """The eight attendance zones."""
        zones = (_native.AttendZone * 8)()
        self._run("attend_zones", "talvo_attend_zones_read", terminal, zones, 8)
        try:
            return [
                AttendZone(_dt.time(z.start.hour, z.start.minute), _dt.time(z.end.hour, z.end.minute), self._decode(z.code))
                for z in zones
            ]
        except ValueError as e:
            raise error_for(E_REPLY_CHECK, "attend_zones", f"a zone is no time of day: {e}") from None

    def set_attend_zones(self, terminal: int, zones: Sequence[AttendZone]) -> None:
        """Sets the eight attendance zones."""
        values = self._times(zones, "zones")
        array = (_native.AttendZone * 8)()
        for i, z in enumerate(values):
            if not isinstance(z, AttendZone):
                raise TypeError(f"an AttendZone expected, not {type(z).__name__}")
            if not isinstance(z.start, _dt.time) or not isinstance(z.end, _dt.time):
                raise TypeError("zone times must be datetime.time")
            code = self._text(z.code, "zone code", 2, 2, True)
            array[i].start = _native.TimeOfDay(z.start.hour, z.start.minute)
            array[i].end = _native.TimeOfDay(z.end.hour, z.end.minute)
            array[i].code = code
        self._run("set_attend_zones", "talvo_attend_zones_set", terminal, array, 8)

    def attend_reason(self, terminal: int, number: int) -> str:
        """Reason text `number` (0 to 255)."""
        check_int(number, "reason number", 0, 255)
        buffer = ctypes.create_string_buffer(9)
        self._run("attend_reason", "talvo_attend_reason_read", terminal, number, buffer, 9)
        return self._decode(buffer.value)

    def set_attend_reason(self, terminal: int, number: int, text: str) -> None:
        """Sets reason text `number` (0 to 255; up to 8 bytes)."""
        check_int(number, "reason number", 0, 255)
        data = self._text(text, "reason", 0, 8)
        if b"\x0f" in data:
            raise invalid("a reason cannot hold the byte 0x0F, which ends it")
        self._run("set_attend_reason", "talvo_attend_reason_set", terminal, number, data)

    def attend_clock(self, terminal: int) -> _dt.datetime:
        """The attendance terminal's clock (to the second)."""
        out = _native.DateTime()
        self._run("attend_clock", "talvo_attend_clock_read", terminal, byref(out))
        return self._from_datetime(out, "attend_clock")

    def set_attend_clock(self, terminal: int, when: _dt.datetime) -> None:
        """Sets the attendance terminal's clock (years 1000 to 9999); an aware
        `when` is converted to local time, as for :meth:`set_clock`."""
        value = self._datetime(when, 1000, 9999)
        self._run("set_attend_clock", "talvo_attend_clock_set", terminal, byref(value))

    # ---- records -------------------------------------------------------------

    def fetch(self, terminal: int) -> Batch:
        """Reads one batch without telling the terminal anything; an empty
        batch (``count`` 0) when it holds no records."""
        out = (_native.Record * _native.BATCH_MAX)()
        n = c_size_t()
        native = _native.Batch()
        self._run("fetch", "talvo_records_fetch", terminal, out, _native.BATCH_MAX, byref(n), byref(native))
        return Batch(self, terminal, native, [record_from_native(out[i]) for i in range(n.value)])

    def _confirm(self, batch: Batch) -> None:
        if batch._line is not self:
            raise invalid("a batch fetched on another line")
        self._run("confirm", "talvo_records_confirm", batch.terminal, byref(batch._native))

    def records(self, terminal: int) -> Iterator[Batch]:
        """The terminal's records, batch by batch, until it has none.

        Store each batch, then :meth:`Batch.confirm` it; the next batch is
        fetched only after that.  Leaving the loop without confirming
        leaves the batch on the terminal::

            for batch in line.records(1):
                save(batch.records)
                batch.confirm()

        :raises RuntimeError: when asked for the next batch while the last
            one is still unconfirmed (it would only come back).
        """
        check_int(terminal, "terminal", 0, 255)
        while True:
            batch = self.fetch(terminal)
            if batch.count == 0:
                return
            yield batch
            if not batch.confirmed:
                raise RuntimeError("confirm() the batch before asking for the next one")

    def collect(self, terminal: int, store: Union[StorePath, Callable[[Batch], Any]]) -> CollectResult:
        """Collects every record of the terminal.

        `store` is a record store file (a path), filled by the library,
        or a callable that takes each :class:`Batch` and returns once its
        records are safe.  Each batch is stored before the terminal is told
        to clear it, so a crash in between can store a batch twice but never
        loses one.  Returns the records stored and the raw records kept
        out (damaged, unwanted); for a store file, the library logs those
        to ``ErrRec.doc`` in the current directory.

        :raises StoreError: the file cannot be used (``path`` and
            ``reason`` say which and why); checked before anything is sent.
        """
        check_int(terminal, "terminal", 0, 255)
        rejected: List[RejectedRecord] = []
        if callable(store):
            total = 0
            for batch in self.records(terminal):
                store(batch)
                batch.confirm()
                total += len(batch.records)
                rejected += batch.rejected
            return CollectResult(total, rejected)
        if not isinstance(store, (str, os.PathLike)):
            raise TypeError("store must be a path or a callable")
        try:
            path = _native.path_bytes(store)
        except UnicodeEncodeError:
            raise invalid(f"store path {store!r} cannot be named to the library") from None
        if b"\0" in path or not path:
            raise invalid("store path empty or holding a zero byte")
        if _store.problem(path, True) is not None:
            raise _store.store_error("collect", path, True)
        total = 0
        log = os.path.abspath("ErrRec.doc")
        args = _native.CollectArgs()
        args.size = ctypes.sizeof(args)
        args.path = path
        args.log_path = _native.path_bytes(log)
        while True:
            # The library's own collection: fetch, store, confirm; the
            # result holds the batch with what became of each raw record.
            result = _native.CollectResult()
            rc = self._lib.talvo_records_collect_into(self._h("collect"), terminal, byref(args), byref(result))
            if rc == E_STORE:
                raise _store.store_error("collect", path, True)
            self._check(rc, "collect")
            if result.batch.count == 0:
                return CollectResult(total, rejected, Path(log) if rejected else None)
            total += int(result.stored)
            rejected += Batch(self, terminal, result.batch, []).rejected
