"""A client of a talvod service: the terminals of a site through the
service that holds their lines.

While talvod runs, it holds every serial line of the site, and a
:class:`talvo.Line` on one of them cannot be opened.  The service runs the
same commands on its own line, in its own queue, and answers with what was
read, or with the problem in the words the command-line tool uses::

    from talvo.site import Site, SiteError

    site = Site("http://till-server:8080", token="...")
    site.status(1)
    site.blacklist_add(1, "123456", "234567")
    site.menu_set(1, ["1.20", "2.50"], line="canteen")
    print(site.menu_read(1))          # [Decimal('1.20'), Decimal('2.50')]

Every call takes the terminal's number and, optionally, the service's line
that has it (without one, the service takes its one line that has the
terminal).  A failure raises :class:`SiteError` with the problem text.
Only the standard library is used.
"""

from __future__ import annotations

import datetime as dt
import json
import urllib.error
import urllib.parse
import urllib.request
from decimal import Decimal
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

__all__ = ["Site", "SiteError"]

Amount = Union[str, int, float, Decimal]
When = Union[str, dt.datetime]

# The service answers a command within a minute; this waits a little longer.
DEFAULT_TIMEOUT = 75.0


class SiteError(Exception):
    """A command through the service failed.

    :ivar problem: the problem in one line, as ``talvo`` prints it.
    :ivar status: the HTTP status (200 when the terminal refused or did not
        answer; 401 token, 404 no such line or terminal, 400 bad arguments,
        503 line stopping, 0 when no service answered).
    :ivar exit_status: what ``talvo`` would exit with: 1, or 2 for a request
        that cannot be run as it stands.
    """

    def __init__(self, problem: str, status: int = 0, exit_status: int = 1) -> None:
        self.problem = problem
        self.status = status
        self.exit_status = exit_status
        super().__init__(problem)


def _amount(value: Amount) -> str:
    """An amount as the service reads it: "12.50"."""
    if isinstance(value, bool):
        raise TypeError("an amount is a str, int, float or Decimal, not bool")
    if isinstance(value, str):
        return value
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        value = Decimal(repr(value))
    if isinstance(value, Decimal):
        return format(value, "f")
    raise TypeError(f"an amount is a str, int, float or Decimal, not {type(value).__name__}")


def _when(value: When, seconds: bool) -> str:
    if isinstance(value, dt.datetime):
        return value.strftime("%Y/%m/%d %H:%M:%S" if seconds else "%Y/%m/%d %H:%M")
    if isinstance(value, str):
        return value
    raise TypeError(f"a time is a datetime or a str, not {type(value).__name__}")


def _datetime(values: Dict[str, Any]) -> dt.datetime:
    year, month, day, hour, minute, second = values["fields"]
    return dt.datetime(year, month, day, hour, minute, second)


