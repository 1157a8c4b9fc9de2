"""The application's own metrics: the prometheus_client-shaped API, its checks, the
document, and sums over worker processes that live, die and are killed."""

from __future__ import annotations

import itertools
import logging
import os
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest
from prometheus_client import CollectorRegistry
from prometheus_client import Counter as ClientCounter
from prometheus_client.exposition import generate_latest
from prometheus_client.openmetrics.parser import (
    text_string_to_metric_families as openmetrics_families,
)
from prometheus_client.parser import text_string_to_metric_families as text_families
from support import read_line, run_python, start_python, wait_gone
from vornik import _core, _routes
from vornik.metrics import Counter, Gauge, Histogram, VornikCollector, include_registry
from vornik.routes import metrics_answer

# Metric names are process-wide and registered once: every test takes fresh ones.
_NUMBERS = itertools.count()


def fresh(stem: str) -> str:
    return f"{stem}_{next(_NUMBERS)}"


def samples(
    document: str, openmetrics: bool = False
) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """Every sample of a document by name and sorted labels, through prometheus_client's
    own parser of the format."""
    parse = openmetrics_families if openmetrics else text_families
    return {
        (sample.name, tuple(sorted(sample.labels.items()))): sample.value
        for family in parse(document)
        for sample in family.samples
    }


def value(document: str, name: str, **labels: str) -> float:
    return samples(document)[(name, tuple(sorted(labels.items())))]


def by_label(document: str, name: str, label: str) -> dict[str, float]:
    return {
        dict(labels)[label]: number
        for (sample, labels), number in samples(document).items()
        if sample == name
    }


# ---- The API in one process --------------------------------------------------------------


def test_names_labels_and_every_kind_render_in_both_formats() -> None:
    jobs = Counter(fresh("jobs"), "Jobs \\ done\nby queue", ["queue", "kind"], namespace="app")
    latency = Histogram(fresh("latency"), "Latency", unit="seconds", buckets=(0.1, 1, float("inf")))
    depth = Gauge(fresh("depth"), 'Depth "now"', multiprocess_mode="livesum")
    jobs.labels("a", "x").inc()
    jobs.labels(kind="x", queue="a").inc(2.5)
    jobs.labels('q"\n\\', "y").inc()
    latency.observe(0.05)
    latency.observe(0.5)
    latency.observe(7)
    depth.set(4)
    depth.inc(2)
    depth.dec(0.5)
    assert jobs.labels("a", "x") is jobs.labels(queue="a", kind="x")

    text = _routes.metrics_document()
    openmetrics = _routes.metrics_document(openmetrics=True)
    assert openmetrics.count("# EOF") == 1 and openmetrics.endswith("# EOF\n")
    for document, om in ((text, False), (openmetrics, True)):
        found = samples(document, om)
        total = jobs._name
        assert found[(total, (("kind", "x"), ("queue", "a")))] == 3.5
        assert found[(total, (("kind", "y"), ("queue", 'q"\n\\')))] == 1
        bucket = latency._name + "_bucket"
        assert [found[(bucket, (("le", le),))] for le in ("0.1", "1.0", "+Inf")] == [1, 2, 3]
        assert found[(latency._name + "_count", ())] == 3
        assert found[(latency._name + "_sum", ())] == pytest.approx(7.55)
        assert found[(depth._name, ())] == 5.5
    families = {family.name: family for family in openmetrics_families(openmetrics)}
    assert families[jobs._name.removesuffix("_total")].documentation == "Jobs \\ done\nby queue"
    assert families[latency._name].unit == "seconds"
    assert families[depth._name].documentation == 'Depth "now"'
    assert jobs._name.startswith("app_jobs_") and jobs._name.endswith("_total")
    # The core's own document stays the thirteen families.
    assert jobs._name not in _core.metrics_text()


