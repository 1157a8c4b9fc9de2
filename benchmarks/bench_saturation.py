"""What counting requests in flight and busy time adds to each request of a worker.

Every request the middlewares see starts and ends in its worker's figures: the process's
count in flight and its busy stretch, published into the worker's slot file through a
shared mapping between two stores of a sequence word (no lock, no system call). The
clock reads that go with them are the request's own start and end, which it took before
these figures existed.

Both sides are native loops over the same number of requests, compiled here from the
package's own `worker_slots` (saturation_loop.cpp, with the extension's Release flags,
never part of the package), with a slot of a temporary shard directory held so that the
figures really go to its mapping:

- vornik: `begin_request()` then `end_request()`, each with its clock read;
- baseline: the two clock reads alone, what a request took without the figures.

The target is an absolute one: at most 15 ns more per request, checked as the ratio of
the accounted side to the baseline plus 15 ns.
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sysconfig
import tempfile
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

from bench_record_request import REPO
from runner import Comparison, Ratio, Side, Statement, case

REQUESTS_PER_CALL = 1000
ALLOWANCE_S = 15e-9


def build_loop(work: str) -> ModuleType:
    target = Path(work) / "_saturation_loop.abi3.so"
    sources = ["worker_slots.cpp", "worker_files.cpp", "fault_guard.cpp", "text.cpp"]
    command = [
        os.environ.get("CXX", "c++"), "-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-shared",
        "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-DPy_LIMITED_API=0x030A0000",
        f"-I{sysconfig.get_paths()['include']}", f"-I{REPO / 'src'}",
        str(REPO / "benchmarks" / "saturation_loop.cpp"),
        *(str(REPO / "src" / source) for source in sources),
        "-o", str(target),
    ]  # fmt: skip
    subprocess.run(command, check=True)
    located = importlib.util.spec_from_file_location("_saturation_loop", target)
    assert located is not None and located.loader is not None
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


class PerRequest(Statement):
    """A loop over REQUESTS_PER_CALL requests, reported per request."""

    def measure(self) -> dict[str, float]:
        return {"": super().measure()[""] / REQUESTS_PER_CALL}


class Plus(Side):
    """Another side's figures with a fixed allowance added: the bound a candidate must meet."""

    def __init__(self, label: str, side: Side, allowance_s: float) -> None:
        super().__init__(label)
        self.side, self.allowance_s = side, allowance_s

    def warm_up(self) -> None:
        pass

    def repeat(self) -> None:
        pass  # read from the side itself, timed in the same rounds

    def best(self, figure: str = "") -> float:
        return self.side.best(figure) + self.allowance_s

    def median(self, figure: str = "") -> float:
        return self.side.median(figure) + self.allowance_s

    @property
    def runs(self) -> dict[str, list[float]]:  # type: ignore[override]
        return {
            figure: [t + self.allowance_s for t in times]
            for figure, times in self.side.runs.items()
        }

    @runs.setter
    def runs(self, value: dict[str, list[float]]) -> None:
        pass


@case
def saturation_accounting() -> Iterator[Comparison]:
    with (
        tempfile.TemporaryDirectory(prefix="bench-sat-") as work,
        tempfile.TemporaryDirectory(prefix="bench-vrk-") as shards,
    ):
        loop = build_loop(work)
        assert loop.claim_slot(shards) == 0
        namespace = {"accounted": loop.accounted, "clocks_only": loop.clocks_only}
        call = f"({REQUESTS_PER_CALL})"
        vornik = PerRequest(
            "begin + end of a request, figures published", f"accounted{call}", namespace
        )
        clocks = PerRequest("the request's two clock reads alone", f"clocks_only{call}", namespace)
        bound = Plus("the two clock reads + 15 ns", clocks, ALLOWANCE_S)
        slot = Path(shards) / "vrk-worker-0.slot"
        yield Comparison(
            "requests in flight and busy time, per request",
            unit="ns",
            ratios=[
                Ratio("accounting within 15 ns of the clock reads alone", vornik, bound, 1.0),
                Ratio("against the clock reads alone", vornik, clocks, None),
            ],
            notes=[
                lambda: (
                    "added per request: "
                    f"{(vornik.best() - clocks.best()) * 1e9:.1f} ns (best repeats)"
                ),
                f"the slot file the figures go to: {slot.stat().st_size} bytes",
            ],
        )
