"""What the middlewares cost per request: under a real server beside the exporters, and
inside one process without one.

`middleware_wsgi`: gunicorn with one sync worker serves a minimal Flask app (one route
answering "ok"), once bare, once wrapped in vornik.wsgi.MetricsMiddleware, once with the
same middleware and a shard directory (VRK_MULTIPROC_DIR, as in a multi-worker
deployment) and once instrumented with prometheus-flask-exporter's PrometheusMetrics(app).

`middleware_asgi`: uvicorn with one worker serves a minimal Starlette app, once bare, once
with app.add_middleware(vornik.asgi.MetricsMiddleware) and once with
app.add_middleware(starlette_exporter.PrometheusMiddleware).

All servers of one framework run at the same time and take turns under load (see
servers.py). Two ratios per framework, in time per request (lower is better), each from
the requests per second and from the server's CPU time:

  vornik / bare app      target <= 1/0.95: the middleware costs at most 5 % of the
                         requests per second;
  vornik / exporter      target <= 1.0: it costs less than the exporter does.

`middleware_overhead`: the same minimal Flask and Starlette apps called directly, bare and
wrapped in vornik's MetricsMiddleware. The difference is what the middleware adds to every
request, free of the network and server noise that dominates a throughput run on a small
shared machine; it has no target.
"""

from __future__ import annotations

import sys
import tempfile
import textwrap
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from importlib import metadata
from pathlib import Path

import servers
from runner import Comparison, Ratio, Statement, case
from servers import HOST, Server, serving

COST_TARGET = 1 / 0.95  # time per request, vornik / bare: at most 5 % fewer requests per second
EXPORTER_TARGET = 1.0
ROUNDS = 8

WSGI_APP = """
    import os

    from flask import Flask

    app = Flask(__name__)


    @app.get("/")
    def index():
        return "ok"


    variant = os.environ["BENCH_VARIANT"]
    if variant == "vornik":
        from vornik.wsgi import MetricsMiddleware

        app.wsgi_app = MetricsMiddleware(app.wsgi_app)
    elif variant == "exporter":
        from prometheus_flask_exporter import PrometheusMetrics

        PrometheusMetrics(app)
"""

ASGI_APP = """
    import os

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route


    async def index(request):
        return PlainTextResponse("ok")


    app = Starlette(routes=[Route("/", index)])
    variant = os.environ["BENCH_VARIANT"]
    if variant == "vornik":
        from vornik.asgi import MetricsMiddleware

        app.add_middleware(MetricsMiddleware)
    elif variant == "exporter":
        from starlette_exporter import PrometheusMiddleware, handle_metrics

        app.add_middleware(PrometheusMiddleware)
        app.add_route("/metrics", handle_metrics)
"""


@contextmanager
def app_directory(module: str, source: str) -> Iterator[Path]:
    """A temporary directory holding the app as `module`.py."""
    with tempfile.TemporaryDirectory(prefix="vrk-bench-mw-") as tmp:
        (Path(tmp) / f"{module}.py").write_text(textwrap.dedent(source))
        yield Path(tmp)


def throughput(
    title: str, every: list[Server], ratios: list[Ratio], distributions: list[str]
) -> Comparison:
    """The comparison of servers under load, with what their figures need beside them."""
    return Comparison(
        title,
        unit="us",
        repeat=ROUNDS,
        ratios=ratios,
        notes=[
            servers.describe_load(),
            ", ".join(f"{name} {metadata.version(name)}" for name in distributions),
            lambda: servers.requests_per_second(every),
            *(server.recorded for server in every if "vornik" in server.label),
        ],
    )


@case
def middleware_wsgi() -> Iterator[Comparison]:
    with app_directory("wsgi_bench_app", WSGI_APP) as directory:
        command = [
            sys.executable, "-m", "gunicorn", "--workers", "1", "--worker-class", "sync",
            "--bind", f"{HOST}:{{port}}", "--chdir", str(directory), "wsgi_bench_app:app",
        ]  # fmt: skip
        bare = Server("flask", command, directory, {"BENCH_VARIANT": "bare"})
        ours = Server(
            "flask + vornik MetricsMiddleware", command, directory, {"BENCH_VARIANT": "vornik"}
        )
        shard_variant = {"BENCH_VARIANT": "vornik", "VRK_MULTIPROC_DIR": str(directory / "shards")}
        shards = Server("flask + vornik, VRK_MULTIPROC_DIR set", command, directory, shard_variant)
        exporter = Server(
            "flask + prometheus-flask-exporter", command, directory, {"BENCH_VARIANT": "exporter"}
        )
        every = [bare, ours, shards, exporter]
        with serving(every):
            yield throughput(
                "WSGI: gunicorn, 1 sync worker, minimal Flask app",
                every,
                [
                    *servers.ratios("WSGI middleware vs bare Flask app", ours, bare, COST_TARGET),
                    *servers.ratios(
                        "WSGI middleware with shard dir vs bare", shards, bare, COST_TARGET
                    ),
                    *servers.ratios(
                        "WSGI middleware vs prometheus-flask-exporter",
                        ours,
                        exporter,
                        EXPORTER_TARGET,
                    ),
                ],
                ["gunicorn", "flask", "prometheus-flask-exporter"],
            )


