"""Shared timing and reporting helpers for the benchmarks in this folder.

Every benchmark times vornik and a baseline in the same process and the same run,
alternating their repeats so that both see the same background load, and keeps the
best (minimum) repeat of each: on a busy machine the minimum is the figure least
disturbed by other work. Nothing here asserts on time; a benchmark prints its
figures, the ratio and the target it is compared with.

When the environment variable BENCH_RESULTS_FILE names a file, each reported
comparison is also appended to it as one JSON line; run_all.py uses that to print
its summary table.
"""

from __future__ import annotations

import gc
import json
import os
import platform
import sys
import timeit
from dataclasses import asdict, dataclass, field
from typing import Callable

RESULTS_ENV = "BENCH_RESULTS_FILE"

DEFAULT_REPEAT = 7
# Each repeat of a loop lasts at least this long; autorange picks the loop count.
DEFAULT_MIN_REPEAT_SECONDS = 0.2


@dataclass
class Timing:
    label: str
    per_call_s: float  # best repeat, divided by the loop count
    number: int  # calls per repeat
    repeat: int
    all_per_call_s: list[float] = field(default_factory=list)

    @property
    def median_per_call_s(self) -> float:
        values = sorted(self.all_per_call_s)
        return values[len(values) // 2]


@dataclass
class Comparison:
    benchmark: str
    title: str
    candidate: Timing
    baseline: Timing
    target: float
    unit: str  # "ns" or "us": how the per-call figures are printed
    notes: list[str] = field(default_factory=list)

    @property
    def ratio(self) -> float:
        return self.candidate.per_call_s / self.baseline.per_call_s

    @property
    def verdict(self) -> str:
        return "PASS" if self.ratio <= self.target else "MISS"


def clean_environment() -> None:
    """Drops the multi-worker switches of vornik and prometheus_client that the calling
    shell may carry, so each benchmark starts from the configuration it asks for."""
    for name in ("VRK_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR", "prometheus_multiproc_dir"):
        os.environ.pop(name, None)


def make_timer(body: Callable[[], object] | str, setup: str = "pass", namespace: dict | None = None) -> timeit.Timer:
    """A timeit.Timer for a statement text (run against `namespace` as globals) or
    for a callable without arguments."""
    if callable(body):
        return timeit.Timer(body)
    return timeit.Timer(body, setup=setup, globals=namespace)


def calibrate(timer: timeit.Timer, min_seconds: float) -> int:
    """Smallest loop count of the 1-2-5 series whose run lasts at least min_seconds."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            count = number * factor
            if timer.timeit(count) >= min_seconds:
                return count
        number *= 10


def compare_timers(
    candidate: tuple[str, timeit.Timer],
    baseline: tuple[str, timeit.Timer],
    repeat: int = DEFAULT_REPEAT,
    min_repeat_seconds: float = DEFAULT_MIN_REPEAT_SECONDS,
) -> tuple[Timing, Timing]:
    """Times both timers `repeat` times each, alternating, and keeps the best repeat.
    timeit switches the garbage collector off while a loop runs, on both sides alike."""
    (c_label, c_timer), (b_label, b_timer) = candidate, baseline
    c_number = calibrate(c_timer, min_repeat_seconds)
    b_number = calibrate(b_timer, min_repeat_seconds)
    c_runs: list[float] = []
    b_runs: list[float] = []
    for i in range(repeat):
        # Alternate which side goes first, so neither always runs right after the other.
        order = ((c_timer, c_number, c_runs), (b_timer, b_number, b_runs))
        for timer, number, runs in order if i % 2 == 0 else reversed(order):
            gc.collect()
            runs.append(timer.timeit(number) / number)
    return (
        Timing(c_label, min(c_runs), c_number, repeat, c_runs),
        Timing(b_label, min(b_runs), b_number, repeat, b_runs),
    )


def loop_overhead(number: int = 1_000_000, repeat: int = DEFAULT_REPEAT) -> float:
    """Seconds per iteration of timeit's empty loop; both sides of every comparison
    include it once per call."""
    timer = timeit.Timer("pass")
    return min(timer.repeat(repeat=repeat, number=number)) / number


def format_time(seconds: float, unit: str) -> str:
    if unit == "ns":
        return f"{seconds * 1e9:10.1f} ns"
    if unit == "us":
        return f"{seconds * 1e6:10.2f} us"
    if unit == "ms":
        return f"{seconds * 1e3:10.3f} ms"
    raise ValueError(unit)


def print_header(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def report(comparison: Comparison) -> None:
    """Prints the two figures, the ratio and the verdict, and appends the comparison
    to the results file when run_all.py asked for one."""
    c, b, unit = comparison.candidate, comparison.baseline, comparison.unit
    width = max(len(c.label), len(b.label))
    for timing in (c, b):
        print(
            f"  {timing.label:<{width}}  {format_time(timing.per_call_s, unit)}/call"
            f"  (best of {timing.repeat} x {timing.number:,}; median {format_time(timing.median_per_call_s, unit).strip()})"
        )
    for note in comparison.notes:
        print(f"  note: {note}")
    print(
        f"  ratio vornik/baseline = {comparison.ratio:.3f}   target <= {comparison.target:g}   {comparison.verdict}"
    )
    sys.stdout.flush()

    path = os.environ.get(RESULTS_ENV)
    if path:
        record = {
            "benchmark": comparison.benchmark,
            "title": comparison.title,
            "unit": unit,
            "candidate": asdict(c),
            "baseline": asdict(b),
            "ratio": comparison.ratio,
            "target": comparison.target,
            "verdict": comparison.verdict,
            "notes": comparison.notes,
        }
        with open(path, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")


def describe_machine() -> str:
    return (
        f"python {platform.python_version()} ({platform.python_implementation()}), "
        f"{platform.machine()}, {os.cpu_count()} CPUs, load average "
        + ", ".join(f"{x:.2f}" for x in os.getloadavg())
    )