def test_helpers_time_count_exceptions_and_track_in_progress() -> None:
    failures = Counter(fresh("failures"), "Failures")
    busy = Gauge(fresh("busy"), "Busy", multiprocess_mode="max")
    took = Histogram(fresh("took"), "Took", ["step"], buckets=(0.5, 10))
    last = Gauge(fresh("last"), "Last duration")

    @failures.count_exceptions(KeyError)
    @took.labels("decorated").time()
    def work(fail: bool) -> None:
        if fail:
            raise KeyError("x")

    with busy.track_inprogress():
        assert busy._metric.labels().get() == 1
    work(False)
    with pytest.raises(KeyError):
        work(True)
    with pytest.raises(ValueError), failures.count_exceptions(KeyError):
        raise ValueError("not counted")
    with took.labels("block").time() as timer, last.time():
        assert timer is not None  # prometheus_client's timer is there too
    busy.set_to_current_time()
    # Exemplars are dropped, as prometheus_client's multiprocess mode drops them.
    failures.inc(2, {"trace_id": "abc"})
    failures.inc(exemplar=None, amount=1)
    took.labels("block").observe(0.25, exemplar={"trace_id": "abc"})
    with pytest.raises(TypeError, match="an exemplar is a dict"):
        failures.inc(1, "abc")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="expected amount and at most an exemplar"):
        failures.inc(1, None, None)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="expected one argument, amount"):
        last.inc(1, {"trace_id": "abc"})  # type: ignore[call-arg]

    document = _routes.metrics_document()
    assert value(document, failures._name) == 4
    assert value(document, busy._name) == pytest.approx(time.time(), abs=60)
    assert value(document, took._name + "_count", step="decorated") == 2
    assert value(document, took._name + "_count", step="block") == 2
    assert 0 <= value(document, last._name) < 0.5


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: Counter("9bad", "x"), "invalid metric name 9bad"),
        (lambda: Counter("", "x"), "invalid metric name"),
        (lambda: Counter("vrk_mine", "x"), "vrk_mine_total"),
        (lambda: Counter(fresh("c"), "x", ["__reserved"]), "invalid label name __reserved"),
        (lambda: Counter(fresh("c"), "x", ["a", "a"]), "duplicate label name a"),
        (lambda: Counter(fresh("c"), "x", ["bad-name"]), "invalid label name bad-name"),
        (lambda: Histogram(fresh("h"), "x", ["le"]), "le is the label"),
        (lambda: Histogram(fresh("h"), "x", buckets=(1, 0.5)), "strictly increasing"),
        (lambda: Histogram(fresh("h"), "x", buckets=(float("inf"), 1)), "only the last"),
        (lambda: Histogram(fresh("h"), "x", buckets=()), "1 to 64 finite buckets"),
        (lambda: Gauge(fresh("g"), "x", ["worker"]), "worker is the label"),
        (lambda: Gauge(fresh("g"), "x", multiprocess_mode="median"), "multiprocess_mode"),
        (lambda: Counter(fresh("c"), "x", [f"l{i}" for i in range(17)]), "at most 16"),
        (lambda: Gauge(fresh("g"), "x", unit="bad-unit"), "the unit"),
    ],
)
def test_declarations_the_formats_refuse_raise_naming_the_metric(make, message) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(ValueError, match=message):
        make()


def test_names_whose_samples_would_clash_are_refused() -> None:
    """prometheus_client's registry refuses them too: one document would hold two families
    of one name, or two series of one sample name."""
    counter = fresh("clash")
    Counter(counter, "x")
    with pytest.raises(ValueError, match=f"the name {counter} is taken by the samples of metric {counter}_total"):  # fmt: skip
        Gauge(counter, "x")
    histogram = fresh("clash")
    Histogram(histogram, "x")
    for suffix in ("_bucket", "_count", "_sum"):
        with pytest.raises(ValueError, match=f"taken by the samples of metric {histogram}$"):
            Gauge(histogram + suffix, "x")
    with pytest.raises(ValueError, match=f"taken by the samples of metric {histogram}$"):
        Counter(histogram + "_count", "x")
    Gauge(histogram + "_counted", "x")  # a longer name is no sample of it


