"""Real servers on 127.0.0.1: WSGI and ASGI servers, several workers, and Prometheus.

Each test starts its server in a new session, talks to it with a bounded number of
requests, each with a timeout, and stops it (and with it every worker) at the end.
"""

from __future__ import annotations

import contextlib
import http.client
import json
import math
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
from support import alive, environment, metric, wait_gone

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
                    raise AssertionError(
                        f"{pattern!r} x{count} not seen from {self.args[:3]}:\n"
                        + "\n".join(self.lines)
                    )
                self._changed.wait(min(left, 0.5))

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 20.0) -> int:
        """Signal the server, wait for it, and make sure none of its processes is left."""
        try:
            family = [self.popen.pid] + [
                p.pid for p in psutil.Process(self.popen.pid).children(recursive=True)
            ]
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
        left = wait_gone(family, timeout)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        assert not left, f"processes left behind by {self.args[:3]}: {left}"
        return code


@contextmanager
def running(args: Sequence[str], cwd: Path, **env: str) -> Iterator[ServerProcess]:
    server = ServerProcess(args, environment(**env), cwd)
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


def traffic(count: int, start: int = 0) -> tuple[list[str], dict[str, int]]:
    """`count` request paths with a known mix of outcomes; and the status each must get.

    ``/stream`` answers with a generator body and no Content-Length.
    """
    paths = []
    for i in range(start, start + count):
        if i % 10 == 3:
            paths.append("/fail")
        elif i % 7 == 5:
            paths.append("/missing")
        elif i % 9 == 4:
            paths.append("/stream")
        else:
            paths.append(f"/ok/{i}")
    return paths, {"/fail": 503, "/missing": 404}


def expected_status(path: str, errors: dict[str, int]) -> int:
    return errors.get(path, 200)


def shard_pids(directory: Path) -> set[int]:
    return {int(p.name[4:-6]) for p in directory.glob("vrk-*.shard")}


FLASK_APP = """
    import os
    import time

    from flask import Flask, Response

    from vornik.wsgi import MetricsMiddleware

    flask_app = Flask(__name__)


    @flask_app.get("/ok/<int:n>")
    def ok(n):
        return f"ok {n}"


    @flask_app.get("/fail")
    def fail():
        return "unavailable", 503


    @flask_app.get("/stream")
    def stream():
        return Response(chunk for chunk in ("str", "eam"))


    @flask_app.get("/slow")
    def slow():
        time.sleep(0.5)
        return "slow"


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
    import asyncio
    import os

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse, StreamingResponse
    from starlette.routing import Route

    from vornik.asgi import MetricsMiddleware


    async def ok(request):
        return PlainTextResponse("ok")


    async def fail(request):
        return PlainTextResponse("unavailable", status_code=503)


    async def stream(request):
        async def chunks():
            yield b"str"
            yield b"eam"

        return StreamingResponse(chunks())


    async def slow(request):
        await asyncio.sleep(0.5)
        return PlainTextResponse("slow")


    routes = [
        Route("/ok/{n}", ok),
        Route("/fail", fail),
        Route("/stream", stream),
        Route("/slow", slow),
    ]
    inner = MetricsMiddleware(Starlette(routes=routes), path_template=True)
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
    assert {r.body for p, r in zip(paths, responses, strict=True) if p == "/stream"} == {b"stream"}
    sent_errors = sum(1 for p in paths if p in errors)
    served_by = {r.worker for r in responses}
    assert shard_pids(shards) >= served_by  # every worker that served has its shard

    # A worker records a request when the server closes the response, which may
    # be just after the client read it: wait (bounded) until the last ones land.
    deadline = time.monotonic() + 5
    while (
        metric(get(port, "/metrics").body, "vrk_requests_total") < count
        and time.monotonic() < deadline
    ):
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
    assert len(scraped_by) >= min(workers, 2), f"only {scraped_by} answered /metrics"


def test_gunicorn_sync_workers_report_exact_totals(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    args = gunicorn(tmp_path, "--workers", "4", "--worker-class", "sync")
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Booting worker with pid", count=4)
        check_exact_counts(port, shards, count=200, workers=4)
    assert misconfiguration_warnings(server) == []


def test_gunicorn_recycled_workers_keep_answering(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    args = gunicorn(
        tmp_path, "--workers", "2", "--max-requests", "15", "--max-requests-jitter", "0"
    )
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


def worker_families(document: bytes) -> dict[str, dict[str, float]]:
    """Slot -> {family: value} of the per-worker families of a scrape."""
    figures: dict[str, dict[str, float]] = {}
    pattern = r'^(vrk_worker_\w+)\{worker="(\d+)"\} (\S+)$'
    for name, slot, value in re.findall(pattern, document.decode(), re.MULTILINE):
        figures.setdefault(slot, {})[name] = float(value)
    return figures


def process_figures(pid: int) -> tuple[float, float, int]:
    """CPU seconds, resident bytes and threads of `pid`, as psutil tells them."""
    process = psutil.Process(pid)
    with process.oneshot():
        times = process.cpu_times()
        # Clock ticks of 10 ms, added as floats: rounded as the kernel counted them.
        cpu = round(times.user + times.system, 6)
        return cpu, process.memory_info().rss, process.num_threads()


def test_gunicorn_workers_each_in_view_under_recycling(tmp_path: Path) -> None:
    from vornik.workers import Directory

    shards = tmp_path / "shards"
    args = gunicorn(
        tmp_path, "--workers", "4", "--max-requests", "25", "--max-requests-jitter", "5"
    )
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        served: set[int | None] = set()
        slots_seen: set[str] = set()
        compared = 0
        for round_ in range(10):
            responses = get_all(port, traffic(40, start=round_ * 40)[0])
            served.update(r.worker for r in responses)
            with Directory(str(shards)) as directory:
                before = directory.slots()
            processes_before = {pid: process_figures(pid) for pid in before.values() if alive(pid)}
            scrape = get(port, "/metrics")
            with Directory(str(shards)) as directory:
                after = directory.slots()
                requests_after = {shard.pid: shard.requests for shard in directory.shards()}
            assert scrape.status == 200
            families = worker_families(scrape.body)
            slots_seen.update(families)
            assert metric(scrape.body, "vrk_workers") == len(families) <= 4
            # The scraping worker is always among them.
            assert scrape.worker in {
                slots.get(int(slot)) for slots in (before, after) for slot in families
            }
            for slot, figures in families.items():
                pid = before.get(int(slot))
                if pid is None or after.get(int(slot)) != pid or pid not in processes_before:
                    continue  # recycled around the scrape
                cpu_before, rss_before, threads = processes_before[pid]
                cpu_after, rss_after, _ = process_figures(pid)
                assert cpu_before <= figures["vrk_worker_cpu_seconds_total"] <= cpu_after
                rss = figures["vrk_worker_memory_rss_bytes"]
                assert (
                    min(rss_before, rss_after) - (1 << 20)
                    <= rss
                    <= max(rss_before, rss_after) + (1 << 20)
                )
                assert figures["vrk_worker_threads"] == threads
                assert 0 < figures["vrk_worker_requests_total"] <= requests_after[pid]
                # Open descriptors move with the connections a worker has open, and the
                # scraping worker has the directory's files open while it reads them.
                process = psutil.Process(pid)
                extra = 12 if pid == scrape.worker else 2
                assert -2 <= figures["vrk_worker_open_fds"] - process.num_fds() <= extra
                assert figures["vrk_worker_start_time_seconds"] == pytest.approx(
                    process.create_time(), abs=0.02
                )
                # A sync worker serves one request at a time; the scrape is none.
                assert figures["vrk_worker_requests_in_flight"] <= 1
                compared += 1
        server.wait_for(r"Autorestarting worker after current request", count=4)
    # 400 requests through 4 workers of about 25 requests each: many generations of
    # workers, and still the slots of the first four.
    assert len(served) >= 10, served
    assert {"0", "1"} <= slots_seen <= {"0", "1", "2", "3"}, slots_seen
    assert compared >= 10


def test_uvicorn_workers_report_exact_totals(tmp_path: Path) -> None:
    shards = tmp_path / "shards"
    args = uvicorn(tmp_path, "--workers", "2")
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(r"Uvicorn running on http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Application startup complete", count=2)
        check_exact_counts(port, shards, count=120, workers=2)
    assert misconfiguration_warnings(server) == []


@dataclass
class Saturation:
    at: float
    in_flight: dict[int, int]  # pid -> requests in flight
    busy: dict[int, float]  # pid -> busy seconds
    queues: dict[str, tuple[int, int]]  # address -> (waiting, limit)


def saturation(shards: Path) -> Saturation:
    """The workers' figures as a reader of the directory finds them (it claims no slot)."""
    from vornik.workers import Directory, listen_queues

    at = time.monotonic()
    with Directory(str(shards)) as directory:
        activity = directory.activity()
        pids = list(directory.slots().values())
    return Saturation(
        at,
        {pid: doing.in_flight for pid, doing in activity.items()},
        {pid: doing.busy_seconds for pid, doing in activity.items()},
        listen_queues(pids),
    )


