"""Exceptions: one class per kind of failure, each carrying the library's
code and text.

Every error code of the line API becomes one of the classes below, raised by
the call that got it; nothing is returned half filled.  Arguments are
checked before the library is called: a wrong type raises :class:`TypeError`,
a value out of range :class:`InvalidArgumentError` (also a
:class:`ValueError`).
"""

from __future__ import annotations

from typing import Dict, Optional, Type

__all__ = [
    "TalvoError",
    "LibraryError",
    "ExchangeError",
    "PortError",
    "BadReplyError",
    "NoReplyError",
    "ReplyCheckError",
    "ShortReplyError",
    "RefusedError",
    "InvalidArgumentError",
    "BufferSizeError",
    "ClosedError",
    "OpenError",
    "NoDeviceError",
    "DeviceBusyError",
    "AccessError",
    "LineFormatError",
    "DeviceUrlError",
    "ConnectError",
    "NegotiateError",
    "StoreError",
    "BatchError",
    "UnconfirmedError",
    "InternalError",
    "error_for",
]

# The codes of talvo.h.
OK = 0
E_PORT = -1
E_BAD_REPLY = -2
E_NO_REPLY = -3
E_NOT_RUN = -4
E_REPLY_CHECK = -6
E_REFUSED = -7
E_SHORT_REPLY = -8
E_INVALID = -9
E_BUFFER = -10
E_CLOSED = -11
E_NO_MEMORY = -12
E_NO_DEVICE = -13
E_BUSY = -14
E_ACCESS = -15
E_LINE_FORMAT = -16
E_OPEN = -17
E_STORE = -18
E_BATCH = -19
E_UNCONFIRMED = -20
E_INTERNAL = -21
E_URL = -22
E_SCHEME = -23
E_URL_PORT = -24
E_RESOLVE = -25
E_CONNECT = -26
E_NEGOTIATE = -27


class TalvoError(Exception):
    """A call into the library failed.

    :ivar code: the library's code (a negative ``TALVO_E_*`` value).
    :ivar text: the library's text for the code.
    :ivar operation: what was being done, e.g. ``"cmw_read"``.
    """

    def __init__(self, code: int, text: str, operation: str = "", detail: str = "") -> None:
        self.code = code
        self.text = text
        self.operation = operation
        self.detail = detail
        # Why a device could not be opened, in the system's words (set by
        # Line on an open that failed; empty otherwise).
        self.reason = ""
        where = f"{operation}: " if operation else ""
        more = f" ({detail})" if detail else ""
        super().__init__(f"{where}{text}{more} [{code}]")


class LibraryError(OSError):
    """The library could not be found or loaded."""


class ExchangeError(TalvoError):
    """The exchange with the terminal failed: the line, or its reply."""


class PortError(ExchangeError):
    """The port is not open, or not one byte of the request was written."""


class BadReplyError(ExchangeError):
    """The request was written only in part, or no valid reply frame came."""


class NoReplyError(ExchangeError):
    """Nothing was received within the time limits."""


class ReplyCheckError(ExchangeError):
    """A reply frame came that the command's own check refused."""


class ShortReplyError(ExchangeError):
    """The terminal accepted, but its reply lacked the data asked for."""


class RefusedError(TalvoError):
    """The terminal answered and refused the command."""


class InvalidArgumentError(TalvoError, ValueError):
    """An argument out of range; nothing was sent."""


class BufferSizeError(TalvoError):
    """The reply held more than the output could take."""


class ClosedError(TalvoError):
    """The line or store is closed."""


class OpenError(TalvoError):
    """The device could not be opened."""


class NoDeviceError(OpenError):
    """The device does not exist."""


class DeviceBusyError(OpenError):
    """The device is in use by another program (or another line)."""


class AccessError(OpenError):
    """No permission to open the device."""


class LineFormatError(OpenError):
    """The baud rate or line format was not accepted."""


class DeviceUrlError(OpenError):
    """A device URL that is malformed, of an unknown scheme, or whose port is
    outside 1-65535; nothing was opened."""


class ConnectError(OpenError):
    """The device server's host did not resolve, or the connection was
    refused or not made in time."""


class NegotiateError(OpenError):
    """The device server failed the RFC 2217 negotiation."""


class StoreError(TalvoError):
    """A record store file that cannot be used.

    :ivar path: the file, as given.
    :ivar reason: why it cannot be used ("is a directory, not a record
        store file", "not a record store (no CASEDATA header)", ...).
    """

    path: Optional[str] = None
    reason: Optional[str] = None


class BatchError(TalvoError):
    """Not the batch last fetched from that terminal on this line."""


class UnconfirmedError(TalvoError):
    """The terminal did not confirm the batch; it still holds it (fetch again)."""


class InternalError(TalvoError):
    """An unexpected failure inside the library (also: no memory, no exchange run)."""


_CLASSES: Dict[int, Type[TalvoError]] = {
    E_PORT: PortError,
    E_BAD_REPLY: BadReplyError,
    E_NO_REPLY: NoReplyError,
    E_NOT_RUN: InternalError,
    E_REPLY_CHECK: ReplyCheckError,
    E_REFUSED: RefusedError,
    E_SHORT_REPLY: ShortReplyError,
    E_INVALID: InvalidArgumentError,
    E_BUFFER: BufferSizeError,
    E_CLOSED: ClosedError,
    E_NO_MEMORY: InternalError,
    E_NO_DEVICE: NoDeviceError,
    E_BUSY: DeviceBusyError,
    E_ACCESS: AccessError,
    E_LINE_FORMAT: LineFormatError,
    E_OPEN: OpenError,
    E_STORE: StoreError,
    E_BATCH: BatchError,
    E_UNCONFIRMED: UnconfirmedError,
    E_INTERNAL: InternalError,
    E_URL: DeviceUrlError,
    E_SCHEME: DeviceUrlError,
    E_URL_PORT: DeviceUrlError,
    E_RESOLVE: ConnectError,
    E_CONNECT: ConnectError,
    E_NEGOTIATE: NegotiateError,
}


def error_for(code: int, operation: str = "", detail: str = "", text: Optional[str] = None) -> TalvoError:
    """The exception for a library code, with the library's text."""
    if text is None:
        from ._native import strerror

        text = strerror(code)
    return _CLASSES.get(code, TalvoError)(code, text, operation, detail)
