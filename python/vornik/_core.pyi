"""Type stubs for the native core of vornik."""

from typing import Final, TypedDict, final

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

class _RequestMetricDict(TypedDict):
    method: str
    path: str
    status_code: int
    duration_ms: float
    timestamp: int

class _AggregatedMetricsDict(TypedDict):
    total_requests: int
    total_errors: int
    error_rate: float
    avg_latency_ms: float
    min_latency_ms: float
    max_latency_ms: float
    p50_latency_ms: float
    p95_latency_ms: float
    p99_latency_ms: float

class _SnapshotDict(TypedDict):
    pid: int
    cpu_percent: float
    memory_rss: int
    memory_virtual: int
    threads: int
    timestamp: int

class _Alert(TypedDict):
    metric: str
    value: float
    threshold: float
    severity: str

@final
class RequestMetric:
    @property
    def method(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def status_code(self) -> int: ...
    @property
    def duration_ms(self) -> float: ...
    @property
    def timestamp(self) -> int: ...
    def to_dict(self) -> _RequestMetricDict: ...

@final
class AggregatedMetrics:
    @property
    def total_requests(self) -> int: ...
    @property
    def total_errors(self) -> int: ...
    @property
    def error_rate(self) -> float: ...
    @property
    def avg_latency_ms(self) -> float: ...
    @property
    def min_latency_ms(self) -> float: ...
    @property
    def max_latency_ms(self) -> float: ...
    @property
    def p50_latency_ms(self) -> float: ...
    @property
    def p95_latency_ms(self) -> float: ...
    @property
    def p99_latency_ms(self) -> float: ...
    def to_dict(self) -> _AggregatedMetricsDict: ...

@final
class Snapshot:
    @property
    def pid(self) -> int: ...
    @property
    def cpu_percent(self) -> float: ...
    @property
    def memory_rss(self) -> int: ...
    @property
    def memory_virtual(self) -> int: ...
    @property
    def threads(self) -> int: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def memory_rss_mb(self) -> float: ...
    def to_dict(self) -> _SnapshotDict: ...

PROMETHEUS_CONTENT_TYPE: Final[str]

def hello() -> str: ...
def snapshot() -> Snapshot: ...
def record_request(method: str, path: str, status_code: int, duration_ms: float) -> None: ...
def get_requests() -> list[RequestMetric]: ...
def clear_requests() -> None: ...
def set_max_requests(max: int) -> None: ...
def get_max_requests() -> int: ...
def set_multiproc_dir(dir: str | None = None) -> None: ...
def get_multiproc_dir() -> str | None: ...
def multiproc_enabled() -> bool: ...
def aggregate() -> AggregatedMetrics: ...
def metrics_text() -> str: ...
def check_alerts(
    cpu_percent: float | None = None,
    memory_rss_mb: float | None = None,
    memory_virtual_mb: float | None = None,
) -> list[_Alert]: ...
