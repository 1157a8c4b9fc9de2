"""Per-request cost of the middlewares inside one process, without a server.

A minimal Flask app (WSGI) and a minimal Starlette app (ASGI) are called directly,
bare and wrapped in vornik's MetricsMiddleware, alternating best-of-7 repeats. The
difference is what the middleware adds to every request, free of the network and
server noise that dominates a throughput run on a small shared machine; it is
printed in microseconds next to the app's own cost.

Usage: python benchmarks/bench_middleware_overhead.py
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable
from wsgiref.util import setup_testing_defaults

from flask import Flask
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route

from vornik import clear_requests
from vornik.asgi import MetricsMiddleware as AsgiMiddleware
from vornik.wsgi import MetricsMiddleware as WsgiMiddleware

REPEATS = 7


def best_of(pair: dict[str, Callable[[], float]]) -> dict[str, float]:
    best = {name: float("inf") for name in pair}
    for _ in range(REPEATS):
        for name, run in pair.items():
            best[name] = min(best[name], run())
        clear_requests()
    return best


def wsgi_runner(wrapped: bool, calls: int) -> Callable[[], float]:
    app = Flask(__name__)
    app.add_url_rule("/", "index", lambda: "ok")
    if wrapped:
        app.wsgi_app = WsgiMiddleware(app.wsgi_app)  # type: ignore[method-assign]

    def start_response(status: str, headers: list[tuple[str, str]], exc_info: object = None) -> None:
        pass

    def run() -> float:
        start = time.perf_counter()
        for _ in range(calls):
            environ: dict[str, object] = {}
            setup_testing_defaults(environ)
            body = app(environ, start_response)
            b"".join(body)
            getattr(body, "close", lambda: None)()
        return (time.perf_counter() - start) / calls

    return run


def asgi_runner(wrapped: bool, calls: int) -> Callable[[], float]:
    async def index(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    app = Starlette(routes=[Route("/", index)])
    if wrapped:
        app.add_middleware(AsgiMiddleware)
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET",
             "scheme": "http", "path": "/", "raw_path": b"/", "query_string": b"", "root_path": "",
             "headers": [(b"host", b"bench")], "client": ("127.0.0.1", 1), "server": ("127.0.0.1", 80)}  # fmt: skip

    async def receive() -> dict[str, object]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: object) -> None:
        pass

    async def loop() -> float:
        start = time.perf_counter()
        for _ in range(calls):
            await app(dict(scope), receive, send)
        return (time.perf_counter() - start) / calls

    return lambda: asyncio.run(loop())


def main() -> None:
    for title, runner, calls in [("WSGI, minimal Flask app", wsgi_runner, 20_000),
                                 ("ASGI, minimal Starlette app", asgi_runner, 20_000)]:  # fmt: skip
        best = best_of({"bare": runner(False, calls), "vornik": runner(True, calls)})
        overhead_us = (best["vornik"] - best["bare"]) * 1e6
        print(f"{title}: bare {best['bare'] * 1e6:.2f} us, with vornik {best['vornik'] * 1e6:.2f} us"
              f" per request; the middleware adds {overhead_us:.2f} us")  # fmt: skip


if __name__ == "__main__":
    main()
