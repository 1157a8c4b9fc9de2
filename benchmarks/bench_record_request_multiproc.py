"""Cost of one record_request call with shard aggregation on.

vornik: `set_multiproc_dir(<temp dir>)`, then `record_request("GET", "/users", 200,
12.5)`; each call adds the request to this process's shard file (atomic updates of
the shared mapping) and to the full, evicting in-memory store of default capacity.

Baseline: prometheus_client in multiprocess mode (PROMETHEUS_MULTIPROC_DIR set to a
temp dir before prometheus_client is imported), one `Counter.inc()` plus one
`Histogram.observe(0.0125)`, both written to its per-process mmap files.

Both run in this one process, alternating repeats. Temp dirs are removed at the end.

Usage: python benchmarks/bench_record_request_multiproc.py
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

import _harness as h

TARGET = 0.06


def main() -> None:
    if "prometheus_client" in sys.modules:
        raise RuntimeError("prometheus_client must be imported after PROMETHEUS_MULTIPROC_DIR is set")
    h.clean_environment()
    vrk_dir = tempfile.mkdtemp(prefix="bench-vrk-")
    prom_dir = tempfile.mkdtemp(prefix="bench-prom-")
    try:
        os.environ["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
        run(vrk_dir, prom_dir)
    finally:
        try:
            import prometheus_client.values
            prometheus_client.values.close_all_multiprocess_files()
        except (ImportError, AttributeError):
            pass
        shutil.rmtree(vrk_dir, ignore_errors=True)
        shutil.rmtree(prom_dir, ignore_errors=True)


def run(vrk_dir: str, prom_dir: str) -> None:
    import prometheus_client
    from prometheus_client import Counter, Histogram

    import vornik._core as vk

    assert prometheus_client.values.ValueClass._multiprocess
    vk.set_multiproc_dir(vrk_dir)
    assert vk.multiproc_enabled()
    vk.clear_requests()
    capacity = vk.get_max_requests()
    for i in range(capacity + 1000):
        vk.record_request("GET", "/users", 200, 12.5)

    counter = Counter("bench_requests", "Requests handled", registry=None)
    histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
    namespace = {
        "record_request": vk.record_request,
        "requests": counter,
        "latency": histogram,
    }
    # Both sides really write where they should.
    counter.inc()
    histogram.observe(0.0125)
    assert sorted(os.listdir(prom_dir)) == [f"counter_{os.getpid()}.db", f"histogram_{os.getpid()}.db"]
    assert os.listdir(vrk_dir) == [f"vrk-{os.getpid()}.shard"]

    h.print_header("record_request, shard aggregation on, full store of %d (evicting)" % capacity)
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        ('vornik record_request("GET", "/users", 200, 12.5), shards on',
         h.make_timer('record_request("GET", "/users", 200, 12.5)', namespace=namespace)),
        ("prometheus_client multiprocess Counter.inc() + Histogram.observe()",
         h.make_timer("requests.inc(); latency.observe(0.0125)", namespace=namespace)),
    )
    overhead = h.loop_overhead()
    merged = vk.aggregate()  # the merged path: this process's shard only
    assert merged.total_requests > capacity
    h.report(h.Comparison(
        benchmark="record_request_multiproc",
        title="record_request, shards on",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="ns",
        notes=[
            f"timeit's empty loop costs {overhead * 1e9:.1f} ns/iteration, included once on both sides",
            f"own shard counted {merged.total_requests:,} requests",
        ],
    ))


if __name__ == "__main__":
    main()
