"""Type stubs for the native module of the route families."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, Final, final

from _typeshed.wsgi import StartResponse, WSGIApplication, WSGIEnvironment
from typing_extensions import disjoint_base

__all__ = [
    "record_request",
    "record_response",
    "configure_series",
    "get_duration_buckets",
    "get_max_series",
    "series_count",
    "clear_series",
    "metrics_document",
    "directory_document",
    "worker_families",
    "check_shard_directory",
    "register_worker",
    "read_directory",
    "process_figures",
    "child_pids",
    "histogram_quantile",
    "request_started",
    "request_finished",
    "gc_phase",
    "listen_queues",
    "SHARD_BOUNDS_MS",
    "OPENMETRICS_CONTENT_TYPE",
    "WsgiMiddleware",
    "AppMetric",
    "CounterSeries",
    "GaugeSeries",
    "HistogramSeries",
]

OPENMETRICS_CONTENT_TYPE: Final[str]
SHARD_BOUNDS_MS: Final[tuple[float, ...]]

def record_request(
    method: str, path: str, status_code: int, duration_ms: float, route: str
) -> None: ...
def record_response(
    method: str, path: str, status_code: object, duration_ms: float, route: str
) -> None: ...
def configure_series(
    duration_buckets: Iterable[float] | None = None, max_series: int | None = None
) -> None: ...
def get_duration_buckets() -> tuple[float, ...]: ...
def get_max_series() -> int: ...
def series_count() -> int: ...
def clear_series() -> None: ...
def metrics_document(openmetrics: bool = False) -> str: ...
def directory_document(path: str, openmetrics: bool = False) -> str: ...
def worker_families(openmetrics: bool = False) -> str: ...
def check_shard_directory(path: str, /) -> tuple[bool, str | None]: ...
def register_worker() -> None: ...
def read_directory(
    path: str, /
) -> tuple[
    list[tuple[str, int, int, int, tuple[int, ...]]],
    list[tuple[int, int, tuple[int, float, float] | None]],
]: ...
def process_figures(pid: int, /) -> tuple[float, int, int, int | None, float] | None: ...
def child_pids(pid: int, /) -> list[int]: ...
def histogram_quantile(
    bounds: Sequence[float], counts: Sequence[float], q: float, maximum: float = ...
) -> float: ...
def request_started() -> None: ...
def request_finished(
    method: str, path: str, status_code: object, duration_ms: float, route: str
) -> None: ...
def gc_phase(phase: str, info: dict[str, int]) -> None: ...
def listen_queues(pids: Iterable[int], /) -> list[tuple[str, int, int | None]]: ...

@disjoint_base
class WsgiMiddleware:
    app: WSGIApplication
    metrics_path: str | None
    path_template: bool
    route_from_path: bool
    _route_of: Callable[[str, str], str] | None
    _unchecked: bool
    def __call__(
        self, environ: WSGIEnvironment, start_response: StartResponse, /
    ) -> Iterable[bytes]: ...

@final
class AppMetric:
    def __new__(
        cls,
        name: str,
        documentation: str,
        kind: str,
        labelnames: Iterable[str],
        buckets: Iterable[float],
        mode: str,
        unit: str,
        series_type: type[CounterSeries | GaugeSeries | HistogramSeries],
    ) -> AppMetric: ...
    def labels(self, /, *values: object, **by_name: object) -> Any: ...

@disjoint_base
class CounterSeries:
    def inc(self, amount: float = 1, exemplar: dict[str, str] | None = None) -> None: ...
    def get(self) -> float: ...

@disjoint_base
class GaugeSeries:
    def inc(self, amount: float = 1) -> None: ...
    def dec(self, amount: float = 1) -> None: ...
    def set(self, value: float) -> None: ...
    def set_to_current_time(self) -> None: ...
    def get(self) -> float: ...

@disjoint_base
class HistogramSeries:
    def observe(self, amount: float, exemplar: dict[str, str] | None = None) -> None: ...
    def get(self) -> float: ...
