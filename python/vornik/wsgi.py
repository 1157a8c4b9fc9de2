"""WSGI middleware that records every request of the wrapped application.

Wrap any WSGI application (Flask, Django, a plain callable)::

    from vornik.wsgi import MetricsMiddleware
    app.wsgi_app = MetricsMiddleware(app.wsgi_app)          # Flask
    application = MetricsMiddleware(get_wsgi_application())  # Django

Each request is recorded once with :func:`vornik.record_request`, when the
server closes the response iterable, so a streamed body is timed as a whole.
``GET /metrics`` is answered with the Prometheus document and is not recorded.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from http import HTTPStatus
from time import perf_counter
from typing import TYPE_CHECKING, Any

from ._deployment import MisconfigurationError, check_at_first_request, server_says
from ._middleware import (
    ROUTE_KEY,
    UNMATCHED,
    Middleware,
    django_route,
    encodable,
    metrics_answer,
    record,
)

if TYPE_CHECKING:
    from collections.abc import Callable

    from _typeshed import OptExcInfo
    from _typeshed.wsgi import (
        StartResponse,
        WSGIApplication,  # noqa: F401  (named in a string below)
        WSGIEnvironment,
    )

__all__ = ["MetricsMiddleware", "MisconfigurationError", "ROUTE_KEY", "UNMATCHED"]


def _wsgi_text(value: str) -> str:
    """Turn a WSGI "bytes as latin-1" string into the text the client meant."""
    if value.isascii():
        return value
    try:
        raw = value.encode("latin-1")
    except UnicodeEncodeError:
        return encodable(value)  # not a WSGI native string after all
    return raw.decode("utf-8", "replace")


class MetricsMiddleware(Middleware["WSGIApplication"]):
    """Record each request of ``app`` and serve the metrics document.

    Every request is counted by method, route template and status code, with
    its latency in a histogram (``vrk_http_requests_total`` and
    ``vrk_http_request_duration_seconds``). The route is the template where the
    framework exposes one: Flask URL rules, Django resolver routes, or a template the
    application puts into ``environ["vornik.route"]``; a request that no route
    matched, or whose template is unknown, counts as ``"<unmatched>"``, so the
    series cannot grow with user-controlled URLs.

    :param app: the WSGI application to wrap.
    :param metrics_path: path answered with the metrics document (``GET`` and
        ``HEAD``); ``None`` passes every path to ``app``.
    :param path_template: record the route template (``/users/<int:id>``)
        instead of the requested path in the request store as well, where one
        is known (unmatched requests as ``"<unmatched>"``).
    :param route_from_path: use the requested path as the route of a request
        whose template is unknown, for an application without a router; the
        number of series stays bounded by :func:`vornik.routes.configure_series`.
    :param strict: raise :class:`MisconfigurationError` where a misconfigured
        shard directory is otherwise only logged as a warning (logger
        ``vornik``): when ``VRK_MULTIPROC_DIR`` names a directory that cannot
        be used (at once), or when the server runs several workers without a
        shard directory (at the first request).
    """

    __slots__ = ()

    DJANGO_HANDLER = ("django.core.handlers.wsgi", "WSGIHandler")

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        if self._unchecked:
            self._unchecked = False
            check_at_first_request(self.strict, server_says(environ))
        if environ.get("PATH_INFO", "") == self.metrics_path:
            return _serve_metrics(environ, start_response)
        call = _Call(self, environ, start_response)
        try:
            result = self.app(environ, call.start_response)
        except BaseException:
            call.finish(500)
            raise
        call.result = result
        if _sized(type(result)):
            # The server must see what the application gave it: a length only
            # when the application's iterable has one (waitress calls len() on
            # whatever offers it, and a generator has none).
            call.__class__ = _SizedCall
        return call

    def _path_and_route(self, environ: WSGIEnvironment) -> tuple[str, str]:
        """The path to keep in the request store, and the route of the series."""
        script_name = environ.get("SCRIPT_NAME", "")
        path_info = environ.get("PATH_INFO", "")
        if not (script_name.isascii() and path_info.isascii()):
            script_name, path_info = _wsgi_text(script_name), _wsgi_text(path_info)
        path = script_name + path_info
        template = environ.get(ROUTE_KEY)
        if isinstance(template, str):
            # Set by the application or Flask's rule: text already, not WSGI bytes.
            route = script_name + (template if template.isascii() else encodable(template))
        elif self._django:
            route = django_route(script_name, path_info)
        else:
            # No router named a template: the path is a route only where the
            # application asked for it.
            return path, path if self.route_from_path else UNMATCHED
        return route if self.path_template else path, route


def _sized(kind: type) -> bool:
    """Whether iterables of this type have a length, found out once per type: a
    failed attribute lookup costs more than the rest of the check."""
    sized = _SIZED.get(kind)
    if sized is None:
        sized = hasattr(kind, "__len__")
        if len(_SIZED) < _MAX_SIZED:
            _SIZED[kind] = sized
    return sized


# An application hands back iterables of a type or two.
_SIZED: dict[type, bool] = {}
_MAX_SIZED = 64


# What a request object without a URL rule (not Flask's) gives.
_NO_RULE: Any = object()


def _serve_metrics(environ: WSGIEnvironment, start_response: StartResponse) -> list[bytes]:
    headers = {
        key[5:].replace("_", "-").lower(): value
        for key, value in environ.items()
        if key.startswith("HTTP_")
    }
    answer = metrics_answer(environ.get("REQUEST_METHOD", "GET"), headers)
    start_response(f"{answer.status} {HTTPStatus(answer.status).phrase}", answer.headers)
    return [answer.body] if answer.body else []


class _Call:
    """One request in flight: the response iterable handed back to the server.

    The request is recorded exactly once: when the server closes the iterable,
    or as a 500 as soon as the application raises, before or during the body.
    """

    __slots__ = ("mw", "environ", "start", "status", "_start_response", "result", "done")

    def __init__(
        self, mw: MetricsMiddleware, environ: WSGIEnvironment, start_response: StartResponse
    ) -> None:
        self.mw = mw
        self.environ = environ
        self._start_response = start_response
        self.status: str | None = None
        self.result: Iterable[bytes] = ()
        self.done = False
        self.start = perf_counter()

    def start_response(
        self, status: str, headers: list[tuple[str, str]], exc_info: OptExcInfo | None = None, /
    ) -> Callable[[bytes], object]:
        self.status = status
        environ = self.environ
        if ROUTE_KEY not in environ:
            # Flask keeps its request under Werkzeug's key while the request
            # context lasts and clears it when the context ends, before the
            # server closes the response: the rule is taken now. A request
            # object without a rule (plain Werkzeug) or none (another
            # application) gives nothing to take.
            rule = getattr(environ.get("werkzeug.request"), "url_rule", _NO_RULE)
            if rule is not _NO_RULE:
                environ[ROUTE_KEY] = UNMATCHED if rule is None else rule.rule
        return self._start_response(status, headers, exc_info)

    def __iter__(self) -> Iterator[bytes]:
        try:
            # A loop, not `yield from`: that would close the application's
            # iterable again when this generator is dropped, after close().
            for chunk in self.result:  # noqa: UP028
                yield chunk
        except GeneratorExit:
            # The server stopped iterating; close() records the request.
            raise
        except BaseException:
            self.finish(500)
            raise

    def close(self) -> None:
        close = getattr(self.result, "close", None)
        if close is not None:
            try:
                close()
            except BaseException:
                self.finish(500)
                raise
        # No status (start_response never called) is recorded as the 500 the
        # server answers then.
        self.finish(self.status)

    def finish(self, status: int | str | None) -> None:
        if self.done:
            return
        self.done = True
        duration_ms = (perf_counter() - self.start) * 1000.0
        environ = self.environ
        method = environ.get("REQUEST_METHOD", "")
        path, route = self.mw._path_and_route(environ)
        record(method if method.isascii() else _wsgi_text(method), path, status, duration_ms, route)


class _SizedCall(_Call):
    """A request whose application returned a sized iterable (a list of blocks)."""

    __slots__ = ()

    def __len__(self) -> int:
        # Lets servers that count blocks (wsgiref) still set Content-Length.
        return len(self.result)  # type: ignore[arg-type]
