"""``python -m vornik demo``: an instrumented application in two worker processes.

The demo needs nothing but this package and the standard library. The parent
process binds one listening socket on the loopback interface and forks the
worker processes, which all accept connections from that inherited socket and
serve a small WSGI application with :class:`vornik.wsgi.MetricsMiddleware`
through :mod:`wsgiref`. Every worker writes its shard into one temporary shard
directory, so ``GET /metrics`` on any worker reports all of them together.

The parent then acts as the client: it sends a short, bounded burst of HTTP
requests (several routes, some errors, varied latencies), asks every worker for
its process figures and alerts, scrapes ``/metrics`` and prints a summary
followed by the Prometheus document. Workers and the shard directory are gone
when it returns.
"""

from __future__ import annotations

import http.client
import json
import multiprocessing
import os
import random
import shutil
import signal
import socket
import socketserver
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from types import FrameType
from typing import IO, TYPE_CHECKING, Any
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

from . import _core
from .wsgi import ROUTE_KEY, UNMATCHED, MetricsMiddleware

if TYPE_CHECKING:
    from multiprocessing.context import ForkProcess

    from _typeshed.wsgi import StartResponse, WSGIApplication, WSGIEnvironment

__all__ = ["DemoConfig", "demo_app", "run"]

HOST = "127.0.0.1"
WORKER_HEADER = "X-Vornik-Worker"
CLIENT_THREADS = 4
REQUEST_TIMEOUT_S = 10.0
# The whole burst stops after this long, whatever is left unsent.
BURST_DEADLINE_S = 60.0


@dataclass
class DemoConfig:
    """What ``python -m vornik demo`` was asked to do."""

    requests: int = 150
    workers: int = 2
    port: int = 0
    serve: bool = False
    alert_cpu_percent: float = 80.0
    alert_memory_rss_mb: float = 256.0
    seed: int = 20240611


# --------------------------------------------------------------------------
# The example application (runs in the worker processes)


def _respond(
    start_response: StartResponse, status: str, body: bytes, content_type: str = "application/json"
) -> list[bytes]:
    start_response(status, [("Content-Type", content_type), ("Content-Length", str(len(body)))])
    return [body]


def _json(value: object) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode("utf-8")


def demo_app(alert_cpu_percent: float, alert_memory_rss_mb: float) -> WSGIApplication:
    """The example shop: a plain WSGI application with a handful of routes.

    It names its route templates in ``environ["vornik.route"]``, so the
    middleware (with ``path_template=True``) records ``/users/{id}`` rather
    than one path per user.
    """
    rng = random.Random()

    def pause(low_ms: float, high_ms: float) -> None:
        time.sleep(rng.uniform(low_ms, high_ms) / 1000.0)

    def app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        method = environ.get("REQUEST_METHOD", "GET")
        path = environ.get("PATH_INFO") or "/"
        if path == "/":
            environ[ROUTE_KEY] = "/"
            pause(1, 5)
            return _respond(start_response, "200 OK", b"vornik demo shop\n", "text/plain; charset=utf-8")
        if path.startswith("/users/"):
            environ[ROUTE_KEY] = "/users/{id}"
            pause(2, 15)
            user_id = path[len("/users/") :]
            if not user_id.isdigit() or int(user_id) >= 1000:
                return _respond(start_response, "404 Not Found", _json({"error": "no such user"}))
            return _respond(start_response, "200 OK", _json({"id": int(user_id), "name": f"user{user_id}"}))
        if path == "/orders":
            environ[ROUTE_KEY] = "/orders"
            if method != "POST":
                start_response("405 Method Not Allowed", [("Allow", "POST"), ("Content-Length", "0")])
                return []
            length = int(environ.get("CONTENT_LENGTH") or 0)
            raw = environ["wsgi.input"].read(length) if length > 0 else b""
            pause(5, 25)
            try:
                order = json.loads(raw)
                quantity = int(order["quantity"])
            except (ValueError, KeyError, TypeError):
                return _respond(start_response, "400 Bad Request", _json({"error": "invalid order"}))
            return _respond(start_response, "201 Created", _json({"order": rng.randrange(10**6), "quantity": quantity}))
        if path == "/slow":
            environ[ROUTE_KEY] = "/slow"
            pause(60, 150)
            return _respond(start_response, "200 OK", b"finally\n", "text/plain; charset=utf-8")
        if path == "/error":
            environ[ROUTE_KEY] = "/error"
            pause(1, 3)
            return _respond(start_response, "500 Internal Server Error", _json({"error": "simulated failure"}))
        if path == "/status":
            environ[ROUTE_KEY] = "/status"
            # CPU use since the previous sample (the worker takes one when it
            # starts). The pause keeps concurrent calls on different workers and
            # gives the alert check's own sample an interval of its own: two
            # samples microseconds apart would make a jumpy CPU figure.
            snap = _core.snapshot()
            pause(40, 40)
            alerts = _core.check_alerts(cpu_percent=alert_cpu_percent, memory_rss_mb=alert_memory_rss_mb)
            body = {"pid": os.getpid(), "snapshot": dict(snap.to_dict()), "alerts": [dict(a) for a in alerts]}
            return _respond(start_response, "200 OK", _json(body))
        environ[ROUTE_KEY] = UNMATCHED
        return _respond(start_response, "404 Not Found", _json({"error": "not found"}))

    return app


