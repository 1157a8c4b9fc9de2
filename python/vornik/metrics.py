"""The application's own counters, gauges and histograms, summed over every worker.

Shaped like prometheus_client's, so that moving is an import change::

    from vornik.metrics import Counter, Gauge, Histogram

    ORDERS = Counter("orders", "Orders placed", ["kind"])
    QUEUE = Gauge("queue_depth", "Jobs waiting", multiprocess_mode="livesum")
    DURATION = Histogram("job_duration_seconds", "Job durations")

    ORDERS.labels("online").inc()
    with DURATION.time():
        ...

Values live in this worker's own file in the shard directory (``VRK_MULTIPROC_DIR``),
and the document the middlewares and :func:`vornik.routes.metrics_answer` serve sums
them over every worker, gone ones included, so counters never go back when workers
are recycled. Without a shard directory the document holds this process's values.

A process keeps at most 1,000 label sets per metric apart; the next ones are counted
in one series whose label values are all ``"<overflow>"``, and the first of them is
logged once with the ``vornik`` logger.
"""

from __future__ import annotations

import contextvars
import functools
import math
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar, Generic, TypeVar, cast

from . import _routes

if TYPE_CHECKING:
    from prometheus_client.metrics_core import Metric
    from prometheus_client.registry import CollectorRegistry

__all__ = [
    "DEFAULT_BUCKETS",
    "MULTIPROCESS_MODES",
    "Counter",
    "CounterChild",
    "Gauge",
    "GaugeChild",
    "Histogram",
    "HistogramChild",
    "VornikCollector",
    "include_registry",
]

INF = float("inf")
#: prometheus_client's default buckets, in seconds.
DEFAULT_BUCKETS: tuple[float, ...] = (
    0.005,
    0.01,
    0.025,
    0.05,
    0.075,
    0.1,
    0.25,
    0.5,
    0.75,
    1.0,
    2.5,
    5.0,
    7.5,
    10.0,
    INF,
)
#: How a gauge's values of several workers combine, by prometheus_client's names.
MULTIPROCESS_MODES = (
    "all",
    "liveall",
    "min",
    "livemin",
    "max",
    "livemax",
    "sum",
    "livesum",
    "mostrecent",
    "livemostrecent",
)

F = TypeVar("F", bound=Callable[..., Any])
ChildT = TypeVar("ChildT", "CounterChild", "GaugeChild", "HistogramChild")


class _Decorating:
    """Both a context manager and a decorator, as prometheus_client's helpers are."""

    def __enter__(self) -> object:
        raise NotImplementedError

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        raise NotImplementedError

    def _fresh(self) -> _Decorating:
        """One like this for a call of the decorated function: calls may overlap."""
        raise NotImplementedError

    def __call__(self, function: F) -> F:
        @functools.wraps(function)
        def wrapped(*args: Any, **kwargs: Any) -> Any:
            with self._fresh():
                return function(*args, **kwargs)

        return cast(F, wrapped)


class _Timer(_Decorating):
    def __init__(self, record: Callable[[float], None]) -> None:
        self._record = record
        self._start = 0.0

    def __enter__(self) -> _Timer:
        self._start = time.perf_counter()
        return self  # as prometheus_client's timer: `with h.time() as timer:` works

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self._record(max(time.perf_counter() - self._start, 0.0))

    def _fresh(self) -> _Timer:
        return _Timer(self._record)


class _ExceptionCounter(_Decorating):
    def __init__(
        self,
        counter: CounterChild,
        exception: type[BaseException] | tuple[type[BaseException], ...],
    ) -> None:
        self._counter = counter
        self._exception = exception

    def __enter__(self) -> None:
        pass

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if kind is not None and issubclass(kind, self._exception):
            self._counter.inc()

    def _fresh(self) -> _ExceptionCounter:
        return self


class _InProgress(_Decorating):
    def __init__(self, gauge: GaugeChild) -> None:
        self._gauge = gauge

    def __enter__(self) -> None:
        self._gauge.inc()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self._gauge.dec()

    def _fresh(self) -> _InProgress:
        return self


class CounterChild(_routes.CounterSeries):
    """One label set of a counter."""

    __slots__ = ()

    def count_exceptions(
        self, exception: type[BaseException] | tuple[type[BaseException], ...] = Exception
    ) -> _ExceptionCounter:
        """Count the exceptions of type ``exception`` leaving a block or function."""
        return _ExceptionCounter(self, exception)


