"""What the demo can be asked to do, its defaults and limits: the one place for them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

HOST = "127.0.0.1"
#: Response header naming the worker process that answered; tests read it: part of the contract.
WORKER_HEADER = "X-Vornik-Worker"
CLIENT_THREADS = 4
REQUEST_TIMEOUT_S = 10.0
#: The whole burst stops after this long, whatever is left unsent.
BURST_DEADLINE_S = 60.0


@dataclass
class DemoConfig:
    """What ``python -m vornik demo`` was asked to do; the defaults are the command line's."""

    requests: int = 150
    workers: int = 2
    port: int = 0
    serve: bool = False
    alert_cpu_percent: float = 80.0
    alert_memory_rss_mb: float = 256.0
    seed: int = 20240611


class NumberOption(NamedTuple):
    """A numeric option of ``python -m vornik demo`` and the field of DemoConfig it sets."""

    flag: str
    field: str
    kind: type[int] | type[float]
    #: Inclusive bounds, enforced by the command line.
    bounds: tuple[int, int]
    #: The help text; ``{default}`` stands for the field's default.
    help: str
    metavar: str | None = None


NUMBER_OPTIONS = (
    NumberOption(
        "--port", "port", int, (0, 65535), "port on 127.0.0.1 to listen on (default: any free port)"
    ),
    NumberOption(
        "--workers", "workers", int, (1, 16), "number of worker processes (default: {default})"
    ),
    NumberOption(
        "--requests",
        "requests",
        int,
        (0, 100_000),
        "requests in the burst, 0 for none (default: {default})",
    ),
    # A share of one CPU, so up to 100 per CPU.
    NumberOption(
        "--alert-cpu",
        "alert_cpu_percent",
        float,
        (0, 10_000),
        "CPU alert threshold (default: {default:g})",
        "PERCENT",
    ),
    # Up to a terabyte.
    NumberOption(
        "--alert-rss-mb",
        "alert_memory_rss_mb",
        float,
        (0, 1_048_576),
        "resident memory alert threshold (default: {default:g})",
        "MB",
    ),
)
