"""`python -m vornik top`: its sources, the figures of a frame, and the terminal view."""

from __future__ import annotations

import contextlib
import fcntl
import io
import math
import os
import pty
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from wsgiref.simple_server import WSGIRequestHandler, make_server

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families
from rich.console import Console
from support import dead_pid, shard_bytes
from test_demo import get, start_serving
from vornik import _core
from vornik._routes import histogram_quantile
from vornik._top_sources import (
    BUCKET_BOUNDS_MS,
    Counts,
    Sample,
    Worker,
    parse_exposition,
    read_directory,
    sample_document,
    scrape,
)
from vornik.top import compare, quantile, render
from vornik.wsgi import MetricsMiddleware

# --------------------------------------------------------------------------
# Sources


def test_exposition_parser_reads_what_prometheus_client_reads() -> None:
    _core.record_request("GET", "/", 200, 3.0)
    document = _core.metrics_text() + (
        "# HELP vrk_http_requests_total Requests by route\n"
        "# TYPE vrk_http_requests_total counter\n"
        'vrk_http_requests_total{method="GET",route="/a \\"b\\" \\\\ c\\nd",status="200"} 7\n'
        'vrk_http_requests_total{ method="POST" , route="/x,{y}=z",status="503",} 2.5e3 17000\n'
        "# TYPE vrk_http_request_duration_seconds histogram\n"
        'vrk_http_request_duration_seconds_bucket{method="GET",route="/",le="+Inf"} 7\n'
        "vrk_odd NaN\n"
        "vrk_low -Inf\n"
    )
    expected = [
        (s.name, s.labels, s.value)
        for family in text_string_to_metric_families(document)
        for s in family.samples
    ]
    ours = [(line.name, line.labels, line.value) for line in parse_exposition(document)]
    assert len(ours) == len(expected) == 18
    for (name, labels, value), (want_name, want_labels, want_value) in zip(
        ours, expected, strict=True
    ):
        assert (name, labels) == (want_name, want_labels)
        assert value == want_value or (math.isnan(value) and math.isnan(want_value))
    assert parse_exposition("garbage{without end\nok 1\nnot_a_number x\n") == parse_exposition(
        "ok 1\n"
    )


def test_directory_reader_takes_live_shards_only_and_touches_nothing(tmp_path: Path) -> None:
    own = os.getpid()
    (tmp_path / "vrk-own.shard").write_bytes(shard_bytes(own, 5, 2, buckets={3: 4, 13: 1}))
    (tmp_path / "vrk-dead.shard").write_bytes(shard_bytes(dead_pid(), 100))
    (tmp_path / "vrk-v2.shard").write_bytes(shard_bytes(own, 100, version=2))
    (tmp_path / "vrk-short.shard").write_bytes(shard_bytes(own, 100)[:175])
    (tmp_path / "vrk-long.shard").write_bytes(shard_bytes(own, 1) + b"\xff" * 24)
    (tmp_path / "vrk-zero.shard").write_bytes(shard_bytes(0, 100))
    (tmp_path / "vrk-retained.totals").write_bytes(shard_bytes(own, 1000))
    (tmp_path / "vrk-own.shard.tmp").write_bytes(shard_bytes(own, 1000))
    (tmp_path / "linked").write_bytes(shard_bytes(own, 1000))
    os.link(tmp_path / "linked", tmp_path / "vrk-hardlink.shard")
    os.symlink(tmp_path / "linked", tmp_path / "vrk-symlink.shard")
    os.mkfifo(tmp_path / "vrk-fifo.shard")  # opening it for reading must not wait for a writer
    (tmp_path / "vrk-dir.shard").mkdir()
    before = sorted(os.listdir(tmp_path))

    sample = read_directory(str(tmp_path))

    assert sorted(os.listdir(tmp_path)) == before  # nothing deleted or created
    assert sample.error is None
    assert sorted(sample.workers) == ["vrk-long.shard", "vrk-own.shard"]
    worker = sample.workers["vrk-own.shard"]
    assert worker.label == str(own) and worker.pid == own
    assert worker.counts == Counts(5, 2, BUCKET_BOUNDS_MS, (0, 0, 0, 4) + (0,) * 9 + (1,))
    process = psutil.Process()
    assert worker.threads == process.num_threads()
    assert (
        worker.rss_bytes is not None and abs(worker.rss_bytes - process.memory_info().rss) < 4 << 20
    )
    cpu = process.cpu_times()
    assert (
        worker.cpu_seconds is not None and abs(worker.cpu_seconds - (cpu.user + cpu.system)) < 0.1
    )
    assert sample.total is None  # the sum of the workers, taken by each frame

    missing = read_directory(str(tmp_path / "absent"))
    assert missing.error is not None and "No such file or directory" in missing.error
    assert compare(None, missing).error == missing.error


