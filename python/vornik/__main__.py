"""Command line: ``python -m vornik demo [--serve]`` and ``python -m vornik top``."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from . import __version__, top

_DESCRIPTION = """\
vornik records a Python web application's own requests and process figures in a
small native core and serves them as a Prometheus document.

commands:
  demo            start an instrumented example application in two worker
                  processes that share one shard directory, send it a short
                  burst of HTTP requests over loopback, print a summary
                  (requests, error rate, p50/p95/p99 latency, per-worker pids,
                  alerts) and the merged Prometheus document from its own
                  /metrics, then stop everything and exit
  demo --serve    the same, then keep serving on the printed loopback address
                  (point Prometheus or curl at /metrics) until Ctrl-C
  top             a live view of a running application's workers, from its
                  shard directory or its metrics URL (see top --help)
"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vornik",
        description=_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"vornik {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="command")
    demo = commands.add_parser(
        "demo",
        help="run the two-worker example application against a burst of requests",
        description="Run an instrumented example application in worker processes on 127.0.0.1, "
        "send it a bounded burst of requests and print what vornik measured.",
    )
    demo.add_argument(
        "--serve",
        action="store_true",
        help="after the summary, keep serving on the printed address until interrupted (Ctrl-C)",
    )
    demo.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 to listen on (default: any free port)")
    demo.add_argument("--workers", type=int, default=2, help="number of worker processes (default: 2)")
    demo.add_argument(
        "--requests", type=int, default=150, help="requests in the burst, 0 for none (default: 150)"
    )
    demo.add_argument(
        "--alert-cpu", type=float, default=80.0, metavar="PERCENT", help="CPU alert threshold (default: 80)"
    )
    demo.add_argument(
        "--alert-rss-mb", type=float, default=256.0, metavar="MB", help="resident memory alert threshold (default: 256)"
    )
    top.add_arguments(
        commands.add_parser(
            "top",
            help="live terminal view of an application's workers (needs vornik[top])",
            description="Show, every second, each worker's requests/s, error share, p50 and p99 "
            "latency, CPU and memory, from a shard directory and /proc or from a metrics URL. "
            "q or Ctrl-C quits.",
        )
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "top":
        return top.run(args)
    if args.command != "demo":
        parser.print_help()
        return 2
    if not 1 <= args.workers <= 16:
        parser.error("--workers must be between 1 and 16")
    if not 0 <= args.requests <= 100_000:
        parser.error("--requests must be between 0 and 100000")
    if not 0 <= args.port <= 65535:
        parser.error("--port must be between 0 and 65535")

    from .demo import DemoConfig, run

    config = DemoConfig(
        requests=args.requests,
        workers=args.workers,
        port=args.port,
        serve=args.serve,
        alert_cpu_percent=args.alert_cpu,
        alert_memory_rss_mb=args.alert_rss_mb,
    )
    try:
        return run(config)
    except BrokenPipeError:
        # The reader went away (`python -m vornik demo | head`); everything is
        # stopped already, so only keep the interpreter from complaining.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
