"""Cost of merging the shards of 64 live worker processes.

Setup: this process forks 63 workers. Each worker selects the same vornik shard directory
(`set_multiproc_dir`), records a few requests, does the same with prometheus_client in
multiprocess mode (one Counter.inc() and one Histogram.observe() per request, into its
own PROMETHEUS_MULTIPROC_DIR files), says it is ready through a pipe and then blocks on a
second pipe until this process closes it. This process is the 64th worker and records in
the same way. So both directories hold the files of the same 64 live processes: 64 vornik
shards, and 64 counter plus 64 histogram files for prometheus_client.

vornik: `aggregate()` in this process; with a shard directory set, every call lists the
directory, maps each shard, checks its writer is alive and sums it.

Baseline: `MultiProcessCollector(registry).collect()` over the prometheus_client
directory, which reads and merges all its files on every call.

Every worker is waited for and both directories are removed at the end, also on error.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from types import ModuleType

from runner import Comparison, Ratio, Statement, case, multiprocess_directories

PROCESSES = 64
REQUESTS_PER_WORKER = 5


def record_some(vk: ModuleType, vrk_dir: str) -> None:
    """What each of the 64 processes does before the timing starts."""
    from prometheus_client import Counter, Histogram

    vk.set_multiproc_dir(vrk_dir)
    counter = Counter("bench_requests", "Requests handled", registry=None)
    histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
    for i in range(REQUESTS_PER_WORKER):
        duration_ms = 3.0 + 7.5 * i
        vk.record_request("GET", "/users", 500 if i == 0 else 200, duration_ms)
        counter.inc()
        histogram.observe(duration_ms / 1000.0)


@contextmanager
def live_workers(vk: ModuleType, vrk_dir: str, count: int) -> Iterator[None]:
    """`count` forked workers that have recorded and stay alive until the block ends."""
    children: list[int] = []
    ready_r, ready_w = os.pipe()
    release_r, release_w = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        for _ in range(count):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    os.close(release_w)
                    os.close(ready_r)
                    record_some(vk, vrk_dir)
                    os.write(ready_w, b"r")
                    # Once every worker has closed its end, a worker that died early shows as EOF.
                    os.close(ready_w)
                    os.read(release_r, 1)  # returns at EOF, when the parent closes its end
                    status = 0
                finally:
                    os._exit(status)
            children.append(pid)
        os.close(ready_w)
        os.close(release_r)
        ready = 0
        while ready < len(children):
            chunk = os.read(ready_r, 64)
            if not chunk:
                raise RuntimeError(f"only {ready} of {len(children)} workers got ready")
            ready += len(chunk)
        os.close(ready_r)
        yield
    finally:
        os.close(release_w)  # every worker's read returns, and it exits
        reap(children)


def reap(children: list[int], timeout_s: float = 10.0) -> None:
    deadline = time.monotonic() + timeout_s
    pending = set(children)
    while pending and time.monotonic() < deadline:
        for pid in list(pending):
            done, _ = os.waitpid(pid, os.WNOHANG)
            if done:
                pending.discard(pid)
        if pending:
            time.sleep(0.01)
    for pid in pending:  # one that did not leave by itself
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


@case
def merge() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        from prometheus_client import CollectorRegistry
        from prometheus_client.multiprocess import MultiProcessCollector

        import vornik._core as vk

        with live_workers(vk, vrk_dir, PROCESSES - 1):
            record_some(vk, vrk_dir)
            shards = [name for name in os.listdir(vrk_dir) if name.startswith("vrk-") and name.endswith(".shard")]
            prom_files = [name for name in os.listdir(prom_dir) if name.endswith(".db")]
            assert len(shards) == PROCESSES, shards
            assert len(prom_files) == 2 * PROCESSES, prom_files
            collector = MultiProcessCollector(CollectorRegistry(), path=prom_dir)

            # Both sides see every request of every worker.
            merged = vk.aggregate()
            assert merged.total_requests == PROCESSES * REQUESTS_PER_WORKER, merged
            assert merged.total_errors == PROCESSES, merged
            totals = {
                sample.name: sample.value
                for metric in collector.collect()
                for sample in metric.samples
                if sample.name in ("bench_requests_total", "bench_request_latency_seconds_count")
            }
            assert totals == dict.fromkeys(
                ["bench_requests_total", "bench_request_latency_seconds_count"], PROCESSES * REQUESTS_PER_WORKER
            ), totals

            namespace = {"aggregate": vk.aggregate, "collector": collector}
            vornik = Statement(f"vornik aggregate() over {PROCESSES} shards", "aggregate()", namespace)
            exporter = Statement(
                f"prometheus_client MultiProcessCollector.collect() over {2 * PROCESSES} files",
                "collector.collect()",
                namespace,
            )
            yield Comparison(
                f"merge of {PROCESSES} live shards: aggregate() vs MultiProcessCollector.collect()",
                unit="us",
                ratios=[Ratio(f"merge of {PROCESSES} live shards", vornik, exporter, 0.1)],
                notes=[
                    lambda: f"vornik {vornik.best() / PROCESSES * 1e6:.2f} us per shard; "
                    f"prometheus_client {exporter.best() / PROCESSES * 1e6:.2f} us per process "
                    "(one counter file + one histogram file)",
                    f"{PROCESSES} processes ({PROCESSES - 1} forked workers + this one), "
                    f"{REQUESTS_PER_WORKER} requests each",
                ],
            )
            # No shard was lost or deleted on the way: all writers are still alive.
            assert len(os.listdir(vrk_dir)) == PROCESSES