def test_percentiles_agree_with_the_core_merge(tmp_path: Path) -> None:
    # The core's own estimate from the same histogram is the reference.
    _core.set_multiproc_dir(str(tmp_path))
    for i in range(300):
        _core.record_request("GET", "/", 500 if i % 10 == 0 else 200, (i * 7.3) % 900 + 0.2)
    aggregated = _core.aggregate()
    (worker,) = read_directory(str(tmp_path)).workers.values()
    total = worker.counts
    assert total is not None and total.requests == 300 and total.errors == 30
    assert quantile(total.bounds_ms, total.buckets, 0.5) == pytest.approx(aggregated.p50_latency_ms)
    assert quantile(total.bounds_ms, total.buckets, 0.99) == pytest.approx(
        aggregated.p99_latency_ms
    )
    assert quantile(BUCKET_BOUNDS_MS, [0] * 13 + [5], 0.5) == 10000.0
    assert quantile(BUCKET_BOUNDS_MS, [0] * 14, 0.5) is None


@pytest.mark.parametrize(
    ("counts", "q", "maximum", "expected"),
    [
        ([2, 2, 0, 0], 0.5, None, 1.0),  # the target count 2 ends the first bucket
        ([2, 2, 0, 0], 0.75, None, 1.5),  # 3 of 4: half way through (1, 2]
        ([0, 4, 0, 0], 0.25, None, 1.25),
        ([1, 0, 0, 3], 0.5, 8.0, 6.0),  # above 5, up to the largest value: 5 + 1/3 * 3
        ([1, 0, 0, 3], 0.5, None, 5.0),  # the largest value unknown: the last bound
        ([0, 0, 0, 0], 0.5, 8.0, 0.0),
    ],
)
def test_the_one_quantile_by_hand(
    counts: list[int], q: float, maximum: float | None, expected: float
) -> None:
    """Bounds 1, 2 and 5 ms: linear interpolation in the bucket of the target count."""
    bounds = [1.0, 2.0, 5.0]
    if maximum is None:
        assert histogram_quantile(bounds, counts, q) == pytest.approx(expected)
    else:
        assert histogram_quantile(bounds, counts, q, maximum) == pytest.approx(expected)
    with pytest.raises(ValueError, match="one more item than bounds"):
        histogram_quantile(bounds, counts[:-1], q)


