"""The benchmarks' timing ritual, written once: case modules only declare what is timed
against what, and this module warms every side up, times them in interleaved repeats,
keeps the best repeat of each and prints the ratios against their targets.

A case is a generator function registered with `@case`: it sets up what it needs,
yields one `Comparison` and cleans up after the yield. The comparison names its sides
(the things timed) through its `Ratio`s. All sides of a comparison are timed in the
same rounds, the order rotating from round to round, so that every side sees the same
background load; gc runs before each timed repeat, and timeit switches it off during one,
on every side alike. On a busy machine the best (minimum) repeat is the figure least
disturbed by other work; the median is printed beside it to show how noisy a run was. A
side whose repeat is itself a difference of two timings sums its repeats up by their
median instead (`summary`).

Nothing here asserts on time: a ratio above its target is printed as MISS, a finding to
look into.
"""

from __future__ import annotations

import contextlib
import gc
import json
import os
import platform
import shutil
import sys
import tempfile
import timeit
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

# The multi-worker switches of vornik and prometheus_client: a case starts without them,
# whatever the calling shell has set, and turns on what it measures.
MULTIPROCESS_VARIABLES = (
    "VRK_MULTIPROC_DIR",
    "PROMETHEUS_MULTIPROC_DIR",
    "prometheus_multiproc_dir",
)

REPEAT = 7
MIN_REPEAT_S = 0.2  # a timeit loop is made long enough that one repeat lasts this long


class Side:
    """One thing timed, repeat by repeat. A repeat yields seconds per call for each figure
    the side measures: "" for its time, and further figures where one run gives more than
    one (a server's CPU time per request beside its wall time)."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.runs: dict[str, list[float]] = {}
        self.number = 0  # calls per repeat, where that is fixed

    #: How best() sums the repeats up: the best one, or their median.
    summary = "best"

    def warm_up(self) -> None:
        self.measure()

    def measure(self) -> dict[str, float]:
        raise NotImplementedError

    def repeat(self) -> None:
        for figure, seconds in self.measure().items():
            self.runs.setdefault(figure, []).append(seconds)

    def best(self, figure: str = "") -> float:
        return min(self.runs[figure])

    def median(self, figure: str = "") -> float:
        values = sorted(self.runs[figure])
        return values[len(values) // 2]

    def name(self, figure: str = "") -> str:
        return f"{self.label} ({figure})" if figure else self.label


class Statement(Side):
    """A statement (run against `namespace`) or a callable, timed by timeit. The warm-up
    picks the loop count: the smallest of the 1-2-5 series whose loop lasts MIN_REPEAT_S."""

    def __init__(
        self,
        label: str,
        code: str | Callable[[], object],
        namespace: dict[str, object] | None = None,
    ) -> None:
        super().__init__(label)
        self.timer = timeit.Timer(code, globals=namespace)

    def warm_up(self) -> None:
        number = 1
        while not self.number:
            for count in (number, 2 * number, 5 * number):
                if self.timer.timeit(count) >= MIN_REPEAT_S:
                    self.number = count
                    break
            number *= 10

    def measure(self) -> dict[str, float]:
        return {"": self.timer.timeit(self.number) / self.number}


@dataclass
class Ratio:
    """The candidate's time over the baseline's, for one figure; at most `target` to pass,
    or printed for reference where there is no target."""

    title: str
    candidate: Side
    baseline: Side
    target: float | None
    figure: str = ""

    @property
    def value(self) -> float:
        return self.candidate.best(self.figure) / self.baseline.best(self.figure)

    @property
    def verdict(self) -> str:
        if self.target is None:
            return "info"
        return "PASS" if self.value <= self.target else "MISS"


@dataclass
class Comparison:
    """What a case yields: the ratios to report, with the sides they name, and notes,
    which may be callables that read the figures once the sides are timed."""

    title: str
    unit: str  # "ns" or "us": how the per-call figures are printed
    ratios: list[Ratio]
    notes: list[str | Callable[[], str]] = field(default_factory=list)
    repeat: int = REPEAT

    @property
    def sides(self) -> list[Side]:
        found: dict[int, Side] = {}
        for ratio in self.ratios:
            found.setdefault(id(ratio.candidate), ratio.candidate)
            found.setdefault(id(ratio.baseline), ratio.baseline)
        return list(found.values())

    def run(self) -> None:
        """Warms every side up, then times them in `repeat` rounds, rotating the order."""
        sides = self.sides
        for side in sides:
            side.warm_up()
        for round_ in range(self.repeat):
            shift = round_ % len(sides)
            for side in sides[shift:] + sides[:shift]:
                gc.collect()
                side.repeat()


CASES: dict[str, Callable[[], contextlib.AbstractContextManager[Comparison]]] = {}


def case(function: Callable[[], Iterator[Comparison]]) -> Callable[[], Iterator[Comparison]]:
    """Registers a case under its function's name."""
    CASES[function.__name__] = contextlib.contextmanager(function)
    return function


