"""Where ``python -m vornik top`` gets its figures: a shard directory and /proc, or a scrape.

Each source returns a :class:`Sample`: cumulative figures at one instant. Rates,
shares and percentiles come from the difference between two samples (see
``vornik.top``), so everything here only reads counters and never keeps state.
A shard directory is only ever read (see :mod:`vornik.workers`).
"""

from __future__ import annotations

import contextlib
import http.client
import math
import socket
import ssl
import threading
import time
import urllib.request
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from .workers import BUCKET_BOUNDS_MS, Directory, listen_queues, read_process

# A scrape ends after this long however the server answers, and reads at most this
# much: the document of 1000 series is 2 to 6 MB, by the length of the routes.
SCRAPE_TIMEOUT_S = 2.0
SCRAPE_LIMIT_BYTES = 16 << 20


@dataclass(frozen=True)
class Counts:
    """Cumulative request figures of one worker, one route or the whole application.

    ``buckets`` are non-cumulative counts for the upper bounds ``bounds_ms`` and
    one more for everything above the last bound. ``quantiles_ms`` carries the
    application's own p50 and p99 where a source has no histogram to compute them.
    """

    requests: float
    errors: float | None = None
    bounds_ms: tuple[float, ...] = ()
    buckets: tuple[float, ...] = ()
    quantiles_ms: tuple[float, float] | None = None


@dataclass(frozen=True)
class Worker:
    label: str
    pid: int | None = None
    counts: Counts | None = None
    cpu_seconds: float | None = None
    rss_bytes: float | None = None
    threads: float | None = None
    in_flight: float | None = None
    busy_seconds: float | None = None  # cumulative: wall time with a request in flight


@dataclass
class Sample:
    at: float  # time.monotonic()
    source: str
    workers: dict[str, Worker] = field(default_factory=dict)
    # The application's own totals; None when they are just the sum of `workers`.
    total: Counts | None = None
    routes: dict[tuple[str, str], Counts] = field(default_factory=dict)
    # Listening address -> (connections waiting to be accepted, limit; NaN where not shown).
    listen: dict[str, tuple[float, float]] = field(default_factory=dict)
    error: str | None = None


# --------------------------------------------------------------------------
# A shard directory and /proc


def read_directory(directory: str) -> Sample:
    """The live workers' shards of ``directory``, each with its process figures from /proc."""
    sample = Sample(time.monotonic(), directory)
    try:
        with Directory(directory) as opened:
            sample.at = time.monotonic()
            shards = opened.shards()
            activity = opened.activity()
            holders = list(opened.slots().values())
    except OSError as error:
        sample.error = f"cannot read {directory}: {error.strerror}"
        return sample
    sample.listen = {
        address: (length, math.nan if limit is None else limit)
        for address, (length, limit) in listen_queues(holders).items()
    }
    for shard in shards:
        process = read_process(shard.pid)
        doing = activity.get(shard.pid)
        sample.workers[shard.name] = Worker(
            label=str(shard.pid),
            pid=shard.pid,
            counts=Counts(shard.requests, shard.errors, BUCKET_BOUNDS_MS, shard.buckets),
            cpu_seconds=process.cpu_seconds if process else None,
            rss_bytes=process.rss_bytes if process else None,
            threads=process.threads if process else None,
            in_flight=doing.in_flight if doing else None,
            busy_seconds=doing.busy_seconds if doing else None,
        )
    return sample


def add_counts(parts: list[Counts]) -> Counts:
    """The sum of several workers' or routes' figures; histograms only when all share one layout."""
    layouts = {part.bounds_ms for part in parts}
    bounds = layouts.pop() if len(layouts) == 1 else ()
    buckets = tuple(map(sum, zip(*(part.buckets for part in parts), strict=True))) if bounds else ()
    known_errors = [part.errors for part in parts if part.errors is not None]
    return Counts(
        requests=sum(part.requests for part in parts),
        errors=sum(known_errors) if len(known_errors) == len(parts) else None,
        bounds_ms=bounds,
        buckets=buckets,
    )


# --------------------------------------------------------------------------
# A scraped document


@dataclass(frozen=True)
class Line:
    name: str
    labels: dict[str, str]
    value: float


_ESCAPES = {"\\": "\\", '"': '"', "n": "\n"}


def _labels(text: str, start: int) -> tuple[dict[str, str], int]:
    """Parses ``{a="x",b="y"}`` starting at the brace ``text[start]``.

    Returns the labels and the index just past the closing brace.
    """
    labels: dict[str, str] = {}
    i = start + 1
    while True:
        while text[i] in " ,":
            i += 1
        if text[i] == "}":
            return labels, i + 1
        equals = text.index("=", i)
        name = text[i:equals].strip()
        i = text.index('"', equals) + 1
        value: list[str] = []
        while text[i] != '"':
            if text[i] == "\\":
                i += 1
                value.append(_ESCAPES.get(text[i], "\\" + text[i]))
            else:
                value.append(text[i])
            i += 1
        labels[name] = "".join(value)
        i += 1