def test_frame_takes_rates_shares_and_percentiles_over_the_window() -> None:
    def sample(at: float, requests: int, errors: int, fast: int, slow: int, cpu: float) -> Sample:
        counts = Counts(requests, errors, BUCKET_BOUNDS_MS, (fast,) + (0,) * 7 + (slow,) + (0,) * 5)
        worker = Worker("7", 7, counts, cpu_seconds=cpu, rss_bytes=1 << 20, threads=3)
        return Sample(at, "test", {"vrk-7.shard": worker}, counts)

    frame = compare(sample(10.0, 100, 10, 90, 10, 5.0), sample(12.0, 300, 20, 189, 111, 5.5))
    (worker,) = frame.workers
    assert frame.seconds == 2.0
    assert worker.requests == 300 and worker.requests_per_s == 100.0 and worker.error_percent == 5.0
    # Of the 200 new requests 99 took under 1 ms and 101 between 250 and 500 ms.
    assert worker.p50_ms == pytest.approx(250 + (100 - 99) / 101 * 250)
    assert worker.p99_ms == pytest.approx(250 + (198 - 99) / 101 * 250)
    assert worker.cpu_percent == pytest.approx(25.0)
    assert (
        frame.total is not None
        and frame.total.rss_bytes == 1 << 20
        and frame.total.cpu_percent == worker.cpu_percent
    )

    # A worker that restarted under the same slot counts from zero again.
    restarted = compare(sample(10.0, 300, 20, 189, 111, 5.5), sample(11.0, 40, 4, 40, 0, 0.2))
    assert (
        restarted.workers[0].requests_per_s == 40.0 and restarted.workers[0].error_percent == 10.0
    )
    assert restarted.workers[0].cpu_percent == pytest.approx(20.0)

    # Read from a directory, the total is the workers' sum: one that leaves is no restart.
    def directory(at: float, *requests: int) -> Sample:
        return Sample(
            at,
            "d",
            {f"vrk-{i}.shard": Worker(str(i), i, Counts(n, 0)) for i, n in enumerate(requests)},
        )

    left = compare(directory(10.0, 100, 50), directory(11.0, 110))
    assert (
        left.total is not None and left.total.requests == 110 and left.total.requests_per_s == 10.0
    )
    assert left.total.error_percent == 0.0
    # The first frame has nothing to compare with.
    first = compare(None, sample(1.0, 5, 0, 5, 0, 0.1))
    assert (
        first.seconds is None
        and first.workers[0].requests_per_s is None
        and first.workers[0].requests == 5
    )


def test_frame_shows_in_flight_busy_share_and_the_listen_queue() -> None:
    def sample(at: float, busy: tuple[float, float], in_flight: tuple[int, int]) -> Sample:
        workers = {
            str(slot): Worker(str(slot), busy_seconds=seconds, in_flight=flight)
            for slot, (seconds, flight) in enumerate(zip(busy, in_flight, strict=True))
        }
        return Sample(at, "u", workers, listen={"[::]:8000": (4, 128)})

    old, new = sample(10.0, (1.0, 5.0), (0, 1)), sample(12.0, (2.9, 5.5), (2, 1))
    frame = compare(old, new)
    assert [(w.in_flight, w.busy_percent) for w in frame.workers] == [
        (2, pytest.approx(95.0)),
        (1, pytest.approx(25.0)),
    ]
    # The pool: requests in flight added up, the busy share averaged (avg(rate(...))).
    assert frame.total is not None and frame.total.in_flight == 3
    assert frame.total.busy_percent == pytest.approx(60.0)
    assert frame.listen == [("[::]:8000", 4, 128)]
    text = shown(new, old)
    assert "in flight" in text and "busy %" in text
    assert "listen queue [::]:8000  4 waiting (limit 128)" in text
    # A worker that restarted under its slot counts its busy time from zero again.
    restarted = compare(sample(10.0, (30.0, 5.0), (1, 1)), sample(11.0, (0.5, 5.5), (1, 1)))
    assert restarted.workers[0].busy_percent == pytest.approx(50.0)
    # From a scrape: the per-worker families and the listen queue's two families.
    document = "".join([
        sample_line("vrk_requests_total", 5),
        sample_line("vrk_worker_requests_in_flight", 3, worker="0"),
        sample_line("vrk_worker_busy_seconds_total", 7.25, worker="0"),
        sample_line("vrk_listen_queue_length", 2, address="127.0.0.1:80"),
        sample_line("vrk_listen_queue_limit", 64, address="127.0.0.1:80"),
        sample_line("vrk_listen_queue_length", 0, address="/run/app.sock"),
    ])  # fmt: skip
    scraped = sample_document(document, "u")
    assert (scraped.workers["0"].in_flight, scraped.workers["0"].busy_seconds) == (3, 7.25)
    assert scraped.listen["127.0.0.1:80"] == (2, 64)
    assert math.isnan(scraped.listen["/run/app.sock"][1])  # no limit given: none shown
    assert "listen queue /run/app.sock  0 waiting\n" in shown(scraped)


