"""Every live worker of the shard directory in view, each under a slot number of its own.

The ``vrk_process_*`` figures of the core describe whichever worker answered a
scrape. :func:`metrics_text` adds families for every live worker of the shard
directory: CPU seconds, resident memory, threads, recorded requests, requests in
flight, busy and GC seconds, open descriptors and start time, labelled ``worker``
with a small slot number; the number of live workers; and the listen queues of the
sockets the workers listen on. The label is not the pid: pids change with every
recycled worker, and each new pid would start new series in Prometheus; a new worker
takes over the slot of one that has exited.

The native core keeps the slots (files ``vrk-worker-<n>.slot`` in the shard
directory, each locked by its holder, so a slot is free exactly when its holder has
died), claims this process's slot at its first request, and claims it again within
a second when the directory has been emptied. Each holder writes into its slot what
it is doing: its requests in flight, its busy time and its GC time. Reading the
directory goes through the core too, which only ever reads: nothing is created,
locked or deleted by a reader. Figures come from ``/proc/<pid>`` of each holder and
requests from the holder's shard, so the workers must share the reader's PID
namespace (they do, under one server).
"""

from __future__ import annotations

from dataclasses import dataclass

from . import _routes

__all__ = ["metrics_text", "register"]

#: Upper bounds of the shards' latency buckets, in milliseconds.
BUCKET_BOUNDS_MS = _routes.SHARD_BOUNDS_MS


@dataclass(frozen=True)
class ProcessFigures:
    cpu_seconds: float
    rss_bytes: int
    threads: int
    open_fds: int | None  # None where its descriptors may not be listed
    start_time_seconds: float


@dataclass(frozen=True)
class Activity:
    """What the holder of a slot is doing, as it publishes it in its slot."""

    in_flight: int
    busy_seconds: float  # wall time with at least one request in flight
    gc_seconds: float


def read_process(pid: int) -> ProcessFigures | None:
    """CPU time, resident size, threads, descriptors and start of a process, or None when
    /proc has no such pid."""
    figures = _routes.process_figures(pid)
    return ProcessFigures(*figures) if figures is not None else None


@dataclass(frozen=True)
class Shard:
    name: str
    pid: int
    requests: int
    errors: int
    buckets: tuple[int, ...]  # non-cumulative, for BUCKET_BOUNDS_MS and the overflow


class Directory:
    """What a shard directory holds of its live workers, read once when opened."""

    def __init__(self, path: str) -> None:
        """Raises OSError when ``path`` cannot be opened as a directory."""
        shards, slots = _routes.read_directory(path)
        self._shards = [Shard(*shard) for shard in shards]
        self._slots = {slot: pid for slot, pid, _ in slots}
        self._activity = {pid: Activity(*figures) for _, pid, figures in slots if figures}

    def __enter__(self) -> Directory:
        return self

    def __exit__(self, *exc_info: object) -> None:
        pass

    def shards(self) -> list[Shard]:
        """The valid shards whose writer is alive."""
        return self._shards

    def slots(self) -> dict[int, int]:
        """Slot number -> pid of every held slot."""
        return self._slots

    def activity(self) -> dict[int, Activity]:
        """Pid -> what it is doing, for the holders whose slot carries figures."""
        return self._activity


def listen_queues(pids: list[int]) -> dict[str, tuple[int, int | None]]:
    """Address -> (waiting connections, limit) of the listening sockets the processes hold;
    the limit is None where the system shows none (see the README)."""
    return {address: (length, limit) for address, length, limit in _routes.listen_queues(pids)}


def register() -> None:
    """Makes sure this process holds a slot of the current shard directory.

    The middlewares call it after the first request of each process (the core claims
    the slot with the first request anyway); a forked child takes a slot of its own.
    """
    _routes.register_worker()


def metrics_text(openmetrics: bool = False) -> str:
    """The per-worker families, as the middlewares' document ends with them; empty without
    a shard directory.

    In the text format 0.0.4 every family ends with an empty line; in OpenMetrics there is
    none, and a counter's family is named without the ``_total`` of its samples.

    The calling process is a worker too: it claims its slot first, so it is always listed.
    """
    return _routes.worker_families(openmetrics=openmetrics)