def test_misuse_of_labels_and_values_raises() -> None:
    name = fresh("orders")
    orders = Counter(name, "Orders", ["kind", "region"])
    with pytest.raises(ValueError, match="registered already"):
        Counter(name, "Orders again")
    with pytest.raises(ValueError, match=f"{name}_total has the labels"):
        orders.labels("only-one")
    with pytest.raises(ValueError, match="not both"):
        orders.labels("a", region="b")
    with pytest.raises(ValueError, match="has the labels"):
        orders.labels(kind="a", place="b")
    with pytest.raises(ValueError, match="choose a series with labels"):
        orders.inc()
    with pytest.raises(ValueError, match="UTF-8"):
        orders.labels("\ud800", "b")
    with pytest.raises(ValueError, match="at most 1024 bytes"):
        orders.labels("x" * 1025, "b")
    with pytest.raises(ValueError, match="non-negative"):
        orders.labels("a", "b").inc(-1)
    unlabelled = Counter(fresh("plain"), "Plain")
    with pytest.raises(ValueError, match="has no labels"):
        unlabelled.labels("x")
    # Values that are not text count by their str(), as prometheus_client does.
    assert orders.labels(1, None) is orders.labels("1", "None")


def test_label_sets_past_the_cap_go_to_one_overflow_series_with_one_warning(
    caplog: pytest.LogCaptureFixture,
) -> None:
    users = Counter(fresh("users"), "Users", ["user"])
    with caplog.at_level(logging.WARNING, logger="vornik"):
        for i in range(1005):
            users.labels(str(i)).inc()
    warnings = [r.getMessage() for r in caplog.records if users._name in r.getMessage()]
    assert len(warnings) == 1 and "<overflow>" in warnings[0]
    assert users.labels("1004") is users.labels("2000")  # the overflow series
    counts = by_label(_routes.metrics_document(), users._name, "user")
    assert len(counts) == 1001 and counts["<overflow>"] == 5
    assert sum(counts.values()) == 1005


def test_threads_of_one_process_count_exactly() -> None:
    hits = Counter(fresh("hits"), "Hits", ["thread"])
    seen = Histogram(fresh("seen"), "Seen", buckets=(1,))

    def work(index: int) -> None:
        child = hits.labels(str(index % 2))
        for _ in range(20000):
            child.inc()
            seen.observe(0.5)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    document = _routes.metrics_document()
    assert by_label(document, hits._name, "thread") == {"0": 40000, "1": 40000}
    assert value(document, seen._name + "_count") == 80000


# ---- Worker processes ----------------------------------------------------------------------

WORKER = """
    import sys, threading
    from vornik import _routes
    from vornik.metrics import Counter, Histogram
    jobs = Counter("stress_jobs", "Jobs", ["queue"])
    took = Histogram("stress_seconds", "Durations", buckets=(0.1, 1.0))
    def work():
        for i in range(int(sys.argv[1])):
            jobs.labels("q%d" % (i % 3)).inc()
            took.observe(0.5)
    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads: thread.start()
    print("started", flush=True)
    for thread in threads: thread.join()
    print("done", flush=True)
    sys.stdin.read()
    """


def stress_totals(shard_dir: Path) -> tuple[float, float]:
    document = _routes.metrics_document()
    return (
        sum(by_label(document, "stress_jobs_total", "queue").values()),
        value(document, "stress_seconds_count"),
    )


