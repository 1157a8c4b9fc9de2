"""The demo's load client: the burst, the workers' status calls and the scrape.

Runs in the parent process, over loopback, with a timeout on every request
and a deadline on the whole burst.
"""

from __future__ import annotations

import http.client
import json
import random
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

from .app import to_json
from .config import BURST_DEADLINE_S, HOST, REQUEST_TIMEOUT_S, WORKER_HEADER

#: One request to send: (method, path, body, label in the report).
Planned = tuple[str, str, bytes | None, str]


@dataclass
class Result:
    label: str
    status: int | None
    worker: int | None
    body: bytes = b""
    error: str | None = None


@dataclass
class Burst:
    results: list[Result] = field(default_factory=list)
    elapsed_s: float = 0.0
    unsent: int = 0


def plan(count: int, seed: int) -> list[Planned]:
    """``count`` requests over the shop's routes, some failing; deterministic per seed."""
    rng = random.Random(seed)
    planned: list[Planned] = []
    for _ in range(count):
        pick = rng.random()
        if pick < 0.22:
            planned.append(("GET", "/", None, "GET /"))
        elif pick < 0.57:
            planned.append(("GET", f"/users/{rng.randrange(1, 1100)}", None, "GET /users/{id}"))
        elif pick < 0.75:
            body = (
                b'{"quantity": 2'
                if rng.random() < 0.15
                else to_json({"quantity": rng.randrange(1, 5)})
            )
            planned.append(("POST", "/orders", body, "POST /orders"))
        elif pick < 0.84:
            planned.append(("GET", "/slow", None, "GET /slow"))
        elif pick < 0.92:
            planned.append(("GET", "/error", None, "GET /error"))
        else:
            planned.append(
                ("GET", f"/no-such-page-{rng.randrange(100)}", None, "GET (unknown page)")
            )
    return planned


def request(port: int, method: str, path: str, body: bytes | None, label: str) -> Result:
    conn = http.client.HTTPConnection(HOST, port, timeout=REQUEST_TIMEOUT_S)
    try:
        headers = {"Content-Type": "application/json"} if body is not None else {}
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        data = response.read()
        worker = response.getheader(WORKER_HEADER)
        return Result(label, response.status, int(worker) if worker else None, data)
    except (OSError, http.client.HTTPException) as exc:
        return Result(label, None, None, error=f"{type(exc).__name__}: {exc}")
    finally:
        conn.close()


def send_all(port: int, requests: Sequence[Planned], threads: int) -> Burst:
    burst = Burst()
    deadline = time.monotonic() + BURST_DEADLINE_S
    start = time.perf_counter()

    def one(item: Planned) -> Result | None:
        if time.monotonic() > deadline:
            return None
        return request(port, *item)

    with ThreadPoolExecutor(max_workers=threads) as pool:
        for result in pool.map(one, requests):
            if result is None:
                burst.unsent += 1
            else:
                burst.results.append(result)
    burst.elapsed_s = time.perf_counter() - start
    return burst


def worker_status(port: int, pids: set[int]) -> tuple[dict[int, dict[str, Any]], list[Result]]:
    """Ask ``/status`` in pairs of concurrent calls until every worker answered."""
    statuses: dict[int, dict[str, Any]] = {}
    results: list[Result] = []
    for _ in range(10):
        if pids <= statuses.keys():
            break
        burst = send_all(port, [("GET", "/status", None, "GET /status")] * 2, threads=2)
        results.extend(burst.results)
        for result in burst.results:
            if result.status == 200:
                status = json.loads(result.body)
                statuses[int(status["pid"])] = status
    return statuses, results


def scrape(port: int, expected: int) -> Result:
    """GET /metrics once every request the client saw answered is counted.

    A worker records a request when the server closes the response, just
    after the client may already have read it; so a scrape right after the
    last answer can miss that one request for a moment. Bounded to a second.
    """
    deadline = time.monotonic() + 1.0
    while True:
        metrics = request(port, "GET", "/metrics", None, "GET /metrics")
        if metrics.status != 200 or time.monotonic() > deadline:
            return metrics
        if parse_metrics(metrics.body.decode("utf-8")).get("vrk_requests_total") == expected:
            return metrics
        time.sleep(0.02)


def parse_metrics(document: str) -> dict[str, float]:
    """Sample name to value, for the unlabelled samples of a Prometheus document."""
    values: dict[str, float] = {}
    for line in document.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.partition(" ")
            values[name] = float(value)
    return values
