"""`python -m vornik top`: its sources, the figures of a frame, and the terminal view."""

from __future__ import annotations

import fcntl
import math
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families
from support import dead_pid, shard_bytes
from test_demo import get, start_serving
from vornik import _core
from vornik._top_sources import (
    BUCKET_BOUNDS_MS,
    Counts,
    Sample,
    Worker,
    parse_exposition,
    read_directory,
    sample_document,
)
from vornik.top import compare, quantile

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
        req_per_s, requests, error_percent, p50, p99, cpu, rss_mb, threads = rows[str(pid)]
        assert float(req_per_s) > 0 and int(requests) > 0 and threads == "1"
        assert 5.0 <= float(rss_mb) <= 200.0
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
        assert 5.0 <= float(scraped[slot][6]) <= 200.0 and scraped[slot][7] == "1"


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


@pytest.mark.parametrize("key", [b"q", b"\x03"], ids=["q", "ctrl-c"])
def test_quits_on_a_key_and_gives_the_terminal_back(tmp_path: Path, key: bytes) -> None:
    (tmp_path / "vrk-1.shard").write_bytes(shard_bytes(os.getpid(), 12))
    pid, master = (
        pty.fork()
    )  # the child gets the terminal as its controlling one, so Ctrl-C signals it
    if pid == 0:
        os.execv(sys.executable, [sys.executable, "-m", "vornik", "top", "--dir", str(tmp_path)])
    status = None
    try:
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
        settings = termios.tcgetattr(master)
        screen = read_until(master, b"q quits")
        assert b"\x1b[?1049h" in screen and b"vornik top" in screen  # the alternate screen
        assert not termios.tcgetattr(master)[3] & (termios.ICANON | termios.ECHO)
        os.write(master, key)
        rest = read_until(master, b"\x1b[?1049l", timeout=10)
        deadline = time.monotonic() + 10
        while status is None and time.monotonic() < deadline:
            done, code = os.waitpid(pid, os.WNOHANG)
            status = code if done else None
            time.sleep(0.05)
        assert status is not None, "top did not stop"
        assert b"\x1b[?1049l" in rest  # back to the normal screen
        assert os.waitstatus_to_exitcode(status) == 0
        assert termios.tcgetattr(master)[3] == settings[3]  # echo and line mode as before
    finally:
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        os.close(master)
