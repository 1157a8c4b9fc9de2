"""Throughput cost of the middlewares under a real server, side by side with the exporters.

WSGI: gunicorn with one sync worker serves a minimal Flask app (one route answering
"ok"), once bare, once wrapped in vornik.wsgi.MetricsMiddleware, once with the same
middleware and a shard directory (VRK_MULTIPROC_DIR, as in a multi-worker deployment)
and once instrumented with prometheus-flask-exporter's PrometheusMetrics(app).

ASGI: uvicorn with one worker serves a minimal Starlette app, once bare, once with
app.add_middleware(vornik.asgi.MetricsMiddleware) and once with
app.add_middleware(starlette_exporter.PrometheusMiddleware).

All servers of one framework run at the same time, each on its own port on 127.0.0.1;
the load generator (wrk, one thread and 16 connections, or a bounded Python client when
wrk is not installed) hits them in turn, round after round, the order rotating, so that
every variant sees the same background load. The figure kept per variant is the best
round, the median is printed beside it. Two ratios per framework, in time per request
(lower is better):

  vornik / bare app      target <= 1/0.95: the middleware costs at most 5 % of the
                         requests per second;
  vornik / exporter      target <= 1.0: it costs less than the exporter does.

Each ratio is printed twice: from the requests per second, and from the CPU time the
server processes used per request during the same rounds (read from /proc through
psutil), which moves much less when other work shares the machine. With two CPUs or
more, the servers run on the first and the load generator on the second (taskset).

Nothing is asserted; the figures, the ratios and PASS or MISS are printed.

Usage: python benchmarks/bench_middleware.py [--duration 2] [--rounds 8] [--only wsgi|asgi]
"""

from __future__ import annotations

import argparse
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from statistics import median

import psutil

import _harness as h

HOST = "127.0.0.1"
# With two or more CPUs, the servers get CPU 0 and the load generator CPU 1, so that
# they do not take turns on one core.
_CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
SERVER_CPU = ["taskset", "-c", str(_CPUS[0])] if len(_CPUS) >= 2 and shutil.which("taskset") else []
LOAD_CPU = ["taskset", "-c", str(_CPUS[1])] if SERVER_CPU else []
COST_TARGET = 1 / 0.95  # time per request, vornik / bare: at most 5 % fewer requests per second
EXPORTER_TARGET = 1.0
CONNECTIONS = 16

WSGI_APP = """
    import os

    from flask import Flask

    app = Flask(__name__)


    @app.get("/")
    def index():
        return "ok"


    variant = os.environ["BENCH_VARIANT"]
    if variant == "vornik":
        from vornik.wsgi import MetricsMiddleware

        app.wsgi_app = MetricsMiddleware(app.wsgi_app)
    elif variant == "exporter":
        from prometheus_flask_exporter import PrometheusMetrics

        PrometheusMetrics(app)
"""

ASGI_APP = """
    import os

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route


    async def index(request):
        return PlainTextResponse("ok")


    app = Starlette(routes=[Route("/", index)])
    variant = os.environ["BENCH_VARIANT"]
    if variant == "vornik":
        from vornik.asgi import MetricsMiddleware

        app.add_middleware(MetricsMiddleware)
    elif variant == "exporter":
        from starlette_exporter import PrometheusMiddleware, handle_metrics

        app.add_middleware(PrometheusMiddleware)
        app.add_route("/metrics", handle_metrics)
"""


@dataclass
class Variant:
    key: str  # "bare", "vornik", "vornik-shards", "exporter"
    label: str
    env: dict[str, str] = field(default_factory=dict)
    port: int = 0
    proc: subprocess.Popen[bytes] | None = None
    rps: list[float] = field(default_factory=list)
    cpu_per_request: list[float] = field(default_factory=list)  # seconds of server CPU time
    requests: int = 0


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((HOST, 0))
        return int(sock.getsockname()[1])


def get(port: int, path: str = "/") -> tuple[int, bytes]:
    conn = http.client.HTTPConnection(HOST, port, timeout=5)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def wait_ready(variant: Variant, timeout: float = 30) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert variant.proc is not None
        if variant.proc.poll() is not None:
            raise RuntimeError(f"{variant.label}: server exited with {variant.proc.returncode}")
        try:
            if get(variant.port)[0] == 200:
                return
        except OSError:
            pass
        time.sleep(0.2)
    raise RuntimeError(f"{variant.label}: server not answering on port {variant.port}")


def start(variant: Variant, command: list[str], cwd: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k not in ("VRK_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR")}
    env.update(variant.env)
    env["BENCH_VARIANT"] = variant.key.split("-")[0]
    variant.proc = subprocess.Popen(
        [*SERVER_CPU, *command], cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True,
    )  # fmt: skip
    wait_ready(variant)


