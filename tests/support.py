"""What the tests share: argument doubles, a reference model of the store and one of
shard files and their merge, helper processes, memory figures, and what the middleware
tests read and move (the store's records, a sample of the document, the clock) or hand
over (a server's file wrapper).

Besides the standard library it imports only psutil and vornik, so that the helper
processes a test starts can import it too (`environment()` puts it on their path).
"""

from __future__ import annotations

import contextlib
import ctypes
import json
import math
import os
import re
import select
import struct
import subprocess
import sys
import textwrap
import time
import traceback
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import BinaryIO, NoReturn

import psutil
from vornik import _core, _routes

# --- Argument doubles -----------------------------------------------------------------


class Boom(Exception):
    """Raised by the conversion hooks of doubles; must pass through unchanged."""


class TypeErrorSubclass(TypeError):
    pass


class Text(str):
    pass


class Index:
    """An integer only through `__index__`."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class RaisingTypeErrorSubclass:
    """Both conversions fail with a TypeError subclass, which is passed on unchanged."""

    def __index__(self) -> int:
        raise TypeErrorSubclass("subclass passes unchanged")

    def __float__(self) -> float:
        raise TypeErrorSubclass("subclass passes unchanged")


class TypeErrorWithCause:
    """Both conversions fail with a plain TypeError that has a cause: the copy that names
    the argument must take the cause over."""

    def __index__(self) -> int:
        fail_with_cause()

    def __float__(self) -> float:
        fail_with_cause()


def fail_with_cause() -> NoReturn:
    try:
        raise KeyError("cause")
    except KeyError as error:
        raise TypeError("no number here") from error


# --- Reference model of the store's figures -------------------------------------------


def signed_nan(negative: bool, payload: int) -> float:
    word = 0x7FF8000000000000 | (payload & 0x7FFFFFFFFFFFF) | (negative << 63)
    return float(struct.unpack("<d", struct.pack("<Q", word))[0])


NEGATIVE_NAN = signed_nan(True, 0)


def bits(value: float) -> int:
    """The double's bit pattern as a signed integer, so that its sign bit is the sign."""
    return int(struct.unpack("<q", struct.pack("<d", value))[0])


def same(a: float, b: float) -> bool:
    """Equal to the bit: tells -0.0 from 0.0 and one NaN from another."""
    return bits(a) == bits(b)


def total_order_key(value: float) -> int:
    """IEEE 754 total order: -NaN < -inf < ... < -0.0 < 0.0 < ... < inf < NaN."""
    b = bits(value)
    return b ^ ((b >> 63) & 0x7FFFFFFFFFFFFFFF)


def rank_index(n: int, q: float) -> int:
    """The element a percentile picks: the rank (n - 1) * q rounded half away from zero."""
    rank = (float(n) - 1.0) * q
    whole = math.floor(rank)
    rounded = whole + 1 if rank - whole >= 0.5 else whole
    return min(int(rounded), n - 1)


def window_figures(durations: Sequence[float]) -> dict[str, float]:
    """The latency figures of an aggregate over the retained durations, oldest first: the
    mean summed in that order from -0.0, the extremes and percentiles in total order."""
    names = ["avg_latency_ms", "min_latency_ms", "max_latency_ms", "p50_latency_ms",
             "p95_latency_ms", "p99_latency_ms"]  # fmt: skip
    if not durations:
        return dict.fromkeys(names, 0.0)
    total = -0.0
    for duration in durations:
        total += duration
    ordered = sorted(durations, key=total_order_key)
    n = len(ordered)
    picked = [ordered[rank_index(n, q)] for q in (0.5, 0.95, 0.99)]
    return dict(zip(names, [total / n, ordered[0], ordered[-1], *picked], strict=True))


# --- Shard files and the merge --------------------------------------------------------
# A shard is 22 native-endian 64-bit words: version, writer pid, requests, errors, latency
# sum, minimum and maximum in microseconds, creation time, then 14 bucket counts.

MASK = 2**64 - 1
NO_LATENCY = MASK  # the minimum of a shard that has no latency yet
BOUNDS_MS = [1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000]
SHARD_SIZE = 176
SHARD_FORMAT = "=22Q"
AGGREGATE_FIELDS = ["total_requests", "total_errors", "error_rate", "avg_latency_ms",
                    "min_latency_ms", "max_latency_ms", "p50_latency_ms", "p95_latency_ms",
                    "p99_latency_ms"]  # fmt: skip


