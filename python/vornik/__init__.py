"""Request and process metrics for Python web applications, from a small native core.

The functions and classes of the native core are re-exported here; the WSGI and
ASGI middlewares live in :mod:`vornik.wsgi` and :mod:`vornik.asgi`, and
``python -m vornik demo`` runs an instrumented example application.
"""

from ._core import *  # noqa: F403

__version__ = "0.4.3"

__all__ = [
    "hello",
    "snapshot",
    "Snapshot",
    "record_request",
    "get_requests",
    "clear_requests",
    "set_max_requests",
    "get_max_requests",
    "RequestMetric",
    "set_multiproc_dir",
    "get_multiproc_dir",
    "multiproc_enabled",
    "aggregate",
    "AggregatedMetrics",
    "metrics_text",
    "PROMETHEUS_CONTENT_TYPE",
    "check_alerts",
]
