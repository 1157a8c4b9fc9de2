"""What the WSGI and ASGI middlewares share: names, the metrics answer, text hygiene."""

from __future__ import annotations

from collections.abc import Mapping
from typing import NamedTuple

from ._core import PROMETHEUS_CONTENT_TYPE, metrics_text

#: Environ or scope key an application may set to the route template of the
#: request; it takes precedence over what the middleware finds out by itself.
#: Applications set it by this name: part of the contract.
ROUTE_KEY = "vornik.route"

#: Path recorded, with ``path_template=True``, for a request that the
#: framework's router did not match (404s from scanners, typos, ...).
#: Dashboards and alert rules match on this text: part of the contract.
UNMATCHED = "<unmatched>"

METRICS_METHODS = ("GET", "HEAD")


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
    return PROMETHEUS_CONTENT_TYPE, metrics_text().encode("utf-8")


def encodable(value: str) -> str:
    """The text itself, with anything UTF-8 cannot carry (lone surrogates) replaced."""
    if value.isascii():
        return value
    return value.encode("utf-8", "replace").decode("utf-8")


def check_metrics_path(metrics_path: str | None) -> None:
    if metrics_path is not None and not metrics_path.startswith("/"):
        # Callers may match on this message: part of the contract.
        raise ValueError(f"metrics_path must start with '/', got {metrics_path!r}")
