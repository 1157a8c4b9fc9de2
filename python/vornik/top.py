"""``python -m vornik top``: a live terminal view of an application's workers.

It runs beside the application, not inside it: it reads the shard directory the
workers write (``--dir``, by default ``VRK_MULTIPROC_DIR``) together with /proc, or
scrapes the application's metrics document (``--url``). Every second it shows per
worker the requests per second, the error share, p50 and p99 latency from the
histogram, the requests in flight and the share of time busy with at least one,
CPU and resident memory, then the listen queue of each listening address (the
connections waiting for a worker) and a table per route where the document has
the route families. Rates and percentiles cover the last few seconds. ``q`` or
Ctrl-C leaves; ``--once`` prints one frame (two samples a second apart) and exits.

The terminal view needs the optional ``rich`` package: ``pip install 'vornik[top]'``.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import queue
import select
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING

from ._routes import histogram_quantile
from ._top_sources import Counts, Sample, Worker, add_counts, decimal, read_directory, scrape

if TYPE_CHECKING:
    from rich.console import Console, RenderableType
    from rich.text import Text

__all__ = ["add_arguments", "run"]

INTERVAL_S = 1.0
# Rates and percentiles are taken over the samples of this many seconds: one
# second alone makes p99 and the error share jump from frame to frame.
WINDOW_S = 5.0
QUANTILES = (0.5, 0.99)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--dir",
        metavar="DIR",
        help="the application's shard directory, read together with /proc "
        "(default: $VRK_MULTIPROC_DIR)",
    )
    source.add_argument(
        "--url",
        metavar="URL",
        help="metrics URL to scrape instead, e.g. http://127.0.0.1:8000/metrics",
    )
    parser.add_argument(
        "--once", action="store_true", help="print one frame (two samples a second apart) and exit"
    )


# --------------------------------------------------------------------------
# Frames: what two samples say about the time between them


@dataclass(frozen=True)
class Row:
    label: str
    pid: int | None = None
    requests: float | None = None
    requests_per_s: float | None = None
    error_percent: float | None = None
    p50_ms: float | None = None
    p99_ms: float | None = None
    cpu_percent: float | None = None
    rss_bytes: float | None = None
    threads: float | None = None
    in_flight: float | None = None
    busy_percent: float | None = None  # share of the time with a request in flight


@dataclass
class Frame:
    source: str
    seconds: float | None
    workers: list[Row] = field(default_factory=list)
    total: Row | None = None
    routes: list[Row] = field(default_factory=list)
    # (address, connections waiting to be accepted, limit or NaN), by address.
    listen: list[tuple[str, float, float]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    error: str | None = None


def quantile(bounds_ms: Sequence[float], counts: Sequence[float], q: float) -> float | None:
    """Latency below which a share ``q`` of the counted requests lie, interpolated in its bucket.

    ``counts`` are non-cumulative, one per bound and one for the overflow; the core's
    estimate, which reports a quantile in the overflow as the last finite bound when the
    largest latency is not known, as Prometheus does. None without requests or buckets.
    """
    if not bounds_ms or len(counts) != len(bounds_ms) + 1 or sum(counts) <= 0:
        return None
    return histogram_quantile(bounds_ms, counts, q)


def _increase(new: float | None, old: float | None) -> float | None:
    """Growth of a counter; a counter that went down was restarted and counts from zero."""
    if new is None or old is None:
        return None
    return new - old if new >= old else new


def _since(new: Counts, old: Counts) -> Counts:
    """The requests counted between two samples of the same worker or route."""
    if new.requests < old.requests:
        return new  # restarted: everything it holds is new
    same_layout = new.bounds_ms == old.bounds_ms and len(new.buckets) == len(old.buckets)
    return Counts(
        requests=new.requests - old.requests,
        errors=_increase(new.errors, old.errors),
        bounds_ms=new.bounds_ms if same_layout else (),
        buckets=tuple(a - b for a, b in zip(new.buckets, old.buckets, strict=True))
        if same_layout
        else (),
    )


def _window(new: Counts | None, old: Counts | None) -> Counts | None:
    return _since(new, old) if new is not None and old is not None else None


def _request_row(
    label: str,
    counts: Counts | None,
    window: Counts | None,
    seconds: float | None,
    pid: int | None = None,
) -> Row:
    """A row of ``counts`` (cumulative) with rates over ``window`` (the last ``seconds``)."""
    if counts is None:
        return Row(label, pid)
    p50, p99 = counts.quantiles_ms or (None, None)
    if window is None or not seconds:
        return Row(label, pid, counts.requests, p50_ms=p50, p99_ms=p99)
    error_percent = None
    if window.errors is not None and window.requests > 0:
        error_percent = window.errors / window.requests * 100.0
    if window.bounds_ms:
        p50, p99 = (quantile(window.bounds_ms, window.buckets, q) for q in QUANTILES)
    return Row(label, pid, counts.requests, window.requests / seconds, error_percent, p50, p99)


def _worker_row(
    new: Worker, old: Worker | None, window: Counts | None, seconds: float | None
) -> Row:
    row = _request_row(new.label, new.counts, window, seconds, new.pid)
    cpu_percent = busy_percent = None
    if old is not None and seconds:
        used = _increase(new.cpu_seconds, old.cpu_seconds)
        cpu_percent = used / seconds * 100.0 if used is not None else None
        busy = _increase(new.busy_seconds, old.busy_seconds)
        busy_percent = min(busy / seconds * 100.0, 100.0) if busy is not None else None
    return replace(
        row,
        cpu_percent=cpu_percent,
        rss_bytes=new.rss_bytes,
        threads=new.threads,
        in_flight=new.in_flight,
        busy_percent=busy_percent,
    )


def _sum(values: list[float | None]) -> float | None:
    return (
        None
        if not values or None in values
        else sum(value for value in values if value is not None)
    )


def _with_sums(total: Row, workers: list[Row]) -> Row:
    """The all-workers row with the workers' CPU, memory, threads and requests in flight added
    up, and their busy shares averaged (the utilisation of the whole pool)."""
    busy = _sum([row.busy_percent for row in workers])
    return replace(
        total,
        cpu_percent=_sum([row.cpu_percent for row in workers]),
        rss_bytes=_sum([row.rss_bytes for row in workers]),
        threads=_sum([row.threads for row in workers]),
        in_flight=_sum([row.in_flight for row in workers]),
        busy_percent=busy / len(workers) if busy is not None else None,
    )


def _order(label: str) -> tuple[int, int, str]:
    number = decimal(label)
    return (0, number, "") if number is not None else (1, 0, label)


def compare(old: Sample | None, new: Sample) -> Frame:
    """The frame for the time from ``old`` (None: no rates yet) to ``new``."""
    seconds = new.at - old.at if old is not None and new.at > old.at else None
    frame = Frame(new.source, seconds, error=new.error)
    if new.error is not None:
        return frame
    previous = old if old is not None and old.error is None else None
    windows: list[Counts] = []
    for key, worker in sorted(new.workers.items(), key=lambda item: _order(item[1].label)):
        before = previous.workers.get(key) if previous else None
        window = _window(worker.counts, before.counts if before else None)
        windows += [window] if window else []
        frame.workers.append(_worker_row(worker, before, window, seconds))
    if new.total is not None:
        total_window = _window(new.total, previous.total if previous else None)
        total = _request_row("all", new.total, total_window, seconds)
    else:
        # Only the workers' own figures: a worker that leaves takes its counts along,
        # which must not read as a restart of the sum.
        counts = add_counts([w.counts for w in new.workers.values() if w.counts is not None])
        total = _request_row("all", counts, add_counts(windows) if windows else None, seconds)
    frame.total = _with_sums(total, frame.workers)
    frame.listen = [(address, *queue) for address, queue in sorted(new.listen.items())]
    routes = [
        _request_row(
            f"{method} {route}",
            counts,
            _window(counts, previous.routes.get((method, route)) if previous else None),
            seconds,
        )
        for (method, route), counts in new.routes.items()
    ]
    frame.routes = sorted(
        routes, key=lambda row: (-(row.requests_per_s or 0.0), -(row.requests or 0.0), row.label)
    )
    if new.total is not None and new.total.quantiles_ms is not None:
        frame.notes.append(
            "p50 and p99 of all workers are since the start: the document has no latency histogram"
        )
    if not new.workers and new.source.startswith(("http://", "https://")):
        frame.notes.append("no per-worker families in the document: --dir shows each worker")
    return frame


# --------------------------------------------------------------------------
# Rendering


def _figure(value: float | None, form: str) -> str:
    return "-" if value is None else format(value, form)


def _megabytes(value: float | None) -> str:
    return "-" if value is None else f"{value / 1048576:.1f}"


def _shown(text: str, style: str = "") -> Text:
    """Text from outside (labels, addresses, errors) as it is: no markup, no emoji codes, and
    control and format characters escaped, so that it cannot move the cursor or reorder a line.
    """
    from rich.text import Text

    escaped = (c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)
    return Text("".join(escaped), style=style)


def _request_cells(row: Row) -> list[str | Text]:
    return [
        _shown(row.label),
        _figure(row.requests_per_s, ".1f"),
        _figure(row.requests, ".0f"),
        _figure(row.error_percent, ".1f"),
        _figure(row.p50_ms, ".1f"),
        _figure(row.p99_ms, ".1f"),
    ]


def render(frame: Frame, hint: str = "") -> RenderableType:
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    facts = []
    if frame.workers:
        facts.append(f"{len(frame.workers)} workers")
    if frame.error is None and frame.total is not None:
        facts.append(
            f"rates over {frame.seconds:.1f} s"
            if frame.seconds
            else "rates from the next sample on"
        )
    facts.append(time.strftime("%H:%M:%S"))
    header = Text.assemble(
        ("vornik top", "bold"),
        "  ",
        _shown(frame.source),
        *(f"  ·  {fact}" for fact in facts),
        (f"  ·  {hint}" if hint else "", "dim"),
    )
    if frame.error is not None:
        return Group(header, _shown(frame.error, style="red"))
    if frame.total is None:  # nothing sampled yet
        return Group(header, *(Text(note, style="dim") for note in frame.notes))

    # Workers read from a shard directory are known by their pid, scraped ones by their slot.
    by_pid = bool(frame.workers) and all(row.pid is not None for row in frame.workers)
    workers = Table(box=box.SIMPLE_HEAD, pad_edge=False)
    workers.add_column("pid" if by_pid else "worker")
    for title in (
        "req/s",
        "requests",
        "err %",
        "p50 ms",
        "p99 ms",
        "in flight",
        "busy %",
        "cpu %",
        "rss MB",
        "threads",
    ):
        workers.add_column(title, justify="right")
    rows = frame.workers + ([frame.total] if frame.total else [])
    for row in rows:
        workers.add_row(
            *_request_cells(row),
            _figure(row.in_flight, ".0f"),
            _figure(row.busy_percent, ".0f"),
            _figure(row.cpu_percent, ".1f"),
            _megabytes(row.rss_bytes),
            _figure(row.threads, ".0f"),
            end_section=row is frame.workers[-1] if frame.workers else False,
        )
    parts: list[RenderableType] = [header, workers]
    for address, length, limit in frame.listen:
        parts.append(
            Text.assemble(
                "listen queue ",
                _shown(address),
                f"  {length:.0f} waiting",
                "" if math.isnan(limit) else f" (limit {limit:.0f})",
            )
        )

    if frame.routes:
        routes = Table(box=box.SIMPLE_HEAD, pad_edge=False)
        routes.add_column("route")
        for title in ("req/s", "requests", "err %", "p50 ms", "p99 ms"):
            routes.add_column(title, justify="right")
        for row in frame.routes:
            routes.add_row(*_request_cells(row))
        parts.append(routes)
    parts.extend(Text(note, style="dim") for note in frame.notes)
    return Group(*parts)


# --------------------------------------------------------------------------
# The terminal


def _console() -> Console:
    from rich.console import Console

    # A pipe gets a width that fits every column rather than rich's 80.
    wide = not sys.stdout.isatty() and "COLUMNS" not in os.environ
    return Console(width=120 if wide else None, highlight=False)


class _Sampler:
    """Takes a sample every ``INTERVAL_S`` on a thread of its own, so that a source slow to
    answer never keeps the terminal from reading keys.

    Each sample it takes is queued and announced by a byte on the pipe ``ready``, which the
    terminal's thread waits on together with the keyboard.
    """

    def __init__(self, sample: Callable[[], Sample]) -> None:
        self._sample = sample
        self._taken: queue.SimpleQueue[Sample] = queue.SimpleQueue()
        self.ready, self._announce = os.pipe()
        os.set_blocking(self.ready, False)  # woken by a key, the terminal finds no byte there
        self._stop = threading.Event()
        threading.Thread(target=self._run, name="vornik top sampler", daemon=True).start()

    def _run(self) -> None:
        next_at = time.monotonic()
        try:
            while not self._stop.is_set():
                self._taken.put(self._sample())
                os.write(self._announce, b".")
                next_at = max(next_at + INTERVAL_S, time.monotonic())
                self._stop.wait(next_at - time.monotonic())
        except BrokenPipeError:  # the terminal's thread has stopped listening
            pass
        finally:
            os.close(self._announce)

    def taken(self) -> list[Sample]:
        """The samples taken since the last call."""
        with contextlib.suppress(BlockingIOError):
            os.read(self.ready, 4096)
        samples = []
        with contextlib.suppress(queue.Empty):
            while True:
                samples.append(self._taken.get_nowait())
        return samples

    def stop(self) -> None:
        """Lets the thread end after the sample it is taking; a scrape is bounded in time."""
        self._stop.set()
        os.close(self.ready)


def _wait_for(keyboards: list[int], ready: int) -> bool:
    """Waits for a sample on ``ready`` or keys on one of ``keyboards``; True when a key was
    ``q`` or a keyboard has gone."""
    readable, _, _ = select.select([ready, *keyboards], [], [])
    for fd in keyboards:
        if fd in readable:
            keys = os.read(fd, 64)
            if not keys or b"q" in keys.lower():
                return True
    return False


@contextlib.contextmanager
def _ctrl_c_as_q() -> Iterator[int]:
    """A pipe on which Ctrl-C arrives as the key ``q``. The KeyboardInterrupt that SIGINT
    raises by default could fall inside rich's drawing and leave the terminal on the
    alternate screen."""
    read, write = os.pipe()
    previous = signal.signal(signal.SIGINT, lambda signum, frame: os.write(write, b"q"))
    try:
        yield read
    finally:
        signal.signal(signal.SIGINT, previous)
        os.close(read)
        os.close(write)


def _live(sample: Callable[[], Sample], source: str, console: Console) -> int:
    import termios
    import tty

    from rich.live import Live

    fd = sys.stdin.fileno() if sys.stdin.isatty() else None
    saved = termios.tcgetattr(fd) if fd is not None else None
    samples: deque[Sample] = deque(maxlen=round(WINDOW_S / INTERVAL_S) + 1)
    sampler = _Sampler(sample)
    try:
        with (
            _ctrl_c_as_q() as ctrl_c,
            Live(console=console, screen=True, auto_refresh=False) as live,
        ):
            if fd is not None:
                tty.setcbreak(fd)  # keys arrive one by one and unechoed; Ctrl-C still signals
            keyboards = [ctrl_c] if fd is None else [fd, ctrl_c]
            waiting = Frame(source, None, notes=["waiting for the first sample"])
            live.update(render(waiting, hint="q quits"), refresh=True)
            while not _wait_for(keyboards, sampler.ready):
                taken = sampler.taken()
                if not taken:
                    continue  # a key other than q
                samples.extend(taken)
                oldest = samples[0] if len(samples) > 1 else None
                live.update(render(compare(oldest, samples[-1]), hint="q quits"), refresh=True)
            return 0
    except KeyboardInterrupt:
        return 0
    finally:
        sampler.stop()
        if fd is not None and saved is not None:
            termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def run(args: argparse.Namespace) -> int:
    """Runs ``top`` with the options of :func:`add_arguments`; returns the exit status."""
    if args.url:
        url: str = args.url
        source = url

        def sample() -> Sample:
            return scrape(url)
    else:
        directory: str | None = args.dir or os.environ.get("VRK_MULTIPROC_DIR")
        if not directory or directory.isspace():
            print(
                "python -m vornik top: give --dir or --url (VRK_MULTIPROC_DIR is not set)",
                file=sys.stderr,
            )
            return 2

        source = directory

        def sample() -> Sample:
            return read_directory(directory)

    try:
        console = _console()
    except ImportError:
        print(
            "python -m vornik top needs the rich package: pip install 'vornik[top]'",
            file=sys.stderr,
        )
        return 2

    if not args.once:
        return _live(sample, source, console)
    first = sample()
    time.sleep(INTERVAL_S)
    frame = compare(first, sample())
    console.print(render(frame))
    return 1 if frame.error is not None else 0
