"""Cost of one record_request call with shard aggregation off.

vornik: `record_request("GET", "/users", 200, 12.5)` exactly as a middleware calls
it, with the store at its default capacity (10000) and already full, so every call
also evicts the oldest record: the steady state of a long-running server.

Baseline: prometheus_client in its ordinary single-process mode, one
`Counter.inc()` plus one `Histogram.observe(0.0125)` (default buckets), the pair a
middleware built on prometheus_client runs per request. Both metrics are created with
`registry=None`, so no global registry is involved.

Second baseline: a native function that binds and converts the same four arguments
through the same code as record_request and records nothing (noop_record.cpp, compiled
here with the Release flags of the extension against the same limited API). The ratio
is what recording costs on top of the call itself.

Usage: python benchmarks/bench_record_request.py
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sysconfig
import tempfile
from pathlib import Path
from types import ModuleType

import _harness as h

TARGET = 0.10
TARGET_OVER_NOOP = 2.5
REPO = Path(__file__).resolve().parent.parent


def build_noop(work: str) -> ModuleType:
    """Compiles the no-op baseline into `work` and imports it."""
    target = Path(work) / "_noop_record.abi3.so"
    command = [
        os.environ.get("CXX", "c++"), "-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-shared",
        "-fvisibility=hidden", "-DPy_LIMITED_API=0x030A0000",
        f"-I{sysconfig.get_paths()['include']}", f"-I{REPO / 'src'}",
        str(REPO / "benchmarks" / "noop_record.cpp"), str(REPO / "src" / "arguments.cpp"),
        "-o", str(target),
    ]  # fmt: skip
    subprocess.run(command, check=True)
    found = importlib.util.spec_from_file_location("_noop_record", target)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


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
    compare_with_noop(vk)


def compare_with_noop(vk: ModuleType) -> None:
    with tempfile.TemporaryDirectory(prefix="bench-noop-") as work:
        noop = build_noop(work)
        namespace = {"record_request": vk.record_request, "record_nothing": noop.record_nothing}
        # Both convert the same arguments and reject the same mistakes.
        noop.record_nothing("GET", "/users", 200, 12.5)
        for bad in (("GET", "/users", "200", 12.5), ("GET", "/users", 70000, 12.5)):
            for function in (vk.record_request, noop.record_nothing):
                try:
                    function(*bad)
                except (TypeError, OverflowError):
                    continue
                raise AssertionError(f"{function} accepted {bad}")
        h.print_header("record_request, shard aggregation off, against a no-op native function")
        print("  " + h.describe_machine())
        candidate, baseline = h.compare_timers(
            ('vornik record_request("GET", "/users", 200, 12.5)',
             h.make_timer('record_request("GET", "/users", 200, 12.5)', namespace=namespace)),
            ("no-op native function converting the same arguments",
             h.make_timer('record_nothing("GET", "/users", 200, 12.5)', namespace=namespace)),
        )
    h.report(h.Comparison(
        benchmark="record_request_over_noop",
        title="record_request, shards off, over a no-op",
        candidate=candidate,
        baseline=baseline,
        target=TARGET_OVER_NOOP,
        unit="ns",
        notes=[
            f"timeit's empty loop costs {h.loop_overhead() * 1e9:.1f} ns/iteration, "
            "included once on both sides"
        ],
    ))


if __name__ == "__main__":
    main()
