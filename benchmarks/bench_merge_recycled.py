"""The shard directory after 1,000 recycled workers: its files and the cost of a merge.

Setup: this process selects a vornik shard directory and sets
PROMETHEUS_MULTIPROC_DIR before prometheus_client is imported. Then 1,000 times in a
row it forks a short-lived worker that records a few requests (record_request, and one
Counter.inc() plus one Histogram.observe() each in prometheus_client) and exits, as a
server that recycles its workers does. Every 20 recycles this process merges once, as a
scraper's requests would make some worker do. At the end 4 workers stay alive (blocked
on a pipe) beside this process, which records too.

vornik: a merge folds the shards of gone workers into the retained totals and deletes
them, so the directory holds the live workers' shards and two files of ours.
prometheus_client keeps every worker's files (one counter and one histogram file per
process) for good: deleting them would make its counters go back.

Timed: `aggregate()` against `MultiProcessCollector(registry).collect()` over those
directories, after both report the same totals. The file counts are printed.

Usage: python benchmarks/bench_merge_recycled.py
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

import _harness as h
from bench_merge import REQUESTS_PER_WORKER, reap, record_some, wait_ready, worker

TARGET = 0.1
RECYCLES = 1000
SCRAPE_EVERY = 20
LIVE_WORKERS = 4


def main() -> None:
    if "prometheus_client" in sys.modules:
        raise RuntimeError(
            "prometheus_client must be imported after PROMETHEUS_MULTIPROC_DIR is set"
        )
    h.clean_environment()
    vrk_dir = tempfile.mkdtemp(prefix="bench-vrk-recycled-")
    prom_dir = tempfile.mkdtemp(prefix="bench-prom-recycled-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
    live: list[int] = []
    release_w = -1
    try:
        import vornik._core as vk
        from prometheus_client import Counter, Histogram

        vk.set_multiproc_dir(vrk_dir)
        counter = Counter("bench_requests", "Requests handled", registry=None)
        histogram = Histogram("bench_request_latency_seconds", "Request latency", registry=None)
        sys.stdout.flush()
        sys.stderr.flush()
        for recycle in range(RECYCLES):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    record_some(vk, counter, histogram)
                    status = 0
                finally:
                    os._exit(status)
            _, status = os.waitpid(pid, 0)
            if status != 0:
                raise RuntimeError(f"recycled worker {recycle} failed: {status}")
            if recycle % SCRAPE_EVERY == SCRAPE_EVERY - 1:
                vk.aggregate()

        ready_r, ready_w = os.pipe()
        release_r, release_w = os.pipe()
        for _ in range(LIVE_WORKERS):
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
            live.append(pid)
        os.close(ready_w)
        os.close(release_r)
        wait_ready(ready_r, LIVE_WORKERS)
        record_some(vk, counter, histogram)
        run(vk, vrk_dir, prom_dir)
    finally:
        if release_w >= 0:
            os.close(release_w)
        reap(live)
        try:
            import prometheus_client.values

            prometheus_client.values.close_all_multiprocess_files()
        except (ImportError, AttributeError):
            pass
        shutil.rmtree(vrk_dir, ignore_errors=True)
        shutil.rmtree(prom_dir, ignore_errors=True)


def run(vk, vrk_dir: str, prom_dir: str) -> None:
    from prometheus_client import CollectorRegistry
    from prometheus_client.multiprocess import MultiProcessCollector

    workers = RECYCLES + LIVE_WORKERS + 1
    registry = CollectorRegistry()
    collector = MultiProcessCollector(registry, path=prom_dir)
    # Both sides count every request of every worker, gone or alive.
    merged = vk.aggregate()
    assert merged.total_requests == workers * REQUESTS_PER_WORKER, merged
    assert merged.total_errors == workers, merged
    totals = {
        sample.name: sample.value
        for metric in collector.collect()
        for sample in metric.samples
        if sample.name in ("bench_requests_total", "bench_request_latency_seconds_count")
    }
    assert totals == dict.fromkeys(("bench_requests_total", "bench_request_latency_seconds_count"),
                                   workers * REQUESTS_PER_WORKER), totals  # fmt: skip
    vrk_files = sorted(os.listdir(vrk_dir))
    prom_files = os.listdir(prom_dir)
    shards = [name for name in vrk_files if name.endswith(".shard")]
    assert len(shards) == LIVE_WORKERS + 1, vrk_files

    namespace = {"aggregate": vk.aggregate, "collector": collector}
    h.print_header(
        f"merge after {RECYCLES} recycled workers: aggregate() vs MultiProcessCollector.collect()"
    )
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        (
            f"vornik aggregate() over {len(vrk_files)} files",
            h.make_timer("aggregate()", namespace=namespace),
        ),
        (
            f"prometheus_client MultiProcessCollector.collect() over {len(prom_files)} files",
            h.make_timer("collector.collect()", namespace=namespace),
        ),
    )
    h.report(
        h.Comparison(
            benchmark="merge_recycled",
            title=f"merge after {RECYCLES} recycled workers",
            candidate=candidate,
            baseline=baseline,
            target=TARGET,
            unit="us",
            notes=[
                f"vornik directory: {len(vrk_files)} files ({len(shards)} live shards + "
                f"{', '.join(n for n in vrk_files if n not in shards)})",
                f"prometheus_client directory: {len(prom_files)} files",
                f"{RECYCLES} recycled workers + {LIVE_WORKERS} live + this process, "
                f"{REQUESTS_PER_WORKER} requests each; a merge every {SCRAPE_EVERY} recycles "
                "while recycling",
            ],
        )
    )


if __name__ == "__main__":
    main()
