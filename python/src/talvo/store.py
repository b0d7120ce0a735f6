"""Record store files: the header ("CASEDATA", a record count) and the
44-byte records the collection appends.

    for record in talvo.store.read("records.dat"):
        print(record.card, record.amount, record.when)
"""

from __future__ import annotations

import os
import stat
from ctypes import byref, c_size_t, c_void_p
from typing import Iterable, Iterator, List, Optional, Union

from . import _native
from .errors import E_STORE, StoreError, error_for
from .records import Record, invalid, record_from_native, record_to_native

__all__ = ["read", "iterate", "count", "append"]

PathLike = Union[str, "os.PathLike[str]"]
_CHUNK = 256


def _path(path: object) -> bytes:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"a path expected, not {type(path).__name__}")
    try:
        data = _native.path_bytes(path)  # type: ignore[arg-type]
    except UnicodeEncodeError:
        raise invalid(f"path {path!r} cannot be named to the library") from None
    if not data or b"\0" in data:
        raise invalid("path empty or holding a zero byte")
    return data


_HEADER = 16
_RECORD = 44
_SIGNATURE = b"CASEDATA\0"


def problem(path: bytes, write: bool) -> Optional[str]:
    """Why the file at `path` cannot serve as a record store (None when
    nothing is seen against it): for reading, or for a collection into it
    when `write` (a missing file is then created)."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        if not write:
            return "no such file"
        folder = os.path.dirname(path) or b"."
        if not os.path.isdir(folder):
            return f"cannot be created: the folder {os.fsdecode(folder)} does not exist"
        if not os.access(folder, os.W_OK | os.X_OK):
            return f"cannot be created: the folder {os.fsdecode(folder)} is not writable"
        return None
    except OSError as e:
        return f"cannot be examined ({e.strerror})"
    if stat.S_ISDIR(st.st_mode):
        return "is a directory, not a record store file"
    if not stat.S_ISREG(st.st_mode):
        return "is not a regular file"
    if write and not os.access(path, os.W_OK):
        return "cannot be written (access denied or read-only)"
    try:
        with open(path, "rb") as f:
            got = f.read(_HEADER)
    except OSError as e:
        return f"cannot be read ({e.strerror})"
    # An empty or short file is a store without records, as the library reads it.
    header = got + (_SIGNATURE + bytes(_HEADER))[len(got) : _HEADER]
    if header[: len(_SIGNATURE)] != _SIGNATURE:
        return "not a record store (no CASEDATA header)"
    counted = int.from_bytes(header[12:16], "little", signed=True)
    held = (st.st_size - _HEADER) // _RECORD if st.st_size > _HEADER else 0
    if not 0 <= counted <= held:
        return f"damaged record store (the header counts {counted} records, the file holds {held})"
    return None


def store_error(operation: str, path: bytes, write: bool, code: int = E_STORE) -> StoreError:
    """The StoreError for `path`, with the reason it cannot be used."""
    reason = problem(path, write)
    if reason is None:
        reason = "is held by another program" if os.path.exists(path) else _native.strerror(code)
    name = os.fsdecode(path)
    err = error_for(code, operation, f"{name}: {reason}")
    assert isinstance(err, StoreError)
    err.path = name
    err.reason = reason
    return err


class _Open:
    """A store opened for reading, closed on leaving."""

    def __init__(self, path: PathLike) -> None:
        self._path = _path(path)
        os.stat(self._path)  # FileNotFoundError for a file that is not there
        self._lib = _native.library()
        handle = c_void_p()
        rc = self._lib.talvo_store_open(self._path, byref(handle))
        if rc == E_STORE:
            raise store_error("store.open", self._path, False)
        if rc != 0:
            raise error_for(rc, "store.open", os.fsdecode(self._path))
        self.handle = handle

    def __enter__(self) -> "_Open":
        return self

    def __exit__(self, *exc: object) -> None:
        self._lib.talvo_store_close(self.handle)

    def count(self) -> int:
        n = c_size_t()
        rc = self._lib.talvo_store_count(self.handle, byref(n))
        if rc != 0:
            raise error_for(rc, "store.count")
        return n.value

    def chunk(self, index: int) -> List[Record]:
        out = (_native.Record * _CHUNK)()
        n = c_size_t()
        rc = self._lib.talvo_store_read(self.handle, index, out, _CHUNK, byref(n))
        if rc != 0:
            raise error_for(rc, "store.read")
        return [record_from_native(out[i]) for i in range(n.value)]


def count(path: PathLike) -> int:
    """The number of records that belong to the store."""
    with _Open(path) as store:
        return store.count()


def iterate(path: PathLike) -> Iterator[Record]:
    """The store's records in order, read a few hundred at a time."""
    with _Open(path) as store:
        total = store.count()
        index = 0
        while index < total:
            records = store.chunk(index)
            if not records:
                break
            yield from records
            index += len(records)


def read(path: PathLike) -> List[Record]:
    """Every record of the store file at `path`.

    :raises FileNotFoundError: no file there.
    :raises StoreError: the file is not a store, or counts more records
        than it holds.
    """
    with _Open(path) as store:
        total = store.count()
        records: List[Record] = []
        while len(records) < total:
            part = store.chunk(len(records))
            if not part:
                break
            records += part
        return records


def append(path: PathLike, records: Iterable[Record]) -> None:
    """Appends records to the store at `path` (created when missing) and
    flushes them; the count rises only once they are on disk."""
    data = _path(path)
    items = [record_to_native(r) for r in records]
    if not items:
        return
    array = (_native.Record * len(items))(*items)
    rc = _native.library().talvo_store_append(data, array, len(items))
    if rc == E_STORE:
        raise store_error("store.append", data, True)
    if rc != 0:
        raise error_for(rc, "store.append", os.fsdecode(data))
