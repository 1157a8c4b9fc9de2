"""Cost of one process snapshot.

vornik: `snapshot()`, which samples this process's CPU share since the previous sample,
resident and virtual memory and thread count, and returns a Snapshot object.

Baseline: psutil with the same figures, the way a long-running application samples
itself: one `psutil.Process()` created up front, then per sample
`with p.oneshot(): p.cpu_percent(); p.memory_info(); p.num_threads()`.
"""

from __future__ import annotations

from collections.abc import Iterator

from runner import Comparison, Ratio, Statement, case

SAMPLE = "with p.oneshot():\n    p.cpu_percent()\n    p.memory_info()\n    p.num_threads()"


@case
def snapshot() -> Iterator[Comparison]:
    import psutil
    import vornik._core as vk

    process = psutil.Process()
    # First samples set the CPU baselines on both sides.
    first = vk.snapshot()
    exec(SAMPLE, {"p": process})
    with process.oneshot():
        rss, threads = process.memory_info().rss, process.num_threads()
    assert first.threads == threads

    namespace = {"snapshot": vk.snapshot, "p": process}
    yield Comparison(
        "snapshot() vs psutil oneshot()",
        unit="us",
        ratios=[
            Ratio(
                "snapshot()",
                Statement("vornik snapshot()", "snapshot()", namespace),
                Statement(
                    "psutil oneshot(): cpu_percent + memory_info + num_threads", SAMPLE, namespace
                ),
                0.20,
            )
        ],
        notes=[
            f"psutil {psutil.__version__}; both report rss ~{rss / 1048576:.1f} MB "
            f"(vornik {first.memory_rss / 1048576:.1f} MB) and {threads} thread(s)",
        ],
    )