def test_scraped_document_gives_routes_workers_and_totals() -> None:
    def line(name: str, value: float, **labels: str) -> str:
        text = ",".join(f'{key}="{label}"' for key, label in labels.items())
        return f"{name}{{{text}}} {value}\n" if labels else f"{name} {value}\n"

    def document(scale: int) -> str:
        requests, bucket = "vrk_http_requests_total", "vrk_http_request_duration_seconds_bucket"
        return "".join([
            line("vrk_requests_total", 30 * scale),
            line("vrk_errors_total", 3 * scale),
            line(requests, 18 * scale, method="GET", route="/a", status="200"),
            line(requests, 2 * scale, method="GET", route="/a", status="404"),
            line(requests, 1 * scale, method="POST", route="/b", status="500"),
            line(requests, 9 * scale, method="POST", route="/b", status="201"),
            line(bucket, 10 * scale, method="GET", route="/a", le="0.01"),
            line(bucket, 20 * scale, method="GET", route="/a", le="0.1"),
            line(bucket, 20 * scale, method="GET", route="/a", le="+Inf"),
            line(bucket, 0, method="POST", route="/b", le="0.01"),
            line(bucket, 0, method="POST", route="/b", le="0.1"),
            line(bucket, 10 * scale, method="POST", route="/b", le="+Inf"),
            line("vrk_worker_requests_total", 20 * scale, worker="0"),
            line("vrk_worker_requests_total", 10 * scale, worker="1"),
            line("vrk_worker_cpu_seconds_total", scale, worker="0"),
            line("vrk_worker_memory_rss_bytes", 1048576, worker="0"),
        ])  # fmt: skip

    old, new = sample_document(document(1), "u"), sample_document(document(3), "u")
    new.at = old.at + 2.0
    frame = compare(old, new)
    assert [(row.label, row.requests_per_s) for row in frame.workers] == [("0", 20.0), ("1", 10.0)]
    assert frame.workers[0].cpu_percent == 100.0 and frame.workers[1].cpu_percent is None
    by_route = {row.label: row for row in frame.routes}
    assert list(by_route) == ["GET /a", "POST /b"]  # busiest first
    assert by_route["GET /a"].error_percent == 10.0 and by_route["POST /b"].error_percent == 10.0
    assert by_route["GET /a"].p50_ms == pytest.approx(10.0)
    assert by_route["POST /b"].p50_ms == 100.0  # in the +Inf bucket: the last finite bound
    assert (
        frame.total is not None
        and frame.total.requests_per_s == 30.0
        and frame.total.error_percent == 10.0
    )
    assert frame.total.p50_ms == pytest.approx(
        10 + (30 - 20) / 20 * 90
    )  # the routes' histograms together
    assert frame.notes == []

    plain = sample_document(_core.metrics_text(), "http://x/metrics")
    assert plain.total is not None and plain.total.quantiles_ms is not None and not plain.routes
    assert len(compare(None, plain).notes) == 2
    assert sample_document("up 1\n", "u").error == "no vrk_requests_total in the document"


def sample_line(name: str, value: float, **labels: str) -> str:
    """One sample of a text document, its label values escaped as the format wants."""

    def escaped(text: str) -> str:
        return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")

    text = ",".join(f'{key}="{escaped(label)}"' for key, label in labels.items())
    return f"{name}{{{text}}} {value}\n" if labels else f"{name} {value}\n"


def shown(frame_or_sample: Sample, old: Sample | None = None) -> str:
    """The frame of ``old`` to ``frame_or_sample`` as a terminal shows it, in plain text."""
    console = Console(file=io.StringIO(), width=250, color_system=None, highlight=False)
    console.print(render(compare(old, frame_or_sample)))
    return console.file.getvalue()  # type: ignore[attr-defined]


