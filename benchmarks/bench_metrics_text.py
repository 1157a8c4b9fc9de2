"""Cost of rendering the Prometheus document.

vornik: `metrics_text()` on an empty store with shard aggregation off: nine request
metrics from one aggregate, then four process metrics from one process snapshot.

Baseline: `prometheus_client.generate_latest(registry)` over a fresh CollectorRegistry
holding what the same document describes: two counters, seven gauges and
prometheus_client's ProcessCollector (which reads this process's CPU, memory, file
descriptors and start time from /proc).
"""

from __future__ import annotations

from collections.abc import Iterator
from importlib import metadata

from runner import Comparison, Ratio, Statement, case

GAUGES = [
    ("app_error_rate_percent", "HTTP error rate as a percentage"),
    ("app_latency_avg_ms", "Average request latency in milliseconds"),
    ("app_latency_min_ms", "Minimum request latency in milliseconds"),
    ("app_latency_max_ms", "Maximum request latency in milliseconds"),
    ("app_latency_p50_ms", "P50 request latency in milliseconds"),
    ("app_latency_p95_ms", "P95 request latency in milliseconds"),
    ("app_latency_p99_ms", "P99 request latency in milliseconds"),
]


@case
def metrics_text() -> Iterator[Comparison]:
    import vornik._core as vk
    from prometheus_client import (
        CollectorRegistry,
        Counter,
        Gauge,
        ProcessCollector,
        generate_latest,
    )

    registry = CollectorRegistry()
    Counter("app_requests", "Total HTTP requests recorded", registry=registry)
    Counter("app_errors", "Total HTTP errors (status >= 400)", registry=registry)
    for name, text in GAUGES:
        Gauge(name, text, registry=registry)
    ProcessCollector(registry=registry)
    ours, theirs = vk.metrics_text(), generate_latest(registry)
    assert ours.count("# TYPE ") == 13

    namespace = {
        "metrics_text": vk.metrics_text,
        "generate_latest": generate_latest,
        "registry": registry,
    }
    yield Comparison(
        "metrics_text() on an empty store vs generate_latest()",
        unit="us",
        ratios=[
            Ratio(
                "metrics_text(), empty store",
                Statement("vornik metrics_text()", "metrics_text()", namespace),
                Statement(
                    "prometheus_client generate_latest(2 counters, 7 gauges, ProcessCollector)",
                    "generate_latest(registry)",
                    namespace,
                ),  # fmt: skip
                0.5,
            )
        ],
        notes=[
            f"prometheus_client {metadata.version('prometheus_client')}; "
            f"documents of {len(ours)} (vornik) and {len(theirs)} (prometheus_client) bytes",
        ],
    )
