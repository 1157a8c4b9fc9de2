"""The route families: recording with a route, a scrape over 64 workers, and what the
middlewares add per request next to the exporters users pick.

record_route: `vornik._routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")`,
the one call a middleware makes per request (store, shard and an existing series),
against `vornik._core.record_request` alone, with shards off and with a shard directory.

routes_scrape: this process forks 63 workers; each, and this process as the 64th, records
the same 100 series (25 route templates x GET/POST x status 200/500) into one vornik shard
directory and into prometheus_client in multiprocess mode (a Counter labelled method,
route, status and a Histogram labelled method, route, with the same bounds). vornik:
`metrics_document()`, the merge of all 64 series tables and the rendering of the whole
document; baseline: `generate_latest()` with a `MultiProcessCollector`.

exporter_scrape: the same 64 workers, scraped over HTTP (a connection per scrape) from
`python -m vornik serve` running beside them, against the same baseline in-process.

routes_middleware_flask, routes_middleware_starlette: a minimal app with one templated
route, called in-process bare, wrapped in vornik's MetricsMiddleware with a shard
directory set, and instrumented by the exporter (prometheus-flask-exporter with
prometheus_client in multiprocess mode; starlette_exporter in its default mode). Each
side times the instrumented and the bare app in alternating stretches and keeps the
difference: what the instrumentation adds per request. For Flask each side is one app
whose instrumentation is switched on and off (vornik's middleware in front of its
wsgi_app, or the exporter's request hooks): two instances of the same Flask app differ
from each other by more than the microseconds measured.
"""

from __future__ import annotations

import asyncio
import contextlib
import copy
import http.client
import os
import re
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from types import ModuleType
from wsgiref.util import setup_testing_defaults

from bench_merge import live_workers
from bench_middleware import asgi_scope, receive_empty_body, send_nowhere
from runner import Comparison, Ratio, Side, Statement, case, multiprocess_directories

PROCESSES = 64
ROUTES = [f"/api/v1/resource{i}/{{id}}" for i in range(25)]
BOUNDS = (0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1, 2.5, 5, 7.5, 10)
SERIES = 4 * len(ROUTES)
CALLS = 2000  # requests per repeat of a middleware side
STRETCH = 100  # requests of one app before the other app runs, within a repeat


def route_record_comparison(label: str) -> Comparison:
    """The two calls in the current mode, with a few routes as a small application has
    them and a full, evicting store; an existing series is timed."""
    import vornik._core as vk
    import vornik._routes as routes

    for i in range(vk.get_max_requests() + 1000):
        routes.record_request("GET", f"/users/{i}", 200 + i % 3, 12.5, f"/r/{i % 20}")
    routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")
    series = routes.series_count()
    namespace = {"core_record": vk.record_request, "route_record": routes.record_request}
    with_route = Statement(
        'vornik._routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")',
        'route_record("GET", "/users/7", 200, 12.5, "/users/{id}")',
        namespace,
    )
    alone = Statement('vornik._core.record_request("GET", "/users/7", 200, 12.5)',
                      'core_record("GET", "/users/7", 200, 12.5)', namespace)  # fmt: skip
    return Comparison(
        f"record with a route vs record_request alone, {label}",
        unit="ns",
        ratios=[Ratio(f"record with a route, {label}", with_route, alone, 1.5)],
        notes=[lambda: f"{routes.series_count()} series in the table (was {series} before timing)"],
    )


@case
def record_route() -> Iterator[Comparison]:
    yield route_record_comparison("shards off")


@case
def record_route_multiproc() -> Iterator[Comparison]:
    import vornik._core as vk

    with tempfile.TemporaryDirectory(prefix="bench-vrk-route-") as directory:
        vk.set_multiproc_dir(directory)
        yield route_record_comparison("shard directory set")
        vk.set_multiproc_dir(None)


def record_series(routes: ModuleType, counter: object, histogram: object) -> None:
    for i, route in enumerate(ROUTES):
        for method in ("GET", "POST"):
            for status in (200, 500):
                duration_ms = 3.0 + 11.0 * i
                routes.record_request(
                    method, route.replace("{id}", "7"), status, duration_ms, route
                )
                counter.labels(method, route, str(status)).inc()  # type: ignore[attr-defined]
                histogram.labels(method, route).observe(duration_ms / 1000.0)  # type: ignore[attr-defined]


def worker_series(vk: ModuleType, vrk_dir: str) -> None:
    """What each of the 64 processes records before the timing starts."""
    import vornik._routes as routes
    from prometheus_client import Counter, Histogram

    vk.set_multiproc_dir(vrk_dir)
    counter = Counter("http_requests", "Requests", ["method", "route", "status"], registry=None)
    histogram = Histogram(
        "http_request_duration_seconds",
        "Duration",
        ["method", "route"],
        registry=None,
        buckets=BOUNDS,
    )
    record_series(routes, counter, histogram)


