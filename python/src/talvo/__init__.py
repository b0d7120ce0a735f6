"""Drive card-payment and attendance terminals on a serial line.

    import talvo

    with talvo.Line("/dev/ttyUSB0") as line:
        line.status(1)
        print(line.cmw(1), line.mdeb(1))
        result = line.collect(1, "records.dat")   # result.stored, result.rejected

Submodules: :mod:`talvo.store` reads record store files, :mod:`talvo.sim`
runs the software terminal for tests (with the pytest fixture of
:mod:`talvo.pytest_plugin`), :mod:`talvo.site` sends the same commands
through a talvod service that holds the lines.
"""

from __future__ import annotations

from . import errors as _errors
from . import store
from .errors import (
    AccessError,
    BadReplyError,
    BatchError,
    BufferSizeError,
    ClosedError,
    ConnectError,
    DeviceBusyError,
    DeviceUrlError,
    ExchangeError,
    InternalError,
    InvalidArgumentError,
    LibraryError,
    LineFormatError,
    NegotiateError,
    NoDeviceError,
    NoReplyError,
    OpenError,
    PortError,
    RefusedError,
    ReplyCheckError,
    ShortReplyError,
    StoreError,
    TalvoError,
    UnconfirmedError,
)
from .line import Line, TraceFunction
from .records import MAX_AMOUNT, AttendZone, Batch, CollectResult, RawStatus, Record, RecordType, RejectedRecord

__version__ = "1.2.0"


def library_version() -> str:
    """The version of the C library loaded ("1.2.0")."""
    from ._native import library

    return library().talvo_version().decode("ascii")


def strerror(code: int) -> str:
    """The library's text for an error code."""
    from ._native import strerror as text

    return text(code)


__all__ = [
    "Line",
    "TraceFunction",
    "Record",
    "RecordType",
    "RawStatus",
    "Batch",
    "AttendZone",
    "CollectResult",
    "RejectedRecord",
    "MAX_AMOUNT",
    "store",
    "library_version",
    "strerror",
    # Every error class, as the errors module lists them.
    *(name for name in _errors.__all__ if name != "error_for"),
]
