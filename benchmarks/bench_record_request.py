"""Cost of one record_request call with shard aggregation off.

vornik: `record_request("GET", "/users", 200, 12.5)` exactly as a middleware calls
it, with the store at its default capacity (10000) and already full, so every call
also evicts the oldest record: the steady state of a long-running server.

Baseline: prometheus_client in its ordinary single-process mode, one
`Counter.inc()` plus one `Histogram.observe(0.0125)` (default buckets), the pair a
middleware built on prometheus_client runs per request. Both metrics are created with
`registry=None`, so no global registry is involved.

Usage: python benchmarks/bench_record_request.py
"""

from __future__ import annotations

import _harness as h

TARGET = 0.10


def main() -> None:
    h.clean_environment()
    import prometheus_client
    from prometheus_client import Counter, Histogram

    import vornik._core as vk

    assert not prometheus_client.values.ValueClass._multiprocess
    vk.set_multiproc_dir(None)
    assert not vk.multiproc_enabled()
    vk.clear_requests()
    capacity = vk.get_max_requests()
    # Fill the store, and then some, so that the ring has reached its final size and
    # each timed call evicts one record.
    for i in range(capacity + 1000):
        vk.record_request("GET", "/users", 200, 12.5)
    assert len(vk.get_requests()) == capacity

    counter = Counter("bench_requests", "Requests handled", registry=None)
    histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
    namespace = {
        "record_request": vk.record_request,
        "requests": counter,
        "latency": histogram,
    }

    h.print_header("record_request, shard aggregation off, full store of %d (evicting)" % capacity)
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        ('vornik record_request("GET", "/users", 200, 12.5)',
         h.make_timer('record_request("GET", "/users", 200, 12.5)', namespace=namespace)),
        ("prometheus_client Counter.inc() + Histogram.observe()",
         h.make_timer("requests.inc(); latency.observe(0.0125)", namespace=namespace)),
    )
    overhead = h.loop_overhead()
    # The store stayed at capacity and the counters moved on.
    assert len(vk.get_requests()) == capacity
    h.report(h.Comparison(
        benchmark="record_request",
        title="record_request, shards off",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="ns",
        notes=[
            f"timeit's empty loop costs {overhead * 1e9:.1f} ns/iteration, included once on both sides",
            f"store capacity {capacity}, {vk.aggregate().total_requests:,} requests recorded in all",
        ],
    ))


if __name__ == "__main__":
    main()
