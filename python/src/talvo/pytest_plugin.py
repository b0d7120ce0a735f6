"""pytest fixtures for testing a host against the software terminal.

Installed with the package, the plugin is loaded by pytest on its own (or
name it: ``pytest -p talvo.pytest_plugin``).  A test asks for
``talvo_sim`` and gets a :class:`talvo.sim.Sim` with terminal 1 (payment)
and terminal 2 (attendance) in their initial state, no faults and no
frames; one ``talvo-sim`` serves the whole session::

    def test_reads_the_menu(talvo_sim):
        talvo_sim.set(1, "menu", "501200")          # one price, 12.50
        with talvo_sim.line() as line:
            assert my_host.prices(line) == [Decimal("12.50")]
        assert talvo_sim.frames() == [talvo_sim.request(1, 0x36, count=16)]

Without ``talvo-sim`` (see :func:`talvo.sim.find_sim`) the tests using the
fixture are skipped, unless ``TALVO_SIM_REQUIRED=1`` makes that an error.
"""

from __future__ import annotations

import os
from typing import Iterator

import pytest

from .sim import Sim, find_sim


@pytest.fixture(scope="session")
def talvo_sim_session() -> Iterator[Sim]:
    """The one software terminal of the test session."""
    if find_sim() is None:
        message = "talvo-sim not found (set TALVO_SIM or put it on PATH)"
        if os.environ.get("TALVO_SIM_REQUIRED") == "1":
            pytest.fail(message)
        pytest.skip(message)
    with Sim() as sim:
        yield sim


@pytest.fixture
def talvo_sim(talvo_sim_session: Sim) -> Iterator[Sim]:
    """The software terminal, reset: terminals 1 and 2 (attendance) in their
    initial state, no faults, no frames."""
    talvo_sim_session.reset()
    yield talvo_sim_session
    talvo_sim_session.clear_faults()
