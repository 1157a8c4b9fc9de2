"""Cost of merging the shards of 64 live worker processes.

Setup: this process forks 63 workers. Each worker selects the same vornik shard
directory (`set_multiproc_dir`), records a few requests, does the same with
prometheus_client in multiprocess mode (one Counter.inc() and one
Histogram.observe() per request, into its own PROMETHEUS_MULTIPROC_DIR files), says
it is ready through a pipe and then blocks on a second pipe until this process
closes it. This process is the 64th worker and records in the same way. So both
directories hold the files of the same 64 live processes: 64 vornik shards, and 64
counter plus 64 histogram files for prometheus_client.

vornik: `aggregate()` in this process; with a shard directory set, every call reads
the retained totals, lists the directory, reads each shard, probes the pid of each
shard of its own user (a gone writer's shard would be folded) and sums them.

Baseline: `MultiProcessCollector(registry).collect()` over the prometheus_client
directory, which reads and merges all its files on every call.

Every worker is waited for and both temp dirs are removed at the end, also on error.

Usage: python benchmarks/bench_merge.py
"""

from __future__ import annotations

import os
import shutil
import signal
import sys
import tempfile
import time

import _harness as h

TARGET = 0.1
PROCESSES = 64
REQUESTS_PER_WORKER = 5


def record_some(vk, counter, histogram) -> None:
    for i in range(REQUESTS_PER_WORKER):
        duration_ms = 3.0 + 7.5 * i
        vk.record_request("GET", "/users", 500 if i == 0 else 200, duration_ms)
        counter.inc()
        histogram.observe(duration_ms / 1000.0)


def worker(vk, vrk_dir: str, ready_w: int, release_r: int) -> None:
    from prometheus_client import Counter, Histogram

    vk.set_multiproc_dir(vrk_dir)
    counter = Counter("bench_requests", "Requests handled", registry=None)
    histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
    record_some(vk, counter, histogram)
    os.write(ready_w, b"r")
    # Once every worker has closed its end, a worker that died early shows as EOF.
    os.close(ready_w)
    os.read(release_r, 1)  # returns at EOF, when the parent closes its end


def main() -> None:
    if "prometheus_client" in sys.modules:
        raise RuntimeError("prometheus_client must be imported after PROMETHEUS_MULTIPROC_DIR is set")
    h.clean_environment()
    vrk_dir = tempfile.mkdtemp(prefix="bench-vrk-merge-")
    prom_dir = tempfile.mkdtemp(prefix="bench-prom-merge-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
    children: list[int] = []
    release_w = -1
    try:
        import vornik._core as vk

        vk.set_multiproc_dir(None)
        ready_r, ready_w = os.pipe()
        release_r, release_w = os.pipe()
        sys.stdout.flush()
        sys.stderr.flush()
        for _ in range(PROCESSES - 1):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    os.close(release_w)
                    os.close(ready_r)
                    worker(vk, vrk_dir, ready_w, release_r)
                    status = 0
                finally:
                    os._exit(status)
            children.append(pid)
        os.close(ready_w)
        os.close(release_r)
        wait_ready(ready_r, len(children))
        run(vk, vrk_dir, prom_dir)
    finally:
        if release_w >= 0:
            os.close(release_w)  # every worker's read returns, and it exits
        reap(children)
        try:
            import prometheus_client.values
            prometheus_client.values.close_all_multiprocess_files()
        except (ImportError, AttributeError):
            pass
        shutil.rmtree(vrk_dir, ignore_errors=True)
        shutil.rmtree(prom_dir, ignore_errors=True)


def wait_ready(ready_r: int, count: int) -> None:
    """Waits for `count` workers to say ready on the pipe, then closes it."""
    ready = 0
    while ready < count:
        chunk = os.read(ready_r, 64)
        if not chunk:
            raise RuntimeError(f"only {ready} of {count} workers got ready")
        ready += len(chunk)
    os.close(ready_r)


def reap(children: list[int], timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
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


def run(vk, vrk_dir: str, prom_dir: str) -> None:
    from prometheus_client import CollectorRegistry, Counter, Histogram
    from prometheus_client.multiprocess import MultiProcessCollector

    vk.set_multiproc_dir(vrk_dir)
    counter = Counter("bench_requests", "Requests handled", registry=None)
    histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
    record_some(vk, counter, histogram)

    shards = [name for name in os.listdir(vrk_dir) if name.startswith("vrk-") and name.endswith(".shard")]
    prom_files = [name for name in os.listdir(prom_dir) if name.endswith(".db")]
    assert len(shards) == PROCESSES, shards
    assert len(prom_files) == 2 * PROCESSES, prom_files

    registry = CollectorRegistry()
    collector = MultiProcessCollector(registry, path=prom_dir)

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
    assert totals == {
        "bench_requests_total": PROCESSES * REQUESTS_PER_WORKER,
        "bench_request_latency_seconds_count": PROCESSES * REQUESTS_PER_WORKER,
    }, totals

    namespace = {"aggregate": vk.aggregate, "collector": collector}
    h.print_header(f"merge of {PROCESSES} live shards: aggregate() vs MultiProcessCollector.collect()")
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        (f"vornik aggregate() over {PROCESSES} shards", h.make_timer("aggregate()", namespace=namespace)),
        (f"prometheus_client MultiProcessCollector.collect() over {2 * PROCESSES} files",
         h.make_timer("collector.collect()", namespace=namespace)),
    )
    # No shard was lost or deleted on the way: all writers are still alive.
    assert len(os.listdir(vrk_dir)) == PROCESSES
    h.report(h.Comparison(
        benchmark="merge",
        title=f"merge of {PROCESSES} live shards",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="us",
        notes=[
            f"vornik {candidate.per_call_s / PROCESSES * 1e6:.2f} us per shard; "
            f"prometheus_client {baseline.per_call_s / PROCESSES * 1e6:.2f} us per process "
            "(one counter file + one histogram file)",
            f"{PROCESSES} processes ({PROCESSES - 1} forked workers + this one), "
            f"{REQUESTS_PER_WORKER} requests each",
        ],
    ))


if __name__ == "__main__":
    main()
