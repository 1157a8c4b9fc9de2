"""Where ``python -m vornik top`` gets its figures: a shard directory and /proc, or a scrape.

Each source returns a :class:`Sample`: cumulative figures at one instant. Rates,
shares and percentiles come from the difference between two samples (see
``vornik.top``), so everything here only reads counters and never keeps state.

Reading a shard directory is strictly passive: the directory is shared with the
application, so nothing is created, locked or deleted there, only files named
``vrk-*.shard`` are read (with one ``pread``, never a mapping that a writer could
cut short under us), and links, FIFOs and other special files are skipped without
ever blocking on them.
"""

from __future__ import annotations

import os
import stat
import struct
import time
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass, field

# The shard layout of the native core (documented in src/multiproc.cpp): 22 native
# 64-bit words: version, pid, requests, errors, latency sum, min and max in
# microseconds, updated_at, then 14 non-cumulative bucket counts.
SHARD_SIZE = 176
SHARD_VERSION = 1
_SHARD_WORDS = struct.Struct("=22Q")
_REQUESTS, _ERRORS, _BUCKETS = 2, 3, 8
BUCKET_BOUNDS_MS = (
    1.0,
    2.0,
    5.0,
    10.0,
    25.0,
    50.0,
    100.0,
    250.0,
    500.0,
    1000.0,
    2500.0,
    5000.0,
    10000.0,
)

_TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
SCRAPE_TIMEOUT_S = 2.0


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


@dataclass
class Sample:
    at: float  # time.monotonic()
    source: str
    workers: dict[str, Worker] = field(default_factory=dict)
    # The application's own totals; None when they are just the sum of `workers`.
    total: Counts | None = None
    routes: dict[tuple[str, str], Counts] = field(default_factory=dict)
    error: str | None = None


# --------------------------------------------------------------------------
# A shard directory and /proc


@dataclass(frozen=True)
class ProcessFigures:
    cpu_seconds: float
    rss_bytes: float
    threads: float


def read_process(pid: int) -> ProcessFigures | None:
    """CPU time, resident size and threads of a process, or None when /proc has no such pid."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat_file:
            stat_text = stat_file.read()
        with open(f"/proc/{pid}/statm", "rb") as statm_file:
            statm_text = statm_file.read()
        # The command name may hold spaces and parentheses: the fields after its last
        # ')' start with field 3, so utime (14), stime (15) and threads (20) sit at 11, 12, 17.
        fields = stat_text.rsplit(b")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])
        return ProcessFigures(
            ticks / _TICKS_PER_SECOND, int(statm_text.split()[1]) * _PAGE_SIZE, int(fields[17])
        )
    except (OSError, IndexError, ValueError):
        return None


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # exists, under another user
    return True


def _shard_words(directory_fd: int, name: str, owners: tuple[int, ...]) -> tuple[int, ...] | None:
    try:
        fd = os.open(
            name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=directory_fd
        )
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        # A hard link or a file planted by a stranger is not a worker's shard.
        if not stat.S_ISREG(info.st_mode) or info.st_nlink != 1 or info.st_uid not in owners:
            return None
        if info.st_size < SHARD_SIZE:
            return None
        data = os.pread(fd, SHARD_SIZE, 0)
    except OSError:
        return None
    finally:
        os.close(fd)
    if len(data) != SHARD_SIZE:
        return None
    words: tuple[int, ...] = _SHARD_WORDS.unpack(data)
    return words if words[0] == SHARD_VERSION else None


def _shard_names(names: list[str]) -> Iterator[str]:
    for name in names:
        if name.startswith("vrk-") and name.endswith(".shard"):
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                continue  # a name that is not valid UTF-8 is never a shard
            yield name


def read_directory(directory: str) -> Sample:
    """The live workers' shards of ``directory``, each with its process figures from /proc."""
    sample = Sample(time.monotonic(), directory)
    try:
        directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        sample.error = f"cannot read {directory}: {error.strerror}"
        return sample
    try:
        owners = (os.geteuid(), os.fstat(directory_fd).st_uid)
        names = os.listdir(directory_fd)
        sample.at = time.monotonic()
        for name in _shard_names(names):
            words = _shard_words(directory_fd, name, owners)
            pid = words[1] if words else 0
            if words is None or not 0 < pid < 2**31 or not _alive(pid):
                continue
            counts = Counts(
                requests=words[_REQUESTS],
                errors=words[_ERRORS],
                bounds_ms=BUCKET_BOUNDS_MS,
                buckets=words[_BUCKETS : _BUCKETS + len(BUCKET_BOUNDS_MS) + 1],
            )
            process = read_process(pid)
            sample.workers[name] = Worker(
                label=str(pid),
                pid=pid,
                counts=counts,
                cpu_seconds=process.cpu_seconds if process else None,
                rss_bytes=process.rss_bytes if process else None,
                threads=process.threads if process else None,
            )
    finally:
        os.close(directory_fd)
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


def _histogram(lines: list[Line]) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """Bounds (ms) and non-cumulative counts from the `_bucket` lines of a histogram in seconds."""
    cumulative = sorted(
        (float(line.labels["le"]), line.value) for line in lines if "le" in line.labels
    )
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
}
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
        )
    return workers


def _routes(lines: list[Line]) -> dict[tuple[str, str], Counts]:
    requests: dict[tuple[str, str], list[float]] = {}
    buckets: dict[tuple[str, str], list[Line]] = {}
    for line in lines:
        key = (line.labels.get("method", ""), line.labels.get("route", ""))
        if line.name == ROUTE_REQUESTS:
            totals = requests.setdefault(key, [0.0, 0.0])
            totals[0] += line.value
            if line.labels.get("status", "").isdigit() and int(line.labels["status"]) >= 400:
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
    sample = Sample(time.monotonic(), source, workers=_workers(lines), routes=_routes(lines))
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


def scrape(url: str) -> Sample:
    """GET ``url`` and sample the document it answers with."""
    request = urllib.request.Request(url, headers={"Accept": "text/plain"})
    try:
        with urllib.request.urlopen(request, timeout=SCRAPE_TIMEOUT_S) as response:
            document = response.read().decode("utf-8", "replace")
    except (OSError, ValueError) as error:
        sample = Sample(time.monotonic(), url)
        sample.error = f"cannot scrape {url}: {error}"
        return sample
    return sample_document(document, url)