def parse_exposition(document: str) -> list[Line]:
    """The samples of a Prometheus text document; comments and malformed lines are left out."""
    lines: list[Line] = []
    for raw in document.splitlines():
        text = raw.strip()
        if not text or text.startswith("#"):
            continue
        try:
            brace = text.find("{")
            space = text.find(" ")
            if brace != -1 and (space == -1 or brace < space):
                name = text[:brace]
                labels, end = _labels(text, brace)
            else:
                name, labels, end = text[:space], {}, space
            value = text[end:].split()[0]
            lines.append(Line(name, labels, float(value)))
        except (ValueError, IndexError):
            continue
    return lines


def decimal(text: str) -> int | None:
    """``text`` as a number of ASCII digits; ``str.isdigit`` also takes "²", which ``int`` refuses."""
    return int(text) if text.isascii() and text.isdigit() else None


def _bound(text: str) -> float | None:
    """A bucket's ``le``; None for one that is no number."""
    try:
        bound = float(text)
    except ValueError:
        return None
    return None if math.isnan(bound) else bound


def _histogram(lines: list[Line]) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """Bounds (ms) and non-cumulative counts from the `_bucket` lines of a histogram in seconds.

    A bucket whose bound is no number is left out.
    """
    bounded = ((_bound(line.labels.get("le", "")), line.value) for line in lines)
    cumulative = sorted((le, value) for le, value in bounded if le is not None)
    bounds = tuple(le * 1000.0 for le, _ in cumulative if le != float("inf"))
    counts: list[float] = []
    before = 0.0
    for _, count in cumulative:
        counts.append(max(count - before, 0.0))
        before = count
    if len(counts) == len(bounds):  # no +Inf bucket
        counts.append(0.0)
    return bounds, tuple(counts)


# The per-worker families of vornik's middleware document: the figures of every
# live worker of the shard directory, labelled with a slot the next worker reuses.
WORKER_FAMILIES = {
    "vrk_worker_requests_total": "requests",
    "vrk_worker_cpu_seconds_total": "cpu_seconds",
    "vrk_worker_memory_rss_bytes": "rss_bytes",
    "vrk_worker_threads": "threads",
    "vrk_worker_requests_in_flight": "in_flight",
    "vrk_worker_busy_seconds_total": "busy_seconds",
}
LISTEN_QUEUE_LENGTH = "vrk_listen_queue_length"
LISTEN_QUEUE_LIMIT = "vrk_listen_queue_limit"
ROUTE_REQUESTS = "vrk_http_requests_total"
ROUTE_DURATION_BUCKET = "vrk_http_request_duration_seconds_bucket"


def _workers(lines: list[Line]) -> dict[str, Worker]:
    figures: dict[str, dict[str, float]] = {}
    for line in lines:
        attribute = WORKER_FAMILIES.get(line.name)
        if attribute is not None and "worker" in line.labels:
            figures.setdefault(line.labels["worker"], {})[attribute] = line.value
    workers: dict[str, Worker] = {}
    for slot, values in figures.items():
        requests = values.get("requests")
        workers[slot] = Worker(
            label=slot,
            counts=Counts(requests) if requests is not None else None,
            cpu_seconds=values.get("cpu_seconds"),
            rss_bytes=values.get("rss_bytes"),
            threads=values.get("threads"),
            in_flight=values.get("in_flight"),
            busy_seconds=values.get("busy_seconds"),
        )
    return workers


def _listen(lines: list[Line]) -> dict[str, tuple[float, float]]:
    lengths = {
        ln.labels.get("address", ""): ln.value for ln in lines if ln.name == LISTEN_QUEUE_LENGTH
    }
    limits = {
        ln.labels.get("address", ""): ln.value for ln in lines if ln.name == LISTEN_QUEUE_LIMIT
    }
    return {address: (length, limits.get(address, math.nan)) for address, length in lengths.items()}


def _routes(lines: list[Line]) -> dict[tuple[str, str], Counts]:
    requests: dict[tuple[str, str], list[float]] = {}
    buckets: dict[tuple[str, str], list[Line]] = {}
    for line in lines:
        key = (line.labels.get("method", ""), line.labels.get("route", ""))
        if line.name == ROUTE_REQUESTS:
            totals = requests.setdefault(key, [0.0, 0.0])
            totals[0] += line.value
            # A status that is no number (the overflow series' "_OTHER") counts as no error.
            status = decimal(line.labels.get("status", ""))
            if status is not None and status >= 400:
                totals[1] += line.value
        elif line.name == ROUTE_DURATION_BUCKET:
            buckets.setdefault(key, []).append(line)
    routes: dict[tuple[str, str], Counts] = {}
    for key, (count, errors) in requests.items():
        bounds, counts = _histogram(buckets.get(key, []))
        routes[key] = Counts(count, errors, bounds, counts if bounds else ())
    return routes