@case
def middleware_asgi() -> Iterator[Comparison]:
    with app_directory("asgi_bench_app", ASGI_APP) as directory:
        command = [
            sys.executable, "-m", "uvicorn", "--host", HOST, "--port", "{port}",
            "--app-dir", str(directory), "--no-access-log", "--log-level", "warning",
            "asgi_bench_app:app",
        ]  # fmt: skip
        bare = Server("starlette", command, directory, {"BENCH_VARIANT": "bare"})
        ours = Server(
            "starlette + vornik MetricsMiddleware", command, directory, {"BENCH_VARIANT": "vornik"}
        )
        exporter = Server(
            "starlette + starlette_exporter", command, directory, {"BENCH_VARIANT": "exporter"}
        )
        every = [bare, ours, exporter]
        with serving(every):
            yield throughput(
                "ASGI: uvicorn, 1 worker, minimal Starlette app",
                every,
                [
                    *servers.ratios(
                        "ASGI middleware vs bare Starlette app", ours, bare, COST_TARGET
                    ),
                    *servers.ratios(
                        "ASGI middleware vs starlette_exporter", ours, exporter, EXPORTER_TARGET
                    ),
                ],
                ["uvicorn", "starlette", "starlette_exporter"],
            )


def wsgi_request(wrapped: bool) -> Callable[[], None]:
    """One request to a minimal Flask app, as a server makes it: call, iterate, close."""
    from wsgiref.util import setup_testing_defaults

    from flask import Flask
    from vornik.wsgi import MetricsMiddleware

    app = Flask(__name__)
    app.add_url_rule("/", "index", lambda: "ok")
    if wrapped:
        app.wsgi_app = MetricsMiddleware(app.wsgi_app)  # type: ignore[method-assign]

    def start_response(
        status: str, headers: list[tuple[str, str]], exc_info: object = None
    ) -> None:
        pass

    def request() -> None:
        environ: dict[str, object] = {}
        setup_testing_defaults(environ)
        body = app(environ, start_response)
        b"".join(body)
        getattr(body, "close", lambda: None)()

    return request


def asgi_scope(path: str) -> dict[str, object]:
    """The scope of a plain GET of `path`, as an ASGI server hands it over."""
    return {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "query_string": b"",
        "root_path": "",
        "headers": [(b"host", b"bench")],
        "client": ("127.0.0.1", 1),
        "server": ("127.0.0.1", 80),
    }


async def receive_empty_body() -> dict[str, object]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def send_nowhere(message: object) -> None:
    pass


def asgi_request(wrapped: bool) -> Callable[[], None]:
    """One request to a minimal Starlette app. Nothing in it waits for anything, so the
    coroutine runs to its end on the first step: no event loop is needed."""
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route
    from vornik.asgi import MetricsMiddleware

    async def index(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    app = Starlette(routes=[Route("/", index)])
    if wrapped:
        app.add_middleware(MetricsMiddleware)
    scope = asgi_scope("/")

    def request() -> None:
        step = app(dict(scope), receive_empty_body, send_nowhere).send
        try:
            step(None)
        except StopIteration:
            return
        raise RuntimeError("the app waited for something; this benchmark needs an event loop")

    return request


@case
def middleware_overhead() -> Iterator[Comparison]:
    wsgi_bare = Statement("WSGI, minimal Flask app, bare", wsgi_request(False))
    wsgi_ours = Statement("WSGI, minimal Flask app, with vornik", wsgi_request(True))
    asgi_bare = Statement("ASGI, minimal Starlette app, bare", asgi_request(False))
    asgi_ours = Statement("ASGI, minimal Starlette app, with vornik", asgi_request(True))

    def added(ours: Statement, bare: Statement) -> Callable[[], str]:
        return lambda: (
            f"{ours.label}: the middleware adds "
            f"{(ours.best() - bare.best()) * 1e6:.2f} us per request"
        )

    yield Comparison(
        "Middleware overhead per request, apps called directly",
        unit="us",
        ratios=[
            Ratio("WSGI middleware in-process, vs bare", wsgi_ours, wsgi_bare, None),
            Ratio("ASGI middleware in-process, vs bare", asgi_ours, asgi_bare, None),
        ],
        notes=[added(wsgi_ours, wsgi_bare), added(asgi_ours, asgi_bare)],
    )