def stop(variant: Variant) -> None:
    if variant.proc is None:
        return
    if variant.proc.poll() is None:
        variant.proc.send_signal(signal.SIGTERM)
    try:
        variant.proc.wait(15)
    except subprocess.TimeoutExpired:
        os.killpg(variant.proc.pid, signal.SIGKILL)
        variant.proc.wait(15)


def server_cpu_seconds(variant: Variant) -> float:
    """User plus system CPU time of the server and all its processes so far."""
    assert variant.proc is not None
    root = psutil.Process(variant.proc.pid)
    total = 0.0
    for proc in [root, *root.children(recursive=True)]:
        try:
            times = proc.cpu_times()
        except psutil.NoSuchProcess:
            continue
        total += times.user + times.system
    return total


def load_wrk(port: int, duration: float) -> tuple[float, int]:
    out = subprocess.run(
        [*LOAD_CPU, "wrk", "-t1", f"-c{CONNECTIONS}", f"-d{duration:g}s", f"http://{HOST}:{port}/"],
        capture_output=True, text=True, timeout=duration + 30, check=True,
    ).stdout  # fmt: skip
    if "Non-2xx" in out:
        raise RuntimeError("non-2xx responses under load:\n" + out)
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    count = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    return rps, count


def load_python(port: int, duration: float) -> tuple[float, int]:
    """A bounded stand-in for wrk: CONNECTIONS threads, each looping until the deadline."""
    counts = [0] * CONNECTIONS
    errors: list[str] = []
    deadline = time.monotonic() + duration

    def client(i: int) -> None:
        conn = http.client.HTTPConnection(HOST, port, timeout=5)
        try:
            while time.monotonic() < deadline:
                try:
                    conn.request("GET", "/")
                    response = conn.getresponse()
                    response.read()
                    if response.status != 200:
                        errors.append(str(response.status))
                    counts[i] += 1
                    if response.will_close:
                        conn.close()
                        conn = http.client.HTTPConnection(HOST, port, timeout=5)
                except OSError as exc:
                    errors.append(repr(exc))
                    conn.close()
                    conn = http.client.HTTPConnection(HOST, port, timeout=5)
        finally:
            conn.close()

    began = time.perf_counter()
    threads = [threading.Thread(target=client, args=(i,)) for i in range(CONNECTIONS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(duration + 30)
    elapsed = time.perf_counter() - began
    if errors:
        raise RuntimeError(f"{len(errors)} failed requests under load, first: {errors[0]}")
    return sum(counts) / elapsed, sum(counts)


def measure(title: str, variants: list[Variant], rounds: int, duration: float) -> None:
    load = load_wrk if shutil.which("wrk") else load_python
    for variant in variants:  # warm-up, not kept
        load(variant.port, 1.0)
    for r in range(rounds):
        shift = r % len(variants)
        for variant in variants[shift:] + variants[:shift]:
            cpu_before = server_cpu_seconds(variant)
            rps, count = load(variant.port, duration)
            variant.cpu_per_request.append((server_cpu_seconds(variant) - cpu_before) / count)
            variant.rps.append(rps)
            variant.requests += count
    h.print_header(title)
    print(f"  {h.describe_machine()}")
    print(f"  load: {'wrk' if load is load_wrk else 'Python client (wrk not found)'}, {CONNECTIONS} connections, "
          f"{rounds} rounds x {duration:g} s per variant, order rotating")  # fmt: skip
    if SERVER_CPU:
        print("  the servers run on CPU 0, the load generator on CPU 1")
    for variant in variants:
        print(f"  {variant.label:<40} best {max(variant.rps):6.0f} req/s, median {median(variant.rps):6.0f} req/s;"
              f" server CPU {min(variant.cpu_per_request) * 1e6:6.1f} us/request"
              f"   (rounds: {', '.join(f'{x:.0f}' for x in variant.rps)} req/s)")  # fmt: skip


def timing(variant: Variant) -> h.Timing:
    per_request = [1.0 / rps for rps in variant.rps]
    return h.Timing(variant.label, min(per_request), variant.requests, len(per_request), per_request)


def cpu_timing(variant: Variant) -> h.Timing:
    per_request = variant.cpu_per_request
    return h.Timing(variant.label + " (server CPU)", min(per_request), variant.requests, len(per_request), per_request)


def compare(name: str, title: str, ours: Variant, base: Variant, target: float, notes: list[str]) -> None:
    best_ours, best_base = max(ours.rps), max(base.rps)
    cost = 1.0 - best_ours / best_base
    print(f"\n  {title}: throughput (time per request = 1 / requests per second)")
    h.report(h.Comparison(
        benchmark=name, title=title, candidate=timing(ours), baseline=timing(base), target=target, unit="us",
        notes=[*notes, f"requests per second: {best_ours:.0f} vs {best_base:.0f}, "
                       f"{'cost' if cost >= 0 else 'gain'} {abs(cost) * 100:.1f} %"],
    ))  # fmt: skip
    print(f"  {title}: server CPU time per request (steadier than throughput on a shared machine)")
    h.report(h.Comparison(
        benchmark=name + "_cpu", title=title + ", server CPU per request", candidate=cpu_timing(ours),
        baseline=cpu_timing(base), target=target, unit="us",
    ))  # fmt: skip


def recorded(variant: Variant) -> str:
    status, body = get(variant.port, "/metrics")
    match = re.search(rb"^vrk_requests_total (\S+)$", body, re.MULTILINE)
    return f"{variant.label}: /metrics {status}, vrk_requests_total {match.group(1).decode() if match else '?'}"


def run_wsgi(tmp: Path, rounds: int, duration: float) -> None:
    (tmp / "wsgi_bench_app.py").write_text(textwrap.dedent(WSGI_APP))
    shards = tmp / "shards"
    variants = [
        Variant("bare", "flask"),
        Variant("vornik", "flask + vornik MetricsMiddleware"),
        Variant("vornik-shards", "flask + vornik, VRK_MULTIPROC_DIR set", {"VRK_MULTIPROC_DIR": str(shards)}),
        Variant("exporter", "flask + prometheus-flask-exporter"),
    ]
    try:
        for variant in variants:
            variant.port = free_port()
            command = [
                sys.executable, "-m", "gunicorn", "--workers", "1", "--worker-class", "sync",
                "--bind", f"{HOST}:{variant.port}", "--chdir", str(tmp), "wsgi_bench_app:app",
            ]  # fmt: skip
            start(variant, command, tmp)
        measure("WSGI: gunicorn, 1 sync worker, minimal Flask app", variants, rounds, duration)
        bare, ours, shard, exporter = variants
        notes = [
            f"gunicorn {metadata.version('gunicorn')}, flask {metadata.version('flask')}, "
            f"prometheus-flask-exporter {metadata.version('prometheus-flask-exporter')}",
            recorded(ours),
            recorded(shard),
        ]
        compare("middleware_wsgi", "WSGI middleware vs bare Flask app", ours, bare, COST_TARGET, notes)
        compare("middleware_wsgi_shards", "WSGI middleware with shard dir vs bare", shard, bare, COST_TARGET, [])
        compare("middleware_wsgi_exporter", "WSGI middleware vs prometheus-flask-exporter", ours, exporter,
                EXPORTER_TARGET, [])  # fmt: skip
    finally:
        for variant in variants:
            stop(variant)


def run_asgi(tmp: Path, rounds: int, duration: float) -> None:
    (tmp / "asgi_bench_app.py").write_text(textwrap.dedent(ASGI_APP))
    variants = [
        Variant("bare", "starlette"),
        Variant("vornik", "starlette + vornik MetricsMiddleware"),
        Variant("exporter", "starlette + starlette_exporter"),
    ]
    try:
        for variant in variants:
            variant.port = free_port()
            command = [
                sys.executable, "-m", "uvicorn", "--host", HOST, "--port", str(variant.port), "--app-dir", str(tmp),
                "--no-access-log", "--log-level", "warning", "asgi_bench_app:app",
            ]  # fmt: skip
            start(variant, command, tmp)
        measure("ASGI: uvicorn, 1 worker, minimal Starlette app", variants, rounds, duration)
        bare, ours, exporter = variants
        notes = [
            f"uvicorn {metadata.version('uvicorn')}, starlette {metadata.version('starlette')}, "
            f"starlette_exporter {metadata.version('starlette_exporter')}",
            recorded(ours),
        ]
        compare("middleware_asgi", "ASGI middleware vs bare Starlette app", ours, bare, COST_TARGET, notes)
        compare("middleware_asgi_exporter", "ASGI middleware vs starlette_exporter", ours, exporter,
                EXPORTER_TARGET, [])  # fmt: skip
    finally:
        for variant in variants:
            stop(variant)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=float, default=2.0, help="seconds of load per variant and round")
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--only", choices=["wsgi", "asgi"])
    args = parser.parse_args()
    if not (0.5 <= args.duration <= 30 and 1 <= args.rounds <= 20):
        parser.error("--duration must be 0.5..30 s and --rounds 1..20")
    h.clean_environment()
    with tempfile.TemporaryDirectory(prefix="vrk-bench-mw-") as tmp:
        if args.only in (None, "wsgi"):
            run_wsgi(Path(tmp), args.rounds, args.duration)
        if args.only in (None, "asgi"):
            run_asgi(Path(tmp), args.rounds, args.duration)


if __name__ == "__main__":
    main()
