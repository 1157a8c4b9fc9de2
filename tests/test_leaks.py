"""Leak checks: thousands of calls of every function and method, on good arguments and on
every kind of bad one, must leave the interpreter and the process as they found them.

Each scenario is a setting (shard aggregation on or off, a filled store) and one call.
The call is warmed up first, so that caches, free lists and the ring's storage reach
their steady state, then repeated thousands of times. Afterwards the references held to
the three classes, the number of objects the cyclic collector tracks, the open
descriptors and the memory mappings must be exactly where they were, the interpreter's
allocated blocks within a few dozen, and the bytes malloc hands out and the resident
memory flat. A leak repeats; so when a round shows a change, a second round must show
none.
"""

from __future__ import annotations

import functools
import gc
import io
import itertools
import os
import sys
import types
from collections.abc import Callable
from pathlib import Path
from typing import Any

import psutil
import pytest
from support import (
    SANITIZED,
    Boom,
    FileBody,
    Index,
    RaisingTypeErrorSubclass,
    Text,
    TypeErrorSubclass,
    TypeErrorWithCause,
    malloc_in_use,
    shard_bytes,
)
from vornik import _core, _routes
from vornik.metrics import Counter, Gauge, Histogram
from vornik.wsgi import MetricsMiddleware

WARMUP = 1000
CALLS = 4000
# Objects of the interpreter: a leak of one object per call shows up as CALLS blocks; free
# lists and caches account for a few dozen either way.
BLOCKS_SLACK = 256
# malloc'd bytes: the smallest leaked chunk is 32 bytes, so a leak per call is >= 128 KiB.
MALLOC_SLACK = 16 * 1024
# Resident memory moves in pages and with the allocators' caches.
RSS_SLACK = 512 * 1024

CLASSES = (_core.RequestMetric, _core.AggregatedMetrics, _core.Snapshot)


class RaisingIndex:
    def __index__(self) -> int:
        raise Boom("index")


class RaisingFloat:
    def __float__(self) -> float:
        raise Boom("float")


class WrongIndex:
    def __index__(self) -> Any:
        return 1.5


LONG = "/" + "x" * 300  # beyond any small-string buffer
SURROGATE = "\ud800"


