"""What the WSGI and ASGI middlewares share: names, the metrics answer, what they record."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Mapping
from typing import Any, ClassVar, Generic, NamedTuple, TypeVar

from ._core import PROMETHEUS_CONTENT_TYPE, metrics_text, record_request
from ._deployment import check_at_start
from .workers import metrics_text as worker_families
from .workers import register

#: Environ or scope key an application may set to the route template of the
#: request; it takes precedence over what the middleware finds out by itself.
#: Applications set it by this name: part of the contract.
ROUTE_KEY = "vornik.route"

#: Path recorded, with ``path_template=True``, for a request that the
#: framework's router did not match (404s from scanners, typos, ...).
#: Dashboards and alert rules match on this text: part of the contract.
UNMATCHED = "<unmatched>"

METRICS_METHODS = ("GET", "HEAD")

#: Longest path and method, in characters, that a request is recorded with. The
#: ring buffer keeps the text of every retained request, and a client chooses
#: the raw path: 10,000 requests with 15 kB URLs would hold 150 MB. A longer
#: text keeps its first characters and ends in "…".
MAX_PATH_CHARS = 256
MAX_METHOD_CHARS = 32


AppT = TypeVar("AppT")


class Middleware(Generic[AppT]):
    """The settings both middlewares take, checked and kept the same way."""

    __slots__ = ("app", "metrics_path", "path_template", "strict", "_unchecked", "_django")

    #: Django's handler class for the protocol, as (module, name).
    DJANGO_HANDLER: ClassVar[tuple[str, str]]

    def __init__(
        self,
        app: AppT,
        metrics_path: str | None = "/metrics",
        *,
        path_template: bool = False,
        strict: bool = False,
    ) -> None:
        check_metrics_path(metrics_path)
        check_at_start(strict)
        self.app = app
        self.metrics_path = metrics_path
        self.path_template = path_template
        self.strict = strict
        # Until the first request has been checked for several workers.
        self._unchecked = True
        self._django = django_handler(app, *self.DJANGO_HANDLER)
        self._prepare()

    def _prepare(self) -> None:
        """Set up what the protocol's middleware needs beyond these settings."""


class MetricsAnswer(NamedTuple):
    """The whole response to a request for the metrics path, in neither protocol.

    Header names are in their usual capitalisation; the ASGI middleware lowers
    them. ``body`` is empty for ``HEAD``, while ``Content-Length`` still gives
    the length a ``GET`` would have received.
    """

    status: int
    headers: list[tuple[str, str]]
    body: bytes


def metrics_answer(method: str, request_headers: Mapping[str, str]) -> MetricsAnswer:
    """Answer ``method`` on the metrics path; header names in lower case."""
    if method not in METRICS_METHODS:
        return MetricsAnswer(
            405,
            [
                ("Allow", "GET, HEAD"),
                ("Content-Type", "text/plain; charset=utf-8"),
                ("Content-Length", "0"),
            ],
            b"",
        )
    content_type, body = _document(request_headers)
    headers = [
        ("Content-Type", content_type),
        ("Content-Length", str(len(body))),
        ("Cache-Control", "no-store"),
    ]
    return MetricsAnswer(200, headers, b"" if method == "HEAD" else body)


def _document(request_headers: Mapping[str, str]) -> tuple[str, bytes]:
    """The document to send and its content type.

    The one place where the request's headers may shape the document, for
    both protocols; today there is one form, the text format 0.0.4, whatever
    the client accepts.
    """
    return PROMETHEUS_CONTENT_TYPE, (metrics_text() + worker_families()).encode("utf-8")


def record(method: str, path: str, status: object, duration_ms: float) -> None:
    """Record one finished request, whatever text and status it came with."""
    if not (method.isascii() and path.isascii()):
        method, path = encodable(method), encodable(path)
    if len(path) > MAX_PATH_CHARS:
        path = path[: MAX_PATH_CHARS - 1] + "…"
    if len(method) > MAX_METHOD_CHARS:
        method = method[: MAX_METHOD_CHARS - 1] + "…"
    record_request(method, path, status_code(status), duration_ms)
    register()


def status_code(status: object) -> int:
    """The status to record: the response's code when it is one, else 500.

    WSGI hands over the status line (``"404 Not Found"``), ASGI the number.
    Anything that is not a number in 0..65535 counts as the server error it
    will turn into.
    """
    if type(status) is int:
        return status if 0 <= status <= 0xFFFF else 500
    if type(status) is str:
        code = _STATUS_LINES.get(status)
        if code is None:
            code = _status_line_code(status)
            if len(_STATUS_LINES) < _MAX_STATUS_LINES:
                _STATUS_LINES[status] = code
        return code
    if isinstance(status, int) and not isinstance(status, bool):
        return int(status) if 0 <= status <= 0xFFFF else 500
    return 500


# An application answers with a handful of distinct status lines: parsing each
# once keeps the per-request cost to a lookup.
_STATUS_LINES: dict[str, int] = {}
_MAX_STATUS_LINES = 64


def _status_line_code(status: str) -> int:
    code = status.partition(" ")[0]
    if code.isascii() and code.isdigit() and int(code) <= 0xFFFF:
        return int(code)
    return 500


def django_handler(app: object, module: str, name: str) -> bool:
    """Whether ``app`` is Django's handler ``module.name``, without importing Django."""
    handler = getattr(sys.modules.get(module), name, None)
    return isinstance(handler, type) and isinstance(app, handler)


def django_route(script_name: str, path_info: str) -> str:
    """The route of Django's resolver match for ``path_info`` (``ROOT_URLCONF``)."""
    urls: Any = importlib.import_module("django.urls")
    try:
        match = urls.resolve(path_info or "/")
    except urls.Resolver404:
        return UNMATCHED
    route = match.route
    if not isinstance(route, str):
        return UNMATCHED
    return script_name + "/" + route.lstrip("^")


def encodable(value: str) -> str:
    """The text itself, with anything UTF-8 cannot carry (lone surrogates) replaced."""
    if value.isascii():
        return value
    return value.encode("utf-8", "replace").decode("utf-8")


def check_metrics_path(metrics_path: str | None) -> None:
    if metrics_path is not None and not metrics_path.startswith("/"):
        # Callers may match on this message: part of the contract.
        raise ValueError(f"metrics_path must start with '/', got {metrics_path!r}")
