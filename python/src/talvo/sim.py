"""The software terminal for a host's own tests.

:class:`Sim` starts ``talvo-sim`` on a pseudo-terminal and talks to its
control channel, so a test can set a terminal's state, queue records, ask
for faults and read back every request frame the terminal received::

    with Sim() as sim:                       # terminal 1, and 2 (attendance)
        with sim.line() as line:             # a Line on the terminal's device
            line.set_cmw(1, "ABC")
        assert sim.get(1, "cmw") == "ABC000000000"
        assert sim.frames()[-1] == Sim.request(1, 0x22, count=6, payload=b"ABC000000000")

With pytest the fixture ``talvo_sim`` (see :mod:`talvo.pytest_plugin`) does
the starting and stopping.  Hosts written against the 43 exports read their
port from VELDA.INI: :meth:`Sim.settings` writes one naming the terminal.

The program is looked for in ``$TALVO_SIM``, on ``PATH``, in the ``bin``
folder of the installation the library was found in, and in the build
folder of a source checkout.
"""

from __future__ import annotations

import os
import selectors
import shutil
import socket
import subprocess
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence, Union

from . import _paths

if TYPE_CHECKING:  # pragma: no cover
    from .line import Line

__all__ = ["Sim", "SimError", "find_sim", "DEFAULT_TERMINALS", "FAST_OPTIONS"]

#: Terminal 1 (payment) and terminal 2 (attendance).
DEFAULT_TERMINALS: Sequence[Union[int, str]] = (1, "2:attendance")

#: Line options for quick tests: a fast line and short time limits.
FAST_OPTIONS: Mapping[str, int] = {"baud": 9600, "echo_time_ms": 60, "wait_time_ms": 250}

_FAULT_KINDS = frozenset(
    "silence delay noise long split badsum lowersum trailer status short count payload mark wrongmark remark close".split()
)


class SimError(RuntimeError):
    """The software terminal could not be started, or refused a command."""


def find_sim() -> Optional[str]:
    """The path of ``talvo-sim``, or None when it cannot be found.

    ``$TALVO_SIM`` first, then the one of the installation (or checkout)
    this package came with, which matches its library, and only then one
    on ``PATH``.
    """
    env = os.environ.get("TALVO_SIM")
    if env:
        return env
    for directory in _paths.library_dirs():
        for candidate in (Path(directory) / "talvo-sim", Path(directory).parent / "bin" / "talvo-sim"):
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return str(candidate)
    return shutil.which("talvo-sim")


def _terminal_arg(spec: Union[int, str]) -> str:
    text = str(spec)
    number, _, kind = text.partition(":")
    if not number.isdigit() or not 0 <= int(number) <= 255:
        raise ValueError(f"terminal number 0-255 expected, not {spec!r}")
    if kind not in ("", "consumption", "attendance"):
        raise ValueError(f"terminal kind consumption or attendance, not {kind!r}")
    return text


