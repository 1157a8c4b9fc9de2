"""Per-request cost of the middlewares with the route families, against the exporters.

Flask and Starlette apps with one templated route are called in-process, directly,
three ways each: bare; wrapped in vornik's MetricsMiddleware with a shard directory
set (the route families on, as in a multi-worker deployment); and instrumented by the
exporter users pick for that framework. What a variant adds per request is its time
minus the bare app's, with the repeats of the three interleaved (best of 9).

- Flask: prometheus-flask-exporter's PrometheusMetrics(app) in prometheus_client's
  multiprocess mode (PROMETHEUS_MULTIPROC_DIR set before it is imported), as it runs
  under gunicorn with several workers.
- Starlette: starlette_exporter's PrometheusMiddleware, in its default mode.

Each framework runs in a process of its own (prometheus_client's mode is chosen at
import). Ratio: vornik's added time / the exporter's added time, target <= 0.1.

Usage: python benchmarks/bench_routes_middleware.py [flask|starlette]
"""

from __future__ import annotations

import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from wsgiref.util import setup_testing_defaults

import _harness as h

TARGET = 0.1
REPEATS = 9
CALLS = 4000


def interleaved(runners: dict[str, Callable[[int], float]]) -> dict[str, list[float]]:
    """Seconds per call of each runner, every repeat, the runners taking turns."""
    runs: dict[str, list[float]] = {name: [] for name in runners}
    for name, run in runners.items():
        run(CALLS // 10)  # warm-up: routes, series and caches exist before timing
    for i in range(REPEATS):
        order = list(runners.items())
        for name, run in order if i % 2 == 0 else reversed(order):
            runs[name].append(run(CALLS))
    return runs


def report(framework: str, exporter: str, runs: dict[str, list[float]]) -> None:
    best = {name: min(values) for name, values in runs.items()}
    added = {name: [v - best["bare"] for v in runs[name]] for name in ("vornik", "exporter")}
    timing = {
        name: h.Timing(label, min(added[name]), CALLS, REPEATS, added[name])
        for name, label in (("vornik", "vornik MetricsMiddleware, shard directory set"),
                            ("exporter", exporter))
    }  # fmt: skip
    h.print_header(f"{framework}: what the middleware adds per request, in-process")
    print("  " + h.describe_machine())
    h.report(h.Comparison(
        benchmark="routes_middleware",
        title=f"{framework} middleware, added per request",
        candidate=timing["vornik"],
        baseline=timing["exporter"],
        target=TARGET,
        unit="us",
        notes=[f"bare app {best['bare'] * 1e6:.2f} us, with vornik {best['vornik'] * 1e6:.2f} us, "
               f"with the exporter {best['exporter'] * 1e6:.2f} us per request"],
    ))  # fmt: skip


def flask_main(shard_dir: str) -> None:
    import prometheus_client.values
    from flask import Flask
    from prometheus_flask_exporter import PrometheusMetrics

    import vornik
    import vornik.routes
    from vornik.wsgi import MetricsMiddleware

    assert prometheus_client.values.ValueClass._multiprocess
    vornik.set_multiproc_dir(shard_dir)

    def app_for(variant: str) -> Callable[..., object]:
        app = Flask(f"bench_{variant}")
        app.add_url_rule("/users/<int:user_id>", "user", lambda user_id: "ok")
        if variant == "vornik":
            app.wsgi_app = MetricsMiddleware(app.wsgi_app)  # type: ignore[method-assign]
        elif variant == "exporter":
            PrometheusMetrics(app)
        return app

    def start_response(status: str, headers: list[tuple[str, str]], exc_info: object = None) -> None:
        pass

    def runner(app: Callable[..., object]) -> Callable[[int], float]:
        def run(calls: int) -> float:
            start = time.perf_counter()
            for _ in range(calls):
                environ: dict[str, object] = {"PATH_INFO": "/users/7"}
                setup_testing_defaults(environ)
                body = app(environ, start_response)
                b"".join(body)  # type: ignore[arg-type]
                getattr(body, "close", lambda: None)()
            return (time.perf_counter() - start) / calls

        return run

    runs = interleaved({v: runner(app_for(v)) for v in ("bare", "vornik", "exporter")})
    assert 'route="/users/<int:user_id>",status="200"}' in vornik.routes.metrics_document()
    report("Flask", "prometheus-flask-exporter PrometheusMetrics, multiprocess mode", runs)


def starlette_main(shard_dir: str) -> None:
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route
    from starlette_exporter import PrometheusMiddleware

    import vornik
    import vornik.routes
    from vornik.asgi import MetricsMiddleware

    vornik.set_multiproc_dir(shard_dir)

    async def user(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    def app_for(variant: str) -> object:
        app = Starlette(routes=[Route("/users/{user_id}", user)])
        if variant == "vornik":
            app.add_middleware(MetricsMiddleware)
        elif variant == "exporter":
            app.add_middleware(PrometheusMiddleware, app_name=f"bench_{variant}")
        return app

    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET",
             "scheme": "http", "path": "/users/7", "raw_path": b"/users/7", "query_string": b"",
             "root_path": "", "headers": [(b"host", b"bench")], "client": ("127.0.0.1", 1),
             "server": ("127.0.0.1", 80)}  # fmt: skip

    async def receive() -> dict[str, object]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: object) -> None:
        pass

    def runner(app: object) -> Callable[[int], float]:
        async def loop(calls: int) -> float:
            start = time.perf_counter()
            for _ in range(calls):
                await app(dict(scope), receive, send)  # type: ignore[operator]
            return (time.perf_counter() - start) / calls

        return lambda calls: asyncio.run(loop(calls))

    runs = interleaved({v: runner(app_for(v)) for v in ("bare", "vornik", "exporter")})
    assert 'route="/users/{user_id}",status="200"}' in vornik.routes.metrics_document()
    report("Starlette", "starlette_exporter PrometheusMiddleware", runs)


def main() -> None:
    if len(sys.argv) > 1:
        shard_dir = tempfile.mkdtemp(prefix="bench-vrk-mw-")
        try:
            {"flask": flask_main, "starlette": starlette_main}[sys.argv[1]](shard_dir)
        finally:
            shutil.rmtree(shard_dir, ignore_errors=True)
        return
    h.clean_environment()
    for framework in ("flask", "starlette"):
        env = dict(os.environ)
        prom_dir = tempfile.mkdtemp(prefix="bench-prom-mw-")
        if framework == "flask":
            env["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
        try:
            subprocess.run([sys.executable, __file__, framework], env=env, check=True)
        finally:
            shutil.rmtree(prom_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
