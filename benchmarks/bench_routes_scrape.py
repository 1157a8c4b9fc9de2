"""Cost of one scrape of the route families over 64 workers with 100 series each.

Setup: this process forks 63 workers; each, and this process as the 64th, records the
same 100 series (25 route templates x GET/POST x status 200/500) into one vornik shard
directory, and the same series into prometheus_client in multiprocess mode: a Counter
labelled (method, route, status) and a Histogram labelled (method, route) with the same
bounds, 0.005 ... 10 s. Then the workers block on a pipe, alive, until the end.

vornik: `vornik._routes.metrics_document()`, what the middleware serves: the merge of
all 64 series tables and the rendering of the whole document (the thirteen families
included).

Baseline: `generate_latest(registry)` with a `MultiProcessCollector` over the
prometheus_client directory: the merge of the 64 workers' files and the rendering.

Usage: python benchmarks/bench_routes_scrape.py
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

import _harness as h
from bench_merge import reap

TARGET = 0.05
PROCESSES = 64
ROUTES = [f"/api/v1/resource{i}/{{id}}" for i in range(25)]
BOUNDS = (0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1, 2.5, 5, 7.5, 10)


def record_series(routes, counter, histogram) -> None:
    for i, route in enumerate(ROUTES):
        for method in ("GET", "POST"):
            for status in (200, 500):
                duration_ms = 3.0 + 11.0 * i
                routes.record_request(method, route.replace("{id}", "7"), status, duration_ms, route)
                counter.labels(method, route, str(status)).inc()
                histogram.labels(method, route).observe(duration_ms / 1000.0)


def worker(routes, core, vrk_dir: str, ready_w: int, release_r: int) -> None:
    from prometheus_client import Counter, Histogram

    core.set_multiproc_dir(vrk_dir)
    counter = Counter("http_requests", "Requests", ["method", "route", "status"], registry=None)
    histogram = Histogram("http_request_duration_seconds", "Duration", ["method", "route"],
                          registry=None, buckets=BOUNDS)  # fmt: skip
    record_series(routes, counter, histogram)
    os.write(ready_w, b"r")
    os.close(ready_w)
    os.read(release_r, 1)  # returns at EOF, when the parent closes its end


def main() -> None:
    if "prometheus_client" in sys.modules:
        raise RuntimeError("prometheus_client must be imported after PROMETHEUS_MULTIPROC_DIR is set")
    h.clean_environment()
    vrk_dir = tempfile.mkdtemp(prefix="bench-vrk-scrape-")
    prom_dir = tempfile.mkdtemp(prefix="bench-prom-scrape-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
    children: list[int] = []
    release_w = -1
    try:
        import vornik._core as core
        import vornik._routes as routes

        core.set_multiproc_dir(None)
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
                    worker(routes, core, vrk_dir, ready_w, release_r)
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
        run(routes, core, vrk_dir, prom_dir)
    finally:
        if release_w >= 0:
            os.close(release_w)
        reap(children)
        shutil.rmtree(vrk_dir, ignore_errors=True)
        shutil.rmtree(prom_dir, ignore_errors=True)


def run(routes, core, vrk_dir: str, prom_dir: str) -> None:
    from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
    from prometheus_client.multiprocess import MultiProcessCollector

    core.set_multiproc_dir(vrk_dir)
    counter = Counter("http_requests", "Requests", ["method", "route", "status"], registry=None)
    histogram = Histogram("http_request_duration_seconds", "Duration", ["method", "route"],
                          registry=None, buckets=BOUNDS)  # fmt: skip
    record_series(routes, counter, histogram)
    registry = CollectorRegistry()
    MultiProcessCollector(registry, path=prom_dir)

    # Both documents carry every request of every worker.
    ours = routes.metrics_document()
    theirs = generate_latest(registry).decode()
    series = 4 * len(ROUTES)
    assert ours.count("vrk_http_requests_total{") == series, ours[-2000:]
    assert f'vrk_http_requests_total{{method="GET",route="{ROUTES[3]}",status="200"}} {PROCESSES}\n' in ours
    assert theirs.count("http_requests_total{") == series
    assert len([n for n in os.listdir(vrk_dir) if n.endswith(".series")]) == PROCESSES

    namespace = {"metrics_document": routes.metrics_document, "generate_latest": generate_latest,
                 "registry": registry}  # fmt: skip
    h.print_header(f"scrape of {PROCESSES} workers x {series} series: metrics_document() vs "
                   "MultiProcessCollector + generate_latest()")  # fmt: skip
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        (f"vornik metrics_document() over {PROCESSES} series tables",
         h.make_timer("metrics_document()", namespace=namespace)),
        ("prometheus_client generate_latest(MultiProcessCollector)",
         h.make_timer("generate_latest(registry)", namespace=namespace)),
        repeat=5,
    )  # fmt: skip
    h.report(h.Comparison(
        benchmark="routes_scrape",
        title=f"scrape of {PROCESSES} workers x {series} series",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="ms",
        notes=[f"documents: vornik {len(ours):,} bytes, prometheus_client {len(theirs):,} bytes"],
    ))  # fmt: skip


if __name__ == "__main__":
    main()
