"""Runs every benchmark of this folder in sequence and prints a summary table.

Each benchmark runs in a process of its own (process-wide state, such as the request
store or prometheus_client's multiprocess switch, must start fresh), with its output
passed through as it comes. Benchmarks that report through _harness.report() append
their comparisons to a results file, from which the table is built: vornik's figure,
the baseline's, the ratio, the target and PASS or MISS.

A MISS is a finding to look into, not a failure: the exit status is non-zero only
when a benchmark itself failed to run.

Usage:
    python benchmarks/run_all.py                 # all benchmarks
    python benchmarks/run_all.py merge snapshot  # only bench_merge.py and bench_snapshot.py
    python benchmarks/run_all.py --list
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _harness as h

HERE = Path(__file__).resolve().parent

# The order in which they run; any other bench_*.py found here runs after these.
ORDER = [
    "record_request",
    "record_request_multiproc",
    "aggregate",
    "snapshot",
    "metrics_text",
    "merge",
    "merge_recycled",
]

TIMEOUT_SECONDS = 300


def discover() -> list[str]:
    found = sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    return [name for name in ORDER if name in found] + [name for name in found if name not in ORDER]


def format_figure(seconds: float, unit: str) -> str:
    return h.format_time(seconds, unit).strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="benchmarks to run (file name without bench_ and .py)")
    parser.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    args = parser.parse_args()

    available = discover()
    if args.list:
        print("\n".join(available))
        return 0
    unknown = [name for name in args.names if name not in available]
    if unknown:
        parser.error(f"unknown benchmark(s): {', '.join(unknown)}; available: {', '.join(available)}")
    selected = args.names or available

    env = dict(os.environ)
    for name in ("VRK_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR", "prometheus_multiproc_dir"):
        env.pop(name, None)

    print(f"vornik benchmarks: {', '.join(selected)}")
    print(h.describe_machine())
    failed: list[str] = []
    durations: dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="vrk-bench-results-") as tmp:
        results_file = Path(tmp) / "results.jsonl"
        env[h.RESULTS_ENV] = str(results_file)
        for name in selected:
            script = HERE / f"bench_{name}.py"
            started = time.perf_counter()
            sys.stdout.flush()
            try:
                completed = subprocess.run([sys.executable, str(script)], env=env, cwd=HERE.parent,
                                           timeout=TIMEOUT_SECONDS)
                if completed.returncode != 0:
                    print(f"!! bench_{name}.py exited with status {completed.returncode}")
                    failed.append(name)
            except subprocess.TimeoutExpired:
                print(f"!! bench_{name}.py did not finish within {TIMEOUT_SECONDS} s")
                failed.append(name)
            durations[name] = time.perf_counter() - started
        records = []
        if results_file.exists():
            records = [json.loads(line) for line in results_file.read_text(encoding="utf-8").splitlines() if line]

    print_summary(selected, records, durations, failed)
    return 1 if failed else 0


def print_summary(selected: list[str], records: list[dict], durations: dict[str, float], failed: list[str]) -> None:
    rows = [("benchmark", "vornik", "baseline", "ratio", "target", "result", "time")]
    reported = set()
    for record in records:
        reported.add(record["benchmark"])
        unit = record["unit"]
        rows.append((
            record["title"],
            format_figure(record["candidate"]["per_call_s"], unit),
            format_figure(record["baseline"]["per_call_s"], unit),
            f"{record['ratio']:.3f}",
            f"<= {record['target']:g}",
            record["verdict"],
            "",
        ))
    # Wall time of each script, on the first row of its results.
    for name in selected:
        seconds = f"{durations.get(name, 0.0):.0f} s"
        matching = [i for i, r in enumerate(records, start=1) if r["benchmark"] == name]
        if matching:
            i = matching[0]
            rows[i] = rows[i][:-1] + (seconds,)
        else:
            status = "FAILED" if name in failed else "no ratio reported"
            rows.append((f"bench_{name}.py", "", "", "", "", status, seconds))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print()
    print("Summary (best of repeats per call; ratio = vornik / baseline, lower is better)")
    for j, row in enumerate(rows):
        print("  " + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if j == 0:
            print("  " + "  ".join("-" * w for w in widths))
    verdicts = [r["verdict"] for r in records]
    print(f"\n  {verdicts.count('PASS')} PASS, {verdicts.count('MISS')} MISS"
          + (f", {len(failed)} failed to run: {', '.join(failed)}" if failed else ""))


if __name__ == "__main__":
    sys.exit(main())
