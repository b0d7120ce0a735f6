"""The Line object itself: its lifetime, its trace, threads, and the
structures the package hands to the library."""

from __future__ import annotations

import ctypes
import datetime as dt
import gc
import shutil
import subprocess
import threading
from pathlib import Path
from typing import List, Tuple

import pytest

import talvo
from talvo import _native
from talvo.sim import Sim

SOURCE = Path(__file__).resolve().parents[2]


def test_with_block_and_garbage_collection_close_the_port(talvo_sim: Sim) -> None:
    with talvo_sim.line() as line:
        line.status(1)
    assert line.closed
    talvo_sim.line().status(1)  # left to the garbage collector
    gc.collect()
    forgotten = talvo_sim.line()
    del forgotten
    gc.collect()
    with talvo_sim.line() as again:  # the device is free again
        again.status(1)


def test_trace(line: talvo.Line, talvo_sim: Sim) -> None:
    seen: List[Tuple[int, int, int, bytes]] = []
    stamps: List[dt.datetime] = []

    def trace(direction: int, when: dt.datetime, terminal: int, command: int, data: bytes) -> None:
        seen.append((direction, terminal, command, data))
        stamps.append(when)

    line.set_trace(trace)
    line.status(1)
    line.set_trace(None)
    line.status(1)
    assert seen[0][:3] == (0, 1, 0x10) and seen[0][3].startswith(Sim.request(1, 0x10))  # filler behind
    assert seen[1][:3] == (1, 1, 0x10) and seen[1][3].startswith(b"\x02")
    assert len(seen) == 2
    assert all(when.tzinfo is dt.timezone.utc for when in stamps)


def test_threads_share_a_line(line: talvo.Line, talvo_sim: Sim) -> None:
    failures: List[BaseException] = []

    def work(n: int) -> None:
        try:
            for _ in range(5):
                line.set_cmw(1, f"{n:012d}")
                line.status(1)
        except BaseException as e:  # pragma: no cover - reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(talvo_sim.frames()) == 30  # every request whole, none interleaved


def test_structures_match_the_c_header(tmp_path: Path) -> None:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    names = {
        "talvo_line_options": _native.LineOptions,
        "talvo_datetime": _native.DateTime,
        "talvo_time_of_day": _native.TimeOfDay,
        "talvo_attend_zone": _native.AttendZone,
        "talvo_record": _native.Record,
        "talvo_batch": _native.Batch,
    }
    lines = [f'printf("{n} %zu\\n", sizeof({n}));' for n in names]
    for n, s in names.items():
        lines += [f'printf("{n}.{f} %zu\\n", offsetof({n}, {f}));' for f, _ in s._fields_]
    source = tmp_path / "layout.c"
    source.write_text('#include <stddef.h>\n#include <stdio.h>\n#include "talvo.h"\nint main(void) {\n'
                      + "\n".join(lines) + "\nreturn 0;\n}\n")
    subprocess.run([cc, "-I", str(SOURCE / "include"), "-o", str(tmp_path / "layout"), str(source)], check=True)
    out = subprocess.run([str(tmp_path / "layout")], capture_output=True, text=True, check=True).stdout
    c = dict(line.split() for line in out.splitlines())
    for n, s in names.items():
        assert int(c[n]) == ctypes.sizeof(s), n
        for f, _ in s._fields_:
            assert int(c[f"{n}.{f}"]) == getattr(s, f).offset, f"{n}.{f}"


def test_versions() -> None:
    assert talvo.library_version() == talvo.__version__
    assert _native.library().talvo_version_number() >= _native.REQUIRED_VERSION
