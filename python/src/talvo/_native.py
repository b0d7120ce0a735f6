"""ctypes declarations of the line API and the loading of the library."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_int64, c_size_t, c_uint, c_uint32, c_void_p
from pathlib import Path
from typing import List, Optional

from . import _paths
from .errors import LibraryError

WINDOWS = sys.platform == "win32"
REQUIRED_VERSION = 10200  # collections into a file with their result, the reason of an open failure

ZONES = 8
BATCH_MAX = 6


class LineOptions(Structure):
    _fields_ = [
        ("size", c_uint32),
        ("device", c_char_p),
        ("baud", c_uint32),
        ("line_format", c_char_p),
        ("echo_time_ms", c_uint32),
        ("wait_time_ms", c_uint32),
        ("tries", c_uint32),
        ("filler_bytes", c_uint32),
        ("in_queue", c_uint32),
        ("out_queue", c_uint32),
        # Filled by talvo_line_options_init_size with the size of this
        # structure: only the fields named here.
        ("check_terminal", c_uint32),
        ("net_allowance_ms", c_uint32),
        ("connect_time_ms", c_uint32),
    ]


class DateTime(Structure):
    _fields_ = [(n, c_int32) for n in ("year", "month", "day", "hour", "minute", "second")]


class TimeOfDay(Structure):
    _fields_ = [("hour", c_int32), ("minute", c_int32)]


class AttendZone(Structure):
    _fields_ = [("start", TimeOfDay), ("end", TimeOfDay), ("code", c_char * 4)]


class Record(Structure):
    _fields_ = [
        ("terminal", c_int32),
        ("card", c_char * 8),
        ("type", c_int32),
        ("amount_cents", c_int32),
        ("second_amount_cents", c_int32),
        ("year", c_int32),
        ("month", c_int32),
        ("day", c_int32),
        ("hour", c_int32),
        ("minute", c_int32),
    ]


class Batch(Structure):
    _fields_ = [
        ("terminal", c_int32),
        ("mark", c_int32),
        ("count", c_int32),
        ("kept", c_int32),
        ("status", c_int32 * BATCH_MAX),
        ("raw", (c_char * 32) * BATCH_MAX),
    ]


class CollectArgs(Structure):
    _fields_ = [
        ("size", c_uint32),
        ("store", c_void_p),  # the library's store file only: no callback
        ("user", c_void_p),
        ("path", c_char_p),
        ("log_path", c_char_p),
    ]


class CollectResult(Structure):
    _fields_ = [
        ("batch", Batch),
        ("stored", c_int32),
        ("rejected", c_int32),
        ("total_cents", c_int32),
        ("replayed", c_int32),
        ("unconfirmed", c_int32),
    ]


if WINDOWS:
    TraceFn = ctypes.WINFUNCTYPE(None, c_void_p, c_int, c_int64, c_int, c_int, POINTER(ctypes.c_ubyte), c_size_t)
else:
    TraceFn = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_int64, c_int, c_int, POINTER(ctypes.c_ubyte), c_size_t)

_line = c_void_p
_SIGNATURES = {
    "talvo_strerror": (c_char_p, [c_int]),
    "talvo_version": (c_char_p, []),
    "talvo_version_number": (c_int, []),
    "talvo_line_options_init": (None, [POINTER(LineOptions)]),
    "talvo_line_options_init_size": (None, [POINTER(LineOptions), c_size_t]),
    "talvo_line_open": (c_int, [POINTER(LineOptions), POINTER(c_void_p)]),
    "talvo_line_close": (c_int, [_line]),
    "talvo_line_last_error": (c_int, [_line]),
    "talvo_line_error_text": (c_int, [_line, c_char_p, c_size_t]),
    "talvo_line_set_trace": (c_int, [_line, TraceFn, c_void_p]),
    "talvo_status": (c_int, [_line, c_int]),
    "talvo_clear_memory": (c_int, [_line, c_int]),
    "talvo_cmw_read": (c_int, [_line, c_int, c_char_p, c_size_t]),
    "talvo_cmw_set": (c_int, [_line, c_int, c_char_p]),
    "talvo_mdeb_read": (c_int, [_line, c_int, POINTER(c_int32)]),
    "talvo_mdeb_set": (c_int, [_line, c_int, c_int32]),
    "talvo_key_check": (c_int, [_line, c_int, c_char_p]),
    "talvo_key_set": (c_int, [_line, c_int, c_char_p]),
    "talvo_key_flags": (c_int, [_line, c_int, POINTER(c_int32), c_size_t]),
    "talvo_blacklist_add": (c_int, [_line, c_int, c_char_p, c_size_t]),
    "talvo_blacklist_remove": (c_int, [_line, c_int, c_char_p]),
    "talvo_blacklist_set": (c_int, [_line, c_int, c_uint, c_char_p, c_size_t]),
    "talvo_blacklist_clear": (c_int, [_line, c_int]),
    "talvo_blacklist_read": (c_int, [_line, c_int, c_uint, c_char_p, c_size_t, POINTER(c_size_t)]),
    "talvo_menu_set": (c_int, [_line, c_int, POINTER(c_int32), c_size_t]),
    "talvo_menu_read": (c_int, [_line, c_int, POINTER(c_int32), c_size_t, POINTER(c_size_t)]),
    "talvo_menu_clear": (c_int, [_line, c_int]),
    "talvo_subsidy_clear": (c_int, [_line, c_int]),
    "talvo_subsidy_set_max": (c_int, [_line, c_int, c_int32]),
    "talvo_subsidy_set_time": (c_int, [_line, c_int, c_char_p]),
    "talvo_subsidy_add": (c_int, [_line, c_int, c_uint, c_char_p, c_size_t]),
    "talvo_clock_read": (c_int, [_line, c_int, POINTER(DateTime)]),
    "talvo_clock_set": (c_int, [_line, c_int, POINTER(DateTime)]),
    "talvo_zones_read": (c_int, [_line, c_int, POINTER(TimeOfDay), c_size_t]),
    "talvo_zones_set": (c_int, [_line, c_int, POINTER(TimeOfDay), c_size_t]),
    "talvo_lock": (c_int, [_line, c_int]),
    "talvo_unlock": (c_int, [_line, c_int]),
    "talvo_attend_zones_read": (c_int, [_line, c_int, POINTER(AttendZone), c_size_t]),
    "talvo_attend_zones_set": (c_int, [_line, c_int, POINTER(AttendZone), c_size_t]),
    "talvo_attend_reason_set": (c_int, [_line, c_int, c_int, c_char_p]),
    "talvo_attend_reason_read": (c_int, [_line, c_int, c_int, c_char_p, c_size_t]),
    "talvo_attend_clock_read": (c_int, [_line, c_int, POINTER(DateTime)]),
    "talvo_attend_clock_set": (c_int, [_line, c_int, POINTER(DateTime)]),
    "talvo_records_fetch": (c_int, [_line, c_int, POINTER(Record), c_size_t, POINTER(c_size_t), POINTER(Batch)]),
    "talvo_records_confirm": (c_int, [_line, c_int, POINTER(Batch)]),
    "talvo_records_collect": (c_int, [_line, c_int, c_char_p, POINTER(c_size_t)]),
    "talvo_records_collect_into": (c_int, [_line, c_int, c_void_p, c_void_p]),
    "talvo_record_to_store": (c_int, [POINTER(Record), c_void_p]),
    "talvo_record_from_store": (c_int, [c_void_p, POINTER(Record)]),
    "talvo_store_open": (c_int, [c_char_p, POINTER(c_void_p)]),
    "talvo_store_close": (c_int, [c_void_p]),
    "talvo_store_count": (c_int, [c_void_p, POINTER(c_size_t)]),
    "talvo_store_read": (c_int, [c_void_p, c_size_t, POINTER(Record), c_size_t, POINTER(c_size_t)]),
    "talvo_store_append": (c_int, [c_char_p, POINTER(Record), c_size_t]),
}


def _names() -> List[str]:
    return ["TALVO.dll"] if WINDOWS else ["libtalvo.so.1", "libtalvo.so"]


def _folders() -> List[str]:
    """Folders looked in before the system's search, in order."""
    return [str(Path(__file__).resolve().parent)] + list(_paths.library_dirs())


