"""What the middlewares can tell about how the application is deployed, said out loud.

The core absorbs every shard directory failure and never guesses at the server
around it; so every way of getting the directory wrong would be silent, and each
scrape would show whichever worker answered it. The middlewares warn instead,
through the ``vornik`` logger and once per process, each message starting with
"vornik: ", or raise :class:`MisconfigurationError` in strict mode:

- at start (when a middleware is created): ``VRK_MULTIPROC_DIR`` names a
  directory that cannot be used. Checked by the core trying what a worker does
  (create the directory, then a file of a worker's size in it), without touching
  its state: a master process that forks its workers later must not open a shard.
- at the first request: the server runs several workers and no shard directory
  is in use; when ``VRK_MULTIPROC_DIR`` is set all the same, the warning says the
  directory cannot be used, with the reason. Only then has the application set its directory, if it does that
  in code, and have the other workers started.
- at start: ``VRK_METRICS_ENDPOINT`` is neither ``on`` nor ``off``.

Several workers are told only from sources that cannot be wrong: the WSGI flag
``wsgi.multiprocess`` where the server is gunicorn or uWSGI (bjoern and
hypercorn set it with one process, granian leaves it unset with several), or
the process tree: the parent is a gunicorn, uvicorn, hypercorn or granian
master and has other children running the same command line as this process.
Where neither tells, nothing is said.
"""

from __future__ import annotations

import logging
import os
import re
from typing import Any

from . import _core
from ._routes import check_shard_directory, child_pids


class _Named(logging.LoggerAdapter):  # type: ignore[type-arg]
    """Starts every message with "vornik: ": without a logging configuration Python prints
    a record's bare message, and a server's log would not say where it came from."""

    def process(self, msg: object, kwargs: Any) -> tuple[str, Any]:
        return f"vornik: {msg}", kwargs


LOGGER = _Named(logging.getLogger("vornik"))

#: Server masters whose children running this process's command line are its workers.
_SERVERS = ("gunicorn", "uvicorn", "hypercorn", "granian")

# What has been reported in this process, so that each problem is said once.
_REPORTED: set[str] = set()
_FIRST_REQUEST_PID: int | None = None


class MisconfigurationError(RuntimeError):
    """The shard directory is unusable or missing; raised instead of a warning in strict mode."""


def check_at_start(strict: bool) -> None:
    """Say whether ``VRK_MULTIPROC_DIR`` names a directory that cannot be used."""
    directory = os.environ.get("VRK_MULTIPROC_DIR", "")
    named, problem = check_shard_directory(directory)
    if named and problem is not None:
        _report_directory(strict, directory, problem)


def _report_directory(strict: bool, directory: str, problem: str) -> None:
    # Operators search logs for this text: part of the contract.
    _report(
        "directory",
        strict,
        f"VRK_MULTIPROC_DIR={directory!r} cannot be used as the shard directory: "
        f"{problem}; every worker reports only its own requests",
    )


def endpoint_is_off(strict: bool) -> bool:
    """Whether ``VRK_METRICS_ENDPOINT=off`` turns the middlewares' endpoint off, for a
    deployment whose exporter serves the document (``python -m vornik serve``)."""
    value = os.environ.get("VRK_METRICS_ENDPOINT", "").strip().lower()
    if value in ("", "on"):
        return False
    if value == "off":
        return True
    _report(
        "endpoint",
        strict,
        f"VRK_METRICS_ENDPOINT={os.environ['VRK_METRICS_ENDPOINT']!r} is neither 'on' nor "
        "'off'; the metrics endpoint stays as the middleware was told",
    )
    return False


def check_at_first_request(strict: bool, server_says: tuple[str, bool] | None) -> None:
    """Say whether several workers run without a shard directory, once per process.

    ``server_says`` is the server's own word where it can be trusted: its name
    and its ``wsgi.multiprocess`` (gunicorn and uWSGI); None elsewhere.
    """
    global _FIRST_REQUEST_PID
    pid = os.getpid()
    if _FIRST_REQUEST_PID == pid:
        return
    _FIRST_REQUEST_PID = pid
    if server_says is not None:
        if not server_says[1]:
            return
        evidence = f"wsgi.multiprocess from {server_says[0]}"
    else:
        workers = server_workers()
        if workers is None or workers[1] < 2:
            return
        evidence = f"{workers[1]} {workers[0]} workers"
    if _core.multiproc_enabled() or "directory" in _REPORTED:
        return  # in use, or its fault already told
    directory = os.environ.get("VRK_MULTIPROC_DIR", "")
    named, problem = check_shard_directory(directory)
    if named and _core.get_multiproc_dir() is None:
        # Set, but the core gave it up: never to be read as "not set".
        _report_directory(
            strict, directory, problem or "this worker could not keep its files there"
        )
        return
    # Operators search logs for this text: part of the contract.
    _report(
        "workers",
        strict,
        f"several worker processes ({evidence}) but no shard directory: each scrape "
        "reports only the worker that answers it; set VRK_MULTIPROC_DIR to a directory "
        "that all workers share",
    )


def server_says(environ: dict[str, object]) -> tuple[str, bool] | None:
    """The server and its ``wsgi.multiprocess``, where it sets that truthfully."""
    software = environ.get("SERVER_SOFTWARE")
    if isinstance(software, str) and software.startswith("gunicorn/"):
        return "gunicorn", bool(environ.get("wsgi.multiprocess"))
    if "uwsgi.version" in environ:
        return "uWSGI", bool(environ.get("wsgi.multiprocess"))
    return None


def server_workers() -> tuple[str, int] | None:
    """(server, workers now) when this process is a worker of a known server master.

    The workers are the master's children that run this process's command line
    (numbers aside: spawned workers differ only in their pipe numbers).
    """
    parent = os.getppid()
    server = _server_of(_command_line(parent))
    if server is None:
        return None
    mine = _without_numbers(_command_line(os.getpid()))
    if not mine:
        return None
    siblings = [pid for pid in child_pids(parent) if _without_numbers(_command_line(pid)) == mine]
    return server, len(siblings)


def _report(key: str, strict: bool, message: str) -> None:
    if strict:
        raise MisconfigurationError(message)
    if key not in _REPORTED:
        _REPORTED.add(key)
        LOGGER.warning(message)


def _command_line(pid: int) -> list[str]:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as file:
            raw = file.read()
    except OSError:
        return []
    return raw.decode("utf-8", "replace").split("\0")[:-1]


def _server_of(argv: list[str]) -> str | None:
    """The known server a command line runs: its program, script or ``-m`` module."""
    candidates = argv[:2]
    if len(argv) > 2 and argv[1] == "-m":
        candidates = [argv[0], argv[2]]
    for candidate in candidates:
        # gunicorn with setproctitle names itself "gunicorn: master [app]".
        name = os.path.basename(candidate).split(":")[0].strip()
        if name in _SERVERS:
            return name
    return None


def _without_numbers(argv: list[str]) -> str:
    return re.sub(r"\d+", "#", "\0".join(argv))
