"""The .NET and Pascal declarations, compiled with Mono's C# compiler and Free
Pascal and run as hosts against libtalvo.so and the software terminal.

Each host calls every family of exports (the C# host also the line API)
and prints name=value lines; the
tests compare those with what the terminal was given, and the request frames
the terminal received with the frames the calls must send.

Environment: TALVO_LIBRARY (libtalvo.so of the build), TALVO_SIM, and
TALVO_SOURCE_DIR (the checkout; by default this file's).
"""

from __future__ import annotations

import os
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import talvo
from talvo.sim import Sim

SOURCE = Path(os.environ.get("TALVO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
LIBRARY = Path(os.environ.get("TALVO_LIBRARY", SOURCE / "build" / "linux" / "libtalvo.so"))
R = Sim.request

# Records queued on terminal 1: a deposit, a payment and a damaged one.
DEPOSIT = "00123450341232240930005000"  # 001234, 1234.50, December 24th 09:30, second amount 50.00
PAYMENT = "20451850120003151200000000"  # 204518, 12.50 paid, March 15th 12:00
DAMAGED = "11111100000021010800000000"


def expected_export_frames() -> list:
    """The requests the export scenario sends, in order."""
    return [
        R(1, 0x10),
        R(1, 0x4A, count=0x65),
        R(1, 0x22, count=6, payload=b"ABC000000000"),
        R(1, 0x32, count=6),
        R(1, 0x23, count=1, payload=b"563412"),
        R(1, 0x33, count=3),
        R(1, 0x2C, count=2, payload=b"123456654321"),
        R(1, 0x4C, count=1, payload=b"123456"),
        R(1, 0x24, 0x01, 0x02, 2, b"AAAAAABBBBBB"),
        R(1, 0x34, 0x01, 0x02, 0x20),
        R(1, 0x44, count=0x65),
        R(1, 0x61, count=1, payload=b"740258"),
        R(1, 0x21, count=1, payload=b"A1B2C3"),
        R(1, 0x61, count=1, payload=b"000000"),
        R(1, 0x11, count=0x10),
        R(1, 0x26, count=2, payload=b"501200563412"),
        R(1, 0x36, count=0x10),
        R(1, 0x46, count=0x65),
        R(1, 0x4D),
        R(1, 0x2E, payload=b"505001"),
        R(1, 0x2D, payload=b"0800"),
        R(1, 0x3D, 0x01, 0x02, 1, b"AAAAAAAAAAAA"),
        R(1, 0x2A, count=6, payload=b"2405060708"),
        R(1, 0x3A),
        R(1, 0x28, count=8, payload=b"0630110017002000" + b"0" * 16),
        R(1, 0x38, count=8),
        R(1, 0x2B),
        R(1, 0x3B),
        R(2, 0x28, count=8, payload=b"0800120001" + b"1300173002" + b"0000000000" * 6),
        R(2, 0x38, count=8),
        R(2, 0x28, count=3, payload=b"41420F0F0F0F0F0F"),
        R(2, 0x38, count=3),
        R(2, 0x2A, count=1, payload=b"20240506070809"),
        R(2, 0x3A),
        R(1, 0x37, count=6),
        R(1, 0x47, 0x01, 0x01, 3),
        R(1, 0x47, count=0x2C),
        R(9, 0x10),
    ]


EXPORT_OUTPUTS = {
    "layout.StoreRecord": "44",
    "layout.StoreRecord.Amount": "16",
    "layout.StoreRecord.DateText": "20",
    "layout.StoreRecord.TimeText": "31",
    "layout.StoreRecord.SecondAmount": "40",
    "identify": "It's me!",
    "error.start": "0",
    "cmw": "ABC000000000",
    "mdeb": "1234.56",
    "blacklist": "AAAAAA,BBBBBB",
    "CheckKey.default": "1",
    "CheckKey.wrong": "0",
    "error.refusal": "0",
    "flags": "1,0,1,0",
    "menu": "12.50,1234.56",
    "clock": "24/05/06*07:08",
    "zones": "06:30,11:00,17:00,20:00,00:00,00:00,00:00,00:00",
    "azones": "08:00-12:00/01,13:00-17:30/02" + ",00:00-00:00/00" * 6,
    "reason": "AB",
    "aclock": "20240506070809",
    "AutoReadJyzm": "1",
    "collected": "2",
    "total": "1222.00",
    "mark": "257",
    "decoded": "005|001234|13|1234.50|/12/24|09:30|50.00",
    "format": "[  12.50]",
    "format.exponent": "1.5e+000",
    "display": "1",
    "InqStat.silent": "0",
    "error.silent": "-3",
}
# Every other command of the scenario returns 1.
ACCEPTED = [
    "InqStat", "ClearRAM", "Setcmw", "ReadCMW", "Setmdeb", "Readmdeb", "AddHMD", "ReduHMD", "SetHMD", "ReadHMD",
    "ClearHMD", "SetKey", "Inqkey", "Setmenu", "ReadMenu", "Clearmenu", "ClearList", "SetMaxbt", "SetBtTime",
    "AddBtList", "SetMachTime", "ReadMachTime", "SetTimeZone", "ReadTimeZone", "BlockMach", "UnBlockMach",
    "SetAttendTimeZone", "ReadAttendTimeZone", "SetAttendReason", "ReadAttendReason", "SetAttendTime",
    "ReadAttendTime", "Clearjyzm",
]


def parse(output: str) -> dict:
    values = {}
    for line in output.splitlines():
        name, sep, value = line.partition("=")
        assert sep, f"not a name=value line: {line!r}"
        assert name not in values, f"{name} printed twice"
        values[name] = value
    return values


def c_layout(tmp_path: Path) -> dict:
    """Sizes and offsets of talvo.h's structures, from the C compiler."""
    source = tmp_path / "layout.c"
    source.write_text(
        '#include <stddef.h>\n#include <stdio.h>\n#include "talvo.h"\n'
        "int main(void) {\n"
        '  printf("layout.talvo_record=%zu\\n", sizeof(talvo_record));\n'
        '  printf("layout.talvo_record.type=%zu\\n", offsetof(talvo_record, type));\n'
        '  printf("layout.talvo_batch=%zu\\n", sizeof(talvo_batch));\n'
        '  printf("layout.talvo_batch.raw=%zu\\n", offsetof(talvo_batch, raw));\n'
        '  printf("layout.talvo_attend_zone=%zu\\n", sizeof(talvo_attend_zone));\n'
        '  printf("layout.talvo_datetime=%zu\\n", sizeof(talvo_datetime));\n'
        '  printf("layout.talvo_line_options=%zu\\n", sizeof(talvo_line_options));\n'
        '  printf("layout.talvo_line_options.line_format=%zu\\n", offsetof(talvo_line_options, line_format));\n'
        "  return 0;\n}\n"
    )
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the layout check")
    exe = tmp_path / "layout"
    subprocess.run([cc, "-I", str(SOURCE / "include"), "-o", str(exe), str(source)], check=True)
    return parse(subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout)


def tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


@pytest.fixture(scope="module")
def csharp_host(tmp_path_factory: pytest.TempPathFactory) -> list:
    mcs = tool("mcs")
    mono = tool("mono")
    out = tmp_path_factory.mktemp("csharp")
    # The Windows form of the declarations compiles too.
    subprocess.run([mcs, "-warnaserror", "-target:library", f"-out:{out / 'Talvo.dll'}",
                    str(SOURCE / "bindings/dotnet/Talvo.cs")], check=True)
    exe = out / "HostTest.exe"
    subprocess.run([mcs, "-warnaserror", "-define:TALVO_LINUX", f"-out:{exe}",
                    str(SOURCE / "bindings/tests/HostTest.cs"), str(SOURCE / "bindings/dotnet/Talvo.cs")], check=True)
    return [mono, "--debug", str(exe)]


@pytest.fixture(scope="module")
def pascal_host(tmp_path_factory: pytest.TempPathFactory) -> list:
    fpc = tool("fpc")
    out = tmp_path_factory.mktemp("pascal")
    exe = out / "host_test"
    result = subprocess.run(
        [fpc, "-Sew", "-vw", f"-FU{out}", f"-Fu{SOURCE / 'bindings/pascal'}", f"-Fl{LIBRARY.parent}", f"-o{exe}",
         str(SOURCE / "bindings/tests/host_test.pas")],
        cwd=out, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return [str(exe)]


@pytest.fixture(scope="module")
def pascal_default_mode_host(tmp_path_factory: pytest.TempPathFactory) -> list:
    """bindings/tests/default_mode.pas: no mode switch, so Integer is 16 bits."""
    fpc = tool("fpc")
    out = tmp_path_factory.mktemp("pascal-default")
    exe = out / "default_mode"
    result = subprocess.run(
        [fpc, "-Sew", "-vw", f"-FU{out}", f"-Fu{SOURCE / 'bindings/pascal'}", f"-Fl{LIBRARY.parent}", f"-o{exe}",
         str(SOURCE / "bindings/tests/default_mode.pas")],
        cwd=out, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return [str(exe)]


def run_host(command: list, sim: Sim, tmp_path: Path, settings: dict, *args: str) -> dict:
    windir = tmp_path / "windir"
    windir.mkdir()
    env = dict(os.environ)
    env.update(sim.settings(windir, **settings))
    env["LD_LIBRARY_PATH"] = str(LIBRARY.parent)
    result = subprocess.run(command + list(args), cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return parse(result.stdout)


def queue_records(sim: Sim) -> None:
    sim.add_record(1, DEPOSIT)
    sim.add_record(1, PAYMENT)
    sim.add_record(1, DAMAGED, damaged=True)


def check_export_scenario(values: dict, sim: Sim, tmp_path: Path) -> None:
    for name, value in EXPORT_OUTPUTS.items():
        if name == "aclock":
            # The terminal's clock runs on from the time set: that second or
            # one a little later.
            got = values.get(name) or ""
            assert got[:12] == value[:12] and len(got) == len(value) and got >= value, (name, got)
        else:
            assert values.get(name) == value, name
    for name in ACCEPTED:
        assert values.get(name) == "1", name
    assert sim.frames() == expected_export_frames()
    # The terminal's state as the calls left it.
    assert sim.get(1, "key") == "A1B2C3"
    assert sim.get(1, "records") == "0"
    assert sim.get(1, "subsidy") == "AAAAAAAAAAAA"
    # The store holds the two records wanted, the log the damaged one.
    data = (tmp_path / "records.dat").read_bytes()
    assert data[:9] == b"CASEDATA\0"
    assert struct.unpack_from("<i", data, 12)[0] == 2
    assert [data[16 + 44 * i + 4 : 16 + 44 * i + 10] for i in range(2)] == [b"001234", b"204518"]
    assert struct.unpack_from("<f", data, 16 + 44 + 16)[0] == -12.5
    log = (tmp_path / "ErrRec.doc").read_bytes()
    assert log.count(b"\n\r") == 1 and b"-31-31-31-31-31-31-30" in log


def test_csharp_exports(csharp_host: list, talvo_sim: Sim, tmp_path: Path) -> None:
    queue_records(talvo_sim)
    values = run_host(csharp_host, talvo_sim, tmp_path, {"Repeat": 1}, "exports", str(tmp_path / "records.dat"))
    check_export_scenario(values, talvo_sim, tmp_path)
    # The wrapper refuses what would be cut, padded, substituted or overrun.
    refusals = {k: v for k, v in values.items() if k.startswith("refuse.")}
    assert len(refusals) == 9 and set(refusals.values()) == {"refused"}, refusals
    # Structures laid out as the C compiler lays out talvo.h.
    layout = c_layout(tmp_path)
    assert {k: values[k] for k in layout} == layout


def test_pascal_exports(pascal_host: list, talvo_sim: Sim, tmp_path: Path) -> None:
    queue_records(talvo_sim)
    values = run_host(pascal_host, talvo_sim, tmp_path, {"Repeat": 1}, str(tmp_path / "records.dat"))
    check_export_scenario(values, talvo_sim, tmp_path)
    assert values["layout.slots"] == "120"
    assert values["ReduHMD.short"] == "0"  # refused by the library, nothing sent
    assert values["error.text"] == "nothing was received within the time limits"


def test_pascal_default_mode(pascal_default_mode_host: list, talvo_sim: Sim, tmp_path: Path) -> None:
    queue_records(talvo_sim)
    values = run_host(pascal_default_mode_host, talvo_sim, tmp_path, {"Repeat": 1}, str(tmp_path / "records.dat"))
    assert values == {
        "InqStat": "1", "Setmdeb": "1", "Readmdeb": "1", "mdeb": "12.50", "Inqkey": "1", "flags": "1,0,1,0",
        "AddHMD": "1", "ReadHMD": "TRUE", "blacklist.count": "2",
        "AutoReadJyzm": "1", "collected": "2", "total": "1222.00",
        "Clearjyzm": "1", "InqStat.silent": "0", "error.silent": "-3",
    }
    frames = talvo_sim.frames()
    assert R(1, 0x23, count=1, payload=b"501200") in frames  # 12.50 reached the terminal whole
    assert R(1, 0x47, count=0x2C) in frames


def test_csharp_line_api(csharp_host: list, talvo_sim: Sim, tmp_path: Path) -> None:
    queue_records(talvo_sim)
    store = tmp_path / "line.dat"
    (tmp_path / "line.dat.bad").write_bytes(b"NOT A STORE FILE")
    # The 43 exports get a port that is not there; the line API opens the
    # terminal's device itself.
    values = run_host(csharp_host, talvo_sim, tmp_path, {"ComName": tmp_path / "no-port"}, "line", talvo_sim.device,
                      str(store))
    expected = {
        "exports.InqStat": "0", "exports.error": "-1",
        "version": "1.2.0", "version.number": "10200",
        "open": "0", "open.again": "-14", "open.again.invalid": "1", "open.missing": "-13",
        "cmw": "XYZ000000000", "cmw_read.small": "-10",
        "mdeb": "123456", "mdeb_set.range": "-9",
        "key_check.wrong": "-7", "flags": "1,0,1,0",
        "blacklist": "111111222222", "menu": "1250,123456", "clock": "2024-05-06 07:08",
        "azone0": "08:00-12:00/01", "reason": "AB",
        "fetch.kept": "2", "fetch.count": "3", "fetch.status": "0,0,1,0,0,0",
        "fetch.raw0": DEPOSIT + "BB", "record0": "1|001234|13|123450|12-24 09:30", "record1.amount": "-1250",
        "confirm.again": "-19", "collect.stored": "0",
        "record_to_store.text": "001234|13|1234.50",
        "store.count": "1", "store.cards": "001234", "store_open.bad": "-18",
        "status.silent": "-3", "last_error": "-3", "strerror": talvo.strerror(-3),
        "traced": "1", "closed": "1",
    }
    for name, value in expected.items():
        assert values.get(name) == value, name
    succeeded = ["set_trace", "status", "cmw_set", "cmw_read", "mdeb_set", "mdeb_read", "key_flags", "blacklist_add",
                 "blacklist_read", "menu_set", "menu_read", "clock_set", "clock_read", "zones_set", "attend_zones_set",
                 "attend_zones_read", "attend_reason_set", "attend_reason_read", "fetch", "confirm", "collect",
                 "store_append", "record_to_store", "store_open", "store_count", "store_read"]
    for name in succeeded:
        assert values.get(name) == "0", name
    assert talvo_sim.frames() == [
        R(1, 0x10),
        R(1, 0x22, count=6, payload=b"XYZ000000000"),
        R(1, 0x32, count=6),
        R(1, 0x23, count=1, payload=b"563412"),
        R(1, 0x33, count=3),
        R(1, 0x61, count=1, payload=b"000000"),
        R(1, 0x11, count=0x10),
        R(1, 0x2C, count=2, payload=b"111111222222"),
        R(1, 0x34, count=0x20),
        R(1, 0x26, count=2, payload=b"501200563412"),
        R(1, 0x36, count=0x10),
        R(1, 0x2A, count=6, payload=b"2405060708"),
        R(1, 0x3A),
        R(1, 0x28, count=8, payload=b"0630" + b"0" * 28),
        R(2, 0x28, count=8, payload=b"0800120001" + b"0000000000" * 7),
        R(2, 0x38, count=8),
        R(2, 0x28, count=3, payload=b"41420F0F0F0F0F0F"),
        R(2, 0x38, count=3),
        R(1, 0x37, count=6),
        R(1, 0x47, 0x01, 0x01, 3),
        R(1, 0x37, count=6),
    ] + [R(9, 0x10)] * 3


def test_csharp_line_class(csharp_host: list, talvo_sim: Sim, tmp_path: Path) -> None:
    """A host on the Line class alone: exceptions by code, and no port or
    settings file of the 43 exports touched when the library loads (the
    declarations set TALVO_DEFER_PORT themselves)."""
    queue_records(talvo_sim)
    store = tmp_path / "line.dat"
    (tmp_path / "line.dat.bad").write_bytes(b"NOT A STORE FILE")
    windir = tmp_path / "windir"
    windir.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "TALVO_DEFER_PORT"}
    env.update(TALVO_WINDIR=str(windir), LD_LIBRARY_PATH=str(LIBRARY.parent), TZ="Asia/Tokyo")
    result = subprocess.run(csharp_host + ["classes", talvo_sim.device, str(store)], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "cannot open" not in result.stderr, result.stderr
    assert list(windir.iterdir()) == []  # no VELDA.INI written
    values = parse(result.stdout)
    expected = {
        "open.missing": "NoDeviceError -13", "open.again": "DeviceBusyError -14",
        "open.url": "DeviceUrlError -22", "open.scheme": "DeviceUrlError -23",
        "cmw": "XYZ000000000", "mdeb": "1234.56", "check_key.wrong": "0",
        "blacklist": "111111,222222", "menu": "12.50,1234.56",
        "clock": "2024-05-06 16:08",  # 07:08 UTC in Tokyo
        "azone0": "08:00-12:00/01",
        "collect.stored": "2",
        "collect.log": str(tmp_path / "ErrRec.doc"), "collect.again": "0",
        "collect.bad_store": "StoreError -18", "collect.folder": "StoreError -18",
        "silent": "NoReplyError -3", "mdeb.range": "InvalidArgumentError -9", "cmw.long": "InvalidArgumentError -9",
        "terminal.range": "InvalidArgumentError -9", "key.bad": "InvalidArgumentError -9",
        "last_error": "-3", "closed": "ClosedError -11",
    }
    for name, value in expected.items():
        assert values.get(name) == value, name
    rejected = values["collect.rejected"]  # one raw record: its 28 characters and why
    assert rejected.startswith(DAMAGED) and rejected.endswith(" damaged") and "," not in rejected
    assert values["silent.message"] == f"status: {talvo.strerror(-3)} [-3]"
    assert (tmp_path / "ErrRec.doc").is_file()
    # The clock frame carried the local time.
    assert R(1, 0x2A, count=6, payload=b"2405061608") in talvo_sim.frames()


# ---- The Windows calling convention -------------------------------------------
# On x86-64 there is one calling convention, so the runs above cannot catch an
# argument of the wrong width; the 32-bit DLL's export table can: each stdcall
# export removes the bytes named in TALVO.def (SetMaxbt@12).


def export_table() -> dict:
    text = (SOURCE / "src/shell/TALVO.def").read_text()
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"^\s*(\w+)=\w+@(\d+)", text, re.M)}


CSHARP_WIDTH = {"int": 4, "uint": 4, "float": 4, "double": 8, "long": 8, "ushort": 4, "IntPtr": 4, "UIntPtr": 4}


def csharp_stack_bytes() -> dict:
    text = (SOURCE / "bindings/dotnet/Talvo.cs").read_text()
    found = {}
    for m in re.finditer(r"\[DllImport\(Library,[^\]]*\]\s*public static extern \S+ (\w+)\(([^)]*)\);", text):
        params = re.sub(r"\[(?:In|Out|In, Out)\]\s*", "", m.group(2))
        size = 0
        for param in filter(None, (p.strip() for p in params.split(","))):
            words = param.split()
            if words[0] in ("ref", "out"):
                size += 4
            else:
                size += CSHARP_WIDTH.get(words[0], 4)  # arrays, strings, builders, handles, delegates: pointers
        found[m.group(1)] = size
    return found


PASCAL_WIDTH = {"LongInt": 4, "Int32": 4, "Single": 4, "Double": 8, "Word": 4}


def pascal_stack_bytes() -> dict:
    text = (SOURCE / "bindings/pascal/talvo.pas").read_text()
    interface = text[: text.index("implementation")]
    found = {}
    pattern = r"(?:function|procedure) (\w+)(?:\(([^)]*)\))?(?:: \w+)?; \{\$IFDEF MSWINDOWS\}stdcall\{\$ELSE\}cdecl\{\$ENDIF\}; external TalvoLibrary;"
    for m in re.finditer(pattern, interface):
        size = 0
        for group in filter(None, (g.strip() for g in (m.group(2) or "").split(";"))):
            names, _, kind = group.partition(":")
            names = names.split()
            by_reference = names[0] in ("var", "out", "const")
            count = len(" ".join(names[1:] if by_reference else names).split(","))
            kind = kind.strip()
            width = 4 if by_reference or kind.startswith("P") else PASCAL_WIDTH[kind]  # pointers: 4
            size += count * width
        found[m.group(1)] = size
    return found


def test_csharp_declarations_match_the_export_table() -> None:
    table = export_table()
    declared = csharp_stack_bytes()
    assert len(table) == 43 + 56
    assert declared == table


def test_pascal_declarations_match_the_export_table() -> None:
    legacy = {name: size for name, size in export_table().items() if not name.startswith("talvo_")}
    assert len(legacy) == 43
    assert pascal_stack_bytes() == legacy
    # Integer is 16 bits in Free Pascal's default mode: the unit names widths.
    text = (SOURCE / "bindings/pascal/talvo.pas").read_text()
    assert not re.search(r"\bInteger\b", text[: text.index("implementation")])
