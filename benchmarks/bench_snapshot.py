"""Cost of one process snapshot.

vornik: `snapshot()`, which samples this process's CPU share since the previous
sample, resident and virtual memory and thread count, and returns a Snapshot object.

Baseline: psutil with the same figures, the way a long-running application samples
itself: one `psutil.Process()` created up front, then per sample
`with p.oneshot(): p.cpu_percent(); p.memory_info(); p.num_threads()`.

Usage: python benchmarks/bench_snapshot.py
"""

from __future__ import annotations

import _harness as h

TARGET = 0.20


def main() -> None:
    h.clean_environment()
    import psutil

    import vornik._core as vk

    process = psutil.Process()

    def psutil_sample():
        with process.oneshot():
            process.cpu_percent()
            process.memory_info()
            process.num_threads()

    # First samples set the CPU baselines on both sides.
    first = vk.snapshot()
    psutil_sample()
    with process.oneshot():
        rss, threads = process.memory_info().rss, process.num_threads()
    assert first.threads == threads

    namespace = {"snapshot": vk.snapshot, "p": process}
    h.print_header("snapshot() vs psutil oneshot()")
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        ("vornik snapshot()", h.make_timer("snapshot()", namespace=namespace)),
        ("psutil oneshot(): cpu_percent + memory_info + num_threads",
         h.make_timer("with p.oneshot():\n    p.cpu_percent()\n    p.memory_info()\n    p.num_threads()",
                      namespace=namespace)),
    )
    h.report(h.Comparison(
        benchmark="snapshot",
        title="snapshot()",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="us",
        notes=[
            f"psutil {psutil.__version__}; both report rss ~{rss / 1048576:.1f} MB "
            f"(vornik {first.memory_rss / 1048576:.1f} MB) and {threads} thread(s)",
        ],
    ))


if __name__ == "__main__":
    main()
