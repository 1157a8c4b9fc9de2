"""What each Flask instrumentation adds to a request, counted rather than timed:
instructions and simulated cache misses under valgrind's cachegrind.

A few microseconds in a request of fifty drown in a shared machine's noise, and code that
runs amid a framework's finds itself cold: its cache misses cost more than its
instructions. The counts show both without noise. Each variant (the bare app, vornik's
MetricsMiddleware with a shard directory, prometheus-flask-exporter in multiprocess mode)
serves N and then 3N requests, each run in a process of its own; the difference over 2N
is the cost of one request, without the start-up. The request store is filled first, as
in a server that has run for a while. Not part of run_all.py: it needs valgrind and takes
a minute or two.

Usage:
    python benchmarks/instructions.py [N]
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

VARIANTS = ("bare", "vornik", "exporter")
COUNTERS = {"instructions": r"I\s+refs", "I1 misses": r"I1\s+misses", "D1 misses": r"D1\s+misses"}


def serve(variant: str, requests: int) -> None:
    """The child: one Flask app, instrumented as `variant`, serving `requests` requests."""
    from wsgiref.util import setup_testing_defaults

    import vornik
    from flask import Flask

    vornik.set_multiproc_dir(os.environ["VRK_BENCH_DIR"])
    for _ in range(vornik.get_max_requests() + 1):
        vornik.record_request("GET", "/fill", 200, 1.0)
    app = Flask(f"bench_{variant}")
    app.add_url_rule("/users/<int:user_id>", "user", lambda user_id: "ok")
    if variant == "vornik":
        from vornik.wsgi import MetricsMiddleware

        app.wsgi_app = MetricsMiddleware(app.wsgi_app)  # type: ignore[method-assign]
    elif variant == "exporter":
        from prometheus_flask_exporter import PrometheusMetrics

        PrometheusMetrics(app)
    for _ in range(requests):
        environ: dict[str, object] = {"PATH_INFO": "/users/7"}
        setup_testing_defaults(environ)
        body = app(environ, lambda status, headers, exc_info=None: None)
        b"".join(body)  # type: ignore[arg-type]
        body.close()  # type: ignore[attr-defined]


def counted(variant: str, requests: int) -> dict[str, int]:
    with tempfile.TemporaryDirectory() as vrk_dir, tempfile.TemporaryDirectory() as prom_dir:
        environment = dict(os.environ, PYTHONHASHSEED="0", VRK_BENCH_DIR=vrk_dir,
                           PROMETHEUS_MULTIPROC_DIR=prom_dir)  # fmt: skip
        command = ["valgrind", "--tool=cachegrind", "--cache-sim=yes",
                   "--cachegrind-out-file=/dev/null", sys.executable, __file__,
                   "--serve", variant, str(requests)]  # fmt: skip
        done = subprocess.run(command, env=environment, capture_output=True, text=True, check=True)
    return {
        name: int(re.search(pattern + r":\s+([\d,]+)", done.stderr)[1].replace(",", ""))  # type: ignore[index]
        for name, pattern in COUNTERS.items()
    }


def per_request(variant: str, requests: int) -> dict[str, float]:
    few, more = counted(variant, requests), counted(variant, 3 * requests)
    return {name: (more[name] - few[name]) / (2 * requests) for name in COUNTERS}


def main() -> None:
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    cost = {variant: per_request(variant, requests) for variant in VARIANTS}
    print(f"Flask, per request, from {requests:,} and {3 * requests:,} requests under cachegrind")
    print(f"  {'':<12}" + "".join(f"{name:>16}" for name in COUNTERS))
    print(f"  {'bare app':<12}" + "".join(f"{cost['bare'][n]:>16,.0f}" for n in COUNTERS))
    added = {v: {n: cost[v][n] - cost["bare"][n] for n in COUNTERS} for v in VARIANTS[1:]}
    for variant in VARIANTS[1:]:
        print(
            f"  {variant + ' adds':<12}" + "".join(f"{added[variant][n]:>16,.0f}" for n in COUNTERS)
        )
    ratios = "".join(f"{added['vornik'][n] / added['exporter'][n]:>16.3f}" for n in COUNTERS)
    print(f"  {'ratio':<12}" + ratios)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2], int(sys.argv[3]))
    else:
        main()