class GaugeChild(_routes.GaugeSeries):
    """One label set of a gauge."""

    __slots__ = ()

    def track_inprogress(self) -> _InProgress:
        """Raise the gauge by one while a block or function runs."""
        return _InProgress(self)

    def time(self) -> _Timer:
        """Set the gauge to the seconds a block or function took."""
        return _Timer(self.set)


class HistogramChild(_routes.HistogramSeries):
    """One label set of a histogram."""

    __slots__ = ()

    def time(self) -> _Timer:
        """Observe the seconds a block or function takes."""
        return _Timer(self.observe)


def _full_name(name: str, namespace: str, subsystem: str, unit: str, counter: bool) -> str:
    """The family name as prometheus_client composes it; a counter's with ``_total``."""
    if not name:
        raise ValueError("invalid metric name: a metric needs a name")
    full = "_".join(part for part in (namespace, subsystem, name) if part)
    if counter and full.endswith("_total"):
        full = full[: -len("_total")]
    if unit and not full.endswith("_" + unit):
        full += "_" + unit
    return full + "_total" if counter else full


class _Metric(Generic[ChildT]):
    """What the three kinds share: the native metric, its labels, its one series."""

    _KIND: ClassVar[str]
    _CHILD: ClassVar[type[CounterChild] | type[GaugeChild] | type[HistogramChild]]
    #: Methods of the child that an unlabelled metric offers as its own.
    _OWN: ClassVar[tuple[str, ...]]

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        *,
        buckets: Sequence[float] = (),
        mode: str = "",
    ) -> None:
        self._name = _full_name(name, namespace, subsystem, unit, self._KIND == "counter")
        self._labelnames = tuple(labelnames)
        self._metric = _routes.AppMetric(
            self._name,
            documentation,
            self._KIND,
            self._labelnames,
            buckets,
            mode,
            unit,
            self._CHILD,
        )
        # Instance attributes of bound native methods: `labels(...)` and, without labels,
        # `inc()` or `observe()` are then one native call each.
        if self._labelnames:
            setattr(self, "labels", self._metric.labels)  # noqa: B010
        else:
            child = self._metric.labels()
            for method in self._OWN:
                setattr(self, method, getattr(child, method))

    def labels(self, *values: object, **by_name: object) -> ChildT:
        """The series of these label values, by position or by label name."""
        # Only reached without labels: otherwise the native method stands in.
        raise ValueError(f"metric {self._name} has no labels")

    def _child(self) -> ChildT:
        """The one series of a metric without labels (reached only with labels)."""
        raise ValueError(
            f"metric {self._name} has the labels {self._labelnames}: "
            "choose a series with labels() first"
        )

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._name!r}, labelnames={self._labelnames!r})"


class Counter(_Metric[CounterChild]):
    """A count that only goes up, summed over every worker, gone ones included.

    ``name`` gets ``_total`` in the document, as prometheus_client writes it.
    """

    _KIND = "counter"
    _CHILD = CounterChild
    _OWN = ("inc", "count_exceptions")

    def inc(self, amount: float = 1, exemplar: dict[str, str] | None = None) -> None:
        """Add a non-negative amount; an exemplar is dropped, as in prometheus_client's
        multiprocess mode."""
        self._child().inc(amount, exemplar)

    def count_exceptions(
        self, exception: type[BaseException] | tuple[type[BaseException], ...] = Exception
    ) -> _ExceptionCounter:
        """Count the exceptions of type ``exception`` leaving a block or function."""
        return self._child().count_exceptions(exception)


