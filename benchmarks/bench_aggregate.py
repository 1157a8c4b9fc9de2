"""Cost of aggregate() over a full store of 10000 retained requests.

vornik: `aggregate()` with shard aggregation off and the store holding exactly 10000
requests whose durations are drawn from a log-normal distribution (seeded), 2% of them
errors. Each call copies the retained durations and computes count, error rate, mean,
minimum, maximum and the 50th/95th/99th percentiles afresh.

Baseline: numpy over the same 10000 durations, already held in a float64 array:
`a.mean(); a.min(); a.max(); np.percentile(a, [50, 95, 99], method="nearest")`.
"nearest" picks one element per percentile without interpolation, the same rule as
vornik's rounded rank (for n = 10000 both pick indices 5000, 9499 and 9899); the results
are compared once to show that both sides compute the same figures. numpy's default
"linear" percentile is timed too, for reference.
"""

from __future__ import annotations

import random
from collections.abc import Iterator

from runner import Comparison, Ratio, Statement, case

STORE_SIZE = 10_000
FIGURES = "a.mean(); a.min(); a.max(); np.percentile(a, [50, 95, 99]{})"


@case
def aggregate() -> Iterator[Comparison]:
    import numpy as np
    import vornik._core as vk

    vk.set_max_requests(STORE_SIZE)
    rng = random.Random(20240611)
    durations = [rng.lognormvariate(3.0, 0.8) for _ in range(STORE_SIZE)]
    paths = ["/users", "/users/42", "/orders", "/health", "/api/v1/items?page=3"]
    for i, duration in enumerate(durations):
        vk.record_request(
            "GET", paths[i % len(paths)], 500 if rng.random() < 0.02 else 200, duration
        )
    assert len(vk.get_requests()) == STORE_SIZE
    a = np.array(durations, dtype=np.float64)

    # Both sides compute the same figures.
    result = vk.aggregate()
    p50, p95, p99 = np.percentile(a, [50, 95, 99], method="nearest")
    assert result.total_requests == STORE_SIZE
    # Sequential and pairwise summation may differ in the last bits.
    assert abs(result.avg_latency_ms - a.mean()) <= 1e-9 * a.mean()
    assert (result.min_latency_ms, result.max_latency_ms) == (a.min(), a.max())
    assert (result.p50_latency_ms, result.p95_latency_ms, result.p99_latency_ms) == (p50, p95, p99)

    namespace = {"aggregate": vk.aggregate, "np": np, "a": a}
    vornik = Statement("vornik aggregate()", "aggregate()", namespace)
    nearest = Statement('numpy mean+min+max+percentile(method="nearest")',
                        FIGURES.format(', method="nearest"'), namespace)  # fmt: skip
    linear = Statement("numpy mean+min+max+percentile (linear)", FIGURES.format(""), namespace)
    yield Comparison(
        f"aggregate() over a full store of {STORE_SIZE} requests",
        unit="us",
        ratios=[
            Ratio(f"aggregate() over {STORE_SIZE}", vornik, nearest, 1.0),
            Ratio("  against numpy's linear percentile", vornik, linear, None),
        ],
        notes=[
            "results agree: p50/p95/p99 "
            f"{result.p50_latency_ms:.3f}/{result.p95_latency_ms:.3f}/{result.p99_latency_ms:.3f}"
            " ms on both sides",
            f"numpy {np.__version__}",
        ],
    )