def _with_worker_header(app: WSGIApplication) -> WSGIApplication:
    """Add the answering worker's pid to every response, ``/metrics`` included."""
    pid = str(os.getpid())

    def wrapped(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        def start(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> Any:
            headers.append((WORKER_HEADER, pid))
            return start_response(status, headers, exc_info)

        return app(environ, start)

    return wrapped


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass


class _WorkerServer(WSGIServer):
    """A wsgiref server on an already bound, shared listening socket."""

    def __init__(self, sock: socket.socket, app: WSGIApplication, parent_pid: int) -> None:
        socketserver.BaseServer.__init__(self, sock.getsockname(), _QuietHandler)
        self.socket = sock
        host, port = sock.getsockname()[:2]
        self.server_name = host
        self.server_port = port
        self.parent_pid = parent_pid
        self.setup_environ()
        self.set_app(app)

    def get_request(self) -> tuple[socket.socket, Any]:
        # The listening socket is non-blocking, so that a worker that loses
        # the race for a connection goes back to waiting instead of blocking.
        conn, addr = self.socket.accept()
        conn.setblocking(True)
        return conn, addr

    def service_actions(self) -> None:
        if os.getppid() != self.parent_pid:
            raise SystemExit(0)


def _worker_main(sock: socket.socket, shard_dir: str, parent_pid: int, config: DemoConfig) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _core.set_multiproc_dir(shard_dir)
    _core.snapshot()  # the baseline of this worker's CPU figure
    app = demo_app(config.alert_cpu_percent, config.alert_memory_rss_mb)
    server = _WorkerServer(sock, _with_worker_header(MetricsMiddleware(app, path_template=True)), parent_pid)
    server.serve_forever(poll_interval=0.25)


# --------------------------------------------------------------------------
# The client side (runs in the parent process)


@dataclass
class _Result:
    label: str
    status: int | None
    worker: int | None
    body: bytes = b""
    error: str | None = None


@dataclass
class _Burst:
    results: list[_Result] = field(default_factory=list)
    elapsed_s: float = 0.0
    unsent: int = 0


def _plan(count: int, seed: int) -> list[tuple[str, str, bytes | None, str]]:
    """``count`` requests: (method, path, body, label), deterministic per seed."""
    rng = random.Random(seed)
    plan: list[tuple[str, str, bytes | None, str]] = []
    for _ in range(count):
        pick = rng.random()
        if pick < 0.22:
            plan.append(("GET", "/", None, "GET /"))
        elif pick < 0.57:
            plan.append(("GET", f"/users/{rng.randrange(1, 1100)}", None, "GET /users/{id}"))
        elif pick < 0.75:
            body = b'{"quantity": 2' if rng.random() < 0.15 else _json({"quantity": rng.randrange(1, 5)})
            plan.append(("POST", "/orders", body, "POST /orders"))
        elif pick < 0.84:
            plan.append(("GET", "/slow", None, "GET /slow"))
        elif pick < 0.92:
            plan.append(("GET", "/error", None, "GET /error"))
        else:
            plan.append(("GET", f"/no-such-page-{rng.randrange(100)}", None, "GET (unknown page)"))
    return plan


def _request(port: int, method: str, path: str, body: bytes | None, label: str) -> _Result:
    conn = http.client.HTTPConnection(HOST, port, timeout=REQUEST_TIMEOUT_S)
    try:
        headers = {"Content-Type": "application/json"} if body is not None else {}
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        data = response.read()
        worker = response.getheader(WORKER_HEADER)
        return _Result(label, response.status, int(worker) if worker else None, data)
    except (OSError, http.client.HTTPException) as exc:
        return _Result(label, None, None, error=f"{type(exc).__name__}: {exc}")
    finally:
        conn.close()


def _send_all(port: int, requests: Sequence[tuple[str, str, bytes | None, str]], threads: int) -> _Burst:
    burst = _Burst()
    deadline = time.monotonic() + BURST_DEADLINE_S
    start = time.perf_counter()

    def one(item: tuple[str, str, bytes | None, str]) -> _Result | None:
        if time.monotonic() > deadline:
            return None
        return _request(port, *item)

    with ThreadPoolExecutor(max_workers=threads) as pool:
        for result in pool.map(one, requests):
            if result is None:
                burst.unsent += 1
            else:
                burst.results.append(result)
    burst.elapsed_s = time.perf_counter() - start
    return burst


def _worker_status(port: int, pids: set[int]) -> tuple[dict[int, dict[str, Any]], list[_Result]]:
    """Ask ``/status`` in pairs of concurrent calls until every worker answered."""
    statuses: dict[int, dict[str, Any]] = {}
    results: list[_Result] = []
    for _ in range(10):
        if pids <= statuses.keys():
            break
        burst = _send_all(port, [("GET", "/status", None, "GET /status")] * 2, threads=2)
        results.extend(burst.results)
        for result in burst.results:
            if result.status == 200:
                status = json.loads(result.body)
                statuses[int(status["pid"])] = status
    return statuses, results


def _scrape(port: int, expected: int) -> _Result:
    """GET /metrics once every request the client saw answered is counted.

    A worker records a request when the server closes the response, just
    after the client may already have read it; so a scrape right after the
    last answer can miss that one request for a moment. Bounded to a second.
    """
    deadline = time.monotonic() + 1.0
    while True:
        metrics = _request(port, "GET", "/metrics", None, "GET /metrics")
        if metrics.status != 200 or time.monotonic() > deadline:
            return metrics
        if _parse_metrics(metrics.body.decode("utf-8")).get("vrk_requests_total") == expected:
            return metrics
        time.sleep(0.02)


def _parse_metrics(document: str) -> dict[str, float]:
    values: dict[str, float] = {}
    for line in document.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.partition(" ")
            values[name] = float(value)
    return values


def _ms(value: float) -> str:
    return f"{value:.1f} ms"


def _summary(
    out: IO[str],
    config: DemoConfig,
    port: int,
    shard_dir: str,
    pids: list[int],
    burst: _Burst,
    statuses: dict[int, dict[str, Any]],
    sent: list[_Result],
    metrics: _Result,
) -> bool:
    """Print the human summary and the scraped document; True if all is consistent."""
    ok = True
    w = out.write
    w(f"vornik demo: {len(pids)} worker processes (pids {', '.join(map(str, pids))}) ")
    w(f"on http://{HOST}:{port}, temporary shard directory {shard_dir}\n\n")

    answered = [r for r in sent if r.status is not None]
    failed = [r for r in sent if r.status is None]
    w(f"Sent {len(burst.results)} requests in {burst.elapsed_s:.2f} s, {CLIENT_THREADS} at a time")
    w(f" (plus {len(sent) - len(burst.results)} status calls).\n")
    by_route: dict[str, list[int]] = {}
    for r in answered:
        counts = by_route.setdefault(r.label, [0, 0])
        counts[0] += 1
        counts[1] += r.status is not None and r.status >= 400
    w(f"  {'route':<22}{'requests':>9}{'errors':>8}\n")
    for label, (count, errors) in sorted(by_route.items(), key=lambda item: -item[1][0]):
        w(f"  {label:<22}{count:>9}{errors:>8}\n")
    if failed or burst.unsent:
        ok = False
        w(f"  {len(failed)} requests got no answer, {burst.unsent} were not sent in time")
        if failed:
            w(f" (first: {failed[0].error})")
        w("\n")

    values = _parse_metrics(metrics.body.decode("utf-8")) if metrics.status == 200 else {}
    total = int(values.get("vrk_requests_total", -1))
    errors = int(values.get("vrk_errors_total", -1))
    w("\nMerged over all workers, from GET /metrics:\n")
    if metrics.status != 200:
        ok = False
        w(f"  scrape failed: {metrics.error or metrics.status}\n")
    else:
        match = "matches" if total == len(answered) else "MISMATCH"
        ok = ok and total == len(answered)
        w(f"  requests   {total}   (the client got {len(answered)} answers: {match})\n")
        w(f"  errors     {errors}   (error rate {values.get('vrk_error_rate_percent', 0.0):.1f} %)\n")
        w(
            f"  latency    avg {_ms(values.get('vrk_latency_avg_ms', 0.0))}"
            f"   p50 {_ms(values.get('vrk_latency_p50_ms', 0.0))}"
            f"   p95 {_ms(values.get('vrk_latency_p95_ms', 0.0))}"
            f"   p99 {_ms(values.get('vrk_latency_p99_ms', 0.0))}"
            f"   max {_ms(values.get('vrk_latency_max_ms', 0.0))}\n"
            "             (percentiles are estimated from the workers' merged latency histogram)\n"
        )

    served = Counter(r.worker for r in answered if r.worker is not None)
    w("\nWorkers:\n")
    for pid in pids:
        status = statuses.get(pid)
        line = f"  pid {pid:<8} served {served.get(pid, 0):>4}"
        if status is None:
            line += "   (did not answer /status)"
        else:
            snap = status["snapshot"]
            line += (
                f"   cpu {snap['cpu_percent']:.1f} %   rss {snap['memory_rss'] / 1048576:.1f} MB"
                f"   threads {snap['threads']}"
            )
        w(line + "\n")

    alerts = [(pid, alert) for pid, status in sorted(statuses.items()) for alert in status["alerts"]]
    w(
        f"\nAlerts (check_alerts with cpu_percent > {config.alert_cpu_percent:g}, "
        f"memory_rss_mb > {config.alert_memory_rss_mb:g}): "
    )
    if not alerts:
        w("none\n")
    else:
        w("\n")
        for pid, alert in alerts:
            w(
                f"  pid {pid}: {alert['severity']}: {alert['metric']} = {alert['value']:.1f}"
                f" (threshold {alert['threshold']:g})\n"
            )

    if metrics.status == 200:
        w(f"\n--- GET /metrics, answered by worker pid {metrics.worker} ({_core.PROMETHEUS_CONTENT_TYPE}) ---\n")
        w(metrics.body.decode("utf-8"))
    return ok


# --------------------------------------------------------------------------
# Orchestration


def _listen(port: int) -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, port))
        sock.listen(128)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def _stop(workers: list[ForkProcess]) -> None:
    for worker in workers:
        if worker.is_alive():
            worker.terminate()
    for worker in workers:
        worker.join(5.0)
        if worker.is_alive():
            worker.kill()
            worker.join(5.0)