class Gauge(_Metric[GaugeChild]):
    """A value that goes up and down; ``multiprocess_mode`` says how workers combine.

    ``all`` and ``liveall`` show a series per worker slot (label ``worker``), the other
    modes one series: ``min``, ``max``, ``sum`` or the most recently changed value
    (``mostrecent``). Modes starting with ``live`` leave gone workers out; the others
    keep a gone worker's last value.
    """

    _KIND = "gauge"
    _CHILD = GaugeChild
    _OWN = ("inc", "dec", "set", "set_to_current_time", "track_inprogress", "time")

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        multiprocess_mode: str = "all",
    ) -> None:
        if multiprocess_mode not in MULTIPROCESS_MODES:
            raise ValueError(
                f"gauge {name}: multiprocess_mode {multiprocess_mode!r} is none of "
                + ", ".join(MULTIPROCESS_MODES)
            )
        super().__init__(
            name, documentation, labelnames, namespace, subsystem, unit, mode=multiprocess_mode
        )

    def inc(self, amount: float = 1) -> None:
        """Add an amount."""
        self._child().inc(amount)

    def dec(self, amount: float = 1) -> None:
        """Subtract an amount."""
        self._child().dec(amount)

    def set(self, value: float) -> None:
        """Set the value."""
        self._child().set(value)

    def set_to_current_time(self) -> None:
        """Set the value to the Unix time in seconds."""
        self._child().set_to_current_time()

    def track_inprogress(self) -> _InProgress:
        """Raise the gauge by one while a block or function runs."""
        return self._child().track_inprogress()

    def time(self) -> _Timer:
        """Set the gauge to the seconds a block or function took."""
        return self._child().time()


class Histogram(_Metric[HistogramChild]):
    """Observations counted in buckets, summed over every worker, gone ones included."""

    _KIND = "histogram"
    _CHILD = HistogramChild
    _OWN = ("observe", "time")

    def __init__(
        self,
        name: str,
        documentation: str,
        labelnames: Iterable[str] = (),
        namespace: str = "",
        subsystem: str = "",
        unit: str = "",
        buckets: Sequence[float] = DEFAULT_BUCKETS,
    ) -> None:
        bounds = [float(bound) for bound in buckets]
        if bounds and bounds[-1] == INF:
            bounds.pop()  # the +Inf bucket is always there
        if any(math.isinf(bound) for bound in bounds):
            raise ValueError(f"histogram {name}: only the last bucket may be +Inf")
        super().__init__(
            name, documentation, labelnames, namespace, subsystem, unit, buckets=bounds
        )

    def observe(self, amount: float, exemplar: dict[str, str] | None = None) -> None:
        """Count one observation of ``amount``; an exemplar is dropped, as in
        prometheus_client's multiprocess mode."""
        self._child().observe(amount, exemplar)

    def time(self) -> _Timer:
        """Observe the seconds a block or function takes."""
        return self._child().time()


# ---- prometheus_client, both ways ------------------------------------------------------

_INCLUDED: list[CollectorRegistry] = []
# Set while the middlewares render: a VornikCollector in an included registry then
# yields nothing instead of rendering the document inside itself.
_RENDERING: contextvars.ContextVar[bool] = contextvars.ContextVar("vornik_rendering", default=False)


def include_registry(registry: CollectorRegistry) -> None:
    """Append the families of a prometheus_client registry (custom collectors, say) to
    the document the middlewares and :func:`vornik.routes.metrics_answer` serve.

    They are collected at every scrape in the serving process, and rendered by
    prometheus_client itself, which knows every kind of family it has.
    """
    if registry not in _INCLUDED:
        _INCLUDED.append(registry)


def with_included_registries(document: str, openmetrics: bool) -> str:
    """``document`` with the families of the included registries at its end, in its
    format; in OpenMetrics before its ``# EOF``, which a document has once."""
    if not _INCLUDED:
        return document
    from prometheus_client import exposition
    from prometheus_client.openmetrics import exposition as openmetrics_exposition

    render = openmetrics_exposition.generate_latest if openmetrics else exposition.generate_latest
    token = _RENDERING.set(True)
    try:
        parts = [render(registry).decode("utf-8") for registry in _INCLUDED]
    finally:
        _RENDERING.reset(token)
    if not openmetrics:
        return document + "".join(parts)
    eof = "# EOF\n"
    body = document.removesuffix(eof)
    return body + "".join(part.removesuffix(eof) for part in parts) + eof


class VornikCollector:
    """A prometheus_client collector of vornik's whole document, for an application that
    serves its metrics through prometheus_client::

        from prometheus_client import REGISTRY
        REGISTRY.register(VornikCollector())
    """

    def collect(self) -> Iterator[Metric]:
        if _RENDERING.get():
            return
        from prometheus_client.parser import text_string_to_metric_families

        yield from text_string_to_metric_families(_routes.metrics_document())