def test_workers_that_exit_or_are_killed_leave_exact_totals_that_never_go_back(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    # Six workers with two threads each; three are killed, three exit; then a round of
    # workers killed while they count, whose totals are only bounded.
    _core.set_multiproc_dir(str(tmp_path))
    workers = [start_python(WORKER, tmp_path, "3000") for _ in range(6)]
    helpers.extend(workers)
    for worker in workers:
        # Both lines may come in one read, which select() would then not see again.
        assert read_line(worker) == "started\n"
        assert worker.stdout.readline() == "done\n"  # type: ignore[union-attr]
    assert stress_totals(tmp_path) == (36000, 36000)
    for worker in workers[:3]:
        worker.send_signal(signal.SIGKILL)
        worker.wait(timeout=60)  # a zombie's pid still exists
    for worker in workers[3:]:
        worker.communicate(timeout=60)
    assert wait_gone([w.pid for w in workers]) == []
    assert stress_totals(tmp_path) == (36000, 36000)  # this merge folds them
    assert not list(tmp_path.glob("vrk-*.appmetrics"))
    assert list(tmp_path.glob("vrk-appmetrics.*.retained"))
    reader = _routes.directory_document(str(tmp_path))
    assert sum(by_label(reader, "stress_jobs_total", "queue").values()) == 36000
    assert stress_totals(tmp_path) == (36000, 36000)

    racing = [start_python(WORKER, tmp_path, "200000") for _ in range(3)]
    helpers.extend(racing)
    for worker in racing:
        assert read_line(worker) == "started\n"
    last = stress_totals(tmp_path)
    for worker in racing:
        worker.send_signal(signal.SIGKILL)
        worker.wait(timeout=60)
        now = stress_totals(tmp_path)
        assert now[0] >= last[0] and now[1] >= last[1]
        last = now
    assert wait_gone([w.pid for w in racing]) == []
    final = stress_totals(tmp_path)
    assert 36000 < final[0] <= 36000 + 3 * 400000 and final >= last
    assert stress_totals(tmp_path) == final


FORKING = """
    import os, sys
    from vornik.metrics import Counter
    forks = Counter("forked_jobs", "Jobs")
    forks.inc(5)
    child = os.fork()
    if child == 0:
        forks.inc(3)
        os._exit(0)
    os.waitpid(child, 0)
    forks.inc()
    print("done", flush=True)
    """


def test_a_forked_child_counts_into_a_file_of_its_own(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    parent = start_python(FORKING, tmp_path)
    helpers.append(parent)
    assert read_line(parent) == "done\n"
    parent.communicate(timeout=60)
    assert value(_routes.metrics_document(), "forked_jobs_total") == 9


GAUGES = """
    import sys
    from vornik.metrics import Gauge, MULTIPROCESS_MODES
    gauges = [Gauge("mode_" + mode, mode, ["kind"], multiprocess_mode=mode)
              for mode in MULTIPROCESS_MODES]
    for gauge in gauges:
        gauge.labels("x").set(float(sys.argv[1]))  # claims the worker's slot
    print("done", flush=True)
    sys.stdin.read()
    """


def gauge_values(document: str) -> dict[str, dict[str, float] | float]:
    found: dict[str, dict[str, float] | float] = {}
    for mode in ("all", "liveall"):
        found[mode] = by_label(document, "mode_" + mode, "worker")
    for mode in ("min", "livemin", "max", "livemax", "sum", "livesum", "mostrecent",
                 "livemostrecent"):  # fmt: skip
        found[mode] = value(document, "mode_" + mode, kind="x")
    return found


def test_gauge_modes_treat_gone_workers_as_prometheus_client_documents(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    workers = []
    for number in (10, 30, 20):  # set in this order: 20 is the most recent
        worker = start_python(GAUGES, tmp_path, str(number))
        helpers.append(worker)
        assert read_line(worker) == "done\n"
        workers.append(worker)
    slots = {pid: str(slot) for slot, pid, _ in _routes.read_directory(str(tmp_path))[1]}
    ten, thirty, twenty = (slots[w.pid] for w in workers)
    assert gauge_values(_routes.metrics_document())["all"] == {ten: 10, thirty: 30, twenty: 20}

    workers[2].send_signal(signal.SIGKILL)  # the most recent value's worker
    workers[2].wait(timeout=60)
    workers[1].communicate(timeout=60)  # and the largest one's
    assert wait_gone([workers[1].pid, workers[2].pid]) == []
    expected = {
        "all": {ten: 10, thirty: 30, twenty: 20},
        "liveall": {ten: 10},
        "min": 10, "livemin": 10,
        "max": 30, "livemax": 10,
        "sum": 60, "livesum": 10,
        "mostrecent": 20, "livemostrecent": 10,
    }  # fmt: skip
    assert gauge_values(_routes.metrics_document()) == expected  # this merge folds
    assert len(list(tmp_path.glob("vrk-*.appmetrics"))) == 1
    assert gauge_values(_routes.metrics_document()) == expected  # from retained totals
    # A reader that is none of the workers (the exporter) sees the same.
    assert gauge_values(_routes.directory_document(str(tmp_path))) == expected

    # A new worker takes a gone worker's slot: its live value is the slot's.
    newcomer = start_python(GAUGES, tmp_path, "5")
    helpers.append(newcomer)
    assert read_line(newcomer) == "done\n"
    slot = {pid: str(s) for s, pid, _ in _routes.read_directory(str(tmp_path))[1]}[newcomer.pid]
    assert slot in (thirty, twenty)
    found = gauge_values(_routes.metrics_document())
    assert found["all"] == {**expected["all"], slot: 5}  # type: ignore[dict-item]
    assert found["liveall"] == {ten: 10, slot: 5}
    assert (found["min"], found["max"], found["sum"], found["mostrecent"]) == (5, 30, 65, 5)


DECLARING = """
    import sys
    from vornik.metrics import Histogram
    Histogram("declared_seconds", "Durations", buckets=[float(b) for b in sys.argv[1:]]).observe(0.5)
    print("done", flush=True)
    sys.stdin.read()
    """


def test_workers_declaring_a_name_differently_are_not_added_together(
    tmp_path: Path, helpers: list[subprocess.Popen[str]], caplog: pytest.LogCaptureFixture
) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    for bounds in (["1"], ["1"], ["0.1", "1"]):
        worker = start_python(DECLARING, tmp_path, *bounds)
        helpers.append(worker)
        assert read_line(worker) == "done\n"
    with caplog.at_level(logging.WARNING, logger="vornik"):
        documents = [_routes.metrics_document() for _ in range(2)]
    warnings = [r.getMessage() for r in caplog.records if "declared_seconds" in r.getMessage()]
    assert len(warnings) == 1 and "more than one way" in warnings[0]
    buckets = {
        dict(labels)["le"]: number
        for (name, labels), number in samples(documents[1]).items()
        if name == "declared_seconds_bucket"
    }
    # One declaration shown, its workers' counts alone: never 3.
    assert buckets in ({"1.0": 2, "+Inf": 2}, {"0.1": 0, "1.0": 1, "+Inf": 1})


CLASHING = """
    import sys
    from vornik.metrics import Counter, Gauge
    if sys.argv[1] == "counter":
        Counter("clashing", "Counted").inc(4)
    else:
        Gauge("clashing", "Gauged", multiprocess_mode="max").set(7)
    print("done", flush=True)
    sys.stdin.read()
    """


def test_workers_whose_metrics_clash_leave_a_document_prometheus_reads(
    tmp_path: Path, helpers: list[subprocess.Popen[str]], caplog: pytest.LogCaptureFixture
) -> None:
    """Workers of two versions of an application, one with a counter `clashing`, the other
    with a gauge of that name: one family is shown, and the clash is said once."""
    for kind in ("counter", "gauge", "counter"):
        worker = start_python(CLASHING, tmp_path, kind)
        helpers.append(worker)
        assert read_line(worker) == "done\n"
    with caplog.at_level(logging.WARNING, logger="vornik"):
        documents = [_routes.directory_document(str(tmp_path), openmetrics=True) for _ in range(2)]
    # A reader with no metrics of its own shows the first by name: clashing < clashing_total.
    shown = samples(documents[1], openmetrics=True)
    assert shown[("clashing", ())] == 7 and ("clashing_total", ()) not in shown
    assert [r.getMessage() for r in caplog.records if "clashing" in r.getMessage()] == [
        f"vornik: workers in {tmp_path} declare the metric clashing_total in more than one "
        "way (type, labels, buckets, unit or gauge mode); they are not added together: one "
        "declaration is shown, this process's when it has the metric"
    ]


SLOT_GAUGE_FORKS = """
    import os, sys, time
    from vornik.metrics import Gauge
    jobs = Gauge("forked_job", "The job of each forked worker", multiprocess_mode=sys.argv[1])
    jobs.set(1)  # the parent takes a worker slot
    children = []
    for value in (10, 20, 30):
        child = os.fork()
        if child == 0:
            jobs.set(value)  # never a request: no record claims the child's slot
            sys.stdin.read()
            os._exit(0)
        children.append(child)
    time.sleep(0.2)
    print("done", flush=True)
    sys.stdin.read()
    for child in children:
        os.waitpid(child, 0)
    """


@pytest.mark.parametrize("mode", ["all", "liveall"])
def test_forked_children_show_their_gauges_under_slots_of_their_own(
    tmp_path: Path, helpers: list[subprocess.Popen[str]], mode: str
) -> None:
    parent = start_python(SLOT_GAUGE_FORKS, tmp_path, mode)
    helpers.append(parent)
    assert read_line(parent) == "done\n"
    shown = by_label(_routes.directory_document(str(tmp_path)), "forked_job", "worker")
    assert sorted(shown.values()) == [1, 10, 20, 30] and len(shown) == 4
    parent.communicate(timeout=60)


def test_values_counted_before_a_directory_is_set_are_kept(tmp_path: Path) -> None:
    out = run_python(
        f"""
        from vornik import _core, _routes
        from vornik.metrics import Counter, Gauge
        orders, info = Counter("early_orders", "x"), Gauge("early_info", "x", multiprocess_mode="max")
        orders.inc(5)
        info.set(42)
        _core.set_multiproc_dir({str(tmp_path)!r})
        orders.inc()
        print(_routes.directory_document({str(tmp_path)!r}))
        """
    )
    assert (value(out, "early_orders_total"), value(out, "early_info")) == (6, 42)


def test_a_directory_of_another_format_version_is_skipped(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    forged = bytearray(os.urandom(64 * 1024))
    forged[0:8] = (0x00024D50414B5256).to_bytes(8, "little")  # version 2
    (tmp_path / "vrk-1.appmetrics").write_bytes(bytes(forged))
    (tmp_path / "vrk-2.appmetrics").write_bytes(os.urandom(600 * 1024))
    kept = Counter(fresh("kept"), "Kept")
    kept.inc(2)
    assert value(_routes.metrics_document(), kept._name) == 2


def test_a_wiped_directory_gets_a_fresh_file_at_the_next_check(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    healed = Counter(fresh("healed"), "Healed")
    healed.inc(3)
    [file] = tmp_path.glob("vrk-*.appmetrics")
    # A master that declares metrics before it forks is no worker: it takes no slot.
    assert _routes.read_directory(str(tmp_path))[1] == []
    file.unlink()
    # The shard writer's once-a-second check, which a request starts, moves the second
    # that the metrics file follows: in the next second, whatever came before.
    time.sleep(1.01 - time.time() % 1)
    _routes.record_request("GET", "/", 200, 1.0, "/")
    healed.inc()
    assert len(list(tmp_path.glob("vrk-*.appmetrics"))) == 1
    assert value(_routes.metrics_document(), healed._name) == 1  # the wiped counts are gone


@pytest.mark.skipif(shutil.which("promtool") is None, reason="promtool is not installed")
def test_promtool_finds_nothing_in_the_application_families() -> None:
    names = [
        Counter(fresh("lint_requests"), "Requests", ["kind"])._name,
        Gauge(fresh("lint_temperature"), "Temperature", unit="celsius")._name,
        Histogram(fresh("lint_duration"), "Duration", unit="seconds")._name,
    ]
    checked = subprocess.run(
        ["promtool", "check", "metrics"],
        input=_routes.metrics_document(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    complaints = (checked.stdout + checked.stderr).splitlines()
    assert not [line for line in complaints if not line.startswith("vrk_")], complaints
    assert all(name.removesuffix("_total") not in checked.stdout for name in names)


# ---- prometheus_client, both ways ----------------------------------------------------------


def test_a_prometheus_client_registry_joins_the_answer_and_vornik_joins_a_registry() -> None:
    mine = Counter(fresh("bridged"), "Bridged")
    mine.inc(4)
    registry = CollectorRegistry()
    ClientCounter("legacy_events", "Events", registry=registry).inc(7)
    registry.register(VornikCollector())  # serving vornik from the registry it includes
    include_registry(registry)
    try:
        for accept, om in (("text/plain", False), ("application/openmetrics-text", True)):
            body = metrics_answer("GET", {"accept": accept}).body.decode()
            found = samples(body, om)
            assert found[("legacy_events_total", ())] == 7
            assert found[(mine._name, ())] == 4
            assert body.count("# EOF") == (1 if om else 0)
    finally:
        from vornik import metrics

        metrics._INCLUDED.remove(registry)

    served = CollectorRegistry()
    served.register(VornikCollector())
    found = samples(generate_latest(served).decode())
    assert found[(mine._name, ())] == 4
    assert ("vrk_requests_total", ()) in found