def _raise_interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def run(config: DemoConfig, out: IO[str] | None = None) -> int:
    """Run the demo; returns the process exit status."""
    out = out if out is not None else sys.stdout
    ctx = multiprocessing.get_context("fork")
    shard_dir = tempfile.mkdtemp(prefix="vornik-demo-")
    workers: list[ForkProcess] = []
    previous_term = signal.getsignal(signal.SIGTERM)
    previous_int = signal.getsignal(signal.SIGINT)
    sock: socket.socket | None = None
    try:
        sock = _listen(config.port)
        port = sock.getsockname()[1]
        out.flush()
        for _ in range(config.workers):
            worker = ctx.Process(
                target=_worker_main, args=(sock, shard_dir, os.getpid(), config), name="vornik-demo-worker", daemon=True
            )
            worker.start()
            workers.append(worker)
        # Both stop the demo, also when it was started with SIGINT ignored (as a
        # background job of a non-interactive shell is).
        signal.signal(signal.SIGTERM, _raise_interrupt)
        signal.signal(signal.SIGINT, _raise_interrupt)
        pids = [w.pid for w in workers if w.pid is not None]

        burst = _send_all(port, _plan(config.requests, config.seed), CLIENT_THREADS)
        statuses, status_calls = _worker_status(port, set(pids))
        answered = sum(1 for r in burst.results + status_calls if r.status is not None)
        metrics = _scrape(port, answered)
        ok = _summary(out, config, port, shard_dir, pids, burst, statuses, burst.results + status_calls, metrics)
        out.flush()
        if not config.serve:
            return 0 if ok else 1

        out.write(f"\nServing on http://{HOST}:{port}/ (metrics at http://{HOST}:{port}/metrics)")
        out.write(" - press Ctrl-C to stop.\n")
        out.flush()
        while True:
            for worker in workers:
                worker.join(0.5)
                if worker.exitcode is not None:
                    out.write(f"worker pid {worker.pid} exited with status {worker.exitcode}; stopping\n")
                    return 1
    except KeyboardInterrupt:
        out.write("\nstopped\n")
        return 0 if config.serve else 130
    finally:
        signal.signal(signal.SIGTERM, previous_term)
        signal.signal(signal.SIGINT, previous_int)
        _stop(workers)
        if sock is not None:
            sock.close()
        shutil.rmtree(shard_dir, ignore_errors=True)
        out.flush()
