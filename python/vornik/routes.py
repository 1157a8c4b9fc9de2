"""Requests by method, route template and status code, and the negotiated document.

The middlewares of :mod:`vornik.wsgi` and :mod:`vornik.asgi` record through
:func:`record_request` and serve :func:`metrics_answer`; an application that
records or serves metrics itself uses the same two functions::

    from vornik.routes import metrics_answer
    answer = metrics_answer("GET", {"accept": request_accept_header})
    # answer.status, answer.headers, answer.body

The series table of a process holds at most :func:`get_max_series` series
(method, route, status); requests beyond it are counted in one overflow series
(``route="<overflow>"``) and the first of them is logged once with the
``vornik`` logger. :func:`configure_series` chooses the latency buckets (in
seconds) and that limit, before the process records its first request.
"""

from __future__ import annotations

from ._middleware import MetricsAnswer, metrics_answer
from ._routes import (
    OPENMETRICS_CONTENT_TYPE,
    clear_series,
    configure_series,
    get_duration_buckets,
    get_max_series,
    metrics_document,
    record_request,
    series_count,
)

__all__ = [
    "OPENMETRICS_CONTENT_TYPE",
    "MetricsAnswer",
    "clear_series",
    "configure_series",
    "get_duration_buckets",
    "get_max_series",
    "metrics_answer",
    "metrics_document",
    "record_request",
    "series_count",
]