@contextlib.contextmanager
def scraped_workers() -> Iterator[tuple[str, Callable[[], bytes], str, str]]:
    """64 live workers' 100 series each, in a vornik shard directory and in
    prometheus_client's: the directory, prometheus_client's scrape, and both documents."""
    with multiprocess_directories() as (vrk_dir, prom_dir):
        import vornik._core as vk
        import vornik._routes as routes
        from prometheus_client import CollectorRegistry, generate_latest
        from prometheus_client.multiprocess import MultiProcessCollector

        with live_workers(vk, vrk_dir, PROCESSES - 1, worker_series):
            worker_series(vk, vrk_dir)
            registry = CollectorRegistry()
            MultiProcessCollector(registry, path=prom_dir)
            # Both documents carry every request of every worker.
            ours = routes.metrics_document()
            theirs = generate_latest(registry).decode()
            assert_every_series(ours)
            assert theirs.count("http_requests_total{") == SERIES
            assert len([n for n in os.listdir(vrk_dir) if n.endswith(".series")]) == PROCESSES
            yield vrk_dir, lambda: generate_latest(registry), ours, theirs


def assert_every_series(document: str) -> None:
    assert document.count("vrk_http_requests_total{") == SERIES
    assert f'{{method="GET",route="{ROUTES[3]}",status="200"}} {PROCESSES}\n' in document


@case
def routes_scrape() -> Iterator[Comparison]:
    with scraped_workers() as (_, their_scrape, ours, theirs):
        import vornik._routes as routes

        vornik = Statement(
            f"vornik metrics_document() over {PROCESSES} series tables", routes.metrics_document
        )
        exporter = Statement(
            "prometheus_client generate_latest(MultiProcessCollector)", their_scrape
        )
        yield Comparison(
            f"scrape of {PROCESSES} workers x {SERIES} series: metrics_document() vs "
            "MultiProcessCollector + generate_latest()",
            unit="us",
            ratios=[
                Ratio(f"scrape of {PROCESSES} workers x {SERIES} series", vornik, exporter, 0.05)
            ],
            notes=[
                f"documents: vornik {len(ours):,} bytes, prometheus_client {len(theirs):,} bytes"
            ],
            repeat=5,
        )


