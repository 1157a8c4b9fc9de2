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
The workers, the checks and the two sides are shared with bench_merge_recycled.py.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import ModuleType
from typing import TYPE_CHECKING

from runner import Comparison, Ratio, Statement, case, multiprocess_directories

if TYPE_CHECKING:
    from prometheus_client.multiprocess import MultiProcessCollector

PROCESSES = 64
REQUESTS_PER_WORKER = 5
# What prometheus_client counts of them: the requests, and the observed latencies.
COUNTS = ("bench_requests_total", "bench_request_latency_seconds_count")


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


def fork_worker(work: Callable[[], None]) -> int:
    """A child process that runs `work` and exits: status 0 if it returned, 1 if it raised."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            work()
            status = 0
        finally:
            os._exit(status)
    return pid


@contextmanager
def live_workers(
    vk: ModuleType,
    vrk_dir: str,
    count: int,
    record: Callable[[ModuleType, str], None] = record_some,
) -> Iterator[None]:
    """`count` forked workers that have recorded (`record`) and stay alive until the block
    ends."""
    children: list[int] = []
    ready_r, ready_w = os.pipe()
    release_r, release_w = os.pipe()

    def work() -> None:
        os.close(release_w)
        os.close(ready_r)
        record(vk, vrk_dir)
        os.write(ready_w, b"r")
        # Once every worker has closed its end, a worker that died early shows as EOF.
        os.close(ready_w)
        os.read(release_r, 1)  # returns at EOF, when the parent closes its end

    sys.stdout.flush()
    sys.stderr.flush()
    try:
        children.extend(fork_worker(work) for _ in range(count))
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


def shard_files(vrk_dir: str) -> list[str]:
    return sorted(
        name for name in os.listdir(vrk_dir) if name.startswith("vrk-") and name.endswith(".shard")
    )


def check_totals(vk: ModuleType, collector: MultiProcessCollector, processes: int) -> None:
    """Both sides count every request of `processes` processes that ran record_some."""
    merged = vk.aggregate()
    assert merged.total_requests == processes * REQUESTS_PER_WORKER, merged
    assert merged.total_errors == processes, merged
    totals = {
        sample.name: sample.value
        for metric in collector.collect()
        for sample in metric.samples
        if sample.name in COUNTS
    }
    assert totals == dict.fromkeys(COUNTS, processes * REQUESTS_PER_WORKER), totals


def merge_sides(
    vk: ModuleType, collector: MultiProcessCollector, shards: str, files: str
) -> tuple[Statement, Statement]:
    """vornik's merge against prometheus_client's, over directories of `shards` and `files`."""
    namespace = {"aggregate": vk.aggregate, "collector": collector}
    return (
        Statement(f"vornik aggregate() over {shards}", "aggregate()", namespace),
        Statement(
            f"prometheus_client MultiProcessCollector.collect() over {files}",
            "collector.collect()",
            namespace,
        ),
    )


@case
def merge() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        import vornik._core as vk
        from prometheus_client import CollectorRegistry
        from prometheus_client.multiprocess import MultiProcessCollector

        with live_workers(vk, vrk_dir, PROCESSES - 1):
            record_some(vk, vrk_dir)
            prom_files = [name for name in os.listdir(prom_dir) if name.endswith(".db")]
            assert len(shard_files(vrk_dir)) == PROCESSES, os.listdir(vrk_dir)
            assert len(prom_files) == 2 * PROCESSES, prom_files
            collector = MultiProcessCollector(CollectorRegistry(), path=prom_dir)
            check_totals(vk, collector, PROCESSES)

            vornik, exporter = merge_sides(
                vk, collector, f"{PROCESSES} shards", f"{2 * PROCESSES} files"
            )
            yield Comparison(
                f"merge of {PROCESSES} live shards: aggregate() vs MultiProcessCollector.collect()",
                unit="us",
                ratios=[Ratio(f"merge of {PROCESSES} live shards", vornik, exporter, 0.1)],
                notes=[
                    lambda: (
                        f"vornik {vornik.best() / PROCESSES * 1e6:.2f} us per shard; "
                        f"prometheus_client {exporter.best() / PROCESSES * 1e6:.2f} us per process "
                        "(one counter file + one histogram file)"
                    ),
                    f"{PROCESSES} processes ({PROCESSES - 1} forked workers + this one), "
                    f"{REQUESTS_PER_WORKER} requests each",
                ],
            )
            # No shard was lost or deleted on the way: all writers are still alive.
            assert len(os.listdir(vrk_dir)) == PROCESSES