def expect(
    error: type[BaseException], function: Callable[..., Any], *args: Any, **kwargs: Any
) -> Callable[[], None]:
    def call() -> None:
        try:
            function(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{function.__name__}{args} did not raise {error.__name__}")

    return call


def ok(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Callable[[], None]:
    def call() -> None:
        function(*args, **kwargs)

    return call


def make_junk_directory(directory: Path) -> None:
    """A shard directory that sends a merge down every skip path on every call."""
    directory.mkdir()
    valid = shard_bytes(os.getpid())
    (directory / "vrk-valid.shard").write_bytes(valid)
    (directory / "vrk-long.shard").write_bytes(valid + b"tail")
    (directory / "vrk-short.shard").write_bytes(valid[:100])
    (directory / "vrk-version.shard").write_bytes(b"\x02" + valid[1:])
    (directory / "vrk-pid0.shard").write_bytes(valid[:8] + bytes(8) + valid[16:])
    (directory / "vrk-dir.shard").mkdir()
    os.mkfifo(directory / "vrk-fifo.shard")
    os.symlink(directory / "vrk-valid.shard", directory / "vrk-link.shard")
    os.symlink(directory / "missing", directory / "vrk-dangling.shard")
    (directory / "other.txt").write_bytes(valid)
    os.close(os.open(bytes(directory) + b"/vrk-\xff.shard", os.O_CREAT | os.O_WRONLY, 0o644))


class Context:
    """What the scenarios work on; filled in once per module, read at call time."""

    root: Path
    metric: Any
    aggregated: Any
    snap: Any

    @property
    def shards(self) -> str:
        return str(self.root / "shards")

    @property
    def junk(self) -> str:
        return str(self.root / "junk")

    @property
    def below_file(self) -> str:
        return str(self.root / "file" / "sub")


Scenario = tuple[Callable[[], object], Callable[[], object]]  # (setup, call)


def nothing() -> None:
    pass


class Closing:
    """A response body with a close(), as frameworks return one."""

    def __init__(self, raising: bool = False) -> None:
        self.raising = raising

    def __iter__(self) -> Any:
        return iter([b"body"])

    def close(self) -> None:
        if self.raising:
            raise Boom("close")


def failing_body() -> Any:
    yield b"part"
    raise Boom("body")


def wsgi_app(kind: str) -> Callable[[dict[str, Any], Any], Any]:
    """An application that answers, or fails, in the way `kind` names."""

    def app(environ: dict[str, Any], start_response: Any) -> Any:
        if kind == "raises":
            raise Boom("app")
        if kind == "cycle":
            environ["held"] = start_response  # only the cyclic collector frees it
        start_response("200 OK", [("Content-Type", "text/plain")])
        if kind == "body-raises":
            return failing_body()
        if kind == "file":  # goes back to the server itself
            return environ["wsgi.file_wrapper"](io.BytesIO(b"body"))
        return {"sized": [b"a", b"b"], "close-raises": Closing(True)}.get(kind, Closing())

    return app


def wsgi_request(middleware: Any, path: str = "/users/7") -> None:
    """One request as a server runs it: call, iterate, close."""
    environ = {
        "REQUEST_METHOD": "GET",
        "PATH_INFO": path,
        "SCRIPT_NAME": "",
        "HTTP_ACCEPT": "*/*",
        "wsgi.file_wrapper": FileBody,
    }
    result = middleware(environ, lambda status, headers, exc_info=None: None)
    try:
        b"".join(result)
    finally:
        getattr(result, "close", nothing)()


def build_scenarios(x: Context) -> dict[str, Scenario]:
    c = _core

    def in_dir(path: Callable[[], str]) -> Callable[[], None]:
        return lambda: c.set_multiproc_dir(path())

    shards = in_dir(lambda: x.shards)
    junk = in_dir(lambda: x.junk)

    def fill() -> None:
        for i in range(5):
            c.record_request("GET", LONG, 200 + i, float(i))

    calls: dict[str, Callable[[], object] | Scenario] = {
        "hello": ok(c.hello),
        "hello-args": expect(TypeError, c.hello, 1),
        "snapshot": ok(c.snapshot),
        "snapshot-kwargs": expect(TypeError, c.snapshot, x=1),
        "record": ok(c.record_request, "GET", "/users", 200, 12.5),
        "record-long-texts": ok(c.record_request, "M" * 100, LONG, 500, 3),
        "record-keywords": ok(
            c.record_request, method="GET", path="/k", status_code=404, duration_ms=1.5
        ),
        "record-subclasses": ok(c.record_request, Text("GET"), Text(LONG), True, Index(7)),
        "record-sharded": (shards, ok(c.record_request, "GET", LONG, 503, float("nan"))),
        "record-too-many": expect(TypeError, c.record_request, "GET", "/", 200, 1.0, 5),
        "record-missing-one": expect(TypeError, c.record_request, "GET", "/", 200),
        "record-missing-all": expect(TypeError, c.record_request),
        "record-unknown-keyword": expect(
            TypeError, c.record_request, "GET", "/", 200, 1.0, bogus=1
        ),
        "record-duplicate": expect(TypeError, c.record_request, "GET", "/", 200, 1.0, method="GET"),
        "record-method-int": expect(TypeError, c.record_request, 1, "/", 200, 1.0),
        "record-path-bytes": expect(TypeError, c.record_request, "GET", b"/", 200, 1.0),
        "record-method-surrogate": expect(
            UnicodeEncodeError, c.record_request, SURROGATE, "/", 200, 1.0
        ),
        "record-path-surrogate": expect(
            UnicodeEncodeError, c.record_request, "GET", LONG + SURROGATE, 200, 1.0
        ),
        "record-status-str": expect(TypeError, c.record_request, "GET", "/", "200", 1.0),
        "record-status-float": expect(TypeError, c.record_request, "GET", "/", 200.0, 1.0),
        "record-status-high": expect(OverflowError, c.record_request, "GET", "/", 70000, 1.0),
        "record-status-negative": expect(OverflowError, c.record_request, "GET", "/", -1, 1.0),
        "record-status-huge": expect(OverflowError, c.record_request, "GET", "/", 2**100, 1.0),
        "record-status-hook-raises": expect(
            Boom, c.record_request, "GET", "/", RaisingIndex(), 1.0
        ),
        "record-status-type-error-subclass": expect(
            TypeErrorSubclass, c.record_request, "GET", "/", RaisingTypeErrorSubclass(), 1.0
        ),
        "record-status-type-error-cause": expect(
            TypeError, c.record_request, "GET", "/", TypeErrorWithCause(), 1.0
        ),
        "record-status-wrong-index": expect(
            TypeError, c.record_request, "GET", "/", WrongIndex(), 1.0
        ),
        "record-duration-str": expect(TypeError, c.record_request, "GET", "/", 200, "1"),
        "record-duration-none": expect(TypeError, c.record_request, "GET", "/", 200, None),
        "record-duration-huge": expect(OverflowError, c.record_request, "GET", "/", 200, 10**400),
        "record-duration-hook-raises": expect(
            Boom, c.record_request, "GET", "/", 200, RaisingFloat()
        ),
        "record-duration-type-error-cause": expect(
            TypeError, c.record_request, "GET", "/", 200, TypeErrorWithCause()
        ),
        "record-response": ok(_routes.record_response, "GET", LONG, "404 Not Found", 1.5, "/r"),
        "record-response-odd": ok(
            _routes.record_response, SURROGATE * 40, LONG + SURROGATE, Index(7), 2.0, "/\u00e9"
        ),
        "record-response-bytes": expect(
            TypeError, _routes.record_response, "GET", b"/", 200, 1.0, "/"
        ),
        "request-in-flight": (
            shards,
            lambda: (
                _routes.request_started(),
                _routes.request_finished("GET", LONG, Index(7), 2.0, "/r"),
            ),
        ),
        "request-finished-bytes": expect(
            TypeError, _routes.request_finished, "GET", b"/", 200, 1.0, "/"
        ),
        "gc-phases": (
            shards,
            lambda: (_routes.gc_phase("start", {}), _routes.gc_phase("stop", {"collected": 0})),
        ),
        "gc-phase-int": expect(TypeError, _routes.gc_phase, 1, {}),
        "listen-queues": ok(_routes.listen_queues, [os.getpid(), 1 << 30]),
        "listen-queues-str": expect(TypeError, _routes.listen_queues, ["1"]),
        "process-figures": ok(_routes.process_figures, os.getpid()),
        "read-directory": (
            shards,
            lambda: (_routes.register_worker(), _routes.read_directory(x.shards)),
        ),
        **{
            f"wsgi-{kind}": (
                lambda: None,
                (
                    ok
                    if kind in ("plain", "sized", "cycle", "file")
                    else lambda *a: expect(Boom, *a)
                )(wsgi_request, MetricsMiddleware(wsgi_app(kind))),
            )
            for kind in ("plain", "sized", "cycle", "file", "raises", "body-raises", "close-raises")
        },
        "wsgi-metrics": ok(wsgi_request, MetricsMiddleware(wsgi_app("plain")), "/metrics"),
        "get-requests": (fill, ok(c.get_requests)),
        "get-requests-args": expect(TypeError, c.get_requests, 1),
        "clear": (fill, ok(c.clear_requests)),
        "fill-and-clear": lambda: (fill(), c.clear_requests()),
        "set-max": (fill, lambda: (c.set_max_requests(2), c.set_max_requests(50), fill())),
        "set-max-keyword-index": ok(c.set_max_requests, max=Index(60)),
        "set-max-zero": ok(c.set_max_requests, 0),
        "set-max-negative": expect(OverflowError, c.set_max_requests, -1),
        "set-max-too-big": expect(OverflowError, c.set_max_requests, 2**64),
        "set-max-float": expect(TypeError, c.set_max_requests, 2.5),
        "set-max-none": expect(TypeError, c.set_max_requests, None),
        "set-max-hook-raises": expect(Boom, c.set_max_requests, RaisingIndex()),
        "set-max-type-error-cause": expect(TypeError, c.set_max_requests, TypeErrorWithCause()),
        "set-max-missing": expect(TypeError, c.set_max_requests),
        "set-max-unknown-keyword": expect(TypeError, c.set_max_requests, maximum=1),
        "get-max": ok(c.get_max_requests),
        "dir-enable": lambda: c.set_multiproc_dir(x.shards),
        "dir-switch": lambda: (c.set_multiproc_dir(x.shards), c.set_multiproc_dir(x.junk)),
        "dir-disable": (shards, lambda: (c.set_multiproc_dir(x.shards), c.set_multiproc_dir())),
        "dir-blank": ok(c.set_multiproc_dir, Text(" \t\u3000")),
        "dir-below-file": lambda: c.set_multiproc_dir(x.below_file),
        "dir-nul": lambda: c.set_multiproc_dir(x.shards + "\0x"),
        "dir-int": expect(TypeError, c.set_multiproc_dir, 5),
        "dir-surrogate": expect(UnicodeEncodeError, c.set_multiproc_dir, SURROGATE),
        "dir-too-many": expect(TypeError, c.set_multiproc_dir, None, None),
        "dir-duplicate": expect(TypeError, c.set_multiproc_dir, None, dir=None),
        "get-dir": ok(c.get_multiproc_dir),
        "get-dir-enabled": (shards, ok(c.get_multiproc_dir)),
        "enabled": ok(c.multiproc_enabled),
        "enabled-enabled": (shards, ok(c.multiproc_enabled)),
        "aggregate": (fill, ok(c.aggregate)),
        "aggregate-merged": (junk, ok(c.aggregate)),
        "aggregate-unlistable": (
            in_dir(lambda: x.shards),
            lambda: (
                os.rename(x.shards, x.shards + ".away"),
                c.aggregate(),
                os.rename(x.shards + ".away", x.shards),
            ),
        ),
        "aggregate-args": expect(TypeError, c.aggregate, 1),
        "metrics-text": (fill, ok(c.metrics_text)),
        "metrics-text-merged": (junk, ok(c.metrics_text)),
        "alerts-none": ok(c.check_alerts),
        "alerts-all": ok(c.check_alerts, -1, 0, memory_virtual_mb=0),
        "alerts-nan": ok(c.check_alerts, float("nan"), float("nan"), float("nan")),
        "alerts-str": expect(TypeError, c.check_alerts, "50"),
        "alerts-huge": expect(OverflowError, c.check_alerts, memory_rss_mb=10**400),
        "alerts-hook-raises": expect(Boom, c.check_alerts, None, RaisingFloat()),
        "alerts-type-error-cause": expect(TypeError, c.check_alerts, TypeErrorWithCause()),
        "alerts-too-many": expect(TypeError, c.check_alerts, 1, 2, 3, 4),
        "alerts-unknown-keyword": expect(TypeError, c.check_alerts, cpu=1),
        "alerts-duplicate": expect(TypeError, c.check_alerts, 1, cpu_percent=1),
        "metric-methods": lambda: (
            x.metric.to_dict(),
            repr(x.metric),
            x.metric.method,
            x.metric.path,
            x.metric.status_code,
            x.metric.duration_ms,
            x.metric.timestamp,
        ),
        "aggregated-methods": lambda: (
            x.aggregated.to_dict(),
            repr(x.aggregated),
            x.aggregated.p99_latency_ms,
            x.aggregated.total_requests,
        ),
        "snapshot-methods": lambda: (
            x.snap.to_dict(),
            repr(x.snap),
            x.snap.memory_rss_mb,
            x.snap.pid,
        ),
        "to-dict-args": lambda: expect(TypeError, x.metric.to_dict, 1)(),
        "to-dict-wrong-self": lambda: expect(
            TypeError, _core.RequestMetric.to_dict, x.aggregated
        )(),
        "repr-wrong-self": lambda: expect(TypeError, _core.Snapshot.__repr__, x.metric)(),
        "getter-wrong-self": lambda: expect(
            TypeError, _core.RequestMetric.method.__get__, x.snap
        )(),
        "set-attribute": lambda: expect(AttributeError, setattr, x.metric, "method", "POST")(),
        "delete-attribute": lambda: expect(
            AttributeError, delattr, x.aggregated, "total_requests"
        )(),
        "new-attribute": lambda: expect(AttributeError, setattr, x.snap, "extra", 1)(),
        "construct": expect(TypeError, _core.RequestMetric),
        "construct-args": expect(TypeError, _core.AggregatedMetrics, 1, x=2),
        "subclass": expect(TypeError, type, "Sub", (_core.Snapshot,), {}),
        **application_metrics(shards),
    }
    return {
        name: entry if isinstance(entry, tuple) else (nothing, entry)
        for name, entry in calls.items()
    }


class RaisingStr:
    def __str__(self) -> str:
        raise Boom("str")


@functools.cache
def app() -> types.SimpleNamespace:
    """The metrics of the scenarios below, registered (once per process) when the first of
    them runs: metrics registered at collection would be in every other test's document."""
    jobs = Counter("leak_jobs", "Jobs", ["kind", "place"])
    capped = Counter("leak_capped", "Capped", ["n"])
    return types.SimpleNamespace(
        jobs=jobs,
        child=jobs.labels("a", "b"),
        level=Gauge("leak_level", "Level", ["kind"]),
        took=Histogram("leak_seconds", "Took"),
        capped=capped,
        numbers=itertools.count(),
    )


def application_metrics(shards: Callable[[], None]) -> dict[str, Callable[[], object] | Scenario]:
    """The calls of vornik.metrics: series found by their labels, values changed, and
    every way of getting them wrong."""

    def later(make: Callable[[], Callable[[], None]]) -> Callable[[], None]:
        return lambda: make()()

    return {
        "app-labels": later(lambda: ok(app().jobs.labels, "a", "b")),
        "app-labels-keywords": later(lambda: ok(app().jobs.labels, place="b", kind="a")),
        "app-labels-not-text": later(lambda: ok(app().jobs.labels, 1, None)),
        "app-labels-count": later(lambda: expect(ValueError, app().jobs.labels, "a")),
        "app-labels-both": later(lambda: expect(ValueError, app().jobs.labels, "a", place="b")),
        "app-labels-unknown": later(
            lambda: expect(ValueError, app().jobs.labels, kind="a", other="b")
        ),
        "app-labels-surrogate": later(
            lambda: expect(ValueError, app().jobs.labels, SURROGATE, "b")
        ),
        "app-labels-str-raises": later(lambda: expect(Boom, app().jobs.labels, RaisingStr(), "b")),
        "app-labels-too-long": later(lambda: expect(ValueError, app().jobs.labels, LONG * 8, "b")),
        "app-labels-overflow": lambda: app().capped.labels(str(next(app().numbers))).inc(),
        "app-inc": later(lambda: ok(app().child.inc, 2)),
        "app-inc-keyword": later(lambda: ok(app().child.inc, amount=0.5)),
        "app-inc-negative": later(lambda: expect(ValueError, app().child.inc, -1)),
        "app-inc-str": later(lambda: expect(TypeError, app().child.inc, "1")),
        "app-inc-too-many": later(lambda: expect(TypeError, app().child.inc, 1, 2)),
        "app-set-sharded": (shards, later(lambda: ok(app().level.labels("x").set, 3))),
        "app-observe": later(lambda: ok(app().took.observe, 0.3)),
        "app-time": lambda: app().took.time().__exit__(None, None, None),
        "app-document-sharded": (shards, ok(_routes.metrics_document, openmetrics=True)),
    }


CONTEXT = Context()
SCENARIOS = build_scenarios(CONTEXT)


@pytest.fixture(scope="module", autouse=True)
def context(tmp_path_factory: pytest.TempPathFactory) -> None:
    root = tmp_path_factory.mktemp("leaks")
    make_junk_directory(root / "junk")
    (root / "file").write_text("")
    CONTEXT.root = root
    _core.clear_requests()
    _core.record_request("GET", LONG, 200, 12.5)
    CONTEXT.metric = _core.get_requests()[0]
    CONTEXT.aggregated = _core.aggregate()
    CONTEXT.snap = _core.snapshot()


PROCESS = psutil.Process()

COUNTED = [f"references to {cls.__name__}" for cls in CLASSES] + [
    "objects tracked by gc",
    "open descriptors",
    "memory mappings",
    "allocated blocks",
    "malloc bytes in use",
    "resident bytes",
]
# Under the sanitizers only the interpreter's counters and the descriptors are checked:
# their runtimes also map memory of their own as they go.
EXACT = COUNTED[:5] if SANITIZED else COUNTED[:6]


def measure(out: list[int]) -> None:
    """Fills `out` in place, so that the measurement itself leaves the same objects behind
    every time."""
    gc.collect()
    out[:] = [
        *(sys.getrefcount(cls) for cls in CLASSES),
        len(gc.get_objects()),
        len(os.listdir("/proc/self/fd")),
        Path("/proc/self/maps").read_text().count("\n"),
        sys.getallocatedblocks(),
        malloc_in_use(),
        PROCESS.memory_info().rss,
    ]


def run(name: str, times: int) -> None:
    setup, call = SCENARIOS[name]
    setup()
    for _ in range(times):
        call()


def growth(name: str) -> dict[str, int]:
    before = [0] * len(COUNTED)
    after = [0] * len(COUNTED)
    measure(before)
    run(name, CALLS)
    measure(after)
    return {key: a - b for key, a, b in zip(COUNTED, after, before, strict=True)}


def problems(grown: dict[str, int]) -> list[str]:
    found = [f"{key} changed by {grown[key]}" for key in EXACT if grown[key] != 0]
    if abs(grown["allocated blocks"]) > BLOCKS_SLACK:
        found.append(f"allocated blocks changed by {grown['allocated blocks']}")
    if not SANITIZED:
        if grown["malloc bytes in use"] > MALLOC_SLACK:
            found.append(f"malloc bytes in use grew by {grown['malloc bytes in use']}")
        if grown["resident bytes"] > RSS_SLACK:
            found.append(f"resident memory grew by {grown['resident bytes']}")
    return found


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_calls_leave_nothing_behind(name: str) -> None:
    _core.set_max_requests(100)  # the ring's storage settles during the warm-up
    run(name, WARMUP)
    found = problems(growth(name))
    if found:
        # A leak repeats; a cache that filled or an object of the test runner that went
        # away in the meantime does not.
        found = problems(growth(name))
    assert not found, found
