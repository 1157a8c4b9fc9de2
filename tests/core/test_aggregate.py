"""Aggregate figures of the local store: counts, mean, extremes, rank percentiles."""

from __future__ import annotations

import math
import random

import pytest
from support import NEGATIVE_NAN, same, window_figures
from vornik import _core


def record_all(durations: list[float], status: int = 200) -> None:
    for d in durations:
        _core.record_request("GET", "/", status, d)


def test_empty_store_is_all_zero() -> None:
    assert list(_core.aggregate().to_dict().values()) == [0, 0] + [0.0] * 7


@pytest.mark.parametrize(
    ("n", "p50", "p95", "p99"),
    [
        (1, 0, 0, 0), (2, 1, 1, 1), (3, 1, 2, 2), (4, 2, 3, 3), (5, 2, 4, 4),
        (10, 5, 9, 9), (20, 10, 18, 19), (21, 10, 19, 20), (100, 50, 94, 98),
        (1000, 500, 949, 989), (10000, 5000, 9499, 9899),
    ],
)  # fmt: skip
def test_percentile_indices(n: int, p50: int, p95: int, p99: int) -> None:
    # Recorded in shuffled order so that the result cannot depend on arrival order.
    values = [float(i) for i in range(n)]
    random.Random(n).shuffle(values)
    record_all(values)
    agg = _core.aggregate()
    assert (agg.p50_latency_ms, agg.p95_latency_ms, agg.p99_latency_ms) == (p50, p95, p99)
    assert (agg.min_latency_ms, agg.max_latency_ms) == (0.0, n - 1.0)


def test_small_stores() -> None:
    record_all([7.5])
    assert set(list(_core.aggregate().to_dict().values())[3:]) == {7.5}
    _core.clear_requests()
    record_all([10.0, 20.0])
    agg = _core.aggregate()
    assert (agg.avg_latency_ms, agg.min_latency_ms, agg.max_latency_ms) == (15.0, 10.0, 20.0)
    assert (agg.p50_latency_ms, agg.p95_latency_ms, agg.p99_latency_ms) == (20.0, 20.0, 20.0)
    _core.clear_requests()
    record_all([4.0, 2.0, 1.0, 3.0])
    agg = _core.aggregate()
    assert (agg.p50_latency_ms, agg.p95_latency_ms, agg.p99_latency_ms) == (3.0, 4.0, 4.0)


def test_counts_cover_all_requests_latencies_only_the_window() -> None:
    _core.set_max_requests(2)
    record_all([1.0, 2.0])
    _core.record_request("GET", "/", 503, 3.0)
    agg = _core.aggregate()
    assert (agg.total_requests, agg.total_errors) == (3, 1)
    assert agg.error_rate == 1 / 3 * 100
    assert (agg.avg_latency_ms, agg.min_latency_ms, agg.max_latency_ms) == (2.5, 2.0, 3.0)


def test_mean_sums_oldest_first_from_negative_zero() -> None:
    record_all([-0.0, -0.0, -0.0])
    assert same(_core.aggregate().avg_latency_ms, -0.0)
    _core.clear_requests()
    # Floating-point addition is not associative: the order is observable.
    values = [1e16, 1.0, -1e16, 1.0]
    record_all(values)
    assert _core.aggregate().avg_latency_ms == window_figures(values)["avg_latency_ms"] == 0.25


def test_total_order_of_nan_infinities_and_signed_zeros() -> None:
    record_all([1.0, math.nan, -math.inf, 0.0, -0.0, math.inf, NEGATIVE_NAN, -5.0])
    agg = _core.aggregate()
    assert math.isnan(agg.min_latency_ms) and math.copysign(1, agg.min_latency_ms) < 0
    assert math.isnan(agg.max_latency_ms) and math.copysign(1, agg.max_latency_ms) > 0
    assert math.isnan(agg.avg_latency_ms)
    # sorted: -nan, -inf, -5, -0, +0, 1, +inf, +nan; n=8 -> indices 4, 7, 7
    assert same(agg.p50_latency_ms, 0.0)
    assert math.isnan(agg.p95_latency_ms) and math.isnan(agg.p99_latency_ms)


def test_signed_zero_ordering_and_infinite_average() -> None:
    record_all([0.0, -0.0])
    agg = _core.aggregate()
    assert same(agg.min_latency_ms, -0.0) and same(agg.max_latency_ms, 0.0)
    assert same(agg.p50_latency_ms, 0.0)
    _core.clear_requests()
    record_all([math.inf, -math.inf, -2.0])
    agg = _core.aggregate()
    assert math.isnan(agg.avg_latency_ms)
    assert (agg.min_latency_ms, agg.max_latency_ms, agg.p50_latency_ms) == (
        -math.inf,
        math.inf,
        -2.0,
    )


def test_matches_a_sorted_reference_on_random_data() -> None:
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    specials = [math.nan, -math.inf, math.inf, 0.0, -0.0]
    values = [
        rng.choice(specials) if rng.random() < 0.05 else rng.uniform(-10, 1000) for _ in range(3001)
    ]
    record_all(values)
    expected = window_figures(values)
    del expected["avg_latency_ms"]  # NaN whenever a NaN or both infinities were drawn
    agg = _core.aggregate()
    assert all(same(getattr(agg, name), value) for name, value in expected.items()), f"seed {seed}"


def test_error_rate_zero_without_requests() -> None:
    assert _core.aggregate().error_rate == 0.0
    record_all([1.0], status=500)
    assert _core.aggregate().error_rate == 100.0
