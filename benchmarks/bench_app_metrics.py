"""Cost of the application's own metrics (vornik.metrics) against prometheus_client's
multiprocess mode, on the hot path and at a scrape.

`app_metrics_calls`: with a shard directory set on both sides, one `Counter.inc()`, one
`Histogram.observe(0.0125)` (default buckets) and one
`Counter.labels("GET", "/users").inc()` of a counter with two labels. prometheus_client
writes each value into its per-process mmap file under a lock; vornik into this
worker's metrics file.

`app_metrics_scrape`: 64 live processes (63 forked workers and this one), each with 50
metrics of 10 label sets: 20 counters, 20 gauges (mode `sum` on both sides) and 10
histograms with the default buckets. vornik: `metrics_document()`, the whole document the
middlewares serve, application metrics included. Baseline: `generate_latest` of a
registry holding `MultiProcessCollector` over the same metrics' files.

`app_metrics_recycled`: the directories after 1,000 workers that each counted into a
labelled counter and a histogram and exited, one after the other: vornik folds gone
workers into its retained totals, prometheus_client keeps a file per type and pid. The
scrape time over each, with the number of files printed.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from types import ModuleType

from bench_merge import fork_worker, live_workers, reap
from runner import Comparison, Ratio, Statement, case, multiprocess_directories

PROCESSES = 64
COUNTERS, GAUGES, HISTOGRAMS = 20, 20, 10
LABEL_SETS = 10
RECYCLED = 1000


@case
def app_metrics_calls() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, _):
        import vornik._core as vk
        import vornik.metrics as vm
        from prometheus_client import Counter, Histogram

        vk.set_multiproc_dir(vrk_dir)
        namespace = {
            "counter": vm.Counter("bench_jobs", "Jobs"),
            "histogram": vm.Histogram("bench_job_seconds", "Job durations"),
            "labelled": vm.Counter("bench_calls", "Calls", ["method", "route"]),
            "client_counter": Counter("bench_jobs", "Jobs", registry=None),
            "client_histogram": Histogram("bench_job_seconds", "Job durations", registry=None),
            "client_labelled": Counter("bench_calls", "Calls", ["method", "route"], registry=None),
        }
        sides = {
            name: (
                Statement(f"vornik {code}", code, namespace),
                Statement(f"prometheus_client {code}", "client_" + code, namespace),
            )
            for name, code in (
                ("inc", "counter.inc()"),
                ("observe", "histogram.observe(0.0125)"),
                ("labels", 'labelled.labels("GET", "/users").inc()'),
            )
        }
        yield Comparison(
            "application metrics per call, multiprocess on both sides",
            unit="ns",
            ratios=[
                Ratio("Counter.inc()", *sides["inc"], 0.05),
                Ratio("Histogram.observe()", *sides["observe"], 0.05),
                Ratio(".labels(...).inc()", *sides["labels"], 0.1),
            ],
        )


def declare_and_count(vk: ModuleType, vrk_dir: str) -> None:
    """What each of the 64 processes does before the scrape is timed: the same metrics
    and values in both libraries."""
    import vornik.metrics as vm
    from prometheus_client import Counter, Gauge, Histogram

    vk.set_multiproc_dir(vrk_dir)
    labels = ("kind",)
    for i in range(COUNTERS):
        ours = vm.Counter(f"bench_count_{i}", "A counter", labels)
        theirs = Counter(f"bench_count_{i}", "A counter", labels, registry=None)
        for j in range(LABEL_SETS):
            ours.labels(f"k{j}").inc(j)
            theirs.labels(f"k{j}").inc(j)
    for i in range(GAUGES):
        ours_gauge = vm.Gauge(f"bench_level_{i}", "A gauge", labels, multiprocess_mode="sum")
        theirs_gauge = Gauge(
            f"bench_level_{i}", "A gauge", labels, registry=None, multiprocess_mode="sum"
        )
        for j in range(LABEL_SETS):
            ours_gauge.labels(f"k{j}").set(j)
            theirs_gauge.labels(f"k{j}").set(j)
    for i in range(HISTOGRAMS):
        ours_histogram = vm.Histogram(f"bench_seconds_{i}", "A histogram", labels)
        theirs_histogram = Histogram(f"bench_seconds_{i}", "A histogram", labels, registry=None)
        for j in range(LABEL_SETS):
            ours_histogram.labels(f"k{j}").observe(j / 100)
            theirs_histogram.labels(f"k{j}").observe(j / 100)


def scrape_sides(prom_dir: str, what: str) -> tuple[Statement, Statement]:
    from prometheus_client import CollectorRegistry, generate_latest
    from prometheus_client.multiprocess import MultiProcessCollector
    from vornik import _routes

    registry = CollectorRegistry()
    MultiProcessCollector(registry, path=prom_dir)
    ours, theirs = _routes.metrics_document(), generate_latest(registry).decode()
    # Both sides see every worker's counts.
    total = 'bench_count_3_total{kind="k7"}'
    assert f"{total} {7 * PROCESSES if what == 'live' else 7 * RECYCLED}" in ours, ours[-2000:]
    assert f"{total} {7.0 * (PROCESSES if what == 'live' else RECYCLED)}" in theirs
    return (
        Statement(f"vornik metrics_document() over {what}", _routes.metrics_document),
        Statement(
            f"prometheus_client MultiProcessCollector + generate_latest over {what}",
            lambda: generate_latest(registry),
        ),
    )


@case
def app_metrics_scrape() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        import vornik._core as vk

        with live_workers(vk, vrk_dir, PROCESSES - 1, declare_and_count):
            declare_and_count(vk, vrk_dir)
            vornik, client = scrape_sides(prom_dir, "live")
            yield Comparison(
                f"a scrape over {PROCESSES} workers x {COUNTERS + GAUGES + HISTOGRAMS} metrics "
                f"x {LABEL_SETS} label sets",
                unit="us",
                ratios=[Ratio("scrape", vornik, client, 0.05)],
                repeat=5,
            )


def recycled_worker(vrk_dir: str) -> None:
    import vornik._core as vk
    import vornik.metrics as vm
    from prometheus_client import Counter, Histogram

    vk.set_multiproc_dir(vrk_dir)
    ours = vm.Counter("bench_count_3", "A counter", ["kind"])
    theirs = Counter("bench_count_3", "A counter", ["kind"], registry=None)
    ours.labels("k7").inc(7)
    theirs.labels("k7").inc(7)
    vm.Histogram("bench_seconds", "A histogram").observe(0.2)
    Histogram("bench_seconds", "A histogram", registry=None).observe(0.2)


@case
def app_metrics_recycled() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        import vornik._core as vk

        vk.set_multiproc_dir(vrk_dir)
        # Imported once here, not in each of the thousand workers.
        import prometheus_client  # noqa: F401
        import vornik.metrics  # noqa: F401
        from vornik import _routes

        for _ in range(RECYCLED // 50):
            reap([fork_worker(lambda: recycled_worker(vrk_dir)) for _ in range(50)])
            _routes.metrics_document()  # the scrapes between recycles fold the gone ones
        vornik, client = scrape_sides(prom_dir, "recycled")
        files = len(os.listdir(vrk_dir)), len(os.listdir(prom_dir))
        yield Comparison(
            f"a scrape after {RECYCLED} recycled workers",
            unit="us",
            ratios=[Ratio("scrape after recycles", vornik, client, None)],
            notes=[f"files in the directory: vornik {files[0]}, prometheus_client {files[1]}"],
        )
