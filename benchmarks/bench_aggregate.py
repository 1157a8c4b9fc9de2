"""Cost of aggregate() over a full store of 10000 retained requests.

vornik: `aggregate()` with shard aggregation off and the store holding exactly 10000
requests whose durations are drawn from a log-normal distribution (seeded), with 2%
of them errors. Each call copies the retained durations and computes count, error
rate, mean, minimum, maximum and the 50th/95th/99th percentiles afresh.

Baseline: numpy over the same 10000 durations, already held in a float64 array:
`a.mean(); a.min(); a.max(); np.percentile(a, [50, 95, 99], method="nearest")`.
"nearest" picks one element per percentile without interpolation, the same rule as
vornik's rounded rank (for n = 10000 both pick indices 5000, 9499 and 9899); the
results are compared once to show that both sides compute the same figures. numpy's
default "linear" percentile is timed too and printed for reference.

Usage: python benchmarks/bench_aggregate.py
"""

from __future__ import annotations

import random

import _harness as h

TARGET = 1.0
STORE_SIZE = 10_000


def main() -> None:
    h.clean_environment()
    import numpy as np

    import vornik._core as vk

    vk.set_multiproc_dir(None)
    vk.clear_requests()
    vk.set_max_requests(STORE_SIZE)

    rng = random.Random(20240611)
    durations = [rng.lognormvariate(3.0, 0.8) for _ in range(STORE_SIZE)]
    paths = ["/users", "/users/42", "/orders", "/health", "/api/v1/items?page=3"]
    for i, d in enumerate(durations):
        status = 500 if rng.random() < 0.02 else 200
        vk.record_request("GET", paths[i % len(paths)], status, d)
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
    h.print_header(f"aggregate() over a full store of {STORE_SIZE} requests")
    print("  " + h.describe_machine())
    candidate, baseline = h.compare_timers(
        ("vornik aggregate()", h.make_timer("aggregate()", namespace=namespace)),
        ('numpy mean+min+max+percentile(method="nearest")',
         h.make_timer('a.mean(); a.min(); a.max(); np.percentile(a, [50, 95, 99], method="nearest")',
                      namespace=namespace)),
    )
    # numpy's default interpolating percentile, for reference only.
    linear_timer = h.make_timer("a.mean(); a.min(); a.max(); np.percentile(a, [50, 95, 99])", namespace=namespace)
    linear_number = h.calibrate(linear_timer, h.DEFAULT_MIN_REPEAT_SECONDS)
    linear = min(linear_timer.repeat(repeat=h.DEFAULT_REPEAT, number=linear_number)) / linear_number
    h.report(h.Comparison(
        benchmark="aggregate",
        title="aggregate() over 10000",
        candidate=candidate,
        baseline=baseline,
        target=TARGET,
        unit="us",
        notes=[
            "results agree: p50/p95/p99 "
            f"{result.p50_latency_ms:.3f}/{result.p95_latency_ms:.3f}/{result.p99_latency_ms:.3f} ms on both sides",
            f"numpy {np.__version__}; with the default linear percentile numpy takes {linear * 1e6:.2f} us "
            f"(ratio {candidate.per_call_s / linear:.3f})",
        ],
    ))


if __name__ == "__main__":
    main()