@dataclass
class Totals:
    """The counters of one shard, or the sum of several as a merge adds them."""

    requests: int = 0
    errors: int = 0
    latency_sum_us: int = 0
    latency_min_us: int = NO_LATENCY
    latency_max_us: int = 0
    buckets: list[int] = field(default_factory=lambda: [0] * 14)

    def add(self, other: Totals) -> None:
        self.requests = (self.requests + other.requests) & MASK
        self.errors = (self.errors + other.errors) & MASK
        self.latency_sum_us = min(self.latency_sum_us + other.latency_sum_us, MASK)
        self.latency_min_us = min(self.latency_min_us, other.latency_min_us)
        self.latency_max_us = max(self.latency_max_us, other.latency_max_us)
        self.buckets = [(a + b) & MASK for a, b in zip(self.buckets, other.buckets, strict=True)]

    def record(self, status: int, duration: float) -> None:
        """One request as the writer counts it."""
        micros = 0
        if duration > 0:
            micros = NO_LATENCY if duration * 1000.0 >= 2.0**64 else int(duration * 1000.0)
        self.requests += 1
        self.errors += status >= 400
        self.latency_sum_us = (self.latency_sum_us + micros) & MASK
        self.latency_min_us = min(self.latency_min_us, micros)
        self.latency_max_us = max(self.latency_max_us, micros)
        bucket = next((i for i, bound in enumerate(BOUNDS_MS) if duration <= bound), 13)
        self.buckets[bucket] += 1

    def words(self, pid: int, version: int = 1) -> list[int]:
        return [version, pid, self.requests, self.errors, self.latency_sum_us,
                self.latency_min_us, self.latency_max_us, 0, *self.buckets]  # fmt: skip


def pack(words: list[int]) -> bytes:
    return struct.pack(SHARD_FORMAT, *(w & MASK for w in words))


def shard_bytes(
    pid: int,
    requests: int = 0,
    errors: int = 0,
    latency_sum_us: int = 0,
    latency_min_us: int = NO_LATENCY,
    latency_max_us: int = 0,
    buckets: dict[int, int] | None = None,
    version: int = 1,
) -> bytes:
    """A shard of the given writer; `buckets` maps bucket indices to counts."""
    counts = [0] * 14
    for index, count in (buckets or {}).items():
        counts[index] = count
    totals = Totals(requests, errors, latency_sum_us, latency_min_us, latency_max_us, counts)
    return pack(totals.words(pid, version))


def read_shard(path: Path) -> tuple[int, ...]:
    return struct.unpack(SHARD_FORMAT, path.read_bytes()[:SHARD_SIZE])


def quantile_bucket(buckets: list[int], q: float, max_ms: float) -> tuple[float, float]:
    """The bounds of the bucket that holds quantile `q` of the merged histogram: where
    any estimate of it must lie (above the last bound, up to the largest latency)."""
    target = q * float(sum(buckets) & MASK)  # counts wrap as the core's words do
    cumulative = 0
    for i, bound in enumerate(BOUNDS_MS):
        cumulative = (cumulative + buckets[i]) & MASK
        if target <= float(cumulative):
            return (0.0 if i == 0 else float(BOUNDS_MS[i - 1])), float(bound)
    return float(BOUNDS_MS[-1]), max(max_ms, float(BOUNDS_MS[-1]))


QUANTILE_FIELDS = {"p50_latency_ms": 0.5, "p95_latency_ms": 0.95, "p99_latency_ms": 0.99}


def check_aggregate(result: dict[str, float], t: Totals) -> None:
    """`aggregate().to_dict()` agrees with merged totals `t`: counts, sums and extremes
    exactly, and each percentile within the bucket of the histogram that holds it (the
    estimate itself is checked against hand-computed cases elsewhere)."""
    if t.requests == 0:
        assert result == dict.fromkeys(AGGREGATE_FIELDS, 0)
        return
    max_ms = t.latency_max_us / 1000.0
    exact = {
        "total_requests": t.requests,
        "total_errors": t.errors,
        "error_rate": float(t.errors) / float(t.requests) * 100.0,
        "avg_latency_ms": float(t.latency_sum_us) / float(t.requests) / 1000.0,
        "min_latency_ms": 0.0 if t.latency_min_us == NO_LATENCY else t.latency_min_us / 1000.0,
        "max_latency_ms": max_ms,
    }
    assert {k: result[k] for k in exact} == exact
    for name, q in QUANTILE_FIELDS.items():
        lower, upper = quantile_bucket(t.buckets, q, max_ms)
        assert lower <= result[name] <= upper, (name, result[name], lower, upper)


# --- Helper processes -----------------------------------------------------------------

TIMEOUT_S = 120  # for any helper process: a hang fails the test instead of the CI run


def environment(**extra: str) -> dict[str, str]:
    """This environment for a helper process: without the shard directory the calling
    shell may have set, with this module importable, and with `extra` on top."""
    env = {k: v for k, v in os.environ.items() if k != "VRK_MULTIPROC_DIR"}
    # Appended: an entry put first (the sanitized build) must stay first.
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), here]))
    env.update(extra)
    return env


def run_python(
    code: str, env: dict[str, str] | None = None, timeout: float = 60, cwd: str | None = None
) -> str:
    """Runs `code` in a fresh interpreter and returns its stdout; fails on a non-zero exit."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment(**(env or {})),
        timeout=timeout,
        cwd=cwd,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def start_python(code: str, shard_dir: Path, *args: str) -> subprocess.Popen[str]:
    """Starts `code` with `args` in a fresh interpreter that records into `shard_dir`,
    with pipes for all three streams."""
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=environment(VRK_MULTIPROC_DIR=str(shard_dir)),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def read_line(process: subprocess.Popen[str], timeout: float = TIMEOUT_S) -> str:
    """The helper's next line of output, waiting at most `timeout` seconds."""
    assert process.stdout is not None
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    assert ready, f"no answer from helper {process.pid} within {timeout} s"
    line = process.stdout.readline()
    assert line, f"helper {process.pid} ended: {process.communicate(timeout=TIMEOUT_S)[1]}"
    return line