def candidates() -> List[str]:
    """Paths and names tried, in order, when TALVO_LIBRARY is not set."""
    names = _names()
    found = [str(Path(d) / n) for d in _folders() for n in names]
    found = [p for p in found if os.path.isfile(p)]
    # Then the system's own search: the dynamic linker's path, PATH on Windows.
    system = ctypes.util.find_library("TALVO" if WINDOWS else "talvo")
    found += names if not WINDOWS else []
    if system:
        found.append(system)
    return found


def _looked() -> str:
    """Where the library was looked for, for LibraryError."""
    folders = ", ".join(_folders())
    system = "PATH" if WINDOWS else "the dynamic linker's path (LD_LIBRARY_PATH, ldconfig)"
    return f"looked for {' or '.join(_names())} in {folders} and {system}"


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The library, loaded once per process, with every line API function
    declared.

    :raises LibraryError: when no usable library is found.
    """
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def _load() -> ctypes.CDLL:
    loader = ctypes.WinDLL if WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
    # This package drives lines only: the library's load step must not open
    # (or insist on) the port of the 43 exports' settings file.
    os.environ.setdefault("TALVO_DEFER_PORT", "1")
    explicit = os.environ.get("TALVO_LIBRARY")
    tried = [explicit] if explicit else candidates()
    problems = []
    for path in tried:
        try:
            lib = loader(path)
        except OSError as e:
            problems.append(f"{path}: {e}")
            continue
        if not hasattr(lib, "talvo_line_open") or lib.talvo_version_number() < REQUIRED_VERSION:
            problems.append(f"{path}: a library without the line API (1.1 or later needed)")
            continue
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        return lib
    if explicit:
        where = "; ".join(problems) + " (from TALVO_LIBRARY)"
    else:
        where = _looked() + (": " + "; ".join(problems) if problems else ": not found")
    raise LibraryError(
        f"cannot load the talvo library ({where}); set TALVO_LIBRARY to the path of "
        + ("TALVO.dll" if WINDOWS else "libtalvo.so")
    )


def path_bytes(path: "os.PathLike[str] | str | bytes") -> bytes:
    """A device or file name as the library's 8-bit interface takes it: the
    file system's encoding, or the ANSI code page on Windows."""
    if isinstance(path, bytes):
        return path
    text = os.fspath(path)
    if isinstance(text, bytes):
        return text
    return text.encode("mbcs") if WINDOWS else os.fsencode(text)


def strerror(code: int) -> str:
    """The library's text for a TALVO_E_* code."""
    return library().talvo_strerror(code).decode("ascii", "replace")
