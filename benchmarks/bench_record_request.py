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

With shards off, `record_request` is also timed against a native function that binds and
converts the same four arguments through the same code and records nothing
(noop_record.cpp, compiled here with the extension's Release flags against the same
limited API, never part of the package): the ratio is what recording costs on top of the
call itself.
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sysconfig
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

from runner import Comparison, Ratio, Statement, case, multiprocess_directories

ARGUMENTS = '("GET", "/users", 200, 12.5)'
RECORD = f"record_request{ARGUMENTS}"
RECORD_NOTHING = f"record_nothing{ARGUMENTS}"
EXPORT = "requests.inc(); latency.observe(0.0125)"
REPO = Path(__file__).resolve().parent.parent


def instruments() -> dict[str, object]:
    """What both sides call, each in the mode the environment has switched on; the store is
    filled beyond capacity first, so that the ring has reached its final size and every
    timed call evicts one record."""
    import vornik._core as vk
    from prometheus_client import Counter, Histogram

    vk.clear_requests()
    for _ in range(vk.get_max_requests() + 1000):
        vk.record_request("GET", "/users", 200, 12.5)
    return {
        "record_request": vk.record_request,
        "requests": Counter("bench_requests", "Requests handled", registry=None),
        "latency": Histogram("bench_request_latency_seconds", "Request latency", registry=None),
    }


def comparison(
    title: str, vornik: Statement, baselines: list[tuple[str, Statement, float]]
) -> Comparison:
    """`vornik` against each baseline, with the ratio's title and target."""
    import vornik._core as vk

    return Comparison(
        f"{title}, full store of {vk.get_max_requests()} (evicting)",
        unit="ns",
        ratios=[Ratio(ratio, vornik, baseline, target) for ratio, baseline, target in baselines],
        notes=[lambda: f"{vk.aggregate().total_requests:,} requests recorded in all"],
    )


def build_noop(work: str) -> ModuleType:
    """Compiles the no-op baseline into `work` with the flags of the extension's Release
    build (CMake's -O3 -DNDEBUG, hidden visibility, the abi3 limited API) and imports it."""
    target = Path(work) / "_noop_record.abi3.so"
    command = [
        os.environ.get("CXX", "c++"), "-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-shared",
        "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-DPy_LIMITED_API=0x030A0000",
        f"-I{sysconfig.get_paths()['include']}", f"-I{REPO / 'src'}",
        str(REPO / "benchmarks" / "noop_record.cpp"), str(REPO / "src" / "arguments.cpp"),
        "-o", str(target),
    ]  # fmt: skip
    subprocess.run(command, check=True)
    located = importlib.util.spec_from_file_location("_noop_record", target)
    assert located is not None and located.loader is not None
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def check_same_binding(
    record_request: Callable[..., object], record_nothing: Callable[..., object]
) -> None:
    """The no-op rejects each mistake with the same error as record_request."""
    for bad in (("GET", "/users", "200", 12.5), ("GET", "/users", 70000, 12.5), ("GET",)):
        errors = []
        for function in (record_request, record_nothing):
            try:
                function(*bad)
            except (TypeError, OverflowError) as error:
                errors.append((type(error), str(error)))
        assert len(errors) == 2 and errors[0] == errors[1], (bad, errors)


@case
def record_request() -> Iterator[Comparison]:
    import prometheus_client
    import vornik._core as vk

    assert not prometheus_client.values.ValueClass._multiprocess
    assert not vk.multiproc_enabled()
    with tempfile.TemporaryDirectory(prefix="bench-noop-") as work:
        namespace = instruments()
        namespace["record_nothing"] = build_noop(work).record_nothing
        check_same_binding(vk.record_request, namespace["record_nothing"])
        vornik = Statement(f"vornik {RECORD}", RECORD, namespace)
        exporter = Statement(
            "prometheus_client Counter.inc() + Histogram.observe()", EXPORT, namespace
        )
        noop = Statement(
            "no-op native function converting the same arguments", RECORD_NOTHING, namespace
        )
        yield comparison(
            "record_request, shards off",
            vornik,
            [
                ("record_request, shards off", exporter, 0.10),
                ("record_request, shards off, over a no-op", noop, 2.5),
            ],
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
        exporter = Statement(
            "prometheus_client multiprocess Counter.inc() + Histogram.observe()", EXPORT, namespace
        )
        yield comparison(
            "record_request, shards on",
            Statement(f"vornik {RECORD}, shards on", RECORD, namespace),
            [("record_request, shards on", exporter, 0.06)],
        )
        # The merged path counts this process's shard, which has seen every call.
        assert vk.aggregate().total_requests > vk.get_max_requests()
