"""Every worker in view: slots the next worker reuses, and the per-worker families."""

from __future__ import annotations

import asyncio
import gc
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any
from wsgiref.util import setup_testing_defaults

import psutil
import pytest
from support import NOBODY, RequestingWorker, read_line, run_python, start_python
from vornik import _core, _routes, workers
from vornik.workers import Directory
from vornik.wsgi import MetricsMiddleware

CLAIMER = """
from vornik import workers
workers.register()
print("ready", flush=True)
input()
"""


def claimer(directory: Path, helpers: list[subprocess.Popen[str]]) -> subprocess.Popen[str]:
    """A process that holds a slot of `directory` until its stdin closes."""
    process = start_python(CLAIMER, directory)
    helpers.append(process)
    assert read_line(process) == "ready\n"
    return process


def slots(directory: Path) -> dict[int, int]:
    with Directory(str(directory)) as opened:
        return opened.slots()


def test_workers_take_the_lowest_free_slot_and_a_dead_ones_is_reused(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    first, second, third = (claimer(tmp_path, helpers) for _ in range(3))
    assert slots(tmp_path) == {0: first.pid, 1: second.pid, 2: third.pid}
    second.send_signal(signal.SIGKILL)
    second.wait()
    assert slots(tmp_path) == {0: first.pid, 2: third.pid}  # nobody holds its lock any more
    fourth = claimer(tmp_path, helpers)
    assert slots(tmp_path) == {0: first.pid, 1: fourth.pid, 2: third.pid}
    slot_files = sorted(name for name in os.listdir(tmp_path) if name.endswith(".slot"))
    assert slot_files == [f"vrk-worker-{n}.slot" for n in range(3)]


@pytest.mark.parametrize("claim", ["workers.register()", "request(); request()"])
def test_a_forked_child_takes_a_slot_of_its_own(tmp_path: Path, claim: str) -> None:
    out = run_python(
        f"""
        import json, os
        from vornik import _core, _routes, workers
        from vornik.workers import Directory
        from vornik.wsgi import MetricsMiddleware
        def held():
            with Directory({str(tmp_path)!r}) as d:
                return sorted(d.slots().items())
        def app(environ, start_response):
            start_response("200 OK", [])
            return [b""]
        def request():
            # The WSGI middleware claims at the first request of each process.
            MetricsMiddleware(app)({{"PATH_INFO": "/"}}, lambda *args: None).close()
        _core.set_multiproc_dir({str(tmp_path)!r})
        {claim}
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            {claim}
            os.write(write, json.dumps(held()).encode())
            os._exit(0)
        os.waitpid(child, 0)
        both = json.loads(os.read(read, 1000))
        print(json.dumps([os.getpid(), child, both, held()]))
        """
    )
    parent, child, both, after = json.loads(out)
    assert both == [[0, parent], [1, child]]
    # The child closed its copy of the parent's descriptor: the parent's lock stays.
    assert after == [[0, parent]]


def test_readers_never_keep_a_worker_from_its_slot(tmp_path: Path) -> None:
    stop = threading.Event()
    reads = 0

    def read() -> None:
        nonlocal reads
        while not stop.is_set():
            slots(tmp_path)
            reads += 1

    reader = threading.Thread(target=read)
    reader.start()
    try:
        probe = f"""
            from vornik import _core, _routes, workers
            from vornik.workers import Directory
            _core.set_multiproc_dir({str(tmp_path)!r})
            workers.register()
            with Directory({str(tmp_path)!r}) as d:
                print(d.slots())
            """
        held = [run_python(probe).strip() for _ in range(8)]
    finally:
        stop.set()
        reader.join()
    assert reads > 8
    assert all(re.fullmatch(r"\{0: \d+\}", line) for line in held), held


def test_planted_files_are_neither_taken_nor_listed(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    target = tmp_path / "target"
    target.write_text("12345")
    os.symlink(target, tmp_path / "vrk-worker-0.slot")
    os.link(target, tmp_path / "vrk-worker-1.slot")
    os.mkfifo(tmp_path / "vrk-worker-2.slot")
    (tmp_path / "vrk-worker-3.slot").mkdir()
    process = claimer(tmp_path, helpers)
    assert slots(tmp_path) == {4: process.pid}
    assert target.read_text() == "12345"
    # A name that is not how slots are written is not one.
    os.rename(tmp_path / "vrk-worker-4.slot", tmp_path / "vrk-worker-04.slot")
    assert slots(tmp_path) == {}


def test_families_describe_each_live_worker(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    other = claimer(tmp_path, helpers)
    out = run_python(
        f"""
        from vornik import _core, _routes, workers
        _core.set_multiproc_dir({str(tmp_path)!r})
        for status in (200, 404, 500):
            _core.record_request("GET", "/", status, 2.0)
        print(workers.metrics_text(), end="")
        """
    )
    # The claimer recorded nothing, the probe three requests.
    expected = re.escape(
        "# HELP vrk_workers Number of live worker processes of the shard directory\n"
        "# TYPE vrk_workers gauge\n"
        "vrk_workers 2\n\n"
        "# HELP vrk_worker_cpu_seconds_total User and system CPU time of each live worker\n"
        "# TYPE vrk_worker_cpu_seconds_total counter\n"
        'vrk_worker_cpu_seconds_total{worker="0"} @CPU@\n'
        'vrk_worker_cpu_seconds_total{worker="1"} @CPU@\n\n'
        "# HELP vrk_worker_memory_rss_bytes Resident memory of each live worker in bytes\n"
        "# TYPE vrk_worker_memory_rss_bytes gauge\n"
        'vrk_worker_memory_rss_bytes{worker="0"} @RSS@\n'
        'vrk_worker_memory_rss_bytes{worker="1"} @RSS@\n\n'
        "# HELP vrk_worker_threads Number of threads of each live worker\n"
        "# TYPE vrk_worker_threads gauge\n"
        'vrk_worker_threads{worker="0"} 1\n'
        'vrk_worker_threads{worker="1"} 1\n\n'
        "# HELP vrk_worker_requests_total HTTP requests recorded by each live worker\n"
        "# TYPE vrk_worker_requests_total counter\n"
        'vrk_worker_requests_total{worker="0"} 0\n'
        'vrk_worker_requests_total{worker="1"} 3\n\n'
        "# HELP vrk_worker_requests_in_flight HTTP requests each live worker has started and "
        "not finished\n"
        "# TYPE vrk_worker_requests_in_flight gauge\n"
        'vrk_worker_requests_in_flight{worker="0"} 0\n'
        'vrk_worker_requests_in_flight{worker="1"} 0\n\n'
        "# HELP vrk_worker_busy_seconds_total Wall time during which each live worker had at "
        "least one HTTP request in flight\n"
        "# TYPE vrk_worker_busy_seconds_total counter\n"
        'vrk_worker_busy_seconds_total{worker="0"} 0.0\n'
        'vrk_worker_busy_seconds_total{worker="1"} 0.0\n\n'
        "# HELP vrk_worker_gc_seconds_total Time each live worker spent in the cyclic garbage "
        "collector\n"
        "# TYPE vrk_worker_gc_seconds_total counter\n"
        'vrk_worker_gc_seconds_total{worker="0"} 0.0\n'
        'vrk_worker_gc_seconds_total{worker="1"} 0.0\n\n'
        "# HELP vrk_worker_open_fds Number of open file descriptors of each live worker\n"
        "# TYPE vrk_worker_open_fds gauge\n"
        'vrk_worker_open_fds{worker="0"} @FDS@\n'
        'vrk_worker_open_fds{worker="1"} @FDS@\n\n'
        "# HELP vrk_worker_start_time_seconds Start time of each live worker since the Unix "
        "epoch in seconds\n"
        "# TYPE vrk_worker_start_time_seconds gauge\n"
        'vrk_worker_start_time_seconds{worker="0"} @START@\n'
        'vrk_worker_start_time_seconds{worker="1"} @START@\n\n'
    )
    pattern = (
        expected.replace("@CPU@", r"(\d+\.\d+)")
        .replace("@RSS@", r"(\d+)")
        .replace("@FDS@", r"(\d+)")
        .replace("@START@", r"(\d+\.\d+)")
    )
    match = re.fullmatch(pattern, out)
    assert match, out
    held_by = psutil.Process(other.pid)
    assert abs(int(match.group(3)) - held_by.memory_info().rss) < 1 << 20
    assert float(match.group(1)) == pytest.approx(sum(held_by.cpu_times()[:2]), abs=0.02)
    # The one /proc parser agrees with psutil's on another process's descriptors and start.
    assert int(match.group(5)) == held_by.num_fds()
    assert float(match.group(7)) == pytest.approx(held_by.create_time(), abs=0.02)


def test_without_a_directory_there_is_nothing_to_add(tmp_path: Path) -> None:
    assert workers.metrics_text() == ""
    with pytest.raises(FileNotFoundError):
        Directory(str(tmp_path / "absent"))
    out = run_python(
        """
        from vornik import _core, _routes, workers
        workers.register()
        print(repr(workers.metrics_text()), _core.multiproc_enabled())
        """,
        env={"VRK_MULTIPROC_DIR": ""},
    )
    assert out.split() == ["''", "False"]


def test_middleware_serves_the_families_after_the_core_document(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))

    def app(environ: dict[str, object], start_response: object) -> list[bytes]:
        start_response("200 OK", [])  # type: ignore[operator]
        return [b"ok"]

    def get(path: str) -> bytes:
        environ: dict[str, object] = {"PATH_INFO": path}
        setup_testing_defaults(environ)
        response = middleware(environ, lambda *args: None)  # type: ignore[arg-type]
        try:
            return b"".join(response)
        finally:
            getattr(response, "close", lambda: None)()

    middleware = MetricsMiddleware(app)  # type: ignore[arg-type]
    get("/page")
    document = get("/metrics").decode()
    core, families = document.split("# HELP vrk_workers", 1)
    # The core's thirteen families and the two route families come first.
    assert core.count("# HELP") == 15 and core.endswith("\n\n")
    assert "\nvrk_workers 1\n" in families
    assert 'vrk_worker_requests_total{worker="0"} 1\n' in families
    assert slots(tmp_path) == {0: os.getpid()}
    _core.set_multiproc_dir(None)
    assert workers.metrics_text() == ""  # and the slot is given back
    assert slots(tmp_path) == {}


def test_slots_planted_by_another_user_cost_no_worker_its_place(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    if os.geteuid() != 0:
        pytest.skip("planting files of another user needs root")
    tmp_path.chmod(0o777)  # a directory other users may write into, as /tmp is
    for n in range(4096):
        planted = tmp_path / f"vrk-worker-{n}.slot"
        planted.write_text("1".ljust(16))
        os.chown(planted, NOBODY, NOBODY)
    process = claimer(tmp_path, helpers)
    assert slots(tmp_path) == {4096: process.pid}
    out = run_python(
        f"""
        from vornik import _core, _routes, workers
        _core.set_multiproc_dir({str(tmp_path)!r})
        print(workers.metrics_text())
        """
    )
    assert "\nvrk_workers 2\n" in out


def test_a_live_worker_returns_to_view_after_the_directory_is_emptied(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    worker = RequestingWorker(tmp_path, helpers)
    worker.requests()
    assert slots(tmp_path) == {0: worker.pid}
    for path in tmp_path.iterdir():
        path.unlink()
    assert slots(tmp_path) == {}
    time.sleep(1.1)  # the files are checked once a second, at a request
    worker.requests()
    assert slots(tmp_path) == {0: worker.pid}
    # A worker started now takes another slot, not the returning worker's.
    newcomer = claimer(tmp_path, helpers)
    assert slots(tmp_path) == {0: worker.pid, 1: newcomer.pid}


# --- what each worker is doing: requests in flight, busy time, GC time ----------------


def activity(directory: Path) -> dict[int, workers.Activity]:
    with Directory(str(directory)) as opened:
        return opened.activity()


def in_flight(directory: Path) -> int:
    return activity(directory)[os.getpid()].in_flight


def wsgi_app(environ: dict[str, object], start_response: Callable[..., object]) -> list[bytes]:
    if environ["PATH_INFO"] == "/raise":
        raise RuntimeError("the application failed")
    start_response("200 OK", [])
    return [b"body"]


def test_a_wsgi_request_is_in_flight_from_the_call_until_the_server_closes_it(
    tmp_path: Path,
) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    middleware = MetricsMiddleware(wsgi_app)
    environ: dict[str, object] = {"PATH_INFO": "/"}
    setup_testing_defaults(environ)
    first = middleware(dict(environ), lambda *args: None)
    # Its first request claimed the worker's slot, which shows it already.
    assert in_flight(tmp_path) == 1
    second = middleware(dict(environ), lambda *args: None)
    assert b"".join(first) == b"body" and in_flight(tmp_path) == 2  # sent, not yet closed
    first.close()  # type: ignore[attr-defined]
    assert in_flight(tmp_path) == 1
    del second  # a server that drops a response without closing it
    gc.collect()
    assert in_flight(tmp_path) == 0
    with pytest.raises(RuntimeError):
        middleware(dict(environ, PATH_INFO="/raise"), lambda *args: None)
    assert in_flight(tmp_path) == 0
    # The scrape itself is no request of the application.
    answer = middleware(dict(environ, PATH_INFO="/metrics"), lambda *args: None)
    assert b'vrk_worker_requests_in_flight{worker="0"} 0\n' in b"".join(answer)
    # Recorded: the closed one and the failed one; a dropped response records nothing.
    assert _core.aggregate().total_requests == 2


def test_an_asgi_request_is_in_flight_until_its_last_body_message(tmp_path: Path) -> None:
    from vornik.asgi import MetricsMiddleware as AsgiMiddleware

    _core.set_multiproc_dir(str(tmp_path))
    seen: list[int] = []

    async def app(scope: object, receive: object, send: Callable[..., Any]) -> None:
        seen.append(in_flight(tmp_path))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"a", "more_body": True})
        seen.append(in_flight(tmp_path))
        await send({"type": "http.response.body", "body": b"b"})

    async def send(message: dict[str, object]) -> None:
        if message.get("body") == b"b":
            seen.append(in_flight(tmp_path))  # the server has the last message

    async def receive() -> dict[str, object]:
        return {"type": "http.request"}

    async def failing(scope: object, receive: object, send: object) -> None:
        raise RuntimeError("the application failed")

    scope = {"type": "http", "method": "GET", "path": "/"}
    asyncio.run(AsgiMiddleware(app)(scope, receive, send))
    assert seen == [1, 1, 1] and in_flight(tmp_path) == 0
    with pytest.raises(RuntimeError):
        asyncio.run(AsgiMiddleware(failing)(scope, receive, send))
    assert in_flight(tmp_path) == 0


def test_the_cyclic_collector_counts_in_the_worker_slot(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    MetricsMiddleware(wsgi_app)
    MetricsMiddleware(wsgi_app)
    assert gc.callbacks.count(_routes.gc_phase) == 1  # once per process
    workers.register()
    before = activity(tmp_path)[os.getpid()].gc_seconds
    garbage = []
    for _ in range(20):
        cycle: list[object] = [list(range(10_000))]
        cycle.append(cycle)
        garbage.append(cycle)
    del garbage, cycle
    started = time.perf_counter()
    gc.collect()
    spent = time.perf_counter() - started
    after = activity(tmp_path)[os.getpid()].gc_seconds
    assert 0 < after - before <= spent
    # A phase that is neither start nor stop is none of its business.
    _routes.gc_phase("other", {})
    assert activity(tmp_path)[os.getpid()].gc_seconds == after


STARTED = """
from vornik import _routes
_routes.request_started()
_routes.request_started()
print("started", flush=True)
input()
"""


def test_a_worker_that_dies_mid_request_takes_its_figures_along(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    dying = start_python(STARTED, tmp_path)
    helpers.append(dying)
    assert read_line(dying) == "started\n"
    time.sleep(0.05)
    assert activity(tmp_path)[dying.pid].in_flight == 2
    assert activity(tmp_path)[dying.pid].busy_seconds > 0
    dying.kill()
    dying.wait()
    assert activity(tmp_path) == {} and slots(tmp_path) == {}
    # Its successor under the slot starts from nothing: a reset, as for every counter.
    successor = claimer(tmp_path, helpers)
    assert slots(tmp_path) == {0: successor.pid}
    assert activity(tmp_path)[successor.pid] == workers.Activity(0, 0.0, 0.0)


def test_a_forked_child_counts_apart_from_its_parent(tmp_path: Path) -> None:
    out = run_python(
        f"""
        import json, os
        from vornik import _core, _routes
        from vornik.workers import Directory
        def doing():
            with Directory({str(tmp_path)!r}) as d:
                return {{pid: a.in_flight for pid, a in d.activity().items()}}
        _core.set_multiproc_dir({str(tmp_path)!r})
        _routes.request_started()  # in flight in the parent while it forks
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            _routes.request_finished("GET", "/", 200, 1.0, "/")  # none of the child's
            _routes.request_started()
            _routes.request_started()
            os.write(write, json.dumps(doing()).encode())
            os._exit(0)
        os.waitpid(child, 0)
        print(json.dumps([os.getpid(), child, json.loads(os.read(read, 1000))]))
        """
    )
    parent, child, seen = json.loads(out)
    assert seen == {str(parent): 1, str(child): 2}


def test_a_slot_written_by_an_older_version_is_listed_without_figures(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    # A holder that writes its pid alone, 16 bytes, under its lock.
    old = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                f"""
                import fcntl, os, struct
                fd = os.open({str(tmp_path / "vrk-worker-0.slot")!r}, os.O_RDWR | os.O_CREAT, 0o644)
                fcntl.fcntl(fd, 37, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
                os.pwrite(fd, str(os.getpid()).ljust(16).encode(), 0)
                print("ready", flush=True)
                input()
                """
            ),
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    helpers.append(old)
    assert read_line(old) == "ready\n"
    assert slots(tmp_path) == {0: old.pid} and activity(tmp_path) == {}
    out = run_python(
        f"""
        from vornik import _core, _routes, workers
        _core.set_multiproc_dir({str(tmp_path)!r})
        print(workers.metrics_text(), end="")
        """
    )
    assert 'vrk_worker_threads{worker="0"} 1\n' in out
    assert 'vrk_worker_requests_in_flight{worker="1"} 0\n' in out
    assert 'vrk_worker_requests_in_flight{worker="0"}' not in out
    assert 'vrk_worker_busy_seconds_total{worker="0"}' not in out