def test_label_text_is_shown_as_it_is_and_numbers_that_do_not_parse_skip_the_sample() -> None:
    requests, bucket = "vrk_http_requests_total", "vrk_http_request_duration_seconds_bucket"
    # Routes a client chooses under route_from_path=True: rich markup, an emoji code, a
    # terminal escape, a right-to-left override and a line break.
    routes = [
        "/a[/b]",
        "/[bold]x[/bold]:smile:",
        "/esc\x1b[2J\x9b1m",
        "/rtl\u202eevil",
        "/two\nlines",
    ]
    document = "".join(
        [sample_line("vrk_requests_total", 40), sample_line("vrk_errors_total", 1)]
        + [sample_line(requests, 3, method="GET", route=route, status="200") for route in routes]
        + [
            sample_line(requests, 5, method="GET", route="/s", status="²"),  # "²".isdigit()
            sample_line(requests, 1, method="GET", route="/s", status="500"),
            sample_line(requests, 4, method="GET", route="/s", status="_OTHER"),
            sample_line(bucket, 2, method="GET", route="/s", le="0.01"),
            sample_line(bucket, 7, method="GET", route="/s", le="abc"),
            sample_line(bucket, 9, method="GET", route="/s", le="NaN"),
            sample_line(bucket, 10, method="GET", route="/s", le="+Inf"),
            sample_line("vrk_worker_requests_total", 6, worker="10"),
            sample_line("vrk_worker_requests_total", 5, worker="²"),
            sample_line("vrk_worker_requests_total", 4, worker="2"),
        ]
    )
    sample = sample_document(document, "http://127.0.0.1:1/metrics")
    assert sample.error is None
    # A status that is no number counts as a request and not as an error.
    assert sample.routes[("GET", "/s")] == Counts(10, 1, (10.0,), (2, 8))
    later = sample_document(document.replace("} 10\n", "} 20\n"), sample.source)
    later.at = sample.at + 1.0

    text = shown(later, sample)
    for route in ["/a[/b]", "/[bold]x[/bold]:smile:", "/esc\\x1b[2J\\x9b1m", "/rtl\\u202eevil"]:
        assert f"GET {route} " in text
    assert "GET /two\\nlines" in text
    assert not {"\x1b", "\x9b", "\u202e", "\N{SMILING FACE WITH SMILING EYES}"} & set(text)
    assert re.findall(r"^ (\S+) +\d", text, re.MULTILINE)[:4] == ["2", "10", "²", "all"]
    # The bucket without a number is left out: the next 10 requests lie above 10 ms.
    (route_s,) = (line for line in text.splitlines() if line.startswith(" GET /s "))
    assert route_s.split()[-2:] == ["10.0", "10.0"], route_s

    # A scrape whose error repeats what the server said shows that as text too.
    failed = Sample(later.at, "http://[::1]:1/", error="cannot scrape: [/x] \x1b[31m")
    assert "cannot scrape: [/x] \\x1b[31m" in shown(failed)


def test_random_label_text_never_breaks_a_frame() -> None:
    seed = random.randrange(1 << 32)
    print(f"seed {seed}")  # shown when the test fails, to replay it
    rng = random.Random(seed)
    alphabet = (
        '[]/:\\"{}=, \n\t#~0123456789²³¹١٣e.+-_aIn\x00\x1b\x7f\x85\x9b\u200f\u202e\u0301é漢😀'
    )
    names = ["vrk_http_requests_total", "vrk_http_request_duration_seconds_bucket"]
    names += ["vrk_worker_requests_total", "vrk_worker_cpu_seconds_total"]

    def label() -> str:
        return "".join(rng.choices(alphabet, k=rng.randrange(8)))

    for _ in range(300):
        lines = [sample_line("vrk_requests_total", rng.randrange(100))]
        for _ in range(rng.randrange(1, 8)):
            labels = {key: label() for key in ("method", "route", "status", "le", "worker")}
            lines.append(sample_line(rng.choice(names), rng.choice([0, 1, 7.5, 1e300]), **labels))
        old = sample_document("".join(lines), "u")
        new = sample_document("".join(lines), "u")
        new.at = old.at + 1.0
        frame = shown(new, old)
        assert "vornik top" in frame and not set(frame) & set("\x00\x1b\x7f\x85\x9b\u200f\u202e")