def finish(process: subprocess.Popen[str]) -> str:
    """Closes the helper's input, waits for it to exit successfully; its remaining output."""
    out, err = process.communicate(timeout=TIMEOUT_S)
    assert process.returncode == 0, err
    return out


@contextlib.contextmanager
def small_tmpfs(mount_point: Path, size: str) -> Iterator[Path]:
    """A tmpfs of `size` at `mount_point` (made here) while the block runs; skips the
    test where it cannot be mounted (it needs root)."""
    import pytest

    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                              str(mount_point)], capture_output=True)  # fmt: skip
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


class RequestingWorker:
    """A process that records a request into `shard_dir` whenever it is asked to."""

    CODE = """
        from vornik import _routes
        while input() == "request":
            _routes.record_request("GET", "/", 200, 1.0, "/")
            print("done", flush=True)
        """

    def __init__(self, shard_dir: Path, helpers: list[subprocess.Popen[str]]) -> None:
        self.process = start_python(self.CODE, shard_dir)
        helpers.append(self.process)
        self.pid = self.process.pid

    def requests(self, count: int = 1) -> None:
        assert self.process.stdin is not None
        for _ in range(count):
            self.process.stdin.write("request\n")
            self.process.stdin.flush()
            assert read_line(self.process) == "done\n"

    def stop(self) -> int:
        """Its exit status, once it has been told to stop."""
        assert self.process.stdin is not None
        self.process.stdin.write("stop\n")
        self.process.stdin.close()
        return self.process.wait(timeout=TIMEOUT_S)


def dead_pid() -> int:
    """The pid of a process that has exited."""
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def alive(pid: int) -> bool:
    try:
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def wait_gone(pids: list[int], timeout: float = 10) -> list[int]:
    """Waits until none of `pids` is alive; those still alive after `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(map(alive, pids)):
        time.sleep(0.1)
    return [pid for pid in pids if alive(pid)]


# --- Memory ---------------------------------------------------------------------------

# The sanitizer runtimes replace malloc and keep freed memory in quarantine: byte, page
# and mapping counts say nothing under them.
SANITIZED = bool(os.environ.get("VORNIK_SANITIZED"))


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]  # fmt: skip


_LIBC = ctypes.CDLL(None)
_LIBC.mallinfo2.restype = MallInfo2


def malloc_in_use() -> int:
    """Bytes that glibc's malloc has handed out and not yet got back."""
    info = _LIBC.mallinfo2()
    return int(info.uordblks + info.hblkhd)


# --- Documents and middlewares --------------------------------------------------------


def metric(document: str | bytes, name: str) -> float:
    """The value of the sample `name` in an exposition document."""
    text = document.decode() if isinstance(document, bytes) else document
    match = re.search(rf"^{name} (\S+)$", text, re.MULTILINE)
    assert match, f"{name} missing from:\n{text}"
    return float(match.group(1))


def records() -> list[tuple[str, str, int, float]]:
    """What the store holds, as (method, path, status, duration) tuples."""
    return [(r.method, r.path, r.status_code, r.duration_ms) for r in _core.get_requests()]


def series_routes() -> set[tuple[str, str, str]]:
    """(method, route, status) of every series in the document."""
    pattern = re.compile(
        r'^vrk_http_requests_total\{method="(.*)",route="(.*)",status="(.*)"\} ', re.M
    )
    return set(pattern.findall(_routes.metrics_document()))


class FakeClock:
    """Stands in for the middlewares' monotonic clock; tests move it by hand."""

    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


class FileBody:
    """A server's file wrapper whose close is a method of its class, as waitress's is
    (wsgiref's and gunicorn's take the file's close as an attribute of their own)."""

    def __init__(self, file: BinaryIO, block_size: int = 8192) -> None:
        self.file, self.block_size = file, block_size

    def __iter__(self) -> Iterator[bytes]:
        return iter(lambda: self.file.read(self.block_size), b"")

    def close(self) -> None:
        self.file.close()


# --- Another user ----------------------------------------------------------------------

NOBODY = 65534  # the user "nobody"


def run_as_nobody(body: Callable[[], object]) -> object:
    """Runs `body` in a forked child that has given up root for the user nobody, and
    returns what it returned (anything JSON can carry). Forked, not started anew: the
    interpreter may live where nobody cannot run it."""
    if os.geteuid() != 0:
        import pytest  # only here: helper processes import this module without it

        pytest.skip("needs root to act as another user")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            message = ["ok", body()]
        except BaseException:
            message = ["error", traceback.format_exc()]
        with contextlib.suppress(BaseException):
            os.write(write_end, json.dumps(message).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    assert data, "the child running as nobody died without answering"
    status, value = json.loads(data)
    assert status == "ok", value
    return value
