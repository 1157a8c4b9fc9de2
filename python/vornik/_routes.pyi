"""Type stubs for the native module of the route families."""

from collections.abc import Iterable
from typing import Final

__all__ = [
    "record_request",
    "configure_series",
    "get_duration_buckets",
    "get_max_series",
    "series_count",
    "clear_series",
    "metrics_document",
    "OPENMETRICS_CONTENT_TYPE",
]

OPENMETRICS_CONTENT_TYPE: Final[str]

def record_request(
    method: str, path: str, status_code: int, duration_ms: float, route: str
) -> None: ...
def configure_series(
    duration_buckets: Iterable[float] | None = None, max_series: int | None = None
) -> None: ...
def get_duration_buckets() -> tuple[float, ...]: ...
def get_max_series() -> int: ...
def series_count() -> int: ...
def clear_series() -> None: ...
def metrics_document(openmetrics: bool = False) -> str: ...