# --------------------------------------------------------------------------
# Scraping servers that answer slowly, too much, or nothing useful

ANSWER_HEAD = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
DOCUMENT = b"vrk_requests_total 1\nvrk_errors_total 0\n"

Respond = Callable[[socket.socket, threading.Event], None]


@contextlib.contextmanager
def answering(respond: Respond) -> Iterator[str]:
    """A loopback server that hands every connection, its request read, to ``respond``.

    Yields the server's metrics URL; on leaving, ``respond`` is told to stop (the event is
    set) and every connection is waited for.
    """
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()
    handlers: list[threading.Thread] = []

    def handle(conn: socket.socket) -> None:
        with conn, contextlib.suppress(OSError):  # the client hung up
            request = b""
            while b"\r\n\r\n" not in request and (data := conn.recv(4096)):
                request += data
            respond(conn, stop)

    def accept() -> None:
        with contextlib.suppress(OSError):  # the listener was closed
            while True:
                conn, _ = listener.accept()
                handlers.append(threading.Thread(target=handle, args=(conn,)))
                handlers[-1].start()

    acceptor = threading.Thread(target=accept)
    acceptor.start()
    try:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/metrics"
    finally:
        stop.set()
        listener.shutdown(socket.SHUT_RDWR)
        listener.close()
        acceptor.join()
        for handler in handlers:
            handler.join()


