"""Servers under load, as sides of a comparison: each serves an app on its own port on
127.0.0.1, and one repeat is one round of load against it (wrk, one thread and
CONNECTIONS connections, or a bounded Python client when wrk is not installed).

A round yields the time per request (1 / requests per second) and, as a second figure,
the CPU time the server's processes used per request during the round (read from /proc
through psutil), which moves much less when other work shares the machine. With two CPUs
or more, the servers run on the first and the load generator on the second (taskset),
so that they do not take turns on one core.
"""

from __future__ import annotations

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import ExitStack, contextmanager
from pathlib import Path

import psutil
from runner import Ratio, Side

HOST = "127.0.0.1"
CONNECTIONS = 16
ROUND_S = 2.0
WARM_UP_S = 1.0
CPU = "server CPU"  # the second figure of every server

_CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
SERVER_CPU = ["taskset", "-c", str(_CPUS[0])] if len(_CPUS) >= 2 and shutil.which("taskset") else []
LOAD_CPU = ["taskset", "-c", str(_CPUS[1])] if SERVER_CPU else []


class Server(Side):
    """A server started from `command`, in which "{port}" stands for its port."""

    def __init__(self, label: str, command: Sequence[str], cwd: Path, env: dict[str, str]) -> None:
        super().__init__(label)
        self.port = free_port()
        self.command = [part.replace("{port}", str(self.port)) for part in command]
        self.cwd = cwd
        self.env = {**os.environ, **env}
        self.process: subprocess.Popen[bytes] | None = None

    @contextmanager
    def running(self) -> Iterator[None]:
        self.process = subprocess.Popen(
            [*SERVER_CPU, *self.command], cwd=self.cwd, env=self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        )  # fmt: skip
        try:
            self.wait_ready()
            yield
        finally:
            self.stop()

    def wait_ready(self, timeout_s: float = 30) -> None:
        assert self.process is not None
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.label}: server exited with {self.process.returncode}")
            try:
                if get(self.port)[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.2)
        raise RuntimeError(f"{self.label}: server not answering on port {self.port}")

    def stop(self) -> None:
        assert self.process is not None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(15)

    def cpu_seconds(self) -> float:
        """User plus system CPU time of the server and all its processes so far."""
        assert self.process is not None
        root = psutil.Process(self.process.pid)
        total = 0.0
        for process in [root, *root.children(recursive=True)]:
            try:
                times = process.cpu_times()
            except psutil.NoSuchProcess:
                continue
            total += times.user + times.system
        return total

    def warm_up(self) -> None:
        LOAD(self.port, WARM_UP_S)

    def measure(self) -> dict[str, float]:
        cpu_before = self.cpu_seconds()
        rps, count = LOAD(self.port, ROUND_S)
        return {"": 1.0 / rps, CPU: (self.cpu_seconds() - cpu_before) / count}

    def recorded(self) -> str:
        """What the app's own /metrics says it recorded."""
        status, body = get(self.port, "/metrics")
        match = re.search(rb"^vrk_requests_total (\S+)$", body, re.MULTILINE)
        total = match.group(1).decode() if match else "?"
        return f"{self.label}: /metrics {status}, vrk_requests_total {total}"


@contextmanager
def serving(servers: Sequence[Server]) -> Iterator[None]:
    """All `servers` at once, so that their rounds can alternate; stopped at the end."""
    with ExitStack() as stack:
        for server in servers:
            stack.enter_context(server.running())
        yield


def ratios(title: str, candidate: Server, baseline: Server, target: float) -> list[Ratio]:
    """The ratio of the times per request, and that of the server CPU times."""
    return [
        Ratio(title, candidate, baseline, target),
        Ratio(f"{title}, {CPU} per request", candidate, baseline, target, CPU),
    ]


def requests_per_second(servers: Sequence[Server]) -> str:
    best = ", ".join(f"{server.label} {1.0 / server.best():.0f}" for server in servers)
    return f"requests per second (best round): {best}"


def describe_load() -> str:
    tool = "wrk" if LOAD is load_wrk else "Python client (wrk not found)"
    pinned = "; the servers run on CPU 0, the load generator on CPU 1" if SERVER_CPU else ""
    return (
        f"load: {tool}, {CONNECTIONS} connections, {ROUND_S:g} s per round and server, "
        f"order rotating{pinned}"
    )


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


def load_wrk(port: int, duration_s: float) -> tuple[float, int]:
    """Requests per second and requests in all."""
    out = subprocess.run(
        [*LOAD_CPU, "wrk", "-t1", f"-c{CONNECTIONS}", f"-d{duration_s:g}s", f"http://{HOST}:{port}/"],
        capture_output=True, text=True, timeout=duration_s + 30, check=True,
    ).stdout  # fmt: skip
    if "Non-2xx" in out:
        raise RuntimeError("non-2xx responses under load:\n" + out)
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    count = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    return rps, count


def load_python(port: int, duration_s: float) -> tuple[float, int]:
    """A bounded stand-in for wrk: CONNECTIONS threads, each looping until the deadline."""
    counts = [0] * CONNECTIONS
    errors: list[str] = []
    deadline = time.monotonic() + duration_s

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
        thread.join(duration_s + 30)
    elapsed = time.perf_counter() - began
    if errors:
        raise RuntimeError(f"{len(errors)} failed requests under load, first: {errors[0]}")
    return sum(counts) / elapsed, sum(counts)


LOAD = load_wrk if shutil.which("wrk") else load_python
