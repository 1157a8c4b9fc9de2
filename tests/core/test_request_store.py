"""The request store: bounded FIFO ring, capacity, lifetime counters, timestamps."""

from __future__ import annotations

import math
import time

import pytest
from support import SANITIZED, malloc_in_use
from vornik import _core


def paths() -> list[str]:
    return [m.path for m in _core.get_requests()]


def record_paths(count: int, start: int = 0) -> None:
    for i in range(start, start + count):
        _core.record_request("GET", f"/{i}", 200, float(i))


def test_default_capacity_evicts_oldest_first() -> None:
    assert _core.get_max_requests() == 10000
    record_paths(10001)
    records = _core.get_requests()
    assert len(records) == 10000
    assert records[0].path == "/1" and records[-1].path == "/10000"
    assert _core.aggregate().total_requests == 10001


def test_lowering_capacity_keeps_newest_and_raising_restores_nothing() -> None:
    record_paths(10)
    _core.set_max_requests(3)
    assert paths() == ["/7", "/8", "/9"]
    assert _core.aggregate().total_requests == 10
    _core.set_max_requests(100)
    assert paths() == ["/7", "/8", "/9"]
    record_paths(2, start=10)
    assert paths() == ["/7", "/8", "/9", "/10", "/11"]


def test_capacity_zero_clamps_to_one() -> None:
    record_paths(5)
    _core.set_max_requests(0)
    assert _core.get_max_requests() == 1
    assert paths() == ["/4"]
    record_paths(1, start=5)
    assert paths() == ["/5"]


def test_ring_wraps_and_grows_in_order() -> None:
    # Interleave eviction and growth so the ring's head moves before it is resized.
    _core.set_max_requests(3)
    record_paths(5)
    _core.set_max_requests(50)
    record_paths(40, start=5)
    assert paths() == [f"/{i}" for i in range(2, 45)]


def test_clear_resets_store_and_counters_not_capacity() -> None:
    _core.set_max_requests(5)
    record_paths(3)
    _core.record_request("GET", "/e", 500, 1.0)
    _core.clear_requests()
    assert _core.get_requests() == []
    agg = _core.aggregate()
    assert (agg.total_requests, agg.total_errors, agg.error_rate) == (0, 0, 0.0)
    assert _core.get_max_requests() == 5
    record_paths(1)
    assert paths() == ["/0"]


def test_error_counting_threshold() -> None:
    for status in [0, 200, 399, 400, 404, 500, 599, 600, 65535]:
        _core.record_request("GET", "/", status, 1.0)
    agg = _core.aggregate()
    assert (agg.total_requests, agg.total_errors) == (9, 6)
    assert [m.status_code for m in _core.get_requests()] == [
        0,
        200,
        399,
        400,
        404,
        500,
        599,
        600,
        65535,
    ]


def test_durations_stored_unchanged() -> None:
    values = [math.nan, math.inf, -math.inf, -3.5, -0.0, 5e-324]
    for value in values:
        _core.record_request("GET", "/", 200, value)
    stored = [m.duration_ms for m in _core.get_requests()]
    assert math.isnan(stored[0])
    assert stored[1:] == values[1:]
    assert math.copysign(1.0, stored[4]) == -1.0


def test_timestamps_are_whole_unix_seconds() -> None:
    before = int(time.time())
    _core.record_request("GET", "/a", 200, 1.0)
    _core.record_request("GET", "/b", 200, 1.0)
    after = int(time.time())
    first, second = _core.get_requests()
    assert before <= first.timestamp <= second.timestamp <= after
    assert isinstance(first.timestamp, int)


def test_texts_are_copied() -> None:
    method = "".join(["PA", "TCH"])
    path = "/" + "x" * 1000
    _core.record_request(method, path, 204, 1.0)
    del method, path
    metric = _core.get_requests()[0]
    assert (metric.method, metric.path) == ("PATCH", "/" + "x" * 1000)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer owns malloc")
def test_evicted_records_give_their_texts_back() -> None:
    long_path = "/" + "x" * 10_000
    for _ in range(2000):
        _core.record_request("GET", long_path, 200, 1.0)
    full = malloc_in_use()
    _core.set_max_requests(1)
    assert full - malloc_in_use() > 15_000_000
    for _ in range(2000):
        _core.record_request("GET", long_path, 200, 1.0)
    _core.clear_requests()
    assert full - malloc_in_use() > 15_000_000
