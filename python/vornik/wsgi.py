"""WSGI middleware that records every request of the wrapped application.

Wrap any WSGI application (Flask, Django, a plain callable)::

    from vornik.wsgi import MetricsMiddleware
    app.wsgi_app = MetricsMiddleware(app.wsgi_app)          # Flask
    application = MetricsMiddleware(get_wsgi_application())  # Django

Each request is recorded once, when the server closes the response iterable,
so a streamed body is timed as a whole; a request whose application raises is
recorded as a 500 at once.
``GET /metrics`` is answered with the Prometheus document and is not recorded.
"""

from __future__ import annotations

from collections.abc import Iterable
from http import HTTPStatus
from typing import TYPE_CHECKING

from ._deployment import MisconfigurationError, check_at_first_request, server_says
from ._middleware import ROUTE_KEY, UNMATCHED, Middleware, django_route, metrics_answer
from ._routes import WsgiMiddleware

if TYPE_CHECKING:
    from _typeshed.wsgi import (
        StartResponse,
        WSGIApplication,  # noqa: F401  (named in a string below)
        WSGIEnvironment,
    )

__all__ = ["MetricsMiddleware", "MisconfigurationError", "ROUTE_KEY", "UNMATCHED"]


class MetricsMiddleware(WsgiMiddleware, Middleware["WSGIApplication"]):
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
    :param bearer_token_file: a file holding the token that requests for the metrics
        path must carry (``Authorization: Bearer <token>``, as Prometheus sends its
        ``credentials_file``); others are answered 401. Read at once (``OSError`` or
        ``ValueError`` when it cannot be read or holds nothing) and again when it
        changes.

    ``VRK_METRICS_ENDPOINT=off`` in the environment turns the metrics path off, as
    ``metrics_path=None`` does, where ``python -m vornik serve`` serves the document.
    """

    # The native base, called as the application, keeps the settings a request reads as
    # fields and runs each request: the start_response the application calls, and the
    # response the server iterates and closes, which records the request.

    DJANGO_HANDLER = ("django.core.handlers.wsgi", "WSGIHandler")

    def _prepare(self) -> None:
        self._route_of = django_route if self._django else None

    def _check_first_request(self, environ: WSGIEnvironment) -> None:
        check_at_first_request(self.strict, server_says(environ))

    def _serve_metrics(
        self, environ: WSGIEnvironment, start_response: StartResponse
    ) -> Iterable[bytes]:
        headers = {
            key[5:].replace("_", "-").lower(): value
            for key, value in environ.items()
            if key.startswith("HTTP_")
        }
        answer = metrics_answer(environ.get("REQUEST_METHOD", "GET"), headers, self.bearer_token)
        start_response(f"{answer.status} {HTTPStatus(answer.status).phrase}", answer.headers)
        return [answer.body] if answer.body else []
