"""What the WSGI and ASGI middlewares share: names, the metrics answer, what they record."""

from __future__ import annotations

import gc
import gzip
import hmac
import importlib
import os
import sys
from collections.abc import Callable, Mapping
from typing import Any, ClassVar, Generic, NamedTuple, TypeVar

from ._core import PROMETHEUS_CONTENT_TYPE
from ._deployment import LOGGER, check_at_start, endpoint_is_off
from ._routes import (
    OPENMETRICS_CONTENT_TYPE,
    gc_phase,
    metrics_document,
    register_worker,
    request_finished,
)
from .metrics import with_included_registries

#: Environ or scope key an application may set to the route template of the
#: request; it takes precedence over what the middleware finds out by itself.
#: Applications set it by this name: part of the contract.
ROUTE_KEY = "vornik.route"

#: Route of a request that the framework's router did not match (404s from
#: scanners, typos, ...), or for which no template is known; also the path
#: recorded for such a request with ``path_template=True``.
#: Dashboards and alert rules match on this text: part of the contract.
UNMATCHED = "<unmatched>"

METRICS_METHODS = ("GET", "HEAD")

AppT = TypeVar("AppT")


class Middleware(Generic[AppT]):
    """The settings both middlewares take, checked and kept the same way.

    No ``__slots__``: the WSGI middleware also derives from a native base that keeps
    most of them as fields, and a class can have only one base with slots.
    """

    #: Django's handler class for the protocol, as (module, name).
    DJANGO_HANDLER: ClassVar[tuple[str, str]]

    def __init__(
        self,
        app: AppT,
        metrics_path: str | None = "/metrics",
        *,
        path_template: bool = False,
        route_from_path: bool = False,
        strict: bool = False,
        bearer_token_file: str | os.PathLike[str] | None = None,
    ) -> None:
        check_metrics_path(metrics_path)
        check_at_start(strict)
        watch_gc()
        self.app = app
        self.metrics_path = None if endpoint_is_off(strict) else metrics_path
        # Read now: a token file that cannot be read stops the application at start
        # rather than leaving its endpoint open.
        self.bearer_token = None if bearer_token_file is None else BearerToken(bearer_token_file)
        self.path_template = path_template
        self.route_from_path = route_from_path
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


class BearerToken:
    """The token a scraper must send as ``Authorization: Bearer <token>``, kept in a file.

    The file is read as Prometheus reads its ``credentials_file``: the whole of it, less
    the whitespace around it. It is read again at the first scrape after it changed
    (another file, size, or change time), so a rotated secret holds from the next scrape;
    a file that cannot be read then, or holds nothing, leaves the token read last in
    force, and is tried again at the next scrape. The token is never logged.
    """

    __slots__ = ("path", "_known")

    def __init__(self, path: str | os.PathLike[str]) -> None:
        """Raises OSError when the file cannot be read, ValueError when it holds no token."""
        self.path = os.fspath(path)
        self._known = _token_of(self.path)
        if not self._known[1]:
            raise ValueError(f"{self.path}: the file holds no token")

    def admits(self, authorization: str) -> bool:
        """Whether an ``Authorization`` header's value carries the token."""
        token = self._current()
        scheme, _, credentials = authorization.strip().partition(" ")
        sent = credentials.strip().encode("latin-1", "replace")
        # compare_digest takes as long for any sent text of the token's length.
        return scheme.lower() == "bearer" and hmac.compare_digest(sent, token)

    def _current(self) -> bytes:
        identity, token = self._known
        try:
            if _identity(os.stat(self.path)) == identity:
                return token
            read = _token_of(self.path)
        except OSError as error:
            LOGGER.warning(
                "the bearer token file %r cannot be read (%s); the token read last holds",
                self.path,
                error.strerror,
            )
            return token
        if not read[1]:
            LOGGER.warning(
                "the bearer token file %r holds no token; the token read last holds", self.path
            )
            return token
        self._known = read
        return read[1]


def _token_of(path: str) -> tuple[tuple[int, ...], bytes]:
    """The identity of the file at ``path`` and the token it holds (maybe empty)."""
    with open(path, "rb") as file:
        return _identity(os.fstat(file.fileno())), file.read().strip()


def _identity(stat: os.stat_result) -> tuple[int, ...]:
    return (stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns)


def worker_document(openmetrics: bool) -> str:
    """The document a worker answers with: its directory's, or its own without one, and
    the families of the registries given to :func:`vornik.metrics.include_registry`."""
    # The worker that answers is one of the live workers the document lists, even when
    # this scrape is its first request.
    register_worker()
    return with_included_registries(metrics_document(openmetrics=openmetrics), openmetrics)


