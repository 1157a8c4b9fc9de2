"""The shard directory after 1,000 recycled workers: its files and the cost of a merge.

Setup: this process selects a vornik shard directory and sets PROMETHEUS_MULTIPROC_DIR
before prometheus_client is imported. Then 1,000 times in a row it forks a short-lived
worker that records a few requests (record_request, and one Counter.inc() plus one
Histogram.observe() each in prometheus_client) and exits, as a server that recycles its
workers does. Every 20 recycles this process merges once, as a scraper's requests would
make some worker do. At the end 4 workers stay alive (blocked on a pipe) beside this
process, which records too.

vornik: a merge folds the shards of gone workers into the retained totals and deletes
them, so the directory holds the live workers' shards and two files of ours.
prometheus_client keeps every worker's files (one counter and one histogram file per
process) for good: deleting them would make its counters go back.

Timed: `aggregate()` against `MultiProcessCollector(registry).collect()` over those
directories, after both report the same totals. The file counts are printed.
"""

from __future__ import annotations

import os
from collections.abc import Iterator

from bench_merge import REQUESTS_PER_WORKER, live_workers, record_some
from runner import Comparison, Ratio, Statement, case, multiprocess_directories

RECYCLES = 1000
SCRAPE_EVERY = 20
LIVE_WORKERS = 4


@case
def merge_recycled() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        from prometheus_client import CollectorRegistry
        from prometheus_client.multiprocess import MultiProcessCollector

        import vornik._core as vk

        vk.set_multiproc_dir(vrk_dir)
        for recycle in range(RECYCLES):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    record_some(vk, vrk_dir)
                    status = 0
                finally:
                    os._exit(status)
            _, status = os.waitpid(pid, 0)
            if status != 0:
                raise RuntimeError(f"recycled worker {recycle} failed: {status}")
            if recycle % SCRAPE_EVERY == SCRAPE_EVERY - 1:
                vk.aggregate()

        with live_workers(vk, vrk_dir, LIVE_WORKERS):
            record_some(vk, vrk_dir)
            workers = RECYCLES + LIVE_WORKERS + 1
            collector = MultiProcessCollector(CollectorRegistry(), path=prom_dir)
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
            expected = workers * REQUESTS_PER_WORKER
            assert totals == dict.fromkeys(
                ("bench_requests_total", "bench_request_latency_seconds_count"), expected
            ), totals
            vrk_files = sorted(os.listdir(vrk_dir))
            prom_files = os.listdir(prom_dir)
            shards = [name for name in vrk_files if name.endswith(".shard")]
            assert len(shards) == LIVE_WORKERS + 1, vrk_files

            namespace = {"aggregate": vk.aggregate, "collector": collector}
            vornik = Statement(f"vornik aggregate() over {len(vrk_files)} files", "aggregate()", namespace)
            exporter = Statement(
                f"prometheus_client MultiProcessCollector.collect() over {len(prom_files)} files",
                "collector.collect()",
                namespace,
            )
            others = ", ".join(n for n in vrk_files if n not in shards)
            yield Comparison(
                f"merge after {RECYCLES} recycled workers: aggregate() vs "
                "MultiProcessCollector.collect()",
                unit="us",
                ratios=[Ratio(f"merge after {RECYCLES} recycled workers", vornik, exporter, 0.1)],
                notes=[
                    f"vornik directory: {len(vrk_files)} files ({len(shards)} live shards + {others})",
                    f"prometheus_client directory: {len(prom_files)} files",
                    f"{RECYCLES} recycled workers + {LIVE_WORKERS} live + this process, "
                    f"{REQUESTS_PER_WORKER} requests each; a merge every {SCRAPE_EVERY} recycles "
                    "while recycling",
                ],
            )
