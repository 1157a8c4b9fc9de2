"""ASGI middleware that records every HTTP request of the wrapped application.

Wrap any ASGI application (Starlette, FastAPI, a plain coroutine)::

    from vornik.asgi import MetricsMiddleware
    app = MetricsMiddleware(app)
    # or, for Starlette and FastAPI:
    app.add_middleware(MetricsMiddleware)

Each request is recorded once with :func:`vornik.record_request`, after the
last body message went out, so a streamed body is timed as a whole; until then it
counts among its worker's requests in flight.
``GET /metrics`` is answered with the Prometheus document and is not recorded.
``lifespan`` and ``websocket`` scopes go to the application untouched.
"""

from __future__ import annotations

import sys
from collections.abc import Awaitable, Callable, MutableMapping
from time import perf_counter
from typing import Any

from ._deployment import MisconfigurationError, check_at_first_request
from ._middleware import (
    ROUTE_KEY,
    UNMATCHED,
    BearerToken,
    Middleware,
    django_route,
    metrics_answer,
    record,
)
from ._routes import request_started

__all__ = [
    "ASGIApp",
    "Message",
    "MetricsMiddleware",
    "MisconfigurationError",
    "Receive",
    "ROUTE_KEY",
    "Scope",
    "Send",
    "UNMATCHED",
]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# Routes seen per router, at most this many, before the lookup tables stop
# growing (an application that creates routes per request).
_MAX_ROUTES = 4096


class MetricsMiddleware(Middleware[ASGIApp]):
    """Record each HTTP request of ``app`` and serve the metrics document.

    Every request is counted by method, route template and status code, with
    its latency in a histogram (``vrk_http_requests_total`` and
    ``vrk_http_request_duration_seconds``). The route is the template where the
    framework exposes one: Starlette and FastAPI routes (mounts included),
    Django resolver routes, or a template the application puts into
    ``scope["vornik.route"]``; a request that the router did not match, or
    whose template is unknown, counts as ``"<unmatched>"``, so the series
    cannot grow with user-controlled URLs.

    :param app: the ASGI application to wrap.
    :param metrics_path: path answered with the metrics document (``GET`` and
        ``HEAD``); ``None`` passes every path to ``app``.
    :param path_template: record the route template (``/users/{user_id}``)
        instead of the requested path in the request store as well, where one
        is known (unmatched requests as ``"<unmatched>"``).
    :param route_from_path: use the requested path as the route of a request
        whose template is unknown, for an application without a router; the
        number of series stays bounded by :func:`vornik.routes.configure_series`.
    :param strict: as for :class:`vornik.wsgi.MetricsMiddleware`.
    :param bearer_token_file: as for :class:`vornik.wsgi.MetricsMiddleware`; and
        ``VRK_METRICS_ENDPOINT=off`` turns the metrics path off likewise.
    """

    __slots__ = ("_templates",)

    DJANGO_HANDLER = ("django.core.handlers.asgi", "ASGIHandler")

    def _prepare(self) -> None:
        self._templates = _RouteTemplates()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if self._unchecked:
            # ASGI servers do not say how many workers they run.
            self._unchecked = False
            check_at_first_request(self.strict, None)
        metrics_path = self.metrics_path
        if (
            metrics_path is not None
            and scope.get("path", "").endswith(metrics_path)
            and _route_path(scope) == metrics_path
        ):
            await _serve_metrics(scope, send, self.bearer_token)
            return
        call = _Call(self, scope, send)
        try:
            await self.app(scope, receive, call.send)
        except BaseException:
            call.finish(500)
            raise
        if not call.done:
            # The application returned without finishing its response.
            call.finish(call.status)

    def _template(self, scope: Scope) -> str | None:
        """The route template, ``"<unmatched>"``, or None when no router ran."""
        template = scope.get(ROUTE_KEY)
        if isinstance(template, str):
            return template
        if self._django:
            return django_route(scope.get("root_path", ""), _route_path(scope))
        if "router" not in scope:
            return None
        route = scope.get("route")
        endpoint = scope.get("endpoint")
        if route is None and endpoint is None:
            return UNMATCHED
        found = self._templates.lookup(scope["router"], route, endpoint)
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


