"""Runs the benchmark cases of this folder, each in a process of its own, and prints a
summary table: vornik's figure, the baseline's, the ratio, the target and PASS or MISS.

A process per case, because what the cases time is process-wide: the request store, the
shard state, prometheus_client's multiprocess switch. A MISS is a finding to look into,
not a failure: the exit status is non-zero only when a case itself failed to run.

Usage:
    python benchmarks/run_all.py                 # every case (a few minutes)
    python benchmarks/run_all.py merge snapshot  # only these
    python benchmarks/run_all.py --list
"""

from __future__ import annotations

import argparse
import importlib
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import runner

HERE = Path(__file__).resolve().parent
TIMEOUT_S = 300  # per case


def discover() -> list[str]:
    """The names of all cases, module by module (bench_*.py), in the order they are written."""
    for path in sorted(HERE.glob("bench_*.py")):
        importlib.import_module(path.stem)
    return list(runner.CASES)


def run_in_process(name: str, results: Path) -> bool:
    started = [sys.executable, str(Path(__file__)), "--in-process", name, "--results", str(results)]
    try:
        completed = subprocess.run(started, cwd=HERE.parent, timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        print(f"!! {name} did not finish within {TIMEOUT_S} s")
        return False
    if completed.returncode != 0:
        print(f"!! {name} exited with status {completed.returncode}")
    return completed.returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("names", nargs="*", help="cases to run (see --list)")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--in-process", metavar="NAME", help=argparse.SUPPRESS)
    parser.add_argument("--results", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()

    available = discover()
    if args.in_process:
        runner.run_case(args.in_process, args.results)
        return 0
    if args.list:
        print("\n".join(available))
        return 0
    unknown = [name for name in args.names if name not in available]
    if unknown:
        parser.error(f"unknown case(s): {', '.join(unknown)}; available: {', '.join(available)}")
    selected = args.names or available

    print(f"vornik benchmarks: {', '.join(selected)}")
    print(runner.describe_machine())
    failed: list[str] = []
    durations: dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="vrk-bench-results-") as tmp:
        results = Path(tmp) / "results.jsonl"
        results.touch()
        for name in selected:
            started = time.perf_counter()
            sys.stdout.flush()
            if not run_in_process(name, results):
                failed.append(name)
            durations[name] = time.perf_counter() - started
        records = [json.loads(line) for line in results.read_text(encoding="utf-8").splitlines()]
    print_summary(selected, records, durations, failed)
    return 1 if failed else 0


def print_summary(
    selected: list[str], records: list[dict], durations: dict[str, float], failed: list[str]
) -> None:
    rows = [("ratio", "vornik", "baseline", "ratio", "target", "result", "time")]
    for name in selected:
        seconds = f"{durations.get(name, 0.0):.0f} s"  # the case's wall time, on its first row
        matching = [r for r in records if r["case"] == name]
        for record in matching:
            unit, target = record["unit"], record["target"]
            rows.append((
                record["title"],
                runner.format_time(record["candidate"], unit).strip(),
                runner.format_time(record["baseline"], unit).strip(),
                f"{record['ratio']:.3f}",
                "" if target is None else f"<= {target:g}",
                record["verdict"],
                seconds,
            ))  # fmt: skip
            seconds = ""
        if not matching:
            rows.append(
                (name, "", "", "", "", "FAILED" if name in failed else "no ratio reported", seconds)
            )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print()
    print(
        "Summary (best of repeats per call, the median of paired differences for what a"
        " middleware adds; ratio = vornik / baseline, lower is better)"
    )
    for j, row in enumerate(rows):
        print(
            "  "
            + "  ".join(
                cell.ljust(w) if i == 0 else cell.rjust(w)
                for i, (cell, w) in enumerate(zip(row, widths, strict=True))
            )
        )
        if j == 0:
            print("  " + "  ".join("-" * w for w in widths))
    verdicts = [r["verdict"] for r in records]
    print(f"\n  {verdicts.count('PASS')} PASS, {verdicts.count('MISS')} MISS"
          + (f", {len(failed)} failed to run: {', '.join(failed)}" if failed else ""))  # fmt: skip


if __name__ == "__main__":
    sys.exit(main())
