"""Every live worker of the shard directory in view, each under a slot number of its own.

The ``vrk_process_*`` figures of the core describe whichever worker answered a
scrape. :func:`metrics_text` adds families for every live worker of the shard
directory: CPU seconds, resident memory, threads and recorded requests, labelled
``worker`` with a small slot number, and the number of live workers. The label is
not the pid: pids change with every recycled worker, and each new pid would start
new series in Prometheus; a new worker takes over the slot of one that has exited.

Slots are files named ``vrk-worker-<n>.slot`` (n = 0, 1, 2, ...) in the shard
directory. A worker claims the lowest free one on its first request or scrape by
taking an open-file-description lock (``F_OFD_SETLK``, a write lock over the
whole file) and writing its pid into it: its decimal digits padded with spaces
to 16 bytes. The kernel drops the lock with the worker's last descriptor of the
file, that is when the worker dies, so a slot is free exactly when nobody holds
its lock. A child forked by a worker shares the parent's lock and claims a slot
of its own on its first request. Readers never take a lock: ``F_OFD_GETLK`` says
whether a slot is held without placing one, so a scrape can never keep a new
worker from its slot. Figures come from ``/proc/<pid>`` of each holder and
requests from the holder's shard, so the workers must share the reader's PID
namespace (they do, under one server).

The functions here also read shard files for ``python -m vornik top``; they only
ever read: nothing in the directory is created, locked or deleted by a reader,
only files named ``vrk-*.shard`` are read as shards, always with one ``pread``
(never a mapping that a writer could cut short under us), and links, FIFOs and
other special files are skipped without ever blocking on them.
"""

from __future__ import annotations

import ctypes
import fcntl
import os
import re
import stat
import struct
import threading
from collections.abc import Iterator
from dataclasses import dataclass

from . import _core

__all__ = ["metrics_text", "register"]

# The shard layout of the native core (documented in src/multiproc.cpp): 22 native
# 64-bit words: version, pid, requests, errors, latency sum, min and max in
# microseconds, updated_at, then 14 non-cumulative bucket counts.
SHARD_SIZE = 176
SHARD_VERSION = 1
_SHARD_WORDS = struct.Struct("=22Q")
BUCKET_BOUNDS_MS = (
    1.0, 2.0, 5.0, 10.0, 25.0, 50.0, 100.0, 250.0, 500.0, 1000.0, 2500.0, 5000.0, 10000.0,
)  # fmt: skip

SLOT_SIZE = 16
# Far more than any server runs at once; a process finding every slot taken stays out of view.
MAX_SLOTS = 4096
_SLOT_NAME = re.compile(r"vrk-worker-(0|[1-9][0-9]{0,8})\.slot")

_TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
_OPEN_TO_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


# --------------------------------------------------------------------------
# Reading: processes, shards, slots


@dataclass(frozen=True)
class ProcessFigures:
    cpu_seconds: float
    rss_bytes: int
    threads: int


