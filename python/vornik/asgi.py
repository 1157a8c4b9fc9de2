"""ASGI middleware that records every HTTP request of the wrapped application.

Wrap any ASGI application (Starlette, FastAPI, a plain coroutine)::

    from vornik.asgi import MetricsMiddleware
    app = MetricsMiddleware(app)
    # or, for Starlette and FastAPI:
    app.add_middleware(MetricsMiddleware)

Each request is recorded once with :func:`vornik.record_request`, after the
last body message went out, so a streamed body is timed as a whole.
``GET /metrics`` is answered with the Prometheus document and is not recorded.
``lifespan`` and ``websocket`` scopes go to the application untouched.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from time import perf_counter
from typing import Any

from ._core import PROMETHEUS_CONTENT_TYPE, metrics_text, record_request
from ._middleware import METRICS_METHODS, ROUTE_KEY, UNMATCHED, check_metrics_path, encodable
from .workers import metrics_text as worker_families
from .workers import register

__all__ = ["ASGIApp", "Message", "MetricsMiddleware", "Receive", "ROUTE_KEY", "Scope", "Send", "UNMATCHED"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

_CONTENT_TYPE = PROMETHEUS_CONTENT_TYPE.encode("latin-1")
# Route objects seen per router, at most this many, before the lookup table
# stops growing (an application that creates routes per request).
_MAX_ROUTES = 4096


class MetricsMiddleware:
    """Record each HTTP request of ``app`` and serve the metrics document.

    :param app: the ASGI application to wrap.
    :param metrics_path: path answered with :func:`vornik.metrics_text`
        (``GET`` and ``HEAD``); ``None`` passes every path to ``app``.
    :param path_template: record the route template (``/users/{user_id}``)
        instead of the requested path, where the framework exposes one:
        Starlette and FastAPI routes (mounts included), or a template the
        application puts into ``scope["vornik.route"]``. Requests that the
        router did not match are recorded as ``"<unmatched>"``, so the recorded
        paths cannot grow with user-controlled URLs.
    """

    __slots__ = ("app", "metrics_path", "path_template", "_templates")

    def __init__(
        self,
        app: ASGIApp,
        metrics_path: str | None = "/metrics",
        *,
        path_template: bool = False,
    ) -> None:
        check_metrics_path(metrics_path)
        self.app = app
        self.metrics_path = metrics_path
        self.path_template = path_template
        self._templates = _RouteTemplates()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        metrics_path = self.metrics_path
        if metrics_path is not None and scope.get("path", "").endswith(metrics_path) and _route_path(scope) == metrics_path:
            await _serve_metrics(scope, send)
            return
        call = _Call(self, scope, send)
        try:
            await self.app(scope, receive, call.send)
        except BaseException:
            call.finish(500)
            raise
        if not call.done:
            # The application returned without finishing its response.
            call.finish(call.status if call.status is not None else 500)

    def _path(self, scope: Scope) -> str:
        path: str = scope.get("path", "")
        if not self.path_template:
            return path
        template = scope.get(ROUTE_KEY)
        if isinstance(template, str):
            return template
        if "router" not in scope:
            # No Starlette router ran: nothing better than the path is known.
            return path
        route = scope.get("route")
        if route is None:
            return UNMATCHED
        found = self._templates.lookup(scope["router"], route)
        if found is None:
            found = getattr(route, "path", None)
        if not isinstance(found, str):
            return UNMATCHED
        root: str = scope.get("app_root_path", "")
        return root + found


def _route_path(scope: Scope) -> str:
    path: str = scope.get("path", "")
    root_path: str = scope.get("root_path", "")
    if root_path and path.startswith(root_path):
        return path[len(root_path) :]
    return path


async def _serve_metrics(scope: Scope, send: Send) -> None:
    method = scope.get("method", "GET")
    if method not in METRICS_METHODS:
        await send(
            {
                "type": "http.response.start",
                "status": 405,
                "headers": [(b"allow", b"GET, HEAD"), (b"content-length", b"0")],
            }
        )
        await send({"type": "http.response.body", "body": b""})
        return
    body = (metrics_text() + worker_families()).encode("utf-8")
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [
                (b"content-type", _CONTENT_TYPE),
                (b"content-length", str(len(body)).encode("latin-1")),
                (b"cache-control", b"no-store"),
            ],
        }
    )
    await send({"type": "http.response.body", "body": b"" if method == "HEAD" else body})


class _Call:
    """One request in flight; wraps ``send`` to see the status and the end."""

    __slots__ = ("mw", "scope", "_send", "start", "status", "trailers", "done")

    def __init__(self, mw: MetricsMiddleware, scope: Scope, send: Send) -> None:
        self.mw = mw
        self.scope = scope
        self._send = send
        self.status: int | None = None
        self.trailers = False
        self.done = False
        self.start = perf_counter()

    def send(self, message: Message) -> Awaitable[None]:
        # A plain function handing back the server's awaitable: only the last
        # message of the response needs a coroutine of its own, to record once
        # the server has taken it.
        kind = message["type"]
        if kind == "http.response.start":
            self.status = message["status"]
            self.trailers = bool(message.get("trailers", False))
            return self._send(message)
        if kind == "http.response.body":
            last = not message.get("more_body", False) and not self.trailers
        elif kind == "http.response.trailers":
            last = not message.get("more_trailers", False)
        elif kind == "http.response.zerocopysend":
            last = not message.get("more_body", False)
        else:
            last = kind == "http.response.pathsend"
        return self._send_last(message) if last else self._send(message)

    async def _send_last(self, message: Message) -> None:
        await self._send(message)
        self.finish(self.status if self.status is not None else 500)

    def finish(self, status_code: int) -> None:
        if self.done:
            return
        self.done = True
        duration_ms = (perf_counter() - self.start) * 1000.0
        if not 0 <= status_code <= 0xFFFF:
            status_code = 500
        scope = self.scope
        mw = self.mw
        method: str = scope.get("method", "")
        path: str = mw._path(scope) if mw.path_template else scope.get("path", "")
        if not (method.isascii() and path.isascii()):
            method, path = encodable(method), encodable(path)
        record_request(method, path, status_code, duration_ms)
        register()


class _RouteTemplates:
    """Full path templates of a Starlette router's routes, mounts included.

    ``scope["route"]`` names the innermost matched route, whose ``path`` is
    relative to the mounts above it; this table knows the whole template of
    every route reachable from the top router. Built on first use and rebuilt
    when a route is not found (routes added at run time).
    """

    __slots__ = ("_router", "_table")

    def __init__(self) -> None:
        self._router: object = None
        self._table: dict[int, tuple[object, str]] = {}

    def lookup(self, router: object, route: object) -> str | None:
        if router is not self._router:
            self._router = router
            self._table = _build_table(router)
        hit = self._table.get(id(route))
        if hit is None or hit[0] is not route:
            if len(self._table) >= _MAX_ROUTES:
                return None
            self._table = _build_table(router)
            hit = self._table.get(id(route))
            if hit is None or hit[0] is not route:
                return None
        return hit[1]


def _build_table(router: object) -> dict[int, tuple[object, str]]:
    table: dict[int, tuple[object, str]] = {}
    seen: set[int] = set()

    def walk(routes: object, prefix: str, depth: int) -> None:
        if depth > 32 or not isinstance(routes, (list, tuple)):
            return
        for route in routes:
            if len(table) >= _MAX_ROUTES:
                return
            path = getattr(route, "path", "")
            template = prefix + path if isinstance(path, str) else prefix
            table.setdefault(id(route), (route, template))
            if id(route) in seen:
                continue
            seen.add(id(route))
            children = getattr(route, "routes", None)
            if children:
                walk(children, template, depth + 1)

    walk(getattr(router, "routes", None), "", 0)
    return table
