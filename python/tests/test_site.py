"""talvo.site against a stand-in for the service on the loopback: the
requests it sends, the values it hands back and every kind of refusal as a
SiteError with the problem text."""

from __future__ import annotations

import datetime as dt
import json
import os
import re
import socket
import subprocess
import threading
import time
from decimal import Decimal
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Iterator, List, Tuple

import pytest

from talvo.sim import Sim
from talvo.site import Site, SiteError

TOKEN = "site-token-0123456789"


class Service:
    """Answers each command with the next canned (status, body); keeps what
    was asked."""

    def __init__(self) -> None:
        self.asked: List[Tuple[str, Dict[str, Any], str]] = []
        self.answers: List[Tuple[int, Any]] = []
        service = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802 (the standard library's name)
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                service.asked.append((self.path, json.loads(body), self.headers.get("Authorization", "")))
                status, answer = service.answers.pop(0) if service.answers else (200, {"ok": True})
                data = answer.encode() if isinstance(answer, str) else json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args: Any) -> None:
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


@pytest.fixture
def service() -> Iterator[Service]:
    s = Service()
    yield s
    s.close()


def test_requests_carry_the_op_arguments_line_and_token(service: Service) -> None:
    site = Site(service.url + "/", token=TOKEN)
    site.blacklist_add(1, "123456", "234567")
    site.menu_set(2, ["1.20", Decimal("2.5"), 3, 0.1], line="canteen")
    site.mdeb_set(1, Decimal("1E+1"))
    site.clock_set(1, dt.datetime(2026, 3, 15, 10, 20, 30))
    site.attend_clock_set(4, dt.datetime(2026, 3, 15, 10, 20, 30))
    site.subsidy_add(1, ["AAAAAAAAAAAA"], position=3)
    assert service.asked == [
        ("/api/terminals/1/command", {"op": "blacklist add", "cards": ["123456", "234567"]}, f"Bearer {TOKEN}"),
        ("/api/lines/canteen/terminals/2/command", {"op": "menu set", "prices": ["1.20", "2.5", "3", "0.1"]},
         f"Bearer {TOKEN}"),
        ("/api/terminals/1/command", {"op": "mdeb set", "amount": "10"}, f"Bearer {TOKEN}"),
        ("/api/terminals/1/command", {"op": "clock set", "time": "2026/03/15 10:20"}, f"Bearer {TOKEN}"),
        ("/api/terminals/4/command", {"op": "attend clock set", "time": "2026/03/15 10:20:30"}, f"Bearer {TOKEN}"),
        ("/api/terminals/1/command", {"op": "subsidy add", "position": 3, "entries": ["AAAAAAAAAAAA"]},
         f"Bearer {TOKEN}"),
    ]


def test_reads_become_python_values(service: Service) -> None:
    site = Site(service.url)
    service.answers = [
        (200, {"ok": True, "values": {"prices": ["1.20", "9999.99"], "cents": [120, 999999]}}),
        (200, {"ok": True, "values": {"amount": "12.50", "cents": 1250}}),
        (200, {"ok": True, "values": {"time": "2026/03/15 10:20", "fields": [2026, 3, 15, 10, 20, 0]}}),
        (200, {"ok": True, "values": {"flags": [1, 0, 1, 0]}}),
        (200, {"ok": True, "values": {"position": 0, "cards": ["123456"]}}),
        (200, {"ok": True, "line": "hall", "terminal": 1, "records": 8, "rejected": 1, "state": "up"}),
    ]
    assert site.menu_read(1) == [Decimal("1.20"), Decimal("9999.99")]
    assert site.mdeb(1) == Decimal("12.50")
    assert site.clock(1) == dt.datetime(2026, 3, 15, 10, 20)
    assert site.key_flags(1) == (1, 0, 1, 0)
    assert site.blacklist_read(1) == ["123456"]
    assert site.collect(1) == {"line": "hall", "terminal": 1, "records": 8, "rejected": 1, "state": "up"}
    assert service.asked[2][2] == ""  # no token, no header


def test_failures_carry_the_problem_text(service: Service) -> None:
    site = Site(service.url, token=TOKEN)
    service.answers = [
        (200, {"ok": False, "problem": "the terminal did not answer within the time limits (error -3)", "exit": 1}),
        (400, {"error": "cards: '12345' is not a card number of six digits", "exit": 2}),
        (404, {"error": "no terminal 9 on a line 'hall' of this service", "exit": 1}),
        (409, {"error": "terminal 1 is on more than one line of this service (east, west): name the line"}),
        (503, {"error": "line hall is stopping", "exit": 1}),
        (401, {"error": "a valid token is required"}),
        (500, "not json"),
        (200, {"ok": False, "problem": "terminal 1 refused the command", "exit": 1}),
    ]
    expected = [
        ("the terminal did not answer within the time limits (error -3)", 200, 1),
        ("cards: '12345' is not a card number of six digits", 400, 2),
        ("no terminal 9 on a line 'hall' of this service", 404, 1),
        ("terminal 1 is on more than one line of this service (east, west): name the line", 409, 1),
        ("line hall is stopping", 503, 1),
        (f"the service at {service.url} did not accept the token", 401, 1),
        (f"the service at {service.url} answered HTTP 500 without a readable body", 500, 1),
    ]
    for problem, status, exit_status in expected:
        with pytest.raises(SiteError) as e:
            site.status(1)
        assert (e.value.problem, e.value.status, e.value.exit_status) == (problem, status, exit_status)
        assert str(e.value) == problem
    # A key that is not the terminal's: False, not an error.
    assert site.key_check(1, "FFFFFF") is False


