"""RequestMetric, AggregatedMetrics and Snapshot: read-only copies with to_dict and repr."""

from __future__ import annotations

import gc
import math
import sys

import pytest
from vornik import _core

CLASSES = [_core.RequestMetric, _core.AggregatedMetrics, _core.Snapshot]


def one_request(duration_ms: float = 12.5) -> _core.RequestMetric:
    _core.clear_requests()
    _core.record_request("GET", "/users", 200, duration_ms)
    return _core.get_requests()[0]


def test_request_metric_fields_dict_and_repr() -> None:
    metric = one_request()
    assert metric.to_dict() == {
        "method": "GET", "path": "/users", "status_code": 200,
        "duration_ms": 12.5, "timestamp": metric.timestamp,
    }  # fmt: skip
    assert list(metric.to_dict()) == ["method", "path", "status_code", "duration_ms", "timestamp"]
    assert repr(metric) == "RequestMetric(GET /users 200 12.50ms)"


@pytest.mark.parametrize(
    ("duration_ms", "shown"),
    [
        (12.345, "12.35ms)"),  # stored just above the midpoint
        (0.125, "0.12ms)"),  # exact tie goes to even
        (0.375, "0.38ms)"),
        (2.675, "2.67ms)"),  # stored just below the midpoint
        (-0.0, "-0.00ms)"),
        (math.nan, "NaNms)"),
        (-math.nan, "NaNms)"),
        (math.inf, "infms)"),
        (-math.inf, "-infms)"),
        (1e300, f"{1e300:.2f}ms)"),  # written out in full
    ],
)
def test_request_metric_repr_rounding(duration_ms: float, shown: str) -> None:
    assert repr(one_request(duration_ms)).endswith(" " + shown)


def test_aggregated_metrics_repr_and_dict() -> None:
    empty = _core.aggregate()
    assert repr(empty) == (
        "AggregatedMetrics(total=0, errors=0, error_rate=0.0%, avg=0.00ms, "
        "p50=0.00ms, p95=0.00ms, p99=0.00ms)"
    )
    for status, duration in [(200, 10.0), (500, 20.0), (404, 30.0)]:
        _core.record_request("GET", "/", status, duration)
    agg = _core.aggregate()
    assert repr(agg) == (
        "AggregatedMetrics(total=3, errors=2, error_rate=66.7%, avg=20.00ms, "
        "p50=20.00ms, p95=30.00ms, p99=30.00ms)"
    )
    assert list(agg.to_dict().items()) == [
        ("total_requests", 3), ("total_errors", 2), ("error_rate", 2 / 3 * 100),
        ("avg_latency_ms", 20.0), ("min_latency_ms", 10.0), ("max_latency_ms", 30.0),
        ("p50_latency_ms", 20.0), ("p95_latency_ms", 30.0), ("p99_latency_ms", 30.0),
    ]  # fmt: skip


def test_snapshot_dict_repr_and_megabytes() -> None:
    snap = _core.snapshot()
    d = snap.to_dict()
    assert list(d) == ["pid", "cpu_percent", "memory_rss", "memory_virtual", "threads", "timestamp"]
    assert snap.memory_rss_mb == snap.memory_rss / 1048576
    assert repr(snap) == (
        f"Snapshot(pid={d['pid']}, cpu={d['cpu_percent']:.1f}%, rss={d['memory_rss'] / 1048576:.1f}MB, "
        f"virt={d['memory_virtual'] / 1048576:.1f}MB, threads={d['threads']}, ts={d['timestamp']})"
    )


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_sealed(cls: type) -> None:
    with pytest.raises(TypeError) as raised:
        cls()
    assert str(raised.value) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "builtins"
    assert cls.to_dict.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        cls.extra = 1  # type: ignore[attr-defined]


def test_attributes_are_read_only() -> None:
    metric = one_request()
    with pytest.raises(AttributeError):
        metric.method = "POST"  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del metric.path  # type: ignore[misc]
    with pytest.raises(AttributeError):
        metric.colour = "red"  # type: ignore[attr-defined]
    assert metric.method == "GET"
    agg = _core.aggregate()
    with pytest.raises(AttributeError):
        agg.total_requests = 5  # type: ignore[misc]
    snap = _core.snapshot()
    with pytest.raises(AttributeError):
        snap.memory_rss_mb = 1.0  # type: ignore[misc]


def test_copies_are_new_objects_with_identity_equality() -> None:
    one_request()
    first, second = _core.get_requests()[0], _core.get_requests()[0]
    assert first is not second
    assert first != second
    assert first.to_dict() == second.to_dict()
    assert hash(first) != hash(second)
    _core.clear_requests()
    assert first.path == "/users"  # detached from the store


def test_method_of_one_class_rejects_another() -> None:
    agg = _core.aggregate()
    with pytest.raises(TypeError):
        _core.RequestMetric.to_dict(agg)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        _core.Snapshot.__repr__(agg)  # type: ignore[arg-type]


def test_instances_hold_and_release_their_type() -> None:
    one_request()
    gc.collect()
    before = [sys.getrefcount(cls) for cls in CLASSES]
    held = [_core.get_requests()[0] for _ in range(100)]
    held += [_core.aggregate() for _ in range(100)]
    held += [_core.snapshot() for _ in range(100)]
    assert [sys.getrefcount(cls) for cls in CLASSES] == [b + 100 for b in before]
    del held
    gc.collect()
    assert [sys.getrefcount(cls) for cls in CLASSES] == before