class Sim:
    """``talvo-sim`` running on a new pseudo-terminal, with its control channel.

    :param terminals: the terminals served: numbers, or ``"N:attendance"``.
    :param link: a path to link to the device (for instance a COM port in a
        Wine prefix); :attr:`device` is then that path.
    :param listen: serve the terminals as a serial device server instead,
        ``"tcp:127.0.0.1:0"`` or ``"rfc2217:127.0.0.1:0"`` (a port of 0: one
        the system picks); :attr:`device` is then its URL,
        ``"tcp://127.0.0.1:PORT"``.
    :param executable: the program; by default :func:`find_sim`.
    :param start_timeout: seconds to wait for the program to come up.
    """

    def __init__(
        self,
        terminals: Iterable[Union[int, str]] = DEFAULT_TERMINALS,
        *,
        link: Optional[Union[str, os.PathLike]] = None,
        listen: Optional[str] = None,
        executable: Optional[str] = None,
        start_timeout: float = 10.0,
    ) -> None:
        self._terminals = [_terminal_arg(t) for t in terminals]
        self._link = os.fspath(link) if link is not None else None
        self._listen = listen
        self._executable = executable or find_sim()
        self._timeout = start_timeout
        self._process: Optional[subprocess.Popen] = None
        self._socket: Optional[socket.socket] = None
        self._buffer = b""
        self._device = ""
        self._control: tuple = ("", 0)

    # ---- lifetime --------------------------------------------------------

    def start(self) -> "Sim":
        """Starts the program and connects to its control channel."""
        if self._process is not None:
            return self
        if not self._executable:
            raise SimError("talvo-sim not found: set TALVO_SIM or put it on PATH")
        args = [self._executable]
        for t in self._terminals:
            args += ["--terminal", t]
        if self._link:
            args += ["--link", self._link]
        if self._listen:
            args += ["--listen", self._listen]
        try:
            self._process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        except OSError as e:
            raise SimError(f"cannot run {self._executable}: {e}") from e
        try:
            self._read_banner()
            self._socket = socket.create_connection(self._control, timeout=self._timeout)
        except BaseException:
            self.close()
            raise
        return self

    def _read_banner(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        out = self._process.stdout
        deadline = time.monotonic() + self._timeout
        text = b""
        with selectors.DefaultSelector() as sel:
            sel.register(out, selectors.EVENT_READ)
            while b"control:" not in text or not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not sel.select(left):
                    raise SimError("talvo-sim did not start in time")
                chunk = os.read(out.fileno(), 4096)
                if not chunk:
                    raise SimError(f"talvo-sim ended at start (status {self._process.wait()})")
                text += chunk
        for line in text.decode().splitlines():
            key, _, value = line.partition(": ")
            if key == "device":
                self._device = value
            elif key == "link":
                self._device = value
            elif key == "control":
                host, _, port = value.rpartition(":")
                self._control = (host, int(port))

    def close(self) -> None:
        """Stops the program; safe to call more than once."""
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        proc, self._process = self._process, None
        if proc is not None:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if proc.stdout is not None:
                proc.stdout.close()

    def __enter__(self) -> "Sim":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- where it is -----------------------------------------------------

    @property
    def device(self) -> str:
        """The device path to open (the link when one was asked for)."""
        return self._device

    @property
    def control_address(self) -> tuple:
        """``(host, port)`` of the control channel."""
        return self._control

    @property
    def pid(self) -> Optional[int]:
        return self._process.pid if self._process is not None else None

    # ---- control channel -------------------------------------------------

    def command(self, line: str) -> str:
        """Sends one control command; returns the answer after ``ok``.

        :raises SimError: when the terminal refuses the command (it then
            changed nothing).
        """
        if self._socket is None:
            raise SimError("the software terminal is not running")
        if "\n" in line:
            raise ValueError("one command a line")
        self._socket.sendall(line.encode("latin-1") + b"\n")
        while b"\n" not in self._buffer:
            chunk = self._socket.recv(65536)
            if not chunk:
                raise SimError("the control channel closed")
            self._buffer += chunk
        answer, _, self._buffer = self._buffer.partition(b"\n")
        text = answer.decode("latin-1")
        if text == "ok":
            return ""
        if text.startswith("ok "):
            return text[3:]
        raise SimError(f"{line}: {text}")

    def reset(self, terminals: Iterable[Union[int, str]] = DEFAULT_TERMINALS) -> None:
        """Forgets every terminal, fault and frame, then serves `terminals`
        in their initial state."""
        specs = [_terminal_arg(t) for t in terminals]
        self.command("reset")
        for spec in specs:
            number, _, kind = spec.partition(":")
            self.command(f"add {number} {kind or 'consumption'}")

    def add_terminal(self, number: int, kind: str = "consumption") -> None:
        """Serves terminal `number` (``consumption`` or ``attendance``) anew."""
        spec = _terminal_arg(f"{number}:{kind}")
        self.command("add " + spec.replace(":", " "))

    def remove_terminal(self, number: int) -> None:
        """Stops serving terminal `number`: requests to it get no answer."""
        self.command(f"remove {int(number)}")

    def get(self, terminal: int, field: str) -> str:
        """A terminal's state as the terminal keeps it (``cmw``, ``mdeb``,
        ``key``, ``flags``, ``blacklist``, ``menu``, ``subsidy``, ``maxbt``,
        ``bttime``, ``clock``, ``aclock``, ``zones``, ``azones``,
        ``reasonN``, ``blocked``, ``mark``, ``records``, ``batch``)."""
        return self.command(f"get {int(terminal)} {field}")

    def set(self, terminal: int, field: str, value: Union[str, int]) -> None:
        """Sets a terminal's state (fields as for :meth:`get`; ``records``
        0 drops the queued records)."""
        self.command(f"set {int(terminal)} {field} {value}")

    def add_record(self, terminal: int, text: str, *, damaged: bool = False) -> None:
        """Queues a record: 26 characters (card, amount, type and month,
        day, hour, minute, second amount); the check pair is added, or
        spoiled when `damaged`."""
        if len(text) != 26 or any(c.isspace() for c in text):
            raise ValueError("26 characters without blanks expected")
        if text.isascii():
            self.command(f"record {int(terminal)} {'damaged' if damaged else 'seal'} {text}")
        elif damaged:
            raise ValueError("a damaged record must be ASCII")
        else:
            self.command(f"record {int(terminal)} sealhex {text.encode('latin-1').hex().upper()}")

    def add_raw_record(self, terminal: int, raw: str) -> None:
        """Queues 28 raw characters as they stand."""
        if len(raw) != 28:
            raise ValueError("28 characters expected")
        self.command(f"record {int(terminal)} raw {raw}")

    def fault(
        self,
        command: Optional[int],
        kind: str,
        arg: Optional[Union[str, int]] = None,
        *,
        times: int = 1,
        skip: int = 0,
    ) -> None:
        """Spoils the replies to requests with code `command` (None: any
        request): ``silence``, ``delay MS``, ``noise``, ``long``, ``split
        PIECES:MS``, ``badsum``, ``lowersum``, ``trailer``, ``status XX``, ``short N``,
        ``count N``, ``payload TEXT``, ``mark N``, ``wrongmark``, ``remark``, ``close``.
        `times` replies (0: every one) after letting `skip` through."""
        if kind not in _FAULT_KINDS:
            raise ValueError(f"unknown fault {kind!r}")
        code = "any" if command is None else f"{int(command):02X}"
        words = [f"fault {code} {kind}"]
        if arg is not None:
            words.append(str(arg))
        words.append(f"times={int(times)}")
        if skip:
            words.append(f"skip={int(skip)}")
        self.command(" ".join(words))

    def clear_faults(self) -> None:
        self.command("clearfaults")

    def frames(self) -> list:
        """Every request frame received since the last reset or
        :meth:`clear_frames`, as bytes, oldest first."""
        return [bytes.fromhex(h) for h in self.command("frames").split()]

    def clear_frames(self) -> None:
        self.command("clearframes")

    # ---- for hosts ---------------------------------------------------------

    def settings(self, directory: Union[str, os.PathLike], **keys: Union[str, int]) -> dict:
        """Writes VELDA.INI into `directory` naming the terminal's device,
        with quick time limits and the `keys` given (``BautRate``,
        ``EchoTime``, ``WaitTime``, ``Repeat``, ...).  Returns the
        environment a host on the 43 exports needs (``TALVO_WINDIR``)."""
        values: dict = {"ComName": self.device, "BautRate": 9600, "EchoTime": 60, "WaitTime": 250}
        values.update(keys)
        stat = values.pop("StatStr", None)
        text = "[CommParam]\r\n" + "".join(f"{k}={v}\r\n" for k, v in values.items())
        if stat is not None:
            text += f"[CommStat]\r\nStatStr={stat}\r\n"
        path = Path(directory)
        (path / "VELDA.INI").write_bytes(text.encode("latin-1"))
        return {"TALVO_WINDIR": str(path)}

    def line(self, **options: Any) -> "Line":
        """A :class:`talvo.Line` on this terminal's device, with quick time
        limits unless `options` say otherwise."""
        from .line import Line

        merged = dict(FAST_OPTIONS)
        merged.update(options)
        return Line(self.device, **merged)

    @staticmethod
    def request(
        terminal: int, command: int, arg_high: int = 0, arg_low: int = 0, count: int = 0, payload: bytes = b""
    ) -> bytes:
        """The request frame a host sends, STX through the checksum, as the
        terminal receives it: ``00``, terminal, command, two arguments and
        the count as hex pairs, the payload, ETX and the two-digit sum of
        the bytes between STX and ETX."""
        if isinstance(payload, str):
            payload = payload.encode("latin-1")
        body = ("00%02X%02X%02X%02X%02X" % (terminal & 255, command & 255, arg_high & 255, arg_low & 255, count & 255)).encode()
        body += payload
        checksum = sum(b for b in body if b != 0x02) & 0xFF
        return b"\x02" + body + b"\x03" + b"%02X" % checksum