def metrics_answer(
    method: str,
    request_headers: Mapping[str, str],
    token: BearerToken | None = None,
    document: Callable[[bool], str] = worker_document,
) -> MetricsAnswer:
    """Answer ``method`` on the metrics path; ``request_headers`` are named in lower case.

    ``token``: the bearer token the request must carry. ``document``: renders the
    document, in OpenMetrics when given True.
    """
    if token is not None and not token.admits(request_headers.get("authorization", "")):
        return MetricsAnswer(
            401,
            [
                ("WWW-Authenticate", 'Bearer realm="metrics"'),
                ("Content-Type", "text/plain; charset=utf-8"),
                ("Content-Length", "0"),
            ],
            b"",
        )
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
    content_type, body = _negotiated(request_headers, document)
    headers = [("Content-Type", content_type)]
    if _accepts_gzip(request_headers.get("accept-encoding", "")):
        # Level 6 as zlib's default: most of the gain of 9 at a fraction of its time.
        body = gzip.compress(body, compresslevel=6, mtime=0)
        headers.append(("Content-Encoding", "gzip"))
    headers += [
        ("Content-Length", str(len(body))),
        ("Cache-Control", "no-store"),
        ("Vary", "Accept, Accept-Encoding"),
    ]
    return MetricsAnswer(200, headers, b"" if method == "HEAD" else body)


def _negotiated(
    request_headers: Mapping[str, str], document: Callable[[bool], str]
) -> tuple[str, bytes]:
    """The document to send and its content type, by what the client accepts.

    OpenMetrics 1.0 when the client prefers it (Prometheus does), otherwise the
    text format 0.0.4: every scraper reads that one.
    """
    if _prefers_openmetrics(request_headers.get("accept", "")):
        return OPENMETRICS_CONTENT_TYPE, document(True).encode("utf-8")
    return PROMETHEUS_CONTENT_TYPE, document(False).encode("utf-8")


def _ranges(header: str) -> list[tuple[str, dict[str, str]]]:
    """The comma-separated items of an Accept-like header: value and parameters."""
    items = []
    for item in header.split(","):
        value, *params = item.split(";")
        parameters = {}
        for param in params:
            name, _, param_value = param.partition("=")
            parameters[name.strip().lower()] = param_value.strip().strip('"')
        if value.strip():
            items.append((value.strip().lower(), parameters))
    return items


def _quality(parameters: dict[str, str]) -> float:
    try:
        q = float(parameters.get("q", "1"))
    except ValueError:
        return 0.0
    return q if 0.0 <= q <= 1.0 else 0.0


def _prefers_openmetrics(accept: str) -> bool:
    """True when OpenMetrics 1.0 is accepted at least as much as the text format."""
    openmetrics = text = 0.0
    for media_type, parameters in _ranges(accept):
        version = parameters.get("version")
        if media_type == "application/openmetrics-text" and version in (None, "1.0.0"):
            openmetrics = max(openmetrics, _quality(parameters))
        elif media_type in ("text/plain", "text/*", "*/*") and version in (None, "0.0.4"):
            text = max(text, _quality(parameters))
    return openmetrics > 0.0 and openmetrics >= text


def _accepts_gzip(accept_encoding: str) -> bool:
    gzip_q: float | None = None
    any_q = 0.0
    for coding, parameters in _ranges(accept_encoding):
        if coding in ("gzip", "x-gzip"):
            gzip_q = _quality(parameters)
        elif coding == "*":
            any_q = _quality(parameters)
    return (gzip_q if gzip_q is not None else any_q) > 0.0


def record(method: str, path: str, status: object, duration_ms: float, route: str) -> None:
    """Record one finished request, whatever text and status it came with, in the
    store and the shard and in the series of its method, route and status (which also
    claims this worker's slot), and end it among the requests in flight."""
    request_finished(method, path, status, duration_ms, route)


def watch_gc() -> None:
    """Count this process's time in the cyclic garbage collector (``vrk_worker_gc_seconds_total``);
    the native callback costs two clock reads per collection. A forked child keeps it."""
    if gc_phase not in gc.callbacks:
        gc.callbacks.append(gc_phase)


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


def check_metrics_path(metrics_path: str | None) -> None:
    if metrics_path is not None and not metrics_path.startswith("/"):
        # Callers may match on this message: part of the contract.
        raise ValueError(f"metrics_path must start with '/', got {metrics_path!r}")
