"""Command line: ``python -m vornik demo [--serve]``."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from . import __version__
from .demo.config import PORT_RANGE, REQUESTS_RANGE, WORKERS_RANGE, DemoConfig

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
"""


def _parser() -> argparse.ArgumentParser:
    defaults = DemoConfig()
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
    demo.add_argument(
        "--port",
        type=int,
        default=defaults.port,
        help="port on 127.0.0.1 to listen on (default: any free port)",
    )
    demo.add_argument(
        "--workers",
        type=int,
        default=defaults.workers,
        help=f"number of worker processes (default: {defaults.workers})",
    )
    demo.add_argument(
        "--requests",
        type=int,
        default=defaults.requests,
        help=f"requests in the burst, 0 for none (default: {defaults.requests})",
    )
    demo.add_argument(
        "--alert-cpu",
        type=float,
        default=defaults.alert_cpu_percent,
        metavar="PERCENT",
        help=f"CPU alert threshold (default: {defaults.alert_cpu_percent:g})",
    )
    demo.add_argument(
        "--alert-rss-mb",
        type=float,
        default=defaults.alert_memory_rss_mb,
        metavar="MB",
        help=f"resident memory alert threshold (default: {defaults.alert_memory_rss_mb:g})",
    )
    return parser


def _check_range(
    parser: argparse.ArgumentParser, option: str, value: int, bounds: tuple[int, int]
) -> None:
    low, high = bounds
    if not low <= value <= high:
        # Scripts may match on this message: part of the contract.
        parser.error(f"{option} must be between {low} and {high}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command != "demo":
        parser.print_help()
        return 2
    _check_range(parser, "--workers", args.workers, WORKERS_RANGE)
    _check_range(parser, "--requests", args.requests, REQUESTS_RANGE)
    _check_range(parser, "--port", args.port, PORT_RANGE)

    from .demo import run

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