@case
def exporter_scrape() -> Iterator[Comparison]:
    with scraped_workers() as (vrk_dir, their_scrape, _, theirs):
        exporter = subprocess.Popen(
            [sys.executable, "-m", "vornik", "serve", "--dir", vrk_dir, "--bind", "127.0.0.1:0"],
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            assert exporter.stderr is not None
            started = exporter.stderr.readline()
            found = re.search(r"http://127\.0\.0\.1:(\d+)/metrics", started)
            assert found, started
            port = int(found.group(1))

            def scrape() -> bytes:
                # A connection per scrape, as Prometheus opens one after an idle interval.
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                try:
                    conn.request("GET", "/metrics")
                    return conn.getresponse().read()
                finally:
                    conn.close()

            ours = scrape().decode()
            assert_every_series(ours)
            vornik = Statement(
                f"GET /metrics of python -m vornik serve over {PROCESSES} workers", scrape
            )
            baseline = Statement(
                "prometheus_client generate_latest(MultiProcessCollector), in-process",
                their_scrape,
            )
            yield Comparison(
                f"scrape of {PROCESSES} workers x {SERIES} series: the exporter over HTTP vs "
                "MultiProcessCollector + generate_latest() without HTTP",
                unit="us",
                ratios=[
                    Ratio(
                        f"exporter scrape of {PROCESSES} workers x {SERIES} series",
                        vornik,
                        baseline,
                        0.05,
                    )
                ],
                notes=[
                    f"documents: vornik {len(ours):,} bytes, prometheus_client {len(theirs):,} "
                    "bytes"
                ],
                repeat=5,
            )
        finally:
            exporter.terminate()
            exporter.wait(10)


class Added(Side):
    """What an instrumented app adds per request: its time minus the bare app's.

    Within a repeat the two run in short alternating stretches, so that a change in the
    machine's speed (another process, the clock) reaches both alike and the repeat gives
    one paired difference. The figure is the median of those: the few microseconds
    looked for are a small share of a request, and the best of each side taken apart
    comes from two different repeats, whose noise does not cancel.
    """

    summary = "median"

    def __init__(
        self, label: str, variant: Callable[[int], float], bare: Callable[[int], float]
    ) -> None:
        super().__init__(label)
        self.variant, self.bare = variant, bare
        self.number = CALLS

    def measure(self) -> dict[str, float]:
        variant = bare = 0.0
        for _ in range(CALLS // STRETCH):
            variant += self.variant(STRETCH)
            bare += self.bare(STRETCH)
        return {"": (variant - bare) / (CALLS // STRETCH)}

    def best(self, figure: str = "") -> float:
        return self.median(figure)


Runs = tuple[Callable[[int], float], Callable[[int], float]]  # instrumented, bare


def middleware_comparison(framework: str, exporter: str, vornik: Runs, theirs: Runs) -> Comparison:
    ours = Added("vornik MetricsMiddleware, shard directory set", *vornik)
    baseline = Added(exporter, *theirs)
    return Comparison(
        f"{framework}: what the instrumentation adds per request, in-process",
        unit="us",
        ratios=[Ratio(f"{framework} middleware, added per request", ours, baseline, 0.1)],
        notes=[lambda: f"bare app {vornik[1](CALLS) * 1e6:.2f} us per request"],
        repeat=15,
    )


@case
def routes_middleware_flask() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, _):
        import prometheus_client.values
        import vornik
        import vornik.routes
        from flask import Flask
        from prometheus_flask_exporter import PrometheusMetrics
        from vornik.wsgi import MetricsMiddleware

        assert prometheus_client.values.ValueClass._multiprocess
        vornik.set_multiproc_dir(vrk_dir)

        def new_app(name: str) -> Flask:
            app = Flask(name)
            app.add_url_rule("/users/<int:user_id>", "user", lambda user_id: "ok")
            return app

        def start_response(
            status: str, headers: list[tuple[str, str]], exc_info: object = None
        ) -> None:
            pass

        def switched(app: Flask, on: Callable[[], None], off: Callable[[], None]) -> Runs:
            """One app timed with its instrumentation switched on and off: two Flask apps
            differ by more than the few microseconds looked for, one app from itself not."""

            def run_with(switch: Callable[[], None]) -> Callable[[int], float]:
                def run(calls: int) -> float:
                    switch()
                    start = time.perf_counter()
                    for _ in range(calls):
                        environ: dict[str, object] = {"PATH_INFO": "/users/7"}
                        setup_testing_defaults(environ)
                        body = app(environ, start_response)
                        b"".join(body)  # type: ignore[arg-type]
                        getattr(body, "close", lambda: None)()
                    return (time.perf_counter() - start) / calls

                return run

            return run_with(on), run_with(off)

        # vornik: the middleware in front of the app's own wsgi_app, or that alone.
        ours = new_app("bench_vornik")
        middleware = MetricsMiddleware(ours.wsgi_app)

        def vornik_on() -> None:
            ours.wsgi_app = middleware  # type: ignore[method-assign]

        def vornik_off() -> None:
            vars(ours).pop("wsgi_app", None)

        # The exporter: the request hooks it installs, or the app's own (none).
        theirs = new_app("bench_exporter")
        hook_names = ("before_request_funcs", "after_request_funcs", "teardown_request_funcs")
        bare_hooks = {name: copy.deepcopy(getattr(theirs, name)) for name in hook_names}
        PrometheusMetrics(theirs)
        exporter_hooks = {name: copy.deepcopy(getattr(theirs, name)) for name in hook_names}
        assert exporter_hooks != bare_hooks

        def hooks(chosen: dict[str, object]) -> Callable[[], None]:
            return lambda: [setattr(theirs, name, value) for name, value in chosen.items()]

        yield middleware_comparison(
            "Flask",
            "prometheus-flask-exporter PrometheusMetrics, multiprocess mode",
            switched(ours, vornik_on, vornik_off),
            switched(theirs, hooks(exporter_hooks), hooks(bare_hooks)),
        )
        assert 'route="/users/<int:user_id>",status="200"}' in vornik.routes.metrics_document()


@case
def routes_middleware_starlette() -> Iterator[Comparison]:
    import vornik
    import vornik.routes
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route
    from starlette_exporter import PrometheusMiddleware
    from vornik.asgi import MetricsMiddleware

    async def user(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    scope = asgi_scope("/users/7")

    def runner_for(variant: str) -> Callable[[int], float]:
        app = Starlette(routes=[Route("/users/{user_id}", user)])
        if variant == "vornik":
            app.add_middleware(MetricsMiddleware)
        elif variant == "exporter":
            app.add_middleware(PrometheusMiddleware, app_name=f"bench_{variant}")

        async def loop(calls: int) -> float:
            start = time.perf_counter()
            for _ in range(calls):
                await app(dict(scope), receive_empty_body, send_nowhere)  # type: ignore[arg-type]
            return (time.perf_counter() - start) / calls

        return lambda calls: asyncio.run(loop(calls))

    with tempfile.TemporaryDirectory(prefix="bench-vrk-") as vrk_dir:
        vornik.set_multiproc_dir(vrk_dir)
        bare = runner_for("bare")
        yield middleware_comparison(
            "Starlette",
            "starlette_exporter PrometheusMiddleware",
            (runner_for("vornik"), bare),
            (runner_for("exporter"), bare),
        )
        assert 'route="/users/{user_id}",status="200"}' in vornik.routes.metrics_document()
        vornik.set_multiproc_dir(None)