@pytest.mark.parametrize("server_name", ["gunicorn", "uvicorn"])
def test_saturated_workers_show_in_flight_busy_time_and_the_listen_queue(
    server_name: str, tmp_path: Path
) -> None:
    """2 workers, 6 clients calling a route that takes 0.5 s, each request on a connection of
    its own: sync workers serve one request each and the kernel keeps the other clients
    waiting in the listen queue; async workers take them all in."""
    shards = tmp_path / "shards"
    if server_name == "gunicorn":
        args, ready = (
            gunicorn(tmp_path, "--workers", "2"),
            r"Listening at: http://127\.0\.0\.1:(\d+)",
        )
    else:
        args, ready = (
            uvicorn(tmp_path, "--workers", "2"),
            r"Uvicorn running on http://127\.0\.0\.1:(\d+)",
        )
    clients, stop = 6, threading.Event()
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        port = int(server.wait_for(ready)[0].group(1))
        wait_answering(server, port, workers=2)

        def client() -> int:
            done = 0
            while not stop.is_set() and done < 40:
                assert get(port, "/slow").status == 200
                done += 1
            return done

        with ThreadPoolExecutor(max_workers=clients) as pool:
            running_clients = [pool.submit(client) for _ in range(clients)]
            time.sleep(1.5)  # every worker busy, and its slot claimed
            samples = []
            for _ in range(25):
                samples.append(saturation(shards))
                time.sleep(0.1)
            stop.set()
            served = sum(f.result() for f in running_clients)
        # Once the clients are gone, nothing stays in flight (a response is closed just
        # after the client has read it).
        deadline = time.monotonic() + 5
        while sum(saturation(shards).in_flight.values()) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert sum(saturation(shards).in_flight.values()) == 0
    first, last = samples[0], samples[-1]
    assert len(last.busy) == 2 and set(last.busy) == set(first.busy)
    utilisation = {
        pid: (busy - first.busy[pid]) / (last.at - first.at) for pid, busy in last.busy.items()
    }
    # The share of the samples in which each worker had a request in flight.
    occupied = {pid: sum(s.in_flight[pid] > 0 for s in samples) / len(samples) for pid in last.busy}
    print(f"{server_name}: {served} requests; in flight per sample",
          [sum(s.in_flight.values()) for s in samples], "; busy s/s per worker",
          {pid: round(u, 3) for pid, u in utilisation.items()}, "; in flight in a share",
          occupied, "of the samples; listen queue per sample", [s.queues for s in samples])  # fmt: skip
    in_flight = sorted(sum(s.in_flight.values()) for s in samples)
    [(address, (_, limit))] = last.queues.items()
    assert address == f"{HOST}:{port}" and limit == 2048  # both servers' default backlog
    waiting = sorted(s.queues[address][0] for s in samples)
    if server_name == "gunicorn":
        assert in_flight[len(in_flight) // 2] == 2  # one request per sync worker
        assert all(u >= 0.9 for u in utilisation.values()), utilisation
        assert waiting[len(waiting) // 2] >= clients - 2 - 1  # the others wait for a worker
    else:
        assert in_flight[len(in_flight) // 2] >= clients - 1  # all of them, concurrently
        assert waiting[-1] <= 1
        # How the kernel hands the connections to the two workers decides how busy each
        # is (one may hold all six for a while); with requests always in flight, some
        # worker is busy at every moment, and each worker's busy share is the share of
        # the time it had a request in flight.
        assert sum(utilisation.values()) >= 0.9, utilisation
        for pid, share in utilisation.items():
            assert abs(share - occupied[pid]) <= 0.2, (utilisation, occupied)


def wait_answering(server: ServerProcess, port: int, workers: int, timeout: float = 30.0) -> None:
    """Wait until `workers` processes have answered /metrics on `port` (scrapes are not
    recorded); for servers that print no port or no line per worker."""
    deadline = time.monotonic() + timeout
    answered: set[int | None] = set()
    while len(answered) < workers:
        try:
            answered.update(r.worker for r in get_all(port, ["/metrics"] * 2, threads=2))
        except (OSError, http.client.HTTPException):
            time.sleep(0.1)  # not listening yet
        if time.monotonic() > deadline or server.popen.poll() is not None:
            raise AssertionError(f"{server.args[:3]}: {answered} answered:\n{server.output()}")


# Servers installed from PyPI as wheels, each with the app of its interface:
# (module and options before the port, workers, app). Each gets 60 requests,
# generator bodies without Content-Length among them.
MATRIX = {
    "waitress": (["waitress", "--threads", "4", "--listen={host}:{port}"], 1, "flask_app:application"),
    "gunicorn-gthread": (
        ["gunicorn", "--worker-class", "gthread", "--threads", "4", "--workers", "2",
         "--bind", "{host}:{port}", "--graceful-timeout", "5"],
        2, "flask_app:application",
    ),
    "granian-wsgi": (
        ["granian", "--interface", "wsgi", "--workers", "2", "--no-access-log", "--host", "{host}",
         "--port", "{port}"],
        2, "flask_app:application",
    ),
    "hypercorn": (["hypercorn", "--workers", "2", "--bind", "{host}:{port}"], 2, "starlette_app:app"),
    "daphne": (["daphne", "-b", "{host}", "-p", "{port}"], 1, "starlette_app:app"),
    "granian-asgi": (
        ["granian", "--interface", "asgi", "--workers", "2", "--no-access-log", "--host", "{host}",
         "--port", "{port}"],
        2, "starlette_app:app",
    ),
}  # fmt: skip


@pytest.mark.parametrize("name", MATRIX)
def test_server_matrix_reports_exact_totals(name: str, tmp_path: Path) -> None:
    options, workers, app = MATRIX[name]
    write_app(tmp_path, "flask_app", FLASK_APP)
    write_app(tmp_path, "starlette_app", STARLETTE_APP)
    shards = tmp_path / "shards"
    port = free_port()
    args = [sys.executable, "-m", *(o.format(host=HOST, port=port) for o in options), app]
    with running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server:
        wait_answering(server, port, workers)
        check_exact_counts(port, shards, count=60, workers=workers)
    assert misconfiguration_warnings(server) == []


FILE_APP = """
    import io
    import os

    from vornik.wsgi import MetricsMiddleware

    READS = []


    class CountedFile(io.FileIO):
        # Every read the server's Python code makes of the file; sendfile() makes none.
        def read(self, size=-1):
            READS.append(size)
            return super().read(size)


    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "application/octet-stream")])
        if environ["PATH_INFO"] == "/reads":
            return [str(len(READS)).encode()]
        return environ["wsgi.file_wrapper"](CountedFile(os.environ["FILE"]), 8192)


    application = MetricsMiddleware(app, route_from_path=True)
"""

FILE_SERVERS = {
    "gunicorn-sync": ["gunicorn", "--bind", "{host}:{port}", "--workers", "1"],
    "gunicorn-gthread": ["gunicorn", "--bind", "{host}:{port}", "--worker-class", "gthread",
                         "--threads", "2"],
    "waitress": ["waitress", "--threads", "2", "--listen={host}:{port}"],
}  # fmt: skip


@pytest.mark.parametrize("name", FILE_SERVERS)
def test_a_file_wrapper_takes_the_servers_own_way(name: str, tmp_path: Path) -> None:
    # gunicorn sends the file with sendfile(), without a read in Python; waitress
    # answers with the file's length. Each only for a wrapper of its own type.
    content = os.urandom(1 << 20)
    (tmp_path / "file.bin").write_bytes(content)
    write_app(tmp_path, "file_app", FILE_APP)
    port = free_port()
    options = [o.format(host=HOST, port=port) for o in FILE_SERVERS[name]]
    args = [sys.executable, "-m", *options, "file_app:application"]
    with running(args, tmp_path, FILE=str(tmp_path / "file.bin")) as server:
        wait_answering(server, port, 1)
        conn = http.client.HTTPConnection(HOST, port, timeout=TIMEOUT_S)
        try:
            conn.request("GET", "/file")
            response = conn.getresponse()
            assert (response.status, response.read()) == (200, content)
            headers = {k.lower(): v for k, v in response.getheaders()}
        finally:
            conn.close()
        if name == "waitress":
            assert headers.get("content-length") == str(len(content)), headers
            assert "transfer-encoding" not in headers
        else:
            assert get(port, "/reads").body == b"0"
        # Recorded when the server closes the wrapper, once it has sent the file.
        sample = 'vrk_http_requests_total{method="GET",route="/file",status="200"}'
        deadline = time.monotonic() + 5
        document = get(port, "/metrics").body.decode()
        while sample not in document and time.monotonic() < deadline:
            time.sleep(0.02)
            document = get(port, "/metrics").body.decode()
        assert f"\n{sample} 1\n" in document, document


def misconfiguration_warnings(server: ServerProcess) -> list[str]:
    return [
        line
        for line in server.lines
        if "cannot be used as the shard directory" in line or "but no shard directory" in line
    ]


def uvicorn(tmp_path: Path, *options: str) -> list[str]:
    write_app(tmp_path, "starlette_app", STARLETTE_APP)
    return [
        sys.executable, "-m", "uvicorn", "--host", HOST, "--port", "0", "--app-dir", str(tmp_path),
        "--no-access-log", "--timeout-graceful-shutdown", "5", *options, "starlette_app:app",
    ]  # fmt: skip


@pytest.mark.parametrize(
    ("server_name", "workers", "shard_dir", "warning"),
    [
        ("gunicorn", 2, None, r"several worker processes \(wsgi\.multiprocess from gunicorn\) but no shard"),
        ("uvicorn", 2, None, r"several worker processes \(2 uvicorn workers\) but no shard directory"),
        ("gunicorn", 2, "a-file", r"VRK_MULTIPROC_DIR='.*a-file' cannot be used as the shard directory: "
                                  r"Not a directory; every worker reports only its own requests"),
        ("gunicorn", 1, None, None),  # one worker: nothing to say
    ],
)  # fmt: skip
def test_misconfiguration_is_in_the_servers_log(
    tmp_path: Path, server_name: str, workers: int, shard_dir: str | None, warning: str | None
) -> None:
    env = {}
    if shard_dir is not None:
        (tmp_path / shard_dir).write_text("")
        env["VRK_MULTIPROC_DIR"] = str(tmp_path / shard_dir)
    if server_name == "gunicorn":
        args = gunicorn(tmp_path, "--workers", str(workers))
        ready = r"Listening at: http://127\.0\.0\.1:(\d+)"
    else:
        args = uvicorn(tmp_path, "--workers", str(workers))
        ready = r"Uvicorn running on http://127\.0\.0\.1:(\d+)"
    with running(args, tmp_path, **env) as server:
        port = int(server.wait_for(ready)[0].group(1))
        wait_answering(server, port, workers)
        paths, errors = traffic(20)
        assert [r.status for r in get_all(port, paths)] == [
            expected_status(p, errors) for p in paths
        ]
        if warning is not None:
            # Each worker says it once, at start or at its first request, naming vornik
            # though nothing configured logging.
            warning = "^vornik: " + warning
            server.wait_for(warning)
            time.sleep(0.5)
            said = misconfiguration_warnings(server)
            assert 1 <= len(said) <= workers and all(re.search(warning, line) for line in said), (
                said
            )
    if warning is None:
        assert misconfiguration_warnings(server) == []


def prometheus_command(binary: str, config: Path, tmp_path: Path) -> tuple[list[str], int]:
    """The command line of a Prometheus server on a free loopback port, and that port."""
    port = free_port()
    command = [
        binary, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'tsdb'}",
        f"--web.listen-address={HOST}:{port}", "--log.level=warn",
    ]  # fmt: skip
    return command, port


def prometheus_api(port: int, endpoint: str, **parameters: object) -> list[dict[str, object]]:
    url = f"/api/v1/{endpoint}?" + urllib.parse.urlencode(parameters)
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
        app_port = int(
            app.wait_for(r"Serving on http://127\.0\.0\.1:(\d+)/", timeout=60)[0].group(1)
        )
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
        prometheus, prom_port = prometheus_command(binary, config, tmp_path)
        with running(prometheus, tmp_path) as prom:
            deadline = time.monotonic() + 60
            samples: list[dict[str, object]] = []
            while time.monotonic() < deadline:
                try:
                    samples = prometheus_api(
                        prom_port, "query", query='vrk_requests_total{job="vornik-demo"}'
                    )
                except (OSError, http.client.HTTPException, AssertionError):
                    samples = []  # not listening yet, or not ready (503)
                if samples:
                    break
                time.sleep(0.5)
            assert samples, "Prometheus never stored vrk_requests_total:\n" + prom.output()
            value = samples[0]["value"]
            assert isinstance(value, list)
            assert float(value[1]) == reported
            up = prometheus_api(prom_port, "query", query='up{job="vornik-demo"}')
            assert up and isinstance(up[0]["value"], list) and up[0]["value"][1] == "1"
        # Prometheus's own scrapes are not requests of the application.
        assert metric(get(app_port, "/metrics").body, "vrk_requests_total") == reported
        assert app.stop(signal.SIGINT) == 0
    assert list(demo_tmp.iterdir()) == []


# --- two hosts, one Prometheus, workers recycled under paced load --------------------

ROUTES_APP = """
    import os
    import time

    from flask import Flask

    from vornik.wsgi import MetricsMiddleware

    flask_app = Flask(__name__)


    @flask_app.get("/fast")
    def fast():
        return "fast"


    @flask_app.get("/medium")
    def medium():
        time.sleep(0.03)
        return "medium"


    @flask_app.get("/slow/<int:n>")
    def slow(n):
        time.sleep(0.15)
        return "slow"


    @flask_app.get("/error")
    def error():
        time.sleep(0.005)
        return "broken", 500


    inner = MetricsMiddleware(flask_app.wsgi_app)
    FORMAT_LOG = os.environ["FORMAT_LOG"]
    DURATION_LOG = os.environ["DURATION_LOG"]
    # Prometheus 2.42 always asks for OpenMetrics and gzip; this host answers as if it
    # had asked for the text format without compression.
    TEXT_ONLY = os.environ.get("TEXT_ONLY") == "1"


    def timed(environ, start_response):
        # The application's own clock around the instrumented call, its body and its
        # close: the latencies the histogram must agree with, without the time a request
        # waited for a free worker, which no server-side figure can see.
        started = time.perf_counter()
        body = inner(environ, start_response)
        try:
            chunks = list(body)
        finally:
            body.close()
        with open(DURATION_LOG, "a") as log:
            log.write(f"{time.time()} {time.perf_counter() - started}\\n")
        return chunks


    def application(environ, start_response):
        if environ.get("PATH_INFO") != "/metrics":
            return timed(environ, start_response)
        if TEXT_ONLY:
            environ["HTTP_ACCEPT"] = "text/plain;version=0.0.4"
            environ.pop("HTTP_ACCEPT_ENCODING", None)

        def start(status, headers, exc_info=None):
            sent = dict(headers)
            with open(FORMAT_LOG, "a") as log:
                log.write(f"{sent['Content-Type']}|{sent.get('Content-Encoding', 'identity')}\\n")
            return start_response(status, headers, exc_info)

        return inner(environ, start)
"""

# Requests per second per host by route; the slow route is an eighth of them, so the p99
# is one of its latencies.
PACED_RATES = {"/fast": 20.0, "/medium": 10.0, "/slow/<int:n>": 5.0, "/error": 5.0}
LOAD_SECONDS = 20.0
# A scrape a second (the same as its timeout: a stalled moment of this shared machine
# must not count as a host that is down); each rate window holds twelve of them and over
# a hundred requests of the rarest route.
SCRAPE_INTERVAL = "1s"
WINDOW_S = 12
BOUNDS = [0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1, 2.5, 5, 7.5, 10, math.inf]


@dataclass
class Answer:
    port: int
    path: str
    status: int


def paced_route_load(ports: list[int], seconds: float) -> list[Answer]:
    """Sends every route at its paced rate to every port, on schedule whatever the
    answers take (late ones at once, so a stalled moment is caught up)."""
    events = []
    for route, rate in PACED_RATES.items():
        path = route.replace("<int:n>", "{n}")
        for k in range(int(seconds * rate)):
            for i, port in enumerate(ports):
                # Spread the routes and hosts over the interval rather than in bursts.
                offset = (k + (i + 1) / (len(ports) + 1)) / rate
                events.append((offset, port, path.format(n=k)))
    events.sort()

    def send(port: int, path: str) -> Answer:
        return Answer(port, path, get(port, path).status)

    start = time.monotonic()
    with ThreadPoolExecutor(max_workers=32) as pool:
        futures = []
        for offset, port, path in events:
            delay = start + offset - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            futures.append(pool.submit(send, port, path))
        return [future.result() for future in futures]


def query_at(port: int, query: str, at: float) -> dict[str, float]:
    """Labels (as JSON) -> value of each series of an instant query."""
    result = prometheus_api(port, "query", query=query, time=f"{at:.3f}")
    return {json.dumps(r["metric"], sort_keys=True): float(r["value"][1]) for r in result}


def query_range(port: int, query: str, start: float, end: float) -> dict[str, list[float]]:
    """Labels (as JSON) -> the values of each series of a range query, one a second."""
    result = prometheus_api(port, "query_range", query=query, start=start, end=end, step=1)
    return {
        json.dumps(r["metric"], sort_keys=True): [float(v) for _, v in r["values"]] for r in result
    }


def bucket_of(seconds: float) -> float:
    return next(bound for bound in BOUNDS if seconds <= bound)


def test_two_hosts_one_prometheus_while_gunicorn_recycles_workers(tmp_path: Path) -> None:
    binary = shutil.which("prometheus")
    if binary is None:
        pytest.skip("the prometheus binary is not installed (Debian package 'prometheus')")
    write_app(tmp_path, "routes_app", ROUTES_APP)
    hosts = []
    with contextlib.ExitStack() as stack:
        for name, extra in (("a", {"TEXT_ONLY": "1"}), ("b", {})):
            args = [
                sys.executable, "-m", "gunicorn", "--bind", f"{HOST}:0", "--chdir", str(tmp_path),
                "--workers", "4", "--max-requests", "80", "--max-requests-jitter", "30",
                "--graceful-timeout", "5", "--timeout", "30", "routes_app:application",
            ]  # fmt: skip
            log = tmp_path / f"formats-{name}.log"
            server = stack.enter_context(
                running(
                    args,
                    tmp_path,
                    VRK_MULTIPROC_DIR=str(tmp_path / f"shards-{name}"),
                    FORMAT_LOG=str(log),
                    DURATION_LOG=str(tmp_path / "durations.log"),
                    **extra,
                )  # fmt: skip
            )
            port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
            server.wait_for(r"Booting worker with pid", count=4)
            hosts.append((port, log, server))
        ports = [port for port, _, _ in hosts]
        # Host a is scraped at the application's endpoint, host b through the exporter
        # beside it, which reads the same directory.
        exporter = stack.enter_context(
            running(
                [
                    sys.executable,
                    "-m",
                    "vornik",
                    "serve",
                    "--dir",
                    str(tmp_path / "shards-b"),
                    "--bind",
                    f"{HOST}:0",
                ],
                tmp_path,
            )  # fmt: skip
        )
        exporter_port = int(exporter.wait_for(rf"serving .* on http://{HOST}:(\d+)")[0].group(1))
        scraped_at = {ports[0]: ports[0], exporter_port: ports[1]}

        config = tmp_path / "prometheus.yml"
        targets = ", ".join(f'"{HOST}:{port}"' for port in scraped_at)
        config.write_text(
            f"global:\n  scrape_interval: {SCRAPE_INTERVAL}\n  scrape_timeout: {SCRAPE_INTERVAL}\n"
            f"scrape_configs:\n  - job_name: two-hosts\n    static_configs:\n      - targets: [{targets}]\n"
        )
        prometheus, prom_port = prometheus_command(binary, config, tmp_path)
        prom = stack.enter_context(running(prometheus, tmp_path))
        # The load starts once Prometheus holds a sample of each host from before it: zero.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError, http.client.HTTPException, AssertionError):
                if len(query_at(prom_port, "vrk_requests_total == 0", time.time())) == 2:
                    break
            time.sleep(0.2)
        else:
            raise AssertionError("Prometheus never scraped both hosts:\n" + prom.output())

        load_start = time.time()
        answers = paced_route_load(ports, LOAD_SECONDS)
        load_end = time.time()
        assert all(a.status == (500 if a.path == "/error" else 200) for a in answers)
        sent = {port: sum(1 for a in answers if a.port == port) for port in ports}
        sent_errors = {port: sum(1 for a in answers if a.port == port and a.status == 500) for port in ports}  # fmt: skip

        # A worker records a request when the server closes the response, which may be
        # just after the client read it: wait (bounded) until a scrape of each host holds
        # everything that was sent to it.
        def scraped() -> dict[int, float]:
            latest = query_at(prom_port, "vrk_requests_total", time.time())
            return {
                scraped_at[int(json.loads(key)["instance"].rsplit(":", 1)[1])]: v
                for key, v in latest.items()
            }

        deadline = time.monotonic() + 10
        while scraped() != sent:
            assert time.monotonic() < deadline, (scraped(), sent)
            time.sleep(0.1)
        now = time.time()
        span = math.ceil(now - load_start) + 3

        # Per host, over a range that starts at a zero from before the load and ends at the
        # last sample: no extrapolation at either end, the increase is the counter's own.
        for target, port in scraped_at.items():
            selector = f'{{instance="{HOST}:{target}"}}'
            [raw] = prometheus_api(
                prom_port, "query", query=f"vrk_requests_total{selector}[{span}s]", time=now
            )
            points = raw["values"]
            assert isinstance(points, list) and float(points[0][1]) == 0.0, points[:3]
            last = float(points[-1][0])
            increases = [query_at(prom_port, f"increase({name}{selector}[{span}s])", last)
                         for name in ("vrk_requests_total", "vrk_errors_total")]  # fmt: skip
            assert [list(i.values()) for i in increases] == [[sent[port]], [sent_errors[port]]]

        # No counter ever went down, recycled workers and all.
        for family in ("vrk_requests_total", "vrk_errors_total", "vrk_http_requests_total",
                       "vrk_http_request_duration_seconds_bucket",
                       "vrk_http_request_duration_seconds_count"):  # fmt: skip
            resets = query_at(prom_port, f"resets({family}[{span}s])", now)
            assert len(resets) >= 2 and set(resets.values()) == {0.0}, (family, resets)
        # A sync worker takes a scrape only when it is free: on a loaded machine a scrape
        # may wait past its timeout behind requests and booting workers in the listen
        # queue. Such a miss loses nothing (the counters above are exact), and it stays
        # rare; the exporter answers every scrape.
        up = {
            int(json.loads(key)["instance"].rsplit(":", 1)[1]): value
            for key, value in query_at(
                prom_port, f'avg_over_time(up{{job="two-hosts"}}[{span}s])', now
            ).items()
        }
        assert up[ports[0]] >= 0.9 and up[exporter_port] == 1.0, prometheus_api(
            prom_port, "query", query=f"up[{span}s]", time=now
        )

        # Rates over windows inside the load, one a second: by route, both hosts' paced
        # rates; and all requests together.
        grid = (load_start + WINDOW_S + 1, load_end - 1)
        rate_errors = {}
        by_route = query_range(prom_port, f"sum by (route) (rate(vrk_http_requests_total[{WINDOW_S}s]))", *grid)  # fmt: skip
        for route, rate in PACED_RATES.items():
            measured = by_route[json.dumps({"route": route})]
            rate_errors[route] = [value / (2 * rate) - 1 for value in measured]
        [measured] = query_range(prom_port, f"sum(rate(vrk_requests_total[{WINDOW_S}s]))", *grid).values()  # fmt: skip
        rate_errors["all"] = [value / (2 * sum(PACED_RATES.values())) - 1 for value in measured]

        # p99 over both hosts lands in the bucket of the true p99 of the same window.
        [estimate] = query_at(
            prom_port,
            "histogram_quantile(0.99, sum by (le) "
            f"(rate(vrk_http_request_duration_seconds_bucket[{LOAD_SECONDS:.0f}s])))",
            load_end,
        ).values()
        lines = (tmp_path / "durations.log").read_text().splitlines()
        durations = [tuple(map(float, line.split())) for line in lines]
        window = sorted(d for end, d in durations if load_end - LOAD_SECONDS <= end <= load_end)
        true_p99 = window[math.ceil(0.99 * len(window)) - 1]

        recycled = [server.output().count("Autorestarting worker after current request") for _, _, server in hosts]  # fmt: skip
        print(
            f"\nsent {sent} ({sent_errors} errors) in {load_end - load_start:.1f} s; "
            f"workers recycled {recycled} times; largest rate error by route "
            + ", ".join(f"{route} {max(map(abs, e)):.2%}" for route, e in rate_errors.items())
            + f"; p99 Prometheus {estimate:.4f} s, true (the application's clock) {true_p99:.4f} s"
        )
        for errors in rate_errors.values():
            assert len(errors) >= LOAD_SECONDS - WINDOW_S - 3
            assert max(map(abs, errors)) <= 0.05, rate_errors
        assert bucket_of(estimate) == bucket_of(true_p99), (estimate, true_p99)

        # Host a answered in the text format, plain; host b's endpoint was not scraped.
        formats = [set(log.read_text().splitlines()) for _, log, _ in hosts if log.exists()]
        assert formats == [{"text/plain; version=0.0.4; charset=utf-8|identity"}]
        for _, _, server in hosts:
            server.wait_for(r"Autorestarting worker after current request", count=4)


APP_METRICS_APP = """
    import os

    from vornik.metrics import MULTIPROCESS_MODES, Counter, Gauge, Histogram
    from vornik.wsgi import MetricsMiddleware

    JOBS = Counter("jobs", "Jobs done", ["kind"])
    JOBS.labels("work")  # a series from the start: Prometheus sees its zero
    TOOK = Histogram("job_seconds", "Job durations", buckets=(0.01, 0.05, 0.1, 0.5, 1))
    GAUGES = [
        Gauge("served_" + mode, "Requests this worker served", ["kind"], multiprocess_mode=mode)
        for mode in MULTIPROCESS_MODES
    ]
    served = 0


    def app(environ, start_response):
        global served
        served += 1
        JOBS.labels("work").inc()
        TOOK.observe(float(environ["QUERY_STRING"]))
        for gauge in GAUGES:
            gauge.labels("work").set(served)
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [f"{os.getpid()} {served}".encode()]


    application = MetricsMiddleware(app)
"""
APP_VALUES = [0.005, 0.02, 0.03, 0.07, 0.3, 0.7, 0.008, 0.04, 0.06, 0.2]


def test_prometheus_sees_application_metrics_of_recycled_gunicorn_workers(
    tmp_path: Path,
) -> None:
    binary = shutil.which("prometheus")
    if binary is None:
        pytest.skip("the prometheus binary is not installed (Debian package 'prometheus')")
    write_app(tmp_path, "metrics_app", APP_METRICS_APP)
    args = [
        sys.executable, "-m", "gunicorn", "--bind", f"{HOST}:0", "--chdir", str(tmp_path),
        "--workers", "4", "--max-requests", "60", "--max-requests-jitter", "20",
        "--graceful-timeout", "5", "--timeout", "30", "metrics_app:application",
    ]  # fmt: skip
    with contextlib.ExitStack() as stack:
        server = stack.enter_context(
            running(args, tmp_path, VRK_MULTIPROC_DIR=str(tmp_path / "shards"))
        )
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        server.wait_for(r"Booting worker with pid", count=4)
        config = tmp_path / "prometheus.yml"
        config.write_text(
            "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
            f'scrape_configs:\n  - job_name: app\n    static_configs:\n      - targets: ["{HOST}:{port}"]\n'
        )
        prometheus, prom_port = prometheus_command(binary, config, tmp_path)
        prom = stack.enter_context(running(prometheus, tmp_path))
        deadline = time.monotonic() + 30
        while not query_at_safely(prom_port, "jobs_total == 0"):
            assert time.monotonic() < deadline, "Prometheus never scraped:\n" + prom.output()
            time.sleep(0.2)

        # Paced: 80 requests a second for 5 s over 8 connections, then one alone, whose
        # worker's value is the most recent of every gauge.
        load_start = time.time()
        paths = [f"/?{APP_VALUES[i % len(APP_VALUES)]}" for i in range(400)]
        answers: list[Response] = []
        with ThreadPoolExecutor(max_workers=8) as pool:
            futures = []
            for i, path in enumerate(paths):
                time.sleep(max(0.0, load_start + i / 80 - time.time()))
                futures.append(pool.submit(get, port, path))
            answers = [future.result() for future in futures]
        answers.append(get(port, "/?0.005"))
        assert all(answer.status == 200 for answer in answers)
        last: dict[int, int] = {}
        for answer in answers:
            pid, served = map(int, answer.body.split())
            last[pid] = max(last.get(pid, 0), served)
        final_pid = int(answers[-1].body.split()[0])

        # The workers that live once recycling has settled, then a scrape after that.
        live = set()
        for _ in range(50):
            time.sleep(0.3)
            now_live = {p.pid for p in psutil.Process(server.popen.pid).children()}
            if now_live == live and len(live) == 4:
                break
            live = now_live
        settled = time.time()
        deadline = time.monotonic() + 10
        while not query_at_safely(prom_port, f"timestamp(jobs_total) > {settled:.3f}"):
            assert time.monotonic() < deadline
            time.sleep(0.2)
        now = time.time()
        span = math.ceil(now - load_start) + 3

        # Over a range from a zero before the load to the last sample: no extrapolation.
        [raw] = prometheus_api(prom_port, "query", query=f"jobs_total[{span}s]", time=now)
        points = raw["values"]
        assert isinstance(points, list) and float(points[0][1]) == 0.0, points[:3]
        now = float(points[-1][0])
        [increase] = query_at(prom_port, f"increase(jobs_total[{span}s])", now).values()
        assert abs(increase / len(answers) - 1) <= 0.01, (increase, len(answers))
        for family in ("jobs_total", "job_seconds_bucket", "job_seconds_count"):
            resets = query_at(prom_port, f"resets({family}[{span}s])", now)
            assert resets and set(resets.values()) == {0.0}, (family, resets)
        [estimate] = query_at(
            prom_port,
            f"histogram_quantile(0.85, sum by (le) (increase(job_seconds_bucket[{span}s])))",
            now,
        ).values()
        sent = sorted([float(path.split("?")[1]) for path in paths] + [0.005])
        true_p85 = sent[math.ceil(0.85 * len(sent)) - 1]
        bounds = [0.01, 0.05, 0.1, 0.5, 1, math.inf]
        assert next(b for b in bounds if estimate <= b) == next(b for b in bounds if true_p85 <= b)

        gauges = {
            mode: query_at(prom_port, f"served_{mode}", now)
            for mode in ("all", "liveall", "min", "livemin", "max", "livemax", "sum", "livesum",
                         "mostrecent", "livemostrecent")
        }  # fmt: skip
        live_values = sorted(last[pid] for pid in live if pid in last)
        single = {mode: list(found.values()) for mode, found in gauges.items()}
        assert single["sum"] == [sum(last.values())] and single["livesum"] == [sum(live_values)]
        assert single["max"] == [max(last.values())] and single["livemax"] == [max(live_values)]
        assert single["min"] == [min(last.values())] and single["livemin"] == [min(live_values)]
        assert single["mostrecent"] == [last[final_pid]]
        if final_pid in live:  # else which live worker set its gauge last is a race
            assert single["livemostrecent"] == [last[final_pid]]
        assert sorted(single["liveall"]) == live_values
        workers = {json.loads(key)["worker"] for key in gauges["all"]}
        assert len(workers) <= 4 and set(live_values) <= set(single["all"])
        recycled = server.output().count("Autorestarting worker after current request")
        print(
            f"\n{len(answers)} requests over {len(last)} workers ({recycled} recycled); "
            f"increase {increase:.1f}; p85 Prometheus {estimate:.4f} s, true {true_p85} s; "
            f"gauges {single}"
        )
        assert recycled >= 2


def query_at_safely(port: int, query: str) -> dict[str, float]:
    """An instant query now, or nothing while Prometheus is not answering yet."""
    with contextlib.suppress(OSError, http.client.HTTPException, AssertionError):
        return query_at(port, query, time.time())
    return {}


# --- the exporter beside saturated workers -------------------------------------------

SLOW_APP = """
    import time

    from vornik.wsgi import MetricsMiddleware


    def slow(environ, start_response):
        time.sleep(0.5)
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"slow"]


    application = MetricsMiddleware(slow)
"""


def p99(latencies: Sequence[float]) -> float:
    ordered = sorted(latencies)
    return ordered[math.ceil(0.99 * len(ordered)) - 1]


def timed_get(port: int, path: str, timeout: float) -> tuple[float, Response | None]:
    """The seconds a GET took, and its response; None when it timed out."""
    start = time.monotonic()
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        answer = Response(response.status, response.read(), None)
    except TimeoutError:
        answer = None
    finally:
        conn.close()
    return time.monotonic() - start, answer


def test_the_exporter_answers_while_the_workers_are_saturated(tmp_path: Path) -> None:
    """2 sync workers, 6 clients of a route that takes 0.5 s: a scrape of the application's
    own port waits in its listen queue behind them, the exporter's never waits."""
    shards = tmp_path / "shards"
    write_app(tmp_path, "slow_app", SLOW_APP)
    args = [
        sys.executable, "-m", "gunicorn", "--bind", f"{HOST}:0", "--chdir", str(tmp_path),
        "--workers", "2", "--worker-class", "sync", "--graceful-timeout", "2", "slow_app:application",
    ]  # fmt: skip
    exporter_args = [sys.executable, "-m", "vornik", "serve", "--bind", f"{HOST}:0"]
    with (
        running(args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as server,
        running(exporter_args, tmp_path, VRK_MULTIPROC_DIR=str(shards)) as exporter,
    ):
        port = int(server.wait_for(r"Listening at: http://127\.0\.0\.1:(\d+)")[0].group(1))
        exporter_port = int(exporter.wait_for(r"on http://127\.0\.0\.1:(\d+)/metrics")[0].group(1))
        server.wait_for(r"Booting worker with pid", count=2)
        stop = threading.Event()
        served: list[Response | None] = []

        def client() -> None:
            for _ in range(16):  # at most 16 requests, well past the scrapes below
                if stop.is_set():
                    return
                served.append(timed_get(port, "/slow", timeout=15)[1])

        clients = [threading.Thread(target=client) for _ in range(6)]
        for thread in clients:
            thread.start()
        try:
            time.sleep(1.0)  # the queue fills
            in_app, beside = [], []
            for _ in range(6):
                # Prometheus' default scrape timeout: 1 s.
                in_app.append(timed_get(port, "/metrics", timeout=1.0))
                for _ in range(4):
                    beside.append(timed_get(exporter_port, "/metrics", timeout=1.0))
                    time.sleep(0.1)
        finally:
            stop.set()
            for thread in clients:
                thread.join(30)
        assert all(r is not None and r.status == 200 for r in served)
        timed_out = sum(answer is None for _, answer in in_app)
        assert all(answer is not None and answer.status == 200 for _, answer in beside)
        # The clients are done: the exporter counts every request they sent.
        counted = metric(timed_get(exporter_port, "/metrics", 5.0)[1].body, "vrk_requests_total")  # type: ignore[union-attr]
        print(
            f"\nin-app scrapes: {timed_out} of {len(in_app)} timed out after 1 s; exporter "
            f"scrapes: p99 {p99([t for t, _ in beside]) * 1000:.1f} ms of {len(beside)}, "
            f"max {max(t for t, _ in beside) * 1000:.1f} ms; {len(served)} slow requests"
        )
        assert timed_out >= len(in_app) // 2, in_app
        assert counted == len(served)
