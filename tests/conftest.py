"""Shared fixtures: every test starts from an empty store with shard aggregation off."""

from __future__ import annotations

import contextlib
import subprocess
from collections.abc import Iterator

import pytest

from support import FakeClock
from vornik import _core


@pytest.fixture(autouse=True)
def fresh_state() -> Iterator[None]:
    _core.set_multiproc_dir(None)
    _core.set_max_requests(10000)
    _core.clear_requests()
    yield
    _core.set_multiproc_dir(None)
    _core.set_max_requests(10000)
    _core.clear_requests()


@pytest.fixture
def helpers() -> Iterator[list[subprocess.Popen[str]]]:
    """Processes a test starts; whatever is still running afterwards is killed."""
    started: list[subprocess.Popen[str]] = []
    yield started
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            with contextlib.suppress(OSError):
                stream.close()  # type: ignore[union-attr]


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeClock:
    """The clock both middlewares time requests with, moved by the test."""
    fake = FakeClock()
    monkeypatch.setattr("vornik.wsgi.perf_counter", fake)
    monkeypatch.setattr("vornik.asgi.perf_counter", fake)
    return fake