def dripping(answer: bytes, every_s: float, at_once: int = 0) -> Respond:
    """Sends the first ``at_once`` bytes of ``answer``, then one byte every ``every_s``."""

    def respond(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(answer[:at_once])
        for i in range(at_once, len(answer)):
            if stop.wait(every_s):
                return
            conn.sendall(answer[i : i + 1])

    return respond


def timed_scrape(url: str) -> tuple[Sample, float]:
    started = time.monotonic()
    sample = scrape(url)
    return sample, time.monotonic() - started


@pytest.mark.parametrize(
    "at_once",
    [0, len(ANSWER_HEAD) + len(b"vrk_requests_total 1\n")],
    ids=["status-line", "document"],
)
def test_scrape_of_an_answer_that_trickles_ends_in_time_and_says_so(at_once: int) -> None:
    # The whole answer takes 6 to 13 s; each byte comes well within the socket timeout.
    with answering(dripping(ANSWER_HEAD + DOCUMENT, 0.15, at_once)) as url:
        sample, seconds = timed_scrape(url)
    # A document cut short would parse (its first line is whole): it must not count.
    assert sample.error == f"cannot scrape {url}: no complete answer within 2 s"
    assert sample.total is None and not sample.routes
    assert seconds < 4.0


def test_scrape_reads_no_more_than_its_limit() -> None:
    sent = [0]
    line = b"#" * 1023 + b"\n"

    def flood(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(ANSWER_HEAD + DOCUMENT)  # no length: the body ends when the server stops
        while sent[0] < 64 << 20 and not stop.is_set():
            conn.sendall(line * 64)
            sent[0] += len(line) * 64

    with answering(flood) as url:
        sample, _ = timed_scrape(url)
    assert sample.error == f"cannot scrape {url}: the answer is larger than 16 MiB"
    # Refused while it came, not read whole first (loopback buffers hold a few MB).
    assert sent[0] < 32 << 20

    def claims(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(ANSWER_HEAD.replace(b"\r\n\r\n", b"\r\nContent-Length: 400000000\r\n\r\n"))
        conn.sendall(DOCUMENT)
        stop.wait(10)

    with answering(claims) as url:
        sample, seconds = timed_scrape(url)
    assert sample.error == f"cannot scrape {url}: the answer is larger than 16 MiB"
    assert seconds < 1.0  # refused on the header, without waiting for the body


@contextlib.contextmanager
def serving(app: Callable[..., object]) -> Iterator[int]:
    """``app`` under wsgiref on a loopback port of its own, in a thread."""

    class Quiet(WSGIRequestHandler):
        def log_message(self, *args: object) -> None:
            pass

    with make_server("127.0.0.1", 0, app, handler_class=Quiet) as httpd:  # type: ignore[arg-type]
        thread = threading.Thread(target=httpd.serve_forever)
        thread.start()
        try:
            yield httpd.server_port
        finally:
            httpd.shutdown()
            thread.join()


# --------------------------------------------------------------------------
# The command, against the demo and in a terminal


def vornik_top(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "vornik", "top", *args],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "COLUMNS": "120", **(env or {})},
    )


def table_rows(output: str) -> dict[str, list[str]]:
    return {
        cells[0]: cells[1:]
        for line in output.splitlines()
        if (cells := line.split()) and re.fullmatch(r"\d+|all", cells[0])
    }


@pytest.mark.servers
def test_once_against_a_live_two_worker_demo(tmp_path: Path) -> None:
    proc, port, pids, lines = start_serving(tmp_path)
    directory = re.search(r"temporary shard directory (\S+)", "".join(lines))
    assert directory, lines
    stop = threading.Event()

    def load() -> None:
        while not stop.is_set():
            get(port, "/error")
            get(port, "/")

    client = threading.Thread(target=load)
    client.start()
    try:
        by_dir = vornik_top("--once", env={"VRK_MULTIPROC_DIR": directory.group(1)})
        by_url = vornik_top("--once", "--url", f"http://127.0.0.1:{port}/metrics")
    finally:
        stop.set()
        client.join()
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
    assert by_dir.returncode == 0, by_dir.stderr
    rows = table_rows(by_dir.stdout)
    assert sorted(rows) == sorted(map(str, pids)) + ["all"], by_dir.stdout
    for pid in pids:
        req_per_s, requests, error_percent, p50, p99, in_flight, busy, cpu, rss_mb, threads = rows[
            str(pid)
        ]
        assert float(req_per_s) > 0 and int(requests) > 0 and threads == "1"
        assert 5.0 <= float(rss_mb) <= 200.0
        # One thread per worker serves one request at a time, under a steady load.
        assert in_flight in ("0", "1") and 0 < int(busy) <= 100
    assert int(rows["all"][1]) == sum(int(rows[str(pid)][1]) for pid in pids)
    # Half the load is /error, and every latency lies under 25 ms or so.
    assert 30.0 <= float(rows["all"][2]) <= 70.0
    assert 0.0 < float(rows["all"][3]) <= float(rows["all"][4]) <= 50.0

    assert by_url.returncode == 0, by_url.stderr
    # The middleware's document has a row per worker slot.
    scraped = table_rows(by_url.stdout)
    assert sorted(scraped) == ["0", "1", "all"], by_url.stdout
    assert float(scraped["all"][0]) > 0 and int(scraped["all"][1]) >= int(rows["all"][1])
    assert float(scraped["0"][0]) + float(scraped["1"][0]) > 0
    for slot in "01":
        assert 5.0 <= float(scraped[slot][8]) <= 200.0 and scraped[slot][9] == "1"
    # The all row adds up the requests in flight; the demo's socket is the workers'.
    assert int(rows["all"][5]) == sum(int(rows[str(pid)][5]) for pid in pids)
    assert f"listen queue 127.0.0.1:{port}" in by_dir.stdout


def test_once_shows_a_route_that_a_client_chose_as_text() -> None:
    def app(environ: dict[str, object], start_response: Callable[..., object]) -> list[bytes]:
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"ok"]

    with serving(MetricsMiddleware(app, route_from_path=True)) as port:
        assert get(port, "/a[/b]")[0] == 200
        result = vornik_top("--once", "--url", f"http://127.0.0.1:{port}/metrics")
    assert result.returncode == 0, result.stderr
    (row,) = (line.split() for line in result.stdout.splitlines() if "/a[/b]" in line)
    assert row[:4] == ["GET", "/a[/b]", "0.0", "1"], result.stdout