def read_process(pid: int) -> ProcessFigures | None:
    """CPU time, resident size and threads of a process, or None when /proc has no such pid."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat_file:
            stat_text = stat_file.read()
        with open(f"/proc/{pid}/statm", "rb") as statm_file:
            statm_text = statm_file.read()
        # The command name may hold spaces and parentheses: the fields after its last
        # ')' start with field 3, so utime (14), stime (15) and threads (20) sit at 11, 12, 17.
        fields = stat_text.rsplit(b")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])
        rss_bytes = int(statm_text.split()[1]) * _PAGE_SIZE
        return ProcessFigures(ticks / _TICKS_PER_SECOND, rss_bytes, int(fields[17]))
    except (OSError, IndexError, ValueError):
        return None


def pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # exists, under another user
    return True


def _open_countable(directory_fd: int, name: str, owners: tuple[int, ...]) -> int | None:
    """A descriptor of a plain file with one name, owned by one of ``owners``."""
    try:
        fd = os.open(name, _OPEN_TO_READ, dir_fd=directory_fd)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
    except OSError:
        info = None
    # A second link could be counted twice; a stranger's file was planted.
    if (
        info is None
        or not stat.S_ISREG(info.st_mode)
        or info.st_nlink != 1
        or info.st_uid not in owners
    ):
        os.close(fd)
        return None
    return fd


def _read_countable(
    directory_fd: int, name: str, owners: tuple[int, ...], size: int
) -> bytes | None:
    """The first ``size`` bytes of a plain file with one name, owned by one of ``owners``."""
    fd = _open_countable(directory_fd, name, owners)
    if fd is None:
        return None
    try:
        data = os.pread(fd, size, 0)
    except OSError:
        return None
    finally:
        os.close(fd)
    return data if len(data) == size else None


@dataclass(frozen=True)
class Shard:
    name: str
    pid: int
    requests: int
    errors: int
    buckets: tuple[int, ...]  # non-cumulative, for BUCKET_BOUNDS_MS and the overflow


def _shard_names(names: list[str]) -> Iterator[str]:
    for name in names:
        if name.startswith("vrk-") and name.endswith(".shard"):
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                continue  # a name that is not valid UTF-8 is never a shard
            yield name


class Directory:
    """A shard directory opened for reading, with the owners whose files count there."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            self.owners = (os.geteuid(), os.fstat(self.fd).st_uid)
            self.names = os.listdir(self.fd)
        except OSError:
            os.close(self.fd)
            raise

    def __enter__(self) -> Directory:
        return self

    def __exit__(self, *exc_info: object) -> None:
        os.close(self.fd)

    def shards(self) -> list[Shard]:
        """The valid shards whose writer is alive."""
        shards: list[Shard] = []
        for name in _shard_names(self.names):
            data = _read_countable(self.fd, name, self.owners, SHARD_SIZE)
            if data is None:
                continue
            words = _SHARD_WORDS.unpack(data)
            if words[0] == SHARD_VERSION and 0 < words[1] < 2**31 and pid_alive(words[1]):
                shards.append(Shard(name, words[1], words[2], words[3], words[8:22]))
        return shards

    def slots(self) -> dict[int, int]:
        """Slot number -> pid of every held slot."""
        held: dict[int, int] = {}
        for name in self.names:
            match = _SLOT_NAME.fullmatch(name)
            if match is None:
                continue
            pid = _slot_holder(self.fd, name, self.owners)
            if pid is not None:
                held[int(match.group(1))] = pid
        return held


class _Lock(ctypes.Structure):
    """``struct flock`` of Linux on 64-bit machines (64-bit ``off_t``)."""

    _fields_ = [
        ("l_type", ctypes.c_short),
        ("l_whence", ctypes.c_short),
        ("l_start", ctypes.c_int64),
        ("l_len", ctypes.c_int64),
        ("l_pid", ctypes.c_int),
    ]


_WHOLE_FILE_WRITE_LOCK = bytes(_Lock(fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))


def _slot_holder(directory_fd: int, name: str, owners: tuple[int, ...]) -> int | None:
    fd = _open_countable(directory_fd, name, owners)
    if fd is None:
        return None
    try:
        answer = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, _WHOLE_FILE_WRITE_LOCK)
        if _Lock.from_buffer_copy(answer).l_type == fcntl.F_UNLCK:
            return None  # nobody holds it: its worker has exited
        text = os.pread(fd, SLOT_SIZE, 0)
    except OSError:
        return None
    finally:
        os.close(fd)
    # Empty for the moment between a new holder's lock and its write.
    return int(text) if text.strip().isdigit() else None


# --------------------------------------------------------------------------
# Claiming this process's slot


@dataclass
class _Claim:
    pid: int = 0  # 0 until this process has claimed, and again in a forked child
    directory: str | None = None
    fd: int | None = None
    slot: int | None = None


_CLAIM = _Claim()
_CLAIM_LOCK = threading.Lock()


def _forget_claim_in_child() -> None:
    # The descriptor and its lock are the parent's; the next claim closes this copy.
    # Another thread of the parent may have held the lock at the fork.
    global _CLAIM_LOCK
    _CLAIM.pid = 0
    _CLAIM_LOCK = threading.Lock()


os.register_at_fork(after_in_child=_forget_claim_in_child)


def _take_slot(directory_fd: int, slot: int, pid: int) -> int | None:
    """A descriptor holding slot ``slot`` for ``pid``, or None when it is taken or unusable."""
    try:
        fd = os.open(
            f"vrk-worker-{slot}.slot",
            os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
            0o644,  # readable by a monitor of another user, writable by us alone
            dir_fd=directory_fd,
        )
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if stat.S_ISREG(info.st_mode) and info.st_nlink == 1 and info.st_uid == os.geteuid():
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, _WHOLE_FILE_WRITE_LOCK)
            os.pwrite(fd, str(pid).ljust(SLOT_SIZE).encode("ascii"), 0)
            return fd
    except OSError:
        pass  # EAGAIN: another worker holds it
    os.close(fd)
    return None


