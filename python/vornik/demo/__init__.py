"""``python -m vornik demo``: an instrumented application in two worker processes.

The demo needs nothing but this package and the standard library. The parent
process binds one listening socket on the loopback interface and forks the
worker processes (:mod:`.workers`), which all accept connections from that
inherited socket and serve the example shop (:mod:`.app`) with
:class:`vornik.wsgi.MetricsMiddleware` through :mod:`wsgiref`. Every worker
writes its shard into one temporary shard directory, so ``GET /metrics`` on
any worker reports all of them together.

The parent then acts as the client (:mod:`.client`): it sends a short, bounded
burst of HTTP requests (several routes, some errors, varied latencies), asks
every worker for its process figures and alerts, scrapes ``/metrics`` and
prints a summary followed by the Prometheus document (:mod:`.report`).
Workers and the shard directory are gone when :func:`run` returns.
"""

from __future__ import annotations

import shutil
import signal
import socket
import sys
import tempfile
from types import FrameType
from typing import IO, TYPE_CHECKING

from . import client
from .app import demo_app
from .config import CLIENT_THREADS, HOST, DemoConfig
from .report import Observed, summarize, write_summary
from .workers import CannotListen, listen, start_workers, stop

if TYPE_CHECKING:
    from multiprocessing.context import ForkProcess

__all__ = ["CannotListen", "DemoConfig", "demo_app", "run"]


def _raise_interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def run(config: DemoConfig, out: IO[str] | None = None) -> int:
    """Run the demo; returns the process exit status."""
    out = out if out is not None else sys.stdout
    shard_dir = tempfile.mkdtemp(prefix="vornik-demo-")
    workers: list[ForkProcess] = []
    previous_term = signal.getsignal(signal.SIGTERM)
    previous_int = signal.getsignal(signal.SIGINT)
    sock: socket.socket | None = None
    try:
        sock = listen(config.port)
        port = sock.getsockname()[1]
        out.flush()
        workers = start_workers(sock, shard_dir, config)
        # Both stop the demo, also when it was started with SIGINT ignored (as a
        # background job of a non-interactive shell is).
        signal.signal(signal.SIGTERM, _raise_interrupt)
        signal.signal(signal.SIGINT, _raise_interrupt)
        pids = [w.pid for w in workers if w.pid is not None]

        burst = client.send_all(port, client.plan(config.requests, config.seed), CLIENT_THREADS)
        statuses, status_calls = client.worker_status(port, set(pids))
        answered = sum(1 for r in burst.results + status_calls if r.status is not None)
        metrics = client.scrape(port, answered)
        summary = summarize(
            Observed(config, port, shard_dir, pids, burst, statuses, status_calls, metrics)
        )
        write_summary(out, summary)
        out.flush()
        if not config.serve:
            return 0 if summary.consistent else 1

        # Scripts and tests wait for this line and read the address from it: keep its wording.
        out.write(f"\nServing on http://{HOST}:{port}/ (metrics at http://{HOST}:{port}/metrics)")
        out.write(" - press Ctrl-C to stop.\n")
        out.flush()
        while True:
            for worker in workers:
                worker.join(0.5)
                if worker.exitcode is not None:
                    out.write(
                        f"worker pid {worker.pid} exited with status {worker.exitcode}; stopping\n"
                    )
                    return 1
    except KeyboardInterrupt:
        out.write("\nstopped\n")
        return 0 if config.serve else 130
    finally:
        signal.signal(signal.SIGTERM, previous_term)
        signal.signal(signal.SIGINT, previous_int)
        stop(workers)
        if sock is not None:
            sock.close()
        shutil.rmtree(shard_dir, ignore_errors=True)
        out.flush()
