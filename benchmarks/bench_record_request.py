"""Cost of one record_request call, as a middleware makes it on every request.

vornik: `record_request("GET", "/users", 200, 12.5)`, with the store at its default
capacity (10000) and already full, so that every call also evicts the oldest record: the
steady state of a long-running server.

Baseline: prometheus_client, one `Counter.inc()` plus one `Histogram.observe(0.0125)`
(default buckets), the pair a middleware built on it runs per request. Both metrics are
made with `registry=None`, so no global registry is involved.

`record_request` times this with shard aggregation off against prometheus_client's
ordinary single-process mode; `record_request_multiproc` with a shard directory set, so
that each call also adds the request to this process's shard (atomic updates of the
shared mapping), against prometheus_client's multiprocess mode, which writes its own
per-process mmap files.
"""

from __future__ import annotations

import os
from collections.abc import Iterator

from runner import Comparison, Ratio, Statement, case, multiprocess_directories

RECORD = 'record_request("GET", "/users", 200, 12.5)'
EXPORT = "requests.inc(); latency.observe(0.0125)"


def instruments() -> dict[str, object]:
    """What both sides call, each in the mode the environment has switched on; the store is
    filled beyond capacity first, so that the ring has reached its final size and every
    timed call evicts one record."""
    from prometheus_client import Counter, Histogram

    import vornik._core as vk

    vk.clear_requests()
    for _ in range(vk.get_max_requests() + 1000):
        vk.record_request("GET", "/users", 200, 12.5)
    return {
        "record_request": vk.record_request,
        "requests": Counter("bench_requests", "Requests handled", registry=None),
        "latency": Histogram("bench_request_latency_seconds", "Request latency", registry=None),
    }


def comparison(title: str, labels: tuple[str, str], target: float, namespace: dict[str, object]) -> Comparison:
    import vornik._core as vk

    vornik, exporter = Statement(labels[0], RECORD, namespace), Statement(labels[1], EXPORT, namespace)
    return Comparison(
        f"{title}, full store of {vk.get_max_requests()} (evicting)",
        unit="ns",
        ratios=[Ratio(title, vornik, exporter, target)],
        notes=[lambda: f"{vk.aggregate().total_requests:,} requests recorded in all"],
    )


@case
def record_request() -> Iterator[Comparison]:
    import prometheus_client

    import vornik._core as vk

    assert not prometheus_client.values.ValueClass._multiprocess
    assert not vk.multiproc_enabled()
    yield comparison(
        "record_request, shards off",
        ('vornik record_request("GET", "/users", 200, 12.5)', "prometheus_client Counter.inc() + Histogram.observe()"),
        0.10,
        instruments(),
    )
    assert len(vk.get_requests()) == vk.get_max_requests()  # the store stayed full


@case
def record_request_multiproc() -> Iterator[Comparison]:
    with multiprocess_directories() as (vrk_dir, prom_dir):
        import prometheus_client

        import vornik._core as vk

        assert prometheus_client.values.ValueClass._multiprocess
        vk.set_multiproc_dir(vrk_dir)
        assert vk.multiproc_enabled()
        namespace = instruments()
        # Both sides really write where they should.
        exec(EXPORT, dict(namespace))
        pid = os.getpid()
        assert sorted(os.listdir(prom_dir)) == [f"counter_{pid}.db", f"histogram_{pid}.db"]
        assert os.listdir(vrk_dir) == [f"vrk-{pid}.shard"]
        yield comparison(
            "record_request, shards on",
            (
                'vornik record_request("GET", "/users", 200, 12.5), shards on',
                "prometheus_client multiprocess Counter.inc() + Histogram.observe()",
            ),
            0.06,
            namespace,
        )
        # The merged path counts this process's shard, which has seen every call.
        assert vk.aggregate().total_requests > vk.get_max_requests()
