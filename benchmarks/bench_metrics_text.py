"""Cost of rendering the Prometheus document.

vornik: `metrics_text()` on an empty store with shard aggregation off: nine request
metrics from one aggregate, then four process metrics from one process snapshot.

Baseline: `prometheus_client.generate_latest(registry)` over a fresh CollectorRegistry
holding what the same document describes: two counters, seven gauges and
prometheus_client's ProcessCollector (which reads this process's CPU, memory, file
descriptors and start time from /proc).

Usage: python benchmarks/bench_metrics_text.py
"""

from __future__ import annotations

from importlib import metadata

import _harness as h

TARGET = 0.5


def main() -> None:
    h.clean_environment()
    from prometheus_client import CollectorRegistry, Counter, Gauge, ProcessCollector, generate_latest

    import vornik._core as vk

    vk.set_multiproc_dir(None)
    vk.clear_requests()

    registry = CollectorRegistry()
    Counter("app_requests", "Total HTTP requests recorded", registry=registry)
    Counter("app_errors", "Total HTTP errors (status >= 400)", registry=registry)
    for name, text in [
        ("app_error_rate_percent", "HTTP error rate as a percentage"),
        ("app_latency_avg_ms", "Average request latency in milliseconds"),
        ("app_latency_min_ms", "Minimum request latency in milliseconds"),
        ("app_latency_max_ms", "Maximum request latency in milliseconds"),
        ("app_latency_p50_ms", "P50 request latency in milliseconds"),
        ("app_latency_p95_ms", "P95 request latency in milliseconds"),
        ("app_latency_p99_ms", "P99 request latency in milliseconds"),
    ]:
        Gauge(name, text, registry=registry)
    ProcessCollector(registry=registry)

    ours = vk.metrics_text()
    theirs = generate_latest(registry)
    assert ours.count("# TYPE ") == 13

    namespace = {"metrics_text": vk.metrics_text, "generate_latest": generate_latest, "registry": registry}
    h.print_header("metrics_text() on an empty store vs generate_latest()")
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        ("vornik metrics_text()", h.make_timer("metrics_text()", namespace=namespace)),
        ("prometheus_client generate_latest(2 counters, 7 gauges, ProcessCollector)",
         h.make_timer("generate_latest(registry)", namespace=namespace)),
    )
    h.report(h.Comparison(
        benchmark="metrics_text",
        title="metrics_text(), empty store",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="us",
        notes=[
            f"prometheus_client {metadata.version('prometheus_client')}; "
            f"documents of {len(ours)} (vornik) and {len(theirs)} (prometheus_client) bytes",
        ],
    ))


if __name__ == "__main__":
    main()
