"""Record store files: the header ("CASEDATA", a record count) and the
44-byte records the collection appends.

    for record in talvo.store.read("records.dat"):
        print(record.card, record.amount, record.when)
"""

from __future__ import annotations

import os
from ctypes import byref, c_size_t, c_void_p
from typing import Iterable, Iterator, List, Union

from . import _native
from .errors import error_for
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


class _Open:
    """A store opened for reading, closed on leaving."""

    def __init__(self, path: PathLike) -> None:
        self._path = _path(path)
        os.stat(self._path)  # FileNotFoundError for a file that is not there
        self._lib = _native.library()
        handle = c_void_p()
        rc = self._lib.talvo_store_open(self._path, byref(handle))
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
    if rc != 0:
        raise error_for(rc, "store.append", os.fsdecode(data))