def sample_document(document: str, source: str) -> Sample:
    """A sample from a metrics document: per-worker and per-route families where present."""
    lines = parse_exposition(document)
    sample = Sample(
        time.monotonic(),
        source,
        workers=_workers(lines),
        routes=_routes(lines),
        listen=_listen(lines),
    )
    values = {line.name: line.value for line in lines if not line.labels}
    if "vrk_requests_total" not in values:
        sample.error = "no vrk_requests_total in the document"
        return sample
    total = Counts(values["vrk_requests_total"], values.get("vrk_errors_total"))
    histograms = [counts for counts in sample.routes.values() if counts.bounds_ms]
    if histograms:
        merged = add_counts(histograms)
        total = Counts(total.requests, total.errors, merged.bounds_ms, merged.buckets)
    elif "vrk_latency_p50_ms" in values and "vrk_latency_p99_ms" in values:
        total = Counts(
            total.requests,
            total.errors,
            quantiles_ms=(values["vrk_latency_p50_ms"], values["vrk_latency_p99_ms"]),
        )
    sample.total = total
    return sample


# --------------------------------------------------------------------------
# Fetching, bounded in time and size


class _Deadline:
    """The end of one scrape: the connections still open then are shut from the timer's thread.

    A socket timeout bounds each read, not an answer that trickles in a byte at a time;
    shutting a connection ends whatever read waits on it. The deadline shuts its own
    duplicate of each socket: that one stays open until the deadline is done (so its
    number cannot go to another file meanwhile) and is not detached when TLS wraps the
    original.
    """

    def __init__(self, seconds: float) -> None:
        self.expired = False
        self._lock = threading.Lock()
        self._sockets: list[socket.socket] = []
        self._timer = threading.Timer(seconds, self._expire)
        self._timer.daemon = True

    def __enter__(self) -> _Deadline:
        self._timer.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._timer.cancel()
        self._timer.join()
        for sock in self._sockets:
            sock.close()

    def watch(self, sock: socket.socket) -> None:
        with self._lock:
            if self.expired:
                raise TimeoutError("connected after the deadline")
            self._sockets.append(sock.dup())

    def _expire(self) -> None:
        with self._lock:
            self.expired = True
            for sock in self._sockets:
                with contextlib.suppress(OSError):  # the peer has gone already
                    sock.shutdown(socket.SHUT_RDWR)

    def connection(self, cls: type[_WatchedConnection]) -> Callable[..., _WatchedConnection]:
        """A factory of ``cls`` watched by this deadline, as urllib's ``do_open`` takes one."""

        def connect(host: str, **kwargs: Any) -> _WatchedConnection:
            made = cls(host, **kwargs)
            made.deadline = self
            return made

        return connect


class _WatchedConnection(http.client.HTTPConnection):
    deadline: _Deadline

    def connect(self) -> None:
        super().connect()
        self.deadline.watch(self.sock)


class _WatchedHTTPSConnection(http.client.HTTPSConnection, _WatchedConnection):
    # HTTPSConnection.connect calls the watched connect above and then shakes hands,
    # so the deadline covers the handshake too.
    pass


class _HTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline: _Deadline) -> None:
        super().__init__()
        self._deadline = deadline

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(self._deadline.connection(_WatchedConnection), req)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline: _Deadline) -> None:
        super().__init__()
        self._deadline = deadline

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        factory = self._deadline.connection(_WatchedHTTPSConnection)
        return self.do_open(factory, req, context=ssl.create_default_context())


def _read_at_most(response: http.client.HTTPResponse, limit: int) -> bytes:
    too_large = ValueError(f"the answer is larger than {limit / 1048576:g} MiB")
    if response.length is not None and response.length > limit:
        raise too_large  # said by its header: nothing to wait for
    parts: list[bytes] = []
    size = 0
    while chunk := response.read(1 << 16):
        size += len(chunk)
        if size > limit:
            raise too_large
        parts.append(chunk)
    return b"".join(parts)


def _fetch(url: str) -> bytes:
    """The body of the answer to GET ``url``, read within the scrape's time and size.

    Follows redirects and the proxy settings of the environment as urllib does. Raises
    OSError, ValueError or ``http.client.HTTPException`` with what went wrong.
    """
    request = urllib.request.Request(url, headers={"Accept": "text/plain"})
    with _Deadline(SCRAPE_TIMEOUT_S) as deadline:
        opener = urllib.request.build_opener(_HTTPHandler(deadline), _HTTPSHandler(deadline))
        try:
            with opener.open(request, timeout=SCRAPE_TIMEOUT_S) as response:
                return _read_at_most(response, SCRAPE_LIMIT_BYTES)
        finally:
            # Whatever a shut socket made of the answer (an error, or a body cut short).
            if deadline.expired:
                raise TimeoutError(f"no complete answer within {SCRAPE_TIMEOUT_S:g} s")


def scrape(url: str) -> Sample:
    """GET ``url`` and sample the document it answers with."""
    try:
        document = _fetch(url).decode("utf-8", "replace")
    except (OSError, ValueError, http.client.HTTPException) as error:
        sample = Sample(time.monotonic(), url)
        sample.error = f"cannot scrape {url}: {error}"
        return sample
    return sample_document(document, url)