def test_without_a_source_or_rich_it_says_what_is_missing(tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k != "VRK_MULTIPROC_DIR"}
    result = subprocess.run(
        [sys.executable, "-m", "vornik", "top", "--once"], capture_output=True, text=True, env=env
    )
    assert result.returncode == 2 and "give --dir or --url" in result.stderr
    (tmp_path / "rich").mkdir()  # a package without the modules: as if rich were missing
    (tmp_path / "rich" / "__init__.py").write_text("raise ImportError('no rich here')\n")
    result = subprocess.run(
        [sys.executable, "-m", "vornik", "top", "--once", "--dir", str(tmp_path)],
        capture_output=True,
        text=True,
        env={
            **env,
            "PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")])),
        },
    )
    assert result.returncode == 2 and "pip install 'vornik[top]'" in result.stderr


def read_until(fd: int, pattern: bytes, timeout: float = 20) -> bytes:
    seen = b""
    deadline = time.monotonic() + timeout
    while pattern not in seen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            try:
                seen += os.read(fd, 65536)
            except OSError:  # the other side closed
                break
    return seen


def top_in_a_terminal(*args: str) -> tuple[int, int]:
    """Starts ``top`` on a new 30x120 terminal; returns its pid and the terminal's master side."""
    pid, master = pty.fork()  # the terminal becomes the child's controlling one: Ctrl-C signals it
    if pid == 0:
        os.execv(sys.executable, [sys.executable, "-m", "vornik", "top", *args])
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
    return pid, master


def exit_status(pid: int, timeout: float) -> int | None:
    """The exit status of ``pid`` once it ends within ``timeout`` seconds; None if it does not."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.02)
    return None


@contextlib.contextmanager
def ended(pid: int, master: int) -> Iterator[None]:
    """Kills ``pid`` if it still runs on leaving, and closes its terminal."""
    try:
        yield
    finally:
        with contextlib.suppress(ChildProcessError):  # reaped already
            if os.waitpid(pid, os.WNOHANG) == (0, 0):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        os.close(master)


@pytest.mark.parametrize("key", [b"q", b"\x03"], ids=["q", "ctrl-c"])
def test_quits_on_a_key_and_gives_the_terminal_back(tmp_path: Path, key: bytes) -> None:
    (tmp_path / "vrk-1.shard").write_bytes(shard_bytes(os.getpid(), 12))
    pid, master = top_in_a_terminal("--dir", str(tmp_path))
    with ended(pid, master):
        settings = termios.tcgetattr(master)
        screen = read_until(master, b"q quits")
        assert b"\x1b[?1049h" in screen and b"vornik top" in screen  # the alternate screen
        assert not termios.tcgetattr(master)[3] & (termios.ICANON | termios.ECHO)
        os.write(master, key)
        rest = read_until(master, b"\x1b[?1049l", timeout=10)
        status = exit_status(pid, 10)
        assert status is not None, "top did not stop"
        assert b"\x1b[?1049l" in rest  # back to the normal screen
        assert os.waitstatus_to_exitcode(status) == 0
        assert termios.tcgetattr(master)[3] == settings[3]  # echo and line mode as before


def test_live_view_says_why_a_scrape_failed_and_reads_keys_while_it_waits() -> None:
    # Two minutes for the whole answer, one byte a second.
    with answering(dripping(ANSWER_HEAD + DOCUMENT, 1.0)) as url:
        pid, master = top_in_a_terminal("--url", url)
        with ended(pid, master):
            assert b"waiting for the first sample" in read_until(master, b"first sample", 10)
            screen = read_until(master, b"within 2 s", timeout=10)
            assert b"no complete answer within 2 s" in screen, screen
            # The next scrape has begun at once (the last one took longer than a frame):
            # `q` ends top without waiting for it.
            os.write(master, b"q")
            status = exit_status(pid, 1.5)
            assert status is not None, "q was not read while a scrape was under way"
            assert os.waitstatus_to_exitcode(status) == 0
