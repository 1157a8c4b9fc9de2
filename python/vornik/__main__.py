"""Command line: ``python -m vornik COMMAND``; ``--help`` lists the commands."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from . import __version__, serve, top
from .demo.config import NUMBER_OPTIONS, DemoConfig

PROG = "python -m vornik"

_DESCRIPTION = (
    "vornik records a Python web application's own requests and process figures in a\n"
    "small native core and serves them as a Prometheus document."
)

_DEMO_DESCRIPTION = (
    "Start an instrumented example application in worker processes on 127.0.0.1 that\n"
    "share one shard directory, send it a short burst of HTTP requests over loopback,\n"
    "print a summary (requests, error rate, p50/p95/p99 latency, per-worker pids,\n"
    "alerts) and the merged Prometheus document from its own /metrics, then stop\n"
    "everything and exit. With --serve, keep serving on the printed address (point\n"
    "Prometheus or curl at /metrics) until Ctrl-C."
)


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The command line parser and the parser of each command, by name."""
    defaults = DemoConfig()
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"vornik {__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="command")
    demo = commands.add_parser(
        "demo",
        help="run an instrumented example application in worker processes against a "
        "burst of requests and print what vornik measured (--serve: then keep serving)",
        description=_DEMO_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument(
        "--serve",
        action="store_true",
        help="after the summary, keep serving on the printed address until interrupted (Ctrl-C)",
    )
    for option in NUMBER_OPTIONS:
        default = getattr(defaults, option.field)
        demo.add_argument(
            option.flag,
            dest=option.field,
            type=option.kind,
            default=default,
            metavar=option.metavar,
            help=option.help.format(default=default),
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
    serve.add_arguments(
        commands.add_parser(
            "serve",
            help="serve the metrics document of a shard directory on a port of its own, "
            "beside the server",
            description="Serve /metrics for all workers of a shard directory from a process "
            "of its own, so that a scrape never waits behind the application's requests. "
            "It reads the directory and writes nothing there but the folds of dead workers. "
            "SIGTERM or Ctrl-C stops it.",
        )
    )
    parser.epilog = _where_the_options_are(commands.choices)
    return parser, commands.choices


def _where_the_options_are(commands: dict[str, argparse.ArgumentParser]) -> str:
    lines = [f"Each command has options of its own, explained by `{PROG} COMMAND --help`:"]
    for name, command in commands.items():
        options = [
            action.option_strings[-1]
            for action in command._actions
            if action.option_strings and not isinstance(action, argparse._HelpAction)
        ]
        lines.append(f"  {name}: {', '.join(options)}")
    return "\n".join(lines)


def _check_range(
    parser: argparse.ArgumentParser, option: str, value: float, bounds: tuple[float, float]
) -> None:
    low, high = bounds
    if not low <= value <= high:  # NaN fails too
        # Scripts may match on this message: part of the contract.
        parser.error(f"{option} must be between {low} and {high}")


def main(argv: Sequence[str] | None = None) -> int:
    parser, commands = _parser()
    args = parser.parse_args(argv)
    if args.command == "top":
        return top.run(args)
    if args.command == "serve":
        return serve.run(args)
    if args.command != "demo":
        parser.print_help()
        return 2
    for option in NUMBER_OPTIONS:
        _check_range(commands["demo"], option.flag, getattr(args, option.field), option.bounds)

    from .demo import CannotListen, run

    numbers = {option.field: getattr(args, option.field) for option in NUMBER_OPTIONS}
    config = DemoConfig(serve=args.serve, **numbers)
    try:
        return run(config)
    except CannotListen as error:
        # Scripts may match on this message: part of the contract.
        print(f"{PROG} demo: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`python -m vornik demo | head`); everything is
        # stopped already, so only keep the interpreter from complaining.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