def test_nothing_listening_and_bad_arguments() -> None:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    # The port is free again: nothing answers there.
    with pytest.raises(SiteError) as e:
        Site(f"http://127.0.0.1:{port}", timeout=5).status(1)
    assert e.value.problem.startswith(f"no service answers at http://127.0.0.1:{port}")
    assert e.value.status == 0
    with pytest.raises(ValueError):
        Site("ftp://127.0.0.1")
    with pytest.raises(ValueError):
        Site("http://127.0.0.1:1").status(256)
    with pytest.raises(TypeError):
        Site("http://127.0.0.1:1").mdeb_set(1, True)


def _talvod_on(sim_device: str, directory: str) -> Tuple[subprocess.Popen, str]:
    """talvod holding the software terminal's line "hall"; its process and
    address.  Its log is talvod.log in `directory`."""
    config = os.path.join(directory, "talvod.toml")
    with open(config, "w") as f:
        f.write(
            f'database = "{directory}/talvod.db"\n[http]\nport = 0\ntoken = "{TOKEN}"\n'
            '[jobs]\ncollect = "1h"\nclock_at_start = false\n'
            f'[[line]]\nname = "hall"\ndevice = "{sim_device}"\nbaud = 9600\necho_time_ms = 60\nwait_time_ms = 250\n'
            '[[line.terminal]]\nnumber = 1\n[[line.terminal]]\nnumber = 2\nkind = "attendance"\n'
        )
    os.chmod(config, 0o600)
    log_path = os.path.join(directory, "talvod.log")
    with open(log_path, "w") as log:
        process = subprocess.Popen([os.environ["TALVOD"], config], stderr=log,
                                   env=dict(os.environ, TALVO_WINDIR=directory))
    text = ""
    for _ in range(500):
        with open(log_path) as log:
            text = log.read()
        match = re.search(r"http-listening address=127\.0\.0\.1:(\d+)", text)
        if match:
            return process, f"http://127.0.0.1:{match.group(1)}"
        time.sleep(0.02)
    process.kill()
    process.wait()
    raise AssertionError(f"talvod did not listen:\n{text}")


@pytest.mark.skipif("TALVOD" not in os.environ, reason="TALVOD (the service's program) is not set")
def test_against_talvod(tmp_path: Any) -> None:
    with Sim() as sim:
        process, url = _talvod_on(sim.device, str(tmp_path))
        try:
            site = Site(url, token=TOKEN)
            site.status(1)
            site.blacklist_add(1, "123456", "654321")
            assert sim.get(1, "blacklist") == "123456654321"
            assert site.blacklist_read(1) == ["123456", "654321"]
            site.menu_set(1, ["1.20", Decimal("2.50")], line="hall")
            assert site.menu_read(1) == [Decimal("1.20"), Decimal("2.50")]
            site.clock_set(1, dt.datetime(2026, 3, 15, 10, 20))
            assert site.clock(1) == dt.datetime(2026, 3, 15, 10, 20)
            site.reason_set(2, 3, "Lunch")
            assert site.reason(2, 3) == "Lunch"
            with pytest.raises(SiteError) as e:
                site.blacklist_add(1, "12345")
            assert (e.value.status, e.value.exit_status) == (400, 2)
            with pytest.raises(SiteError) as e:
                site.status(9)
            assert e.value.problem == "no line of this service has terminal 9"
            with pytest.raises(SiteError) as e:
                Site(url).status(1)
            assert e.value.status == 401

            # The desired state: a lost card pushed by the service itself.
            version = site.block_card("777777", reason="lost")
            for _ in range(500):
                if "777777" in sim.get(1, "blacklist"):
                    break
                time.sleep(0.02)
            assert "777777" in sim.get(1, "blacklist")
            card = site.card("777777")
            assert card["blocked"][0]["reason"] == "lost"
            assert site.blocked_cards("777")[0]["card"] == "777777"
            assert site.set_item("menu", ["3.00"], 0) == 1
            with pytest.raises(SiteError) as e:
                site.set_item("menu", ["4.00"], 0)
            assert (e.value.status, e.value.version) == (409, 1)
            with pytest.raises(SiteError) as e:
                site.set_item("menu", ["10000.00"], 1)
            assert e.value.status == 400 and "menu price 1" in e.value.problem
            # (The cards added above, found on the terminal once the service
            # kept its blacklist, were adopted by talvod meanwhile.)
            assert site.unblock_card("777777") > version
            done = [a["action"] for a in site.audit() if a["who"] != "talvod" and a["outcome"] == "done"]
            assert done[:3] == ["unblock card", "set menu", "block card"]
            assert [a["outcome"][:11] for a in site.audit() if a["action"] == "set menu"][:2] == ["refused 409", "done"]

            # The kept blacklist follows the desired state: an add is a
            # block, a remove is refused with the way to do it.
            site.block_card("111111", "222222", reason="lost")
            site.blacklist_add(1, "333333")
            assert {"111111", "222222", "333333"} <= {c["card"] for c in site.blocked_cards()}
            with pytest.raises(SiteError) as e:
                site.blacklist_remove(1, "333333")
            assert (e.value.status, e.value.exit_status) == (409, 1) and "card unblock" in e.value.problem
            with pytest.raises(SiteError) as e:
                site.menu_set(1, ["9.99"])
            assert e.value.status == 409 and "PUT /api/desired/site/menu" in e.value.problem
            assert site.desired()["items"][0]["value"] == ["3.00"]
            with pytest.raises(SiteError) as e:
                site.set_item("menu", [3], 1)
            assert e.value.status == 400 and "bare number" in e.value.problem
            assert any(t["terminal"] == 1 for t in site.sync_state())
            with pytest.raises(ValueError):
                site.block_card("12345")
        finally:
            process.terminate()
            process.wait(timeout=30)