async def _serve_metrics(scope: Scope, send: Send, token: BearerToken | None) -> None:
    headers: dict[str, str] = {}
    for name, value in scope.get("headers", ()):
        key = name.decode("latin-1").lower()
        text = value.decode("latin-1")
        # Repeated fields read as one list, as HTTP defines them.
        headers[key] = f"{headers[key]}, {text}" if key in headers else text
    answer = metrics_answer(scope.get("method", "GET"), headers, token)
    raw_headers = [
        (name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in answer.headers
    ]
    await send({"type": "http.response.start", "status": answer.status, "headers": raw_headers})
    await send({"type": "http.response.body", "body": answer.body})


class _Call:
    """One request in flight; wraps ``send`` to see the status and the end."""

    __slots__ = ("mw", "scope", "_send", "start", "status", "trailers", "done")

    def __init__(self, mw: MetricsMiddleware, scope: Scope, send: Send) -> None:
        self.mw = mw
        self.scope = scope
        self._send = send
        # What the application sent; record_response() turns anything that is no
        # status code (None: never started) into 500.
        self.status: object = None
        self.trailers = False
        self.done = False
        self.start = perf_counter()
        # In flight until finish(), which record() ends.
        request_started()

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
        self.finish(self.status)

    def finish(self, status: object) -> None:
        if self.done:
            return
        self.done = True
        duration_ms = (perf_counter() - self.start) * 1000.0
        scope = self.scope
        mw = self.mw
        path: str = scope.get("path", "")
        template = mw._template(scope)
        if template is None:
            # No router named a template: the path is a route only where the
            # application asked for it.
            route = path if mw.route_from_path else UNMATCHED
        else:
            route = template
            if mw.path_template:
                path = template
        record(scope.get("method", ""), path, status, duration_ms, route)


class _RouteTemplates:
    """Full path templates of a Starlette router's routes, mounts included.

    ``scope["route"]`` names the innermost matched route, whose ``path`` is
    relative to the mounts above it; these tables know the whole template of
    every route reachable from the top router. Not every router names the
    route (FastAPI's does only for its own routes, not for the Starlette
    routes of ``/docs`` or ``/openapi.json``), but every matched route puts
    its endpoint, or a mount its application, into ``scope["endpoint"]``:
    the second table is keyed by those. Built on first use and rebuilt when a
    route is not found (routes added at run time).
    """

    __slots__ = ("_router", "_by_route", "_by_endpoint")

    def __init__(self) -> None:
        self._router: object = None
        self._by_route: _Table = {}
        self._by_endpoint: _Table = {}

    def lookup(self, router: object, route: object, endpoint: object) -> str | None:
        if router is not self._router:
            self._router = router
            self._by_route, self._by_endpoint = _build_tables(router)
        found = self._find(route, endpoint)
        if found is None and len(self._by_route) < _MAX_ROUTES:
            self._by_route, self._by_endpoint = _build_tables(router)
            found = self._find(route, endpoint)
        return found

    def _find(self, route: object, endpoint: object) -> str | None:
        by_endpoint = self._by_endpoint.get(id(endpoint))
        if by_endpoint is not None and by_endpoint[0] is not endpoint:
            by_endpoint = None  # an id reused by another object
        if by_endpoint is not None and by_endpoint[1] is not None:
            return by_endpoint[1]
        by_route = self._by_route.get(id(route))
        if by_route is not None and by_route[0] is route:
            return by_route[1]
        if by_endpoint is not None:
            # One endpoint behind several routes, and the router did not say which.
            return UNMATCHED
        return None


#: Object id -> (the object, its route's full template or None when ambiguous).
_Table = dict[int, tuple[object, "str | None"]]


def _build_tables(router: object) -> tuple[_Table, _Table]:
    """Templates by route and by endpoint (a mount's by its application)."""
    by_route: _Table = {}
    by_endpoint: _Table = {}
    seen: set[int] = set()

    def walk(routes: object, prefix: str, depth: int) -> None:
        if depth > 32 or not isinstance(routes, (list, tuple)):
            return
        for route, path in _with_paths(routes):
            if len(by_route) >= _MAX_ROUTES:
                return
            template = prefix + path if isinstance(path, str) else prefix
            by_route.setdefault(id(route), (route, template))
            endpoint = getattr(route, "endpoint", None)
            if endpoint is None:
                endpoint = getattr(route, "app", None)
            if endpoint is not None:
                known = by_endpoint.setdefault(id(endpoint), (endpoint, template))
                if known[1] != template:
                    by_endpoint[id(endpoint)] = (endpoint, None)
            if id(route) in seen:
                continue
            seen.add(id(route))
            children = getattr(route, "routes", None)
            if children:
                walk(children, template, depth + 1)

    walk(getattr(router, "routes", None), "", 0)
    return by_route, by_endpoint


def _with_paths(routes: list[object] | tuple[object, ...]) -> list[tuple[object, object]]:
    """Each route of a list with its path relative to the list's router.

    Newer FastAPI keeps an included router as one entry of its own, whose
    routes carry their paths without the prefixes it was included with;
    ``fastapi.routing.iter_route_contexts`` lists them with the prefixes
    applied, and the route objects the router puts into the scope.
    """
    fastapi_routing = sys.modules.get("fastapi.routing")
    contexts = getattr(fastapi_routing, "iter_route_contexts", None)
    if contexts is not None:
        return [(context.original_route, context.path) for context in contexts(routes)]
    return [(route, getattr(route, "path", "")) for route in routes]
