"""Real servers on 127.0.0.1: gunicorn and uvicorn with several workers, and Prometheus.

Each test starts its server in a new session, talks to it with a bounded number of
requests, each with a timeout, and stops it (and with it every worker) at the end.
"""

from __future__ import annotations

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import urllib.parse
from collections.abc import Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import psutil
import pytest

pytestmark = pytest.mark.servers

HOST = "127.0.0.1"
TIMEOUT_S = 10.0


class ServerProcess:
    """A server started in its own session, its output collected line by line."""

    def __init__(self, args: Sequence[str], env: dict[str, str], cwd: Path) -> None:
        self.args = list(args)
        self.lines: list[str] = []
        self._changed = threading.Condition()
        self.popen = subprocess.Popen(
            self.args,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env=env,
            cwd=cwd,
            start_new_session=True,
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.popen.stdout is not None
        for line in self.popen.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def output(self) -> str:
        with self._changed:
            return "\n".join(self.lines)

    def wait_for(self, pattern: str, count: int = 1, timeout: float = 30.0) -> list[re.Match[str]]:
        """The first `count` output lines matching `pattern`, waiting at most `timeout`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [m for m in map(regex.search, self.lines) if m]
                if len(found) >= count:
                    return found[:count]
                left = deadline - time.monotonic()
                if left <= 0 or self.popen.poll() is not None and not self._reader.is_alive():
                    raise AssertionError(f"{pattern!r} x{count} not seen from {self.args[:3]}:\n" + "\n".join(self.lines))
                self._changed.wait(min(left, 0.5))

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 20.0) -> int:
        """Signal the server, wait for it, and make sure none of its processes is left."""
        try:
            family = [self.popen.pid] + [p.pid for p in psutil.Process(self.popen.pid).children(recursive=True)]
        except psutil.NoSuchProcess:
            family = [self.popen.pid]
        if self.popen.poll() is None:
            self.popen.send_signal(sig)
        try:
            code = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.popen.pid, signal.SIGKILL)
            code = self.popen.wait(timeout)
        self._reader.join(timeout)
        if self.popen.stdout is not None:
            self.popen.stdout.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and any(alive(pid) for pid in family):
            time.sleep(0.1)
        left = [pid for pid in family if alive(pid)]
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        assert not left, f"processes left behind by {self.args[:3]}: {left}"
        return code


def alive(pid: int) -> bool:
    try:
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


@contextmanager
def running(args: Sequence[str], cwd: Path, **env: str) -> Iterator[ServerProcess]:
    full_env = {k: v for k, v in os.environ.items() if k != "VRK_MULTIPROC_DIR"}
    full_env.update(env)
    server = ServerProcess(args, full_env, cwd)
    try:
        yield server
    finally:
        server.stop()


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((HOST, 0))
        return int(sock.getsockname()[1])


@dataclass
class Response:
    status: int
    body: bytes
    worker: int | None


def get(port: int, path: str) -> Response:
    conn = http.client.HTTPConnection(HOST, port, timeout=TIMEOUT_S)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        worker = response.getheader("X-Worker-Pid")
        return Response(response.status, response.read(), int(worker) if worker else None)
    finally:
        conn.close()


def get_all(port: int, paths: Sequence[str], threads: int = 4) -> list[Response]:
    with ThreadPoolExecutor(max_workers=threads) as pool:
        return list(pool.map(lambda path: get(port, path), paths))


def metric(document: bytes, name: str) -> float:
    match = re.search(rf"^{name} (\S+)$", document.decode(), re.MULTILINE)
    assert match, f"{name} missing from:\n{document.decode()}"
    return float(match.group(1))


def traffic(count: int, start: int = 0) -> tuple[list[str], dict[str, int]]:
    """`count` request paths with a known mix of outcomes; and the status each must get."""
    paths = []
    for i in range(start, start + count):
        paths.append("/fail" if i % 10 == 3 else "/missing" if i % 7 == 5 else f"/ok/{i}")
    return paths, {"/fail": 503, "/missing": 404}


def expected_status(path: str, errors: dict[str, int]) -> int:
    return errors.get(path, 200)


def shard_pids(directory: Path) -> set[int]:
    return {int(p.name[4:-6]) for p in directory.glob("vrk-*.shard")}


FLASK_APP = """
    import os

    from flask import Flask

    from vornik.wsgi import MetricsMiddleware

    flask_app = Flask(__name__)


    @flask_app.get("/ok/<int:n>")
    def ok(n):
        return f"ok {n}"


    @flask_app.get("/fail")
    def fail():
        return "unavailable", 503


    def with_pid(app):
        # Names the answering worker on every response, /metrics included.
        def wrapped(environ, start_response):
            def start(status, headers, exc_info=None):
                headers.append(("X-Worker-Pid", str(os.getpid())))
                return start_response(status, headers, exc_info)

            return app(environ, start)

        return wrapped


    application = with_pid(MetricsMiddleware(flask_app.wsgi_app, path_template=True))
"""

STARLETTE_APP = """
    import os

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    from vornik.asgi import MetricsMiddleware


    async def ok(request):
        return PlainTextResponse("ok")


    async def fail(request):
        return PlainTextResponse("unavailable", status_code=503)


    inner = MetricsMiddleware(Starlette(routes=[Route("/ok/{n}", ok), Route("/fail", fail)]), path_template=True)
    pid = str(os.getpid()).encode()


    async def app(scope, receive, send):
        async def send_with_pid(message):
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", []), (b"x-worker-pid", pid)]
            await send(message)

        await inner(scope, receive, send_with_pid if scope["type"] == "http" else send)
"""


def write_app(directory: Path, name: str, source: str) -> None:
    (directory / f"{name}.py").write_text(textwrap.dedent(source))


def gunicorn(tmp_path: Path, *options: str) -> list[str]:
    write_app(tmp_path, "flask_app", FLASK_APP)
    return [
        sys.executable, "-m", "gunicorn", "--bind", f"{HOST}:0", "--chdir", str(tmp_path),
        "--graceful-timeout", "5", "--timeout", "30", *options, "flask_app:application",
    ]  # fmt: skip


def check_exact_counts(port: int, shards: Path, count: int, workers: int) -> None:
    """Send `count` requests, then every scrape, on whichever worker, must report them all."""
    paths, errors = traffic(count)
    responses = get_all(port, paths)
    assert [r.status for r in responses] == [expected_status(p, errors) for p in paths]
    sent_errors = sum(1 for p in paths if p in errors)
    served_by = {r.worker for r in responses}
    assert shard_pids(shards) >= served_by  # every worker that served has its shard

    # A worker records a request when the server closes the response, which may
    # be just after the client read it: wait (bounded) until the last ones land.
    deadline = time.monotonic() + 5
    while metric(get(port, "/metrics").body, "vrk_requests_total") < count and time.monotonic() < deadline:
        time.sleep(0.02)
    scraped_by: set[int | None] = set()
    for _ in range(6):
        for scrape in get_all(port, ["/metrics"] * 4):
            assert scrape.status == 200
            assert metric(scrape.body, "vrk_requests_total") == count
            assert metric(scrape.body, "vrk_errors_total") == sent_errors
            scraped_by.add(scrape.worker)
        if len(scraped_by) == workers:
            break
    assert len(scraped_by) >= 2, f"only {scraped_by} answered /metrics"


def test_gunicorn_sync_workers_report_exact_totals(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    args = gunicorn(tmp_path, "--workers", "4", "--worker-class", "sync")
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Booting worker with pid", count=4)
        check_exact_counts(port, shards, count=200, workers=4)


def test_gunicorn_recycled_workers_keep_answering(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    args = gunicorn(tmp_path, "--workers", "2", "--max-requests", "15", "--max-requests-jitter", "0")
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        sent = sent_errors = 0
        workers: set[int | None] = set()
        totals = []
        for round_ in range(8):
            paths, errors = traffic(10, start=round_ * 10)
            responses = get_all(port, paths, threads=2)
            assert [r.status for r in responses] == [expected_status(p, errors) for p in paths]
            sent += len(paths)
            sent_errors += sum(1 for p in paths if p in errors)
            workers.update(r.worker for r in responses)
            scrape = get(port, "/metrics")
            assert scrape.status == 200
            total = metric(scrape.body, "vrk_requests_total")
            assert 0 <= total <= sent
            assert 0 <= metric(scrape.body, "vrk_errors_total") <= sent_errors
            totals.append(total)
        # 80 requests and 8 scrapes through workers that live for 15 requests each.
        assert len(workers) >= 5, f"workers were not recycled: {workers}"
        assert totals[-1] > 0
        # The requests of retired workers stay counted: the totals never went back, and
        # they end at what was sent.
        assert totals == sorted(totals), totals
        deadline = time.monotonic() + 5
        while metric(get(port, "/metrics").body, "vrk_requests_total") < sent:
            assert time.monotonic() < deadline, "the last requests never showed"
            time.sleep(0.02)
        final = get(port, "/metrics").body
        assert metric(final, "vrk_requests_total") == sent
        assert metric(final, "vrk_errors_total") == sent_errors
        # Merging folds the shards of dead workers; only the worker that answered the
        # last scrape may have retired since.
        dead = [pid for pid in shard_pids(shards) if not alive(pid)]
        assert len(dead) <= 1, dead
        server.wait_for(r"Autorestarting worker after current request", count=3)


def test_uvicorn_workers_report_exact_totals(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    write_app(tmp_path, "starlette_app", STARLETTE_APP)
    args = [
        sys.executable, "-m", "uvicorn", "--host", HOST, "--port", "0", "--workers", "2",
        "--app-dir", str(tmp_path), "--no-access-log", "--timeout-graceful-shutdown", "5", "starlette_app:app",
    ]  # fmt: skip
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Uvicorn running on http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Application startup complete", count=2)
        check_exact_counts(port, shards, count=120, workers=2)


def prometheus_query(port: int, query: str) -> list[dict[str, object]]:
    url = "/api/v1/query?" + urllib.parse.urlencode({"query": query})
    response = get(port, url)
    assert response.status == 200, response.body
    payload = json.loads(response.body)
    assert payload["status"] == "success", payload
    result: list[dict[str, object]] = payload["data"]["result"]
    return result


def test_prometheus_scrapes_the_demo(tmp_path: Path) -> None:
    binary = shutil.which("prometheus")
    if binary is None:
        pytest.skip("the prometheus binary is not installed (Debian package 'prometheus')")
    demo_tmp = tmp_path / "tmp"
    demo_tmp.mkdir()
    demo = [sys.executable, "-m", "vornik", "demo", "--serve", "--requests", "40"]
    with running(demo, tmp_path, TMPDIR=str(demo_tmp)) as app:
        app_port = int(app.wait_for(r"Serving on http://127\.0\.0\.1:(\d+)/", timeout=60)[0].group(1))
        reported = metric(get(app_port, "/metrics").body, "vrk_requests_total")
        assert reported >= 40

        config = tmp_path / "prometheus.yml"
        config.write_text(
            textwrap.dedent(
                f"""
                global:
                  scrape_interval: 1s
                  scrape_timeout: 1s
                scrape_configs:
                  - job_name: vornik-demo
                    static_configs:
                      - targets: ["{HOST}:{app_port}"]
                """
            )
        )
        prom_port = free_port()
        prometheus = [
            binary, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'tsdb'}",
            f"--web.listen-address={HOST}:{prom_port}", "--log.level=warn",
        ]  # fmt: skip
        with running(prometheus, tmp_path) as prom:
            deadline = time.monotonic() + 60
            samples: list[dict[str, object]] = []
            while time.monotonic() < deadline:
                try:
                    samples = prometheus_query(prom_port, 'vrk_requests_total{job="vornik-demo"}')
                except (OSError, http.client.HTTPException):
                    samples = []  # not listening yet
                if samples:
                    break
                time.sleep(0.5)
            assert samples, "Prometheus never stored vrk_requests_total:\n" + prom.output()
            value = samples[0]["value"]
            assert isinstance(value, list)
            assert float(value[1]) == reported
            up = prometheus_query(prom_port, 'up{job="vornik-demo"}')
            assert up and isinstance(up[0]["value"], list) and up[0]["value"][1] == "1"
        # Prometheus's own scrapes are not requests of the application.
        assert metric(get(app_port, "/metrics").body, "vrk_requests_total") == reported
        assert app.stop(signal.SIGINT) == 0
    assert list(demo_tmp.iterdir()) == []


def prometheus_config(path: Path, job: str, target_port: int) -> None:
    path.write_text(
        textwrap.dedent(
            f"""
            global:
              scrape_interval: 1s
              scrape_timeout: 1s
            scrape_configs:
              - job_name: {job}
                static_configs:
                  - targets: ["{HOST}:{target_port}"]
            """
        )
    )


def prometheus_range(port: int, query: str, start: float, end: float) -> list[tuple[float, float]]:
    """The points of a one-series range query, one a second."""
    parameters = {"query": query, "start": start, "end": end, "step": 1}
    url = "/api/v1/query_range?" + urllib.parse.urlencode(parameters)
    response = get(port, url)
    assert response.status == 200, response.body
    result = json.loads(response.body)["data"]["result"]
    assert len(result) == 1, result
    return [(float(t), float(v)) for t, v in result[0]["values"]]


def instant(port: int, query: str, at: float) -> float:
    url = "/api/v1/query?" + urllib.parse.urlencode({"query": query, "time": f"{at:.3f}"})
    response = get(port, url)
    assert response.status == 200, response.body
    result = json.loads(response.body)["data"]["result"]
    assert len(result) == 1, (query, result)
    return float(result[0]["value"][1])


def paced_load(port: int, rate: float, seconds: float) -> tuple[float, float, int, int]:
    """Sends `rate` requests a second for `seconds`, each at its scheduled time (late ones
    at once, so a stalled moment is caught up); every tenth fails with 503. Returns the
    start and end times and the counts of requests and errors sent."""
    total = int(rate * seconds)
    begin = time.time() + 0.2

    def send(i: int) -> int:
        delay = begin + i / rate - time.time()
        if delay > 0:
            time.sleep(delay)
        path = "/fail" if i % 10 == 3 else f"/ok/{i}"
        response = get(port, path)
        assert response.status == (503 if path == "/fail" else 200), (path, response.status)
        return 1 if path == "/fail" else 0

    with ThreadPoolExecutor(max_workers=16) as pool:
        errors = sum(pool.map(send, range(total)))
    return begin, time.time(), total, errors


def test_prometheus_sees_no_reset_while_gunicorn_recycles_workers(tmp_path: Path) -> None:
    binary = shutil.which("prometheus")
    if binary is None:
        pytest.skip("the prometheus binary is not installed (Debian package 'prometheus')")
    rate, seconds, window = 50.0, 40.0, 30
    shards = tmp_path / "shards"
    recycling = ["--max-requests", "100", "--max-requests-jitter", "40"]
    args = gunicorn(tmp_path, "--workers", "4", *recycling)
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Booting worker with pid", count=4)
        config = tmp_path / "prometheus.yml"
        prometheus_config(config, "recycled", port)
        prom_port = free_port()
        prometheus = [
            binary, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'tsdb'}",
            f"--web.listen-address={HOST}:{prom_port}", "--log.level=warn",
        ]  # fmt: skip
        with running(prometheus, tmp_path) as prom:
            # The load starts once Prometheus holds a sample from before it: zero.
            deadline = time.monotonic() + 60
            samples: list[dict[str, object]] = []
            while not samples and time.monotonic() < deadline:
                try:
                    samples = prometheus_query(prom_port, 'vrk_requests_total{job="recycled"}')
                except (OSError, http.client.HTTPException):
                    pass  # not listening yet
                time.sleep(0.5)
            assert samples, "Prometheus never stored vrk_requests_total:\n" + prom.output()

            begin, end, sent, sent_errors = paced_load(port, rate, seconds)
            time.sleep(4)  # a few scrapes of the final figures
            server.wait_for(r"Autorestarting worker after current request", count=4)
            recycled = server.output().count("Autorestarting worker after current request")

            span = int(time.time() - begin) + 10
            raw = prometheus_query(prom_port, f'vrk_requests_total{{job="recycled"}}[{span}s]')
            assert len(raw) == 1, raw
            points = raw[0]["values"]
            assert isinstance(points, list) and float(points[0][1]) == 0.0, points[:3]
            last = float(points[-1][0])
            resets = [instant(prom_port, f"resets({name}[{span}s])", last)
                      for name in ("vrk_requests_total", "vrk_errors_total")]  # fmt: skip
            # Evaluated at the last sample, over a range that starts at zero: no
            # extrapolation at either end, the increase is the counter's own.
            increase = instant(prom_port, f"increase(vrk_requests_total[{span}s])", last)
            error_increase = instant(prom_port, f"increase(vrk_errors_total[{span}s])", last)
            rates = prometheus_range(prom_port, f"rate(vrk_requests_total[{window}s])",
                                     begin + window + 1, end - 1)  # fmt: skip

    rate_errors = [abs(value / rate - 1) for _, value in rates]
    print(f"\nsent {sent} requests ({sent_errors} errors) at {rate:g}/s in {end - begin:.1f} s; "
          f"workers recycled {recycled} times; resets {resets}; "
          f"increase {increase:.1f} (errors {error_increase:.1f}); "
          f"{len(rates)} rate windows, largest error {max(rate_errors):.3%}")
    assert resets == [0.0, 0.0]
    assert abs(increase / sent - 1) <= 0.01
    assert abs(error_increase / sent_errors - 1) <= 0.01
    assert len(rates) >= seconds - window - 3
    assert max(rate_errors) <= 0.05, rates
