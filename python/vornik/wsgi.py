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

import importlib
import sys
from collections.abc import Iterable, Iterator
from time import perf_counter
from typing import TYPE_CHECKING, Any

from ._core import PROMETHEUS_CONTENT_TYPE, metrics_text, record_request
from ._middleware import METRICS_METHODS, ROUTE_KEY, UNMATCHED, check_metrics_path, encodable
from .workers import metrics_text as worker_families
from .workers import register

if TYPE_CHECKING:
    from collections.abc import Callable

    from _typeshed import OptExcInfo
    from _typeshed.wsgi import StartResponse, WSGIApplication, WSGIEnvironment

__all__ = ["MetricsMiddleware", "ROUTE_KEY", "UNMATCHED"]


def _wsgi_text(value: str) -> str:
    """Turn a WSGI "bytes as latin-1" string into the text the client meant."""
    if value.isascii():
        return value
    try:
        raw = value.encode("latin-1")
    except UnicodeEncodeError:
        return encodable(value)  # not a WSGI native string after all
    return raw.decode("utf-8", "replace")


def _status_code(status: str | None) -> int:
    if status is None:
        # start_response was never called: the server answers 500 itself.
        return 500
    try:
        return int(status[:3])
    except ValueError:
        return 500


def _django_handler_type() -> type[Any] | None:
    module = sys.modules.get("django.core.handlers.wsgi")
    handler: type[Any] | None = getattr(module, "WSGIHandler", None)
    return handler


class MetricsMiddleware:
    """Record each request of ``app`` and serve the metrics document.

    :param app: the WSGI application to wrap.
    :param metrics_path: path answered with :func:`vornik.metrics_text`
        (``GET`` and ``HEAD``); ``None`` passes every path to ``app``.
    :param path_template: record the route template (``/users/<int:id>``)
        instead of the requested path, where the framework exposes one:
        Flask URL rules (Flask must be imported before the middleware is
        created), Django resolver routes, or a template the application puts
        into ``environ["vornik.route"]``. Requests that a Flask or Django
        router did not match are recorded as ``"<unmatched>"``, so the recorded
        paths cannot grow with user-controlled URLs.
    """

    __slots__ = ("app", "metrics_path", "path_template", "_django")

    def __init__(
        self,
        app: WSGIApplication,
        metrics_path: str | None = "/metrics",
        *,
        path_template: bool = False,
    ) -> None:
        check_metrics_path(metrics_path)
        self.app = app
        self.metrics_path = metrics_path
        self.path_template = path_template
        handler = _django_handler_type()
        self._django = handler is not None and isinstance(app, handler)
        if path_template:
            _hook_flask()

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        if environ.get("PATH_INFO", "") == self.metrics_path:
            return _serve_metrics(environ, start_response)
        call = _Call(self, environ, start_response)
        try:
            call.result = self.app(environ, call.start_response)
        except BaseException:
            call.finish(500)
            raise
        return call

    def _path(self, environ: WSGIEnvironment) -> str:
        script_name = _wsgi_text(environ.get("SCRIPT_NAME", ""))
        path_info = _wsgi_text(environ.get("PATH_INFO", ""))
        if not self.path_template:
            return script_name + path_info
        template = environ.get(ROUTE_KEY)
        if isinstance(template, str):
            # Set by the application or Flask's rule: text already, not WSGI bytes.
            return script_name + encodable(template)
        if self._django:
            return _django_route(script_name, path_info)
        return script_name + path_info


_flask_hooked = False


def _flask_route(sender: object, **extra: object) -> None:
    request: Any = sys.modules["flask"].request
    rule = request.url_rule
    request.environ.setdefault(ROUTE_KEY, UNMATCHED if rule is None else rule.rule)


def _hook_flask() -> None:
    """Have every Flask app name its URL rule in the environ.

    Flask matches the rule when the request starts and forgets its request
    object when the request context ends, before the server closes the
    response; so the rule is copied into the environ while it is known.
    """
    global _flask_hooked
    if _flask_hooked or "flask" not in sys.modules:
        return
    flask: Any = sys.modules["flask"]
    flask.request_started.connect(_flask_route)
    _flask_hooked = True


def _django_route(script_name: str, path_info: str) -> str:
    urls: Any = importlib.import_module("django.urls")
    try:
        match = urls.resolve(path_info or "/")
    except urls.Resolver404:
        return UNMATCHED
    route = match.route
    if not isinstance(route, str):
        return UNMATCHED
    return script_name + "/" + route.lstrip("^")


def _serve_metrics(environ: WSGIEnvironment, start_response: StartResponse) -> list[bytes]:
    method = environ.get("REQUEST_METHOD", "GET")
    if method not in METRICS_METHODS:
        start_response(
            "405 Method Not Allowed",
            [("Allow", "GET, HEAD"), ("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", "0")],
        )
        return []
    body = (metrics_text() + worker_families()).encode("utf-8")
    start_response(
        "200 OK",
        [
            ("Content-Type", PROMETHEUS_CONTENT_TYPE),
            ("Content-Length", str(len(body))),
            ("Cache-Control", "no-store"),
        ],
    )
    return [] if method == "HEAD" else [body]


class _Call:
    """One request in flight: the response iterable handed back to the server.

    The request is recorded exactly once: when the server closes the iterable,
    or as a 500 as soon as the application raises, before or during the body.
    """

    __slots__ = ("mw", "environ", "start", "status", "_start_response", "result", "done")

    def __init__(self, mw: MetricsMiddleware, environ: WSGIEnvironment, start_response: StartResponse) -> None:
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
        return self._start_response(status, headers, exc_info)

    def __iter__(self) -> Iterator[bytes]:
        try:
            for chunk in self.result:
                yield chunk
        except GeneratorExit:
            # The server stopped iterating; close() records the request.
            raise
        except BaseException:
            self.finish(500)
            raise

    def __len__(self) -> int:
        # Lets servers that count blocks (wsgiref) still set Content-Length.
        return len(self.result)  # type: ignore[arg-type]

    def close(self) -> None:
        close = getattr(self.result, "close", None)
        if close is not None:
            try:
                close()
            except BaseException:
                self.finish(500)
                raise
        self.finish(_status_code(self.status))

    def finish(self, status_code: int) -> None:
        if self.done:
            return
        self.done = True
        duration_ms = (perf_counter() - self.start) * 1000.0
        environ = self.environ
        method = _wsgi_text(environ.get("REQUEST_METHOD", ""))
        record_request(method, self.mw._path(environ), status_code, duration_ms)
        register()