def run_case(name: str, results: Path | None) -> None:
    """Runs one case in this process and prints it; appends its ratios to `results`."""
    for variable in MULTIPROCESS_VARIABLES:
        os.environ.pop(variable, None)
    with CASES[name]() as comparison:
        comparison.run()
        report(comparison)
        if results is not None:
            with results.open("a", encoding="utf-8") as out:
                for ratio in comparison.ratios:
                    out.write(json.dumps(result(name, comparison.unit, ratio)) + "\n")


def result(name: str, unit: str, ratio: Ratio) -> dict[str, object]:
    return {
        "case": name,
        "title": ratio.title,
        "unit": unit,
        "candidate": ratio.candidate.best(ratio.figure),
        "baseline": ratio.baseline.best(ratio.figure),
        "ratio": ratio.value,
        "target": ratio.target,
        "verdict": ratio.verdict,
    }


def report(comparison: Comparison) -> None:
    print()
    print(comparison.title)
    print("-" * len(comparison.title))
    print(f"  {describe_machine()}")
    unit = comparison.unit
    figures = [(side, figure) for side in comparison.sides for figure in side.runs]
    width = max(len(side.name(figure)) for side, figure in figures)
    for side, figure in figures:
        repeats = f"{len(side.runs[figure])}" + (f" x {side.number:,}" if side.number else "")
        spread = f"best {format_time(min(side.runs[figure]), unit).strip()}"
        if side.summary == "best":
            spread = f"median {format_time(side.median(figure), unit).strip()}"
        print(
            f"  {side.name(figure):<{width}}  {format_time(side.best(figure), unit)}/call"
            f"  ({side.summary} of {repeats}; {spread})"
        )
    if unit == "ns":  # where the empty loop is a visible share of a call
        print(
            f"  note: timeit's empty loop costs {loop_overhead() * 1e9:.1f} ns/iteration,"
            " included once on both sides"
        )
    for note in comparison.notes:
        print(f"  note: {note() if callable(note) else note}")
    for ratio in comparison.ratios:
        target = "no target" if ratio.target is None else f"target <= {ratio.target:g}"
        print(f"  {ratio.title}: ratio {ratio.value:.3f}   {target}   {ratio.verdict}")
    sys.stdout.flush()


def loop_overhead(number: int = 1_000_000) -> float:
    """Seconds per iteration of timeit's empty loop."""
    return min(timeit.Timer("pass").repeat(repeat=REPEAT, number=number)) / number


def format_time(seconds: float, unit: str) -> str:
    if unit == "ns":
        return f"{seconds * 1e9:10.1f} ns"
    if unit == "us":
        return f"{seconds * 1e6:10.2f} us"
    raise ValueError(unit)


def describe_machine() -> str:
    return (
        f"python {platform.python_version()} ({platform.python_implementation()}), "
        f"{platform.machine()}, {os.cpu_count()} CPUs, load average "
        + ", ".join(f"{x:.2f}" for x in os.getloadavg())
    )


@contextlib.contextmanager
def multiprocess_directories() -> Iterator[tuple[str, str]]:
    """A vornik shard directory and a prometheus_client multiprocess directory, the latter
    switched on for this process; both removed at the end. prometheus_client reads its
    switch when it is imported, so it must not have been imported yet."""
    if "prometheus_client" in sys.modules:
        raise RuntimeError(
            "prometheus_client must be imported after PROMETHEUS_MULTIPROC_DIR is set"
        )
    vrk_dir = tempfile.mkdtemp(prefix="bench-vrk-")
    prom_dir = tempfile.mkdtemp(prefix="bench-prom-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = prom_dir
    try:
        yield vrk_dir, prom_dir
    finally:
        with contextlib.suppress(ImportError, AttributeError):
            import prometheus_client.values

            prometheus_client.values.close_all_multiprocess_files()
        shutil.rmtree(vrk_dir, ignore_errors=True)
        shutil.rmtree(prom_dir, ignore_errors=True)
