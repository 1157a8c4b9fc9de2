"""`python -m vornik demo`: what it prints, and that it leaves nothing running or behind."""

from __future__ import annotations

import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from support import alive, environment, metric, wait_gone

pytestmark = pytest.mark.servers


def vornik(*args: str, tmpdir: Path, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "vornik", *args],
        capture_output=True,
        text=True,
        env=environment(TMPDIR=str(tmpdir)),
        timeout=timeout,
    )


def worker_pids(output: str) -> list[int]:
    match = re.search(r"worker processes \(pids ([\d, ]+)\)", output)
    assert match, output
    return [int(pid) for pid in match.group(1).split(", ")]


def route_table(output: str) -> dict[str, tuple[int, int]]:
    """The per-route table of the summary: label -> (requests, errors)."""
    table = output.split("route", 1)[1].split("\n\n", 1)[0]
    rows = re.findall(r"^  (\S.*?)\s+(\d+)\s+(\d+)$", table, re.MULTILINE)
    return {label: (int(count), int(errors)) for label, count, errors in rows}


def document(output: str) -> str:
    marker = re.search(
        r"^--- GET /metrics, answered by worker pid (\d+) .*---$", output, re.MULTILINE
    )
    assert marker, output
    return output[marker.end() + 1 :]


@pytest.fixture
def tmpdir_for_demo(tmp_path: Path) -> Path:
    directory = tmp_path / "tmp"
    directory.mkdir()
    return directory


def test_help_explains_demo_and_serve(tmpdir_for_demo: Path) -> None:
    top = vornik("--help", tmpdir=tmpdir_for_demo)
    assert top.returncode == 0
    assert re.search(r"^commands:\n(.*\n)*    demo +run an instrumented example", top.stdout, re.M)
    # Where each command's options are, and which they are.
    assert "explained by `python -m vornik COMMAND --help`:" in top.stdout
    assert (
        "\n  demo: --serve, --port, --workers, --requests, --alert-cpu, --alert-rss-mb\n"
        in top.stdout
    )
    sub = vornik("demo", "--help", tmpdir=tmpdir_for_demo)
    assert sub.returncode == 0
    assert "--serve" in sub.stdout and "--requests" in sub.stdout
    assert vornik(tmpdir=tmpdir_for_demo).returncode == 2  # no command: usage, not a demo


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ("--workers 0", "--workers must be between 1 and 16"),
        ("--port 70000", "--port must be between 0 and 65535"),
        ("--requests -1", "--requests must be between 0 and 100000"),
        ("--alert-cpu -1", "--alert-cpu must be between 0 and 10000"),
        ("--alert-cpu nan", "--alert-cpu must be between 0 and 10000"),
        ("--alert-rss-mb inf", "--alert-rss-mb must be between 0 and 1048576"),
    ],
)
def test_options_out_of_range(tmpdir_for_demo: Path, arguments: str, message: str) -> None:
    result = vornik("demo", *arguments.split(), tmpdir=tmpdir_for_demo)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines()[-1] == f"python -m vornik demo: error: {message}"


def test_a_taken_port_is_one_line_and_status_2(tmpdir_for_demo: Path) -> None:
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = vornik("demo", "--port", str(port), tmpdir=tmpdir_for_demo)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (
        f"python -m vornik demo: error: cannot listen on 127.0.0.1:{port}: Address already in use\n"
    )
    assert list(tmpdir_for_demo.iterdir()) == []