class Site:
    """The terminals of a talvod service at `url` ("http://host:port").

    `token` is the service's token (``[http] token``); reads need it when
    the service has one, changes always.
    """

    def __init__(self, url: str, token: Optional[str] = None, timeout: float = DEFAULT_TIMEOUT) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError(f"{url!r} is not a service address http://HOST:PORT")
        self.url = url.rstrip("/")
        self.token = token
        self.timeout = timeout

    # ---- The one call -----------------------------------------------------

    def command(self, line: Optional[str], terminal: int, op: str, **args: Any) -> Dict[str, Any]:
        """Runs `op` (a ``talvo`` subcommand: "blacklist add") on `terminal`
        of `line` (None: the service's one line that has it) with `args` by
        the names of the service's interface; returns what was read (an
        empty dict for a change)."""
        answer = self._post(line, terminal, dict(args, op=op))
        return answer.get("values") or {}

    def _post(self, line: Optional[str], terminal: int, body: Dict[str, Any]) -> Dict[str, Any]:
        if isinstance(terminal, bool) or not isinstance(terminal, int) or not 0 <= terminal <= 255:
            raise ValueError(f"terminal: a number from 0 to 255, not {terminal!r}")
        where = f"/api/lines/{urllib.parse.quote(line, safe='')}" if line else "/api"
        status, answer = self._send("POST", f"{where}/terminals/{terminal}/command", body)
        if status == 401:
            why = "did not accept the token" if self.token else "needs a token"
            raise SiteError(f"the service at {self.url} {why}", status)
        if status not in (200, 202):
            raise SiteError(answer.get("error") or f"the service at {self.url} answered HTTP {status}", status,
                            answer.get("exit", 2 if status == 400 else 1))
        if answer.get("ok") is not True:
            raise SiteError(answer.get("problem") or "no outcome", status, answer.get("exit", 1))
        return answer

    def _send(self, method: str, path: str, body: Optional[Dict[str, Any]] = None) -> Tuple[int, Dict[str, Any]]:
        """One request; the HTTP status and the JSON object answered."""
        request = urllib.request.Request(
            f"{self.url}{path}",
            data=None if body is None else json.dumps(body).encode(),
            method=method,
            headers={"Content-Type": "application/json"},
        )
        if self.token:
            request.add_header("Authorization", f"Bearer {self.token}")
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as response:
                status, text = response.status, response.read()
        except urllib.error.HTTPError as e:
            status, text = e.code, e.read()
        except urllib.error.URLError as e:
            raise SiteError(f"no service answers at {self.url} ({e.reason})") from None
        except OSError as e:  # a time-out while reading, a reset connection
            raise SiteError(f"the service at {self.url} gave no answer: {e}") from None
        try:
            answer = json.loads(text)
        except ValueError:
            answer = None
        if not isinstance(answer, dict):
            raise SiteError(f"the service at {self.url} answered HTTP {status} without a readable body", status)
        return status, answer

    # ---- Terminals --------------------------------------------------------

    def status(self, terminal: int, line: Optional[str] = None) -> None:
        """Whether the terminal answers (SiteError when it does not)."""
        self.command(line, terminal, "status")

    def clear_memory(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "clear-ram")

    def cmw(self, terminal: int, line: Optional[str] = None) -> str:
        return str(self.command(line, terminal, "cmw get")["text"])

    def cmw_set(self, terminal: int, text: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "cmw set", text=text)

    def mdeb(self, terminal: int, line: Optional[str] = None) -> Decimal:
        return Decimal(self.command(line, terminal, "mdeb get")["amount"])

    def mdeb_set(self, terminal: int, amount: Amount, line: Optional[str] = None) -> None:
        self.command(line, terminal, "mdeb set", amount=_amount(amount))

    def key_check(self, terminal: int, key: str, line: Optional[str] = None) -> bool:
        """True when `key` is the terminal's key."""
        try:
            self.command(line, terminal, "key check", key=key)
        except SiteError as e:
            if e.status == 200 and e.problem.endswith("refused the command"):
                return False
            raise
        return True

    def key_set(self, terminal: int, key: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "key set", key=key)

    def key_flags(self, terminal: int, line: Optional[str] = None) -> Tuple[int, int, int, int]:
        a, b, c, d = self.command(line, terminal, "key flags")["flags"]
        return (a, b, c, d)

    def blacklist_add(self, terminal: int, *cards: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "blacklist add", cards=list(cards))

    def blacklist_remove(self, terminal: int, card: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "blacklist remove", card=card)

    def blacklist_set(self, terminal: int, position: int, cards: Iterable[str], line: Optional[str] = None) -> None:
        self.command(line, terminal, "blacklist set", position=position, cards=list(cards))

    def blacklist_clear(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "blacklist clear")

    def blacklist_read(self, terminal: int, position: int = 0, line: Optional[str] = None) -> List[str]:
        """Up to 32 cards from `position`."""
        return list(self.command(line, terminal, "blacklist read", position=position)["cards"])

    def menu_set(self, terminal: int, prices: Sequence[Amount], line: Optional[str] = None) -> None:
        self.command(line, terminal, "menu set", prices=[_amount(p) for p in prices])

    def menu_read(self, terminal: int, line: Optional[str] = None) -> List[Decimal]:
        return [Decimal(p) for p in self.command(line, terminal, "menu read")["prices"]]

    def menu_clear(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "menu clear")

    def subsidy_clear(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "subsidy clear")

    def subsidy_max(self, terminal: int, amount: Amount, line: Optional[str] = None) -> None:
        self.command(line, terminal, "subsidy max", amount=_amount(amount))

    def subsidy_time(self, terminal: int, text: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "subsidy time", text=text)

    def subsidy_add(self, terminal: int, entries: Iterable[str], position: int = 0,
                    line: Optional[str] = None) -> None:
        self.command(line, terminal, "subsidy add", position=position, entries=list(entries))

    def clock(self, terminal: int, line: Optional[str] = None) -> dt.datetime:
        return _datetime(self.command(line, terminal, "clock get"))

    def clock_set(self, terminal: int, when: When = "now", line: Optional[str] = None) -> None:
        """`when`: a datetime (to the minute), "YYYY/MM/DD HH:MM", or "now"
        (the service's clock)."""
        self.command(line, terminal, "clock set", time=_when(when, seconds=False))

    def zones(self, terminal: int, line: Optional[str] = None) -> List[str]:
        return list(self.command(line, terminal, "zones get")["zones"])

    def zones_set(self, terminal: int, zones: Sequence[str], line: Optional[str] = None) -> None:
        """1 to 8 times of day "HH:MM"; the zones not given are 00:00."""
        self.command(line, terminal, "zones set", zones=list(zones))

    def lock(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "lock")

    def unlock(self, terminal: int, line: Optional[str] = None) -> None:
        self.command(line, terminal, "unlock")

    def attend_zones(self, terminal: int, line: Optional[str] = None) -> List[Dict[str, str]]:
        return list(self.command(line, terminal, "attend zones get")["zones"])

    def attend_zones_set(self, terminal: int, zones: Sequence[str], line: Optional[str] = None) -> None:
        """1 to 8 zones "HH:MM-HH:MM/CC"."""
        self.command(line, terminal, "attend zones set", zones=list(zones))

    def reason(self, terminal: int, number: int, line: Optional[str] = None) -> str:
        return str(self.command(line, terminal, "attend reason get", number=number)["text"])

    def reason_set(self, terminal: int, number: int, text: str, line: Optional[str] = None) -> None:
        self.command(line, terminal, "attend reason set", number=number, text=text)

    def attend_clock(self, terminal: int, line: Optional[str] = None) -> dt.datetime:
        return _datetime(self.command(line, terminal, "attend clock get"))

    def attend_clock_set(self, terminal: int, when: When = "now", line: Optional[str] = None) -> None:
        self.command(line, terminal, "attend clock set", time=_when(when, seconds=True))

    def collect(self, terminal: int, line: Optional[str] = None) -> Dict[str, Any]:
        """The service collects the terminal into its database: ``records``
        and ``rejected`` it stored, and the ``line``."""
        answer = self._post(line, terminal, {"op": "collect"})
        return {k: answer[k] for k in ("line", "terminal", "records", "rejected", "state") if k in answer}

    # ---- Desired state ----------------------------------------------------
    # What the service keeps its terminals at: it pushes each change to
    # every terminal concerned and reads back what it can.  Changes need an
    # administrator's token; a stale `version` raises SiteError with status
    # 409 and the current version in `version`.

    def _state(self, method: str, path: str, body: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
        status, answer = self._send(method, path, body)
        if status == 200:
            return answer
        if status == 401:
            why = "did not accept the token" if self.token else "needs a token"
            raise SiteError(f"the service at {self.url} {why}", status)
        error = SiteError(answer.get("error") or f"the service at {self.url} answered HTTP {status}", status)
        error.version = answer.get("version")  # type: ignore[attr-defined]
        raise error

    @staticmethod
    def _card(card: str) -> str:
        if not isinstance(card, str) or len(card) != 6 or not card.isdigit():
            raise ValueError(f"card: exactly six digits, not {card!r}")
        return card

    def block_card(self, *cards: str, reason: str = "", scope: str = "site") -> int:
        """Blocks `cards` on every payment terminal of `scope` ("site" or a
        group), as ``talvo --service URL card block``; the blacklist's new
        version.  A card stays blocked until unblocked."""
        return self._cards("block", cards, reason, scope)

    def unblock_card(self, *cards: str, reason: str = "", scope: str = "site") -> int:
        """Unblocks `cards`: they come off the terminals of `scope`."""
        return self._cards("unblock", cards, reason, scope)

    def _cards(self, action: str, cards: Sequence[str], reason: str, scope: str) -> int:
        if not cards:
            raise ValueError("at least one card")
        checked = [self._card(c) for c in cards]
        body = {"reason": reason, "scope": scope}
        version = 0
        for card in checked:
            version = int(self._state("POST", f"/api/cards/{card}/{action}", body)["version"])
        return version

    def card(self, card: str) -> Dict[str, Any]:
        """Where `card` is blocked, its history, and per terminal whether it
        is ``applied``, ``absent``, ``pending`` or ``failed`` (every terminal
        whose blacklist the service keeps, from the moment of a change)."""
        return self._state("GET", f"/api/cards/{self._card(card)}")

    def blocked_cards(self, prefix: str = "") -> List[Dict[str, Any]]:
        """Every blocked card, newest first (with `prefix`: every card whose
        number starts with it, blocked or not), read a page at a time."""
        cards: List[Dict[str, Any]] = []
        while True:
            query = urllib.parse.urlencode({**({"q": prefix} if prefix else {}), "limit": 1000, "offset": len(cards)})
            page = self._state("GET", f"/api/cards?{query}")
            cards.extend(page["cards"])
            if not page["cards"] or len(cards) >= int(page["total"]):
                return cards

    def desired(self) -> Dict[str, Any]:
        """Every kept item with its version and value, and the groups."""
        return self._state("GET", "/api/desired")

    def set_item(self, item: str, value: Any, version: int, scope: str = "site") -> int:
        """Sets `item` ("menu", "zones", ...) of `scope` to `value`, changed
        from `version` (0 for an item not kept yet); the new version."""
        path = f"/api/desired/{urllib.parse.quote(scope, safe='')}/{urllib.parse.quote(item, safe='')}"
        return int(self._state("PUT", path, {"version": version, "value": value})["version"])

    def release_item(self, item: str, version: int, scope: str = "site") -> None:
        """No longer keeps `item` of `scope`: the terminals keep what they hold."""
        path = f"/api/desired/{urllib.parse.quote(scope, safe='')}/{urllib.parse.quote(item, safe='')}"
        self._state("DELETE", f"{path}?version={int(version)}")

    def sync_state(self) -> List[Dict[str, Any]]:
        """Per terminal its ``badge`` and its items' states."""
        return list(self._state("GET", "/api/sync")["terminals"])

    def audit(self, limit: int = 100) -> List[Dict[str, Any]]:
        """The changes made through the service, newest first."""
        return list(self._state("GET", f"/api/audit?limit={int(limit)}")["audit"])