def _claim(pid: int, directory: str | None) -> _Claim:
    if directory is None:
        return _Claim(pid)
    try:
        directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return _Claim(pid, directory)
    try:
        for slot in range(MAX_SLOTS):
            fd = _take_slot(directory_fd, slot, pid)
            if fd is not None:
                return _Claim(pid, directory, fd, slot)
    finally:
        os.close(directory_fd)
    return _Claim(pid, directory)


def register() -> None:
    """Makes sure this process holds a slot of the current shard directory.

    The ASGI middleware calls it for every request, the WSGI one after the first
    request of each process: after the first call of a process it costs one
    comparison (a forked child is told by a fork hook, as ``os.getpid()`` is a system
    call). A directory chosen later is taken up at the next scrape.
    """
    if _CLAIM.pid == 0:
        _reclaim(None)


def _reclaim(directory: str | None) -> None:
    global _CLAIM
    with _CLAIM_LOCK:
        pid = os.getpid()
        if directory is None:
            directory = _core.get_multiproc_dir()
        if _CLAIM.pid == pid and _CLAIM.directory == directory:
            return
        # An inherited descriptor is closed too: the lock stays with the parent's copy.
        if _CLAIM.fd is not None:
            os.close(_CLAIM.fd)
        _CLAIM = _claim(pid, directory)


# --------------------------------------------------------------------------
# The families


@dataclass(frozen=True)
class LiveWorker:
    slot: int
    pid: int
    process: ProcessFigures
    requests: int | None  # None while its shard is not there


def live_workers(directory: str) -> list[LiveWorker]:
    """The holders of the directory's slots that /proc knows, by slot."""
    try:
        with Directory(directory) as opened:
            holders = opened.slots()
            requests: dict[int, int] = {}
            for shard in opened.shards():
                requests[shard.pid] = requests.get(shard.pid, 0) + shard.requests
    except OSError:
        return []
    workers = []
    for number, pid in sorted(holders.items()):
        process = read_process(pid)
        if process is not None:
            workers.append(LiveWorker(number, pid, process, requests.get(pid)))
    return workers


# Names and help texts of the families are what dashboards and alerts match on: part
# of the contract.
_FAMILIES = (
    ("vrk_worker_cpu_seconds_total", "counter", "User and system CPU time of each live worker"),
    ("vrk_worker_memory_rss_bytes", "gauge", "Resident memory of each live worker in bytes"),
    ("vrk_worker_threads", "gauge", "Number of threads of each live worker"),
    ("vrk_worker_requests_total", "counter", "HTTP requests recorded by each live worker"),
)  # fmt: skip


def _values(worker: LiveWorker) -> tuple[float | int | None, ...]:
    process = worker.process
    return (process.cpu_seconds, process.rss_bytes, process.threads, worker.requests)


def metrics_text(openmetrics: bool = False) -> str:
    """The per-worker families, after the core's document; empty without a shard directory.

    In the text format 0.0.4 every family ends with an empty line; in OpenMetrics there is
    none, and a counter's family is named without the ``_total`` of its samples.

    The calling process is a worker too: it claims its slot first, so it is always listed.
    """
    directory = _core.get_multiproc_dir()
    if _CLAIM.pid == 0 or _CLAIM.directory != directory:
        _reclaim(directory)
    if directory is None:
        return ""
    workers = live_workers(directory)
    end = [] if openmetrics else [""]
    lines = [
        "# HELP vrk_workers Number of live worker processes of the shard directory",
        "# TYPE vrk_workers gauge",
        f"vrk_workers {len(workers)}",
        *end,
    ]
    for index, (name, kind, help_text) in enumerate(_FAMILIES):
        family = name.removesuffix("_total") if openmetrics and kind == "counter" else name
        lines += [f"# HELP {family} {help_text}", f"# TYPE {family} {kind}"]
        for worker in workers:
            value = _values(worker)[index]
            if value is not None:
                lines.append(f'{name}{{worker="{worker.slot}"}} {value!r}')
        lines += end
    return "\n".join(lines) + "\n"
