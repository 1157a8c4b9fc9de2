"""What the demo can be asked to do, its defaults and limits: the one place for them."""

from __future__ import annotations

from dataclasses import dataclass

HOST = "127.0.0.1"
#: Response header naming the worker process that answered; tests read it: part of the contract.
WORKER_HEADER = "X-Vornik-Worker"
CLIENT_THREADS = 4
REQUEST_TIMEOUT_S = 10.0
#: The whole burst stops after this long, whatever is left unsent.
BURST_DEADLINE_S = 60.0

#: Inclusive bounds of the options, as the command line enforces them.
WORKERS_RANGE = (1, 16)
REQUESTS_RANGE = (0, 100_000)
PORT_RANGE = (0, 65535)
#: A share of one CPU, so up to 100 per CPU; and up to a terabyte.
ALERT_CPU_RANGE = (0, 10_000)
ALERT_RSS_MB_RANGE = (0, 1_048_576)


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