def test_demo_reports_merged_figures_and_cleans_up(tmpdir_for_demo: Path) -> None:
    result = vornik("demo", tmpdir=tmpdir_for_demo)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    pids = worker_pids(out)
    assert len(pids) == 2 and os.getpid() not in pids

    # The client's own tally, route by route, agrees with what /metrics merged
    # from both workers' shards.
    routes = route_table(out)
    assert {
        "GET /",
        "GET /users/{id}",
        "POST /orders",
        "GET /slow",
        "GET /error",
        "GET /status",
    } <= routes.keys()
    assert routes["GET /error"][0] == routes["GET /error"][1] > 0
    sent = sum(count for count, _ in routes.values())
    errors = sum(errors for _, errors in routes.values())
    assert sent >= 150
    doc = document(out)
    assert doc.startswith("# HELP vrk_requests_total ")
    assert metric(doc, "vrk_requests_total") == sent
    assert metric(doc, "vrk_errors_total") == errors
    # The core's 13 families, the route families, then the per-worker families.
    core, per_worker = doc.split("# HELP vrk_workers ", 1)
    assert len(re.findall(r"^# TYPE ", core, re.MULTILINE)) == 15
    assert "\nvrk_workers 2\n" in per_worker
    by_route = re.findall(
        r'^vrk_http_requests_total\{method="(\w+)",route="([^"]+)",status="(\d+)"\} (\d+)$',
        core,
        re.MULTILINE,
    )
    assert sum(int(count) for *_, count in by_route) == sent
    routes_seen = {(method, route) for method, route, _, _ in by_route}
    assert {("GET", "/users/{id}"), ("POST", "/orders"), ("GET", "/error")} <= routes_seen
    assert re.search(rf"requests +{sent} +\(the client got {sent} answers: matches\)", out)
    assert re.search(r"p50 [\d.]+ ms +p95 [\d.]+ ms +p99 [\d.]+ ms", out)
    assert metric(doc, "vrk_latency_p99_ms") >= metric(doc, "vrk_latency_p50_ms") > 0

    # Both workers served traffic and told their process figures.
    for pid in pids:
        line = re.search(
            rf"^  pid {pid} +served +(\d+) +cpu [\d.]+ % +rss [\d.]+ MB", out, re.MULTILINE
        )
        assert line, out
    assert "Alerts (check_alerts with cpu_percent > 80, memory_rss_mb > 256): " in out

    assert wait_gone(pids) == []
    assert list(tmpdir_for_demo.iterdir()) == []


def test_demo_alerts_and_more_workers(tmpdir_for_demo: Path) -> None:
    result = vornik(
        "demo", "--workers", "3", "--requests", "30", "--alert-rss-mb", "1", tmpdir=tmpdir_for_demo
    )
    assert result.returncode == 0, result.stdout + result.stderr
    pids = worker_pids(result.stdout)
    assert len(pids) == 3
    for pid in pids:  # every worker's resident memory is above 1 MB
        assert re.search(
            rf"^  pid {pid}: warning: memory_rss_mb = [\d.]+ \(threshold 1\)$", result.stdout, re.M
        )
    assert wait_gone(pids) == []
    assert list(tmpdir_for_demo.iterdir()) == []


def start_serving(tmpdir: Path) -> tuple[subprocess.Popen[str], int, list[int], list[str]]:
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornik", "demo", "--serve", "--requests", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=environment(TMPDIR=str(tmpdir)),
    )
    assert proc.stdout is not None
    lines: list[str] = []
    deadline = time.monotonic() + 60
    for line in proc.stdout:  # the summary comes first, then the address
        lines.append(line)
        match = re.search(r"Serving on http://127\.0\.0\.1:(\d+)/", line)
        if match or time.monotonic() > deadline:
            break
    assert match, "".join(lines)
    return proc, int(match.group(1)), worker_pids("".join(lines)), lines


def get(port: int, path: str) -> tuple[int, bytes, str | None]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read(), response.getheader("X-Vornik-Worker")
    finally:
        conn.close()


def test_serve_until_interrupted(tmpdir_for_demo: Path) -> None:
    proc, port, pids, _ = start_serving(tmpdir_for_demo)
    try:
        before = metric(get(port, "/metrics")[1], "vrk_requests_total")
        status, body, worker = get(port, "/users/12")
        assert status == 200 and worker is not None and int(worker) in pids
        deadline = time.monotonic() + 5
        while (total := metric(get(port, "/metrics")[1], "vrk_requests_total")) == before:
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)
        assert total == before + 1
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, rest
    assert "stopped" in rest
    assert wait_gone(pids) == []
    assert list(tmpdir_for_demo.iterdir()) == []


def test_workers_exit_when_the_parent_is_killed(tmpdir_for_demo: Path) -> None:
    proc, port, pids, _ = start_serving(tmpdir_for_demo)
    try:
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=30)
        left = wait_gone(pids, timeout=10)
    finally:
        for pid in pids:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    assert left == []
