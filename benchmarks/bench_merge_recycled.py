"""The shard directory after 1,000 recycled workers: its files and the cost of a merge.

Setup: this process selects a vornik shard directory, with prometheus_client in
multiprocess mode. Then 1,000 times in a row it forks a short-lived worker that records a
few requests on both sides (as the workers of bench_merge.py do) and exits, as a server
that recycles its workers does. Every 20 recycles this process merges once, as a
scraper's requests would make some worker do. At the end 4 workers stay alive (blocked on
a pipe) beside this process, which records too.

vornik: a merge folds the shards of gone workers into the retained totals and deletes
them, so the directory holds the live workers' shards and two files of ours.
prometheus_client keeps every worker's files (one counter and one histogram file per
process) for good: deleting them would make its counters go back.

Timed: `aggregate()` against `MultiProcessCollector(registry).collect()` over those
directories, after both report the same totals. The file counts are printed.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from types import ModuleType

from bench_merge import (
    REQUESTS_PER_WORKER,
    check_totals,
    fork_worker,
    live_workers,
    merge_sides,
    record_some,
    shard_files,
)
from runner import Comparison, Ratio, case, multiprocess_directories

RECYCLES = 1000
SCRAPE_EVERY = 20
LIVE_WORKERS = 4


def recycle(vk: ModuleType, vrk_dir: str) -> None:
    """RECYCLES workers, one after the other, that record and exit; a merge every
    SCRAPE_EVERY of them."""
    sys.stdout.flush()
    sys.stderr.flush()
    for worker in range(RECYCLES):
        _, status = os.waitpid(fork_worker(lambda: record_some(vk, vrk_dir)), 0)
        if status != 0:
            raise RuntimeError(f"recycled worker {worker} failed: wait status {status}")
        if worker % SCRAPE_EVERY == SCRAPE_EVERY - 1:
            vk.aggregate()


@case
def merge_recycled() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        # Imported before the first fork, so that no worker pays for the import.
        import vornik._core as vk
        from prometheus_client import CollectorRegistry
        from prometheus_client.multiprocess import MultiProcessCollector

        vk.set_multiproc_dir(vrk_dir)
        recycle(vk, vrk_dir)
        with live_workers(vk, vrk_dir, LIVE_WORKERS):
            record_some(vk, vrk_dir)
            collector = MultiProcessCollector(CollectorRegistry(), path=prom_dir)
            # Both sides count every request of every worker, gone or alive.
            check_totals(vk, collector, RECYCLES + LIVE_WORKERS + 1)
            vrk_files = sorted(os.listdir(vrk_dir))
            shards = shard_files(vrk_dir)
            assert len(shards) == LIVE_WORKERS + 1, vrk_files
            prom_files = os.listdir(prom_dir)

            vornik, exporter = merge_sides(
                vk, collector, f"{len(vrk_files)} files", f"{len(prom_files)} files"
            )
            yield Comparison(
                f"merge after {RECYCLES} recycled workers: "
                "aggregate() vs MultiProcessCollector.collect()",
                unit="us",
                ratios=[Ratio(f"merge after {RECYCLES} recycled workers", vornik, exporter, 0.1)],
                notes=[
                    f"vornik directory: {len(vrk_files)} files ({len(shards)} live shards + "
                    f"{', '.join(name for name in vrk_files if name not in shards)})",
                    f"prometheus_client directory: {len(prom_files)} files",
                    f"{RECYCLES} recycled workers + {LIVE_WORKERS} live + this process, "
                    f"{REQUESTS_PER_WORKER} requests each; a merge every {SCRAPE_EVERY} recycles "
                    "while recycling",
                ],
            )
            # Merging while every writer lives neither folds nor deletes anything.
            assert sorted(os.listdir(vrk_dir)) == vrk_files
