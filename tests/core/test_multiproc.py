"""Shard files: the writer's file, the shared directory, and merging live workers."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from support import Totals, dead_pid, read_shard, run_python, shard_bytes
from vornik import _core

MAX_U64 = 2**64 - 1


@pytest.fixture
def live_pids() -> Iterator[list[int]]:
    """Pids of idle child processes that stay alive for the test."""
    children = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]) for _ in range(3)]
    yield [child.pid for child in children]
    for child in children:
        child.kill()
        child.wait()


def own_shard(directory: Path) -> Path:
    return directory / f"vrk-{os.getpid()}.shard"


# --- the writer -------------------------------------------------------------------


def test_writer_creates_and_fills_its_shard(tmp_path: Path) -> None:
    directory = tmp_path / "a" / "b"
    _core.set_multiproc_dir(str(directory))
    assert _core.multiproc_enabled() and _core.get_multiproc_dir() == str(directory)
    path = own_shard(directory)
    words = read_shard(path)
    assert path.stat().st_size == 176
    assert words[:7] == (1, os.getpid(), 0, 0, 0, MAX_U64, 0)
    assert abs(words[7] - time.time()) < 5 and words[8:] == (0,) * 14

    cases = [
        (200, 1.0, 0, 1000), (200, 1.0000001, 1, 1000), (399, 10000.0, 12, 10_000_000),
        (400, 10000.5, 13, 10_000_500), (599, float("nan"), 13, 0), (200, -3.0, 0, 0),
        (200, 2.5, 2, 2500), (200, 0.0004, 0, 0), (500, float("inf"), 13, MAX_U64),
    ]  # fmt: skip
    expected_buckets = [0] * 14
    for status, duration, bucket, _ in cases:
        _core.record_request("GET", "/", status, duration)
        expected_buckets[bucket] += 1
    words = read_shard(path)
    micros = [us for *_, us in cases]
    assert words[2] == len(cases)
    assert words[3] == 3
    assert words[4] == sum(micros) % 2**64
    assert (words[5], words[6]) == (0, MAX_U64)
    assert list(words[8:]) == expected_buckets


def test_reselecting_the_directory_keeps_counters(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 3.0)
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 3.0)
    assert read_shard(own_shard(tmp_path))[2] == 2


def test_switching_leaves_the_old_shard_frozen(tmp_path: Path) -> None:
    first, second = tmp_path / "one", tmp_path / "two"
    _core.set_multiproc_dir(str(first))
    _core.record_request("GET", "/", 500, 3.0)
    _core.set_multiproc_dir(str(second))
    _core.record_request("GET", "/", 200, 3.0)
    assert read_shard(own_shard(first))[2:4] == (1, 1)
    assert read_shard(own_shard(second))[2:4] == (1, 0)
    _core.set_multiproc_dir(None)
    assert own_shard(second).exists()
    assert not _core.multiproc_enabled() and _core.get_multiproc_dir() is None


def test_leftover_shard_of_this_pid_is_adopted_others_reset(tmp_path: Path) -> None:
    own_shard(tmp_path).write_bytes(shard_bytes(os.getpid(), requests=41, buckets={3: 41}) + b"x" * 24)
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 7.0)
    words = read_shard(own_shard(tmp_path))
    assert own_shard(tmp_path).stat().st_size == 176
    assert (words[2], words[11]) == (42, 42)

    other = tmp_path / "other"
    other.mkdir()
    own_shard(other).write_bytes(shard_bytes(os.getpid() + 1, requests=41))
    _core.set_multiproc_dir(str(other))
    assert read_shard(own_shard(other))[1:3] == (os.getpid(), 0)


def test_failures_switch_aggregation_off(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    blocker = tmp_path / "file"
    blocker.write_text("x")
    _core.set_multiproc_dir(str(blocker / "below"))
    assert not _core.multiproc_enabled()
    _core.set_multiproc_dir(str(tmp_path) + "\0tail")
    assert not _core.multiproc_enabled()
    for blank in ["", "   ", "\t\n", "\u3000\u2028"]:
        _core.set_multiproc_dir(str(tmp_path))
        _core.set_multiproc_dir(blank)
        assert not _core.multiproc_enabled()
    _core.record_request("GET", "/", 200, 1.0)  # still records locally
    assert _core.aggregate().total_requests == 1


def test_writer_refuses_a_planted_link_or_special_file(tmp_path: Path) -> None:
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious" * 100)
    shared = tmp_path / "shared"
    shared.mkdir()
    own_shard(shared).symlink_to(victim)
    _core.set_multiproc_dir(str(shared))
    assert not _core.multiproc_enabled()
    assert victim.read_bytes() == b"precious" * 100

    fifo_dir = tmp_path / "fifo"
    fifo_dir.mkdir()
    os.mkfifo(own_shard(fifo_dir))
    _core.set_multiproc_dir(str(fifo_dir))
    assert not _core.multiproc_enabled()


def test_writer_refuses_a_shard_owned_by_another_user(tmp_path: Path) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to hand a file to another user")
    planted = own_shard(tmp_path)
    planted.write_bytes(shard_bytes(os.getpid()))
    os.chown(planted, 65534, 65534)
    planted.chmod(0o666)
    _core.set_multiproc_dir(str(tmp_path))
    assert not _core.multiproc_enabled()


def test_full_filesystem_disables_instead_of_crashing(tmp_path: Path) -> None:
    mount_point = tmp_path / "tiny"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tmpfs", str(mount_point)],
                             capture_output=True)  # fmt: skip
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    try:
        (mount_point / "fill").write_bytes(b"\0" * 4096)
        out = run_python(
            f"""
            from vornik import _core
            _core.set_multiproc_dir({str(mount_point)!r})
            _core.record_request("GET", "/", 200, 1.0)
            print(_core.multiproc_enabled(), _core.aggregate().total_requests)
            """
        )
        assert out.split() == ["False", "1"]
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


# --- the environment variable -------------------------------------------------------

ENV_PROBE = """
    import os
    from vornik import _core
    print(repr(_core.get_multiproc_dir()), _core.multiproc_enabled())
"""


def test_environment_variable_read_once_and_untrimmed(tmp_path: Path) -> None:
    # Leading blank: a relative path, resolved against the working directory.
    padded = " shards/d "
    out = run_python(ENV_PROBE, env={"VRK_MULTIPROC_DIR": padded}, cwd=str(tmp_path))
    assert out.strip() == f"{padded!r} True"
    assert len(list((tmp_path / padded).glob("vrk-*.shard"))) == 1

    blanks = run_python(ENV_PROBE, env={"VRK_MULTIPROC_DIR": "   "})
    assert blanks.strip() == "None False"

    out = run_python(
        """
        import os
        from vornik import _core
        _core.set_multiproc_dir(None)
        print(_core.multiproc_enabled())
        """,
        env={"VRK_MULTIPROC_DIR": str(tmp_path / "never")},
    )
    assert out.strip() == "False" and not (tmp_path / "never").exists()


def test_environment_variable_first_record_creates_the_shard(tmp_path: Path) -> None:
    out = run_python(
        """
        import os
        from vornik import _core
        _core.record_request("GET", "/", 200, 1.0)
        print(os.getpid(), _core.aggregate().total_requests)
        """,
        env={"VRK_MULTIPROC_DIR": str(tmp_path)},
    )
    pid, total = out.split()
    assert total == "1"
    shard = tmp_path / f"vrk-{pid}.shard"
    assert read_shard(shard)[1:3] == (int(pid), 1)
    _core.set_multiproc_dir(str(tmp_path))
    assert _core.aggregate().total_requests == 0  # that writer has exited
    assert not shard.exists()


# --- merging ------------------------------------------------------------------------


def test_merge_sums_live_shards_and_deletes_dead_ones(tmp_path: Path, live_pids: list[int]) -> None:
    a, b, c = live_pids
    (tmp_path / f"vrk-{a}.shard").write_bytes(
        shard_bytes(a, requests=3, errors=1, latency_sum_us=6000, latency_min_us=1500,
                    latency_max_us=2500, buckets={1: 2, 2: 1}))  # fmt: skip
    (tmp_path / f"vrk-{b}.shard").write_bytes(shard_bytes(b))  # no requests yet
    # The name does not matter: the writer's pid is taken from the file.
    (tmp_path / "vrk-12.shard").write_bytes(
        shard_bytes(c, requests=1, latency_sum_us=MAX_U64 - 10, latency_min_us=MAX_U64 - 10,
                    latency_max_us=MAX_U64 - 10, buckets={13: 1}))  # fmt: skip
    dead = tmp_path / "vrk-99.shard"
    dead.write_bytes(shard_bytes(dead_pid(), requests=1000, errors=1000, buckets={0: 1000}))

    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 0.02)  # our own shard counts like any other
    agg = _core.aggregate()
    assert not dead.exists()
    assert (agg.total_requests, agg.total_errors) == (5, 1)
    assert agg.min_latency_ms == 0.02
    assert agg.max_latency_ms == (MAX_U64 - 10) / 1000.0
    assert agg.avg_latency_ms == MAX_U64 / 5 / 1000.0  # the sum saturated
    assert (tmp_path / f"vrk-{b}.shard").exists()


def test_merge_skips_what_the_format_rejects_and_leaves_it(tmp_path: Path, live_pids: list[int]) -> None:
    pid = live_pids[0]
    valid = shard_bytes(pid, requests=1, latency_sum_us=1000, latency_min_us=1000,
                        latency_max_us=1000, buckets={0: 1})  # fmt: skip
    rejected = {
        "vrk-1.shard.tmp": valid, "VRK-1.shard": valid, "vrk-1.SHARD": valid, "x-vrk-1.shard": valid,
        "vrk-2.shard": valid[:175], "vrk-3.shard": shard_bytes(pid, requests=5, version=2),
        "vrk-4.shard": bytes(176), "vrk-5.shard": shard_bytes(0, requests=5),
        "vrk-6.shard": shard_bytes(2**32 - 1, requests=5), "vrk-7.shard": shard_bytes(2**63, requests=5),
    }  # fmt: skip
    for name, content in rejected.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / b"vrk-\xff.shard".decode("utf-8", "surrogateescape")).write_bytes(valid)
    (tmp_path / "vrk-8.shard").mkdir()
    os.mkfifo(tmp_path / "vrk-9.shard")
    (tmp_path / "elsewhere").write_bytes(valid)
    (tmp_path / "vrk-10.shard").symlink_to(tmp_path / "elsewhere")
    (tmp_path / f"vrk-{pid}.shard").write_bytes(valid + bytes(24))  # long files are fine
    before = sorted(os.listdir(tmp_path))

    _core.set_multiproc_dir(str(tmp_path))
    agg = _core.aggregate()
    assert agg.total_requests == 1
    assert sorted(p for p in os.listdir(tmp_path) if p != f"vrk-{os.getpid()}.shard") == before


def test_foreign_live_pid_is_counted(tmp_path: Path) -> None:
    # pid 1 always lives; unless we are root it belongs to another user and the probe
    # fails with EPERM, which still means alive.
    (tmp_path / "vrk-1.shard").write_bytes(shard_bytes(1, requests=2, buckets={0: 2}))
    _core.set_multiproc_dir(str(tmp_path))
    assert _core.aggregate().total_requests == 2
    assert (tmp_path / "vrk-1.shard").exists()


@pytest.mark.parametrize(
    ("buckets", "max_us", "p50", "p95", "p99"),
    [
        ({3: 10}, 9000, 7.5, 9.75, 9.95),
        ({0: 2, 13: 2}, 20_000_000, 1.0, 19000.0, 19800.0),
        ({13: 4}, 0, 10000.0, 10000.0, 10000.0),
        ({}, 5000, 0.0, 0.0, 0.0),
    ],
)
def test_histogram_quantiles(
    tmp_path: Path, live_pids: list[int], buckets: dict[int, int], max_us: int,
    p50: float, p95: float, p99: float,
) -> None:  # fmt: skip
    requests = sum(buckets.values()) or 1
    (tmp_path / "vrk-1.shard").write_bytes(
        shard_bytes(live_pids[0], requests=requests, latency_max_us=max_us, buckets=buckets))
    _core.set_multiproc_dir(str(tmp_path))
    os.unlink(own_shard(tmp_path))
    agg = _core.aggregate()
    assert (agg.p50_latency_ms, agg.p95_latency_ms, agg.p99_latency_ms) == pytest.approx((p50, p95, p99))
    assert agg.max_latency_ms == max_us / 1000.0


def test_merged_path_ignores_the_local_store(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path / "d"))
    _core.record_request("GET", "/", 200, 5.0)
    _core.clear_requests()
    assert _core.aggregate().total_requests == 1  # clear does not touch shards
    os.unlink(own_shard(tmp_path / "d"))
    os.rmdir(tmp_path / "d")
    _core.record_request("GET", "/", 200, 5.0)
    assert list(_core.aggregate().to_dict().values()) == [0, 0] + [0.0] * 7
    document = _core.metrics_text()
    assert "vrk_requests_total 0\n" in document and "vrk_process_threads " in document


# --- real worker processes ----------------------------------------------------------

WRITER = """
import os, sys
from vornik import _core
_core.set_multiproc_dir(sys.argv[1])
index = int(sys.argv[2])
for i in range(int(sys.argv[3])):
    _core.record_request("GET", "/", 500 if i % 7 == 0 else 200, float((i * 37 + index) % 20000) / 3)
sys.stdout.write("done\\n")
sys.stdout.flush()
sys.stdin.read()
"""


def expected_totals(workers: int, per_worker: int) -> tuple[int, int, int, list[int]]:
    expected = Totals()
    for index in range(workers):
        for i in range(per_worker):
            expected.record(500 if i % 7 == 0 else 200, float((i * 37 + index) % 20000) / 3)
    return expected.requests, expected.errors, expected.latency_sum_us, expected.buckets


def test_concurrent_writers_merge_exactly(tmp_path: Path) -> None:
    workers, per_worker = 4, 20000
    procs = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path), str(i), str(per_worker)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for i in range(workers)
    ]  # fmt: skip
    try:
        for proc in procs:
            assert proc.stdout is not None and proc.stdout.readline() == "done\n"
        requests, errors, latency_sum, buckets = expected_totals(workers, per_worker)
        totals = [read_shard(p) for p in tmp_path.iterdir()]
        assert sum(w[2] for w in totals) == requests
        assert sum(w[3] for w in totals) == errors
        assert sum(w[4] for w in totals) == latency_sum
        assert [sum(w[8 + b] for w in totals) for b in range(14)] == buckets
        _core.set_multiproc_dir(str(tmp_path))
        agg = _core.aggregate()
        assert (agg.total_requests, agg.total_errors) == (requests, errors)
        assert agg.avg_latency_ms == latency_sum / requests / 1000.0
    finally:
        for proc in procs:
            proc.communicate("")


def test_forked_children_share_an_inherited_shard(tmp_path: Path) -> None:
    out = run_python(
        f"""
        import os
        from vornik import _core
        _core.set_multiproc_dir({str(tmp_path)!r})
        children = []
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                for _ in range(1000):
                    _core.record_request("GET", "/", 200, 1.0)
                os._exit(0)
            children.append(pid)
        for pid in children:
            os.waitpid(pid, 0)
        print(_core.aggregate().total_requests, len(os.listdir({str(tmp_path)!r})))
        """
    )
    assert out.split() == ["3000", "1"]


def test_killed_worker_is_dropped_and_the_host_survives(tmp_path: Path) -> None:
    busy = """
import sys
from vornik import _core
_core.set_multiproc_dir(sys.argv[1])
_core.record_request("GET", "/", 200, 1.0)
print("ready", flush=True)
while True:
    _core.record_request("GET", "/", 200, 1.0)
"""
    proc = subprocess.Popen([sys.executable, "-c", busy, str(tmp_path)], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None and proc.stdout.readline() == "ready\n"
    _core.set_multiproc_dir(str(tmp_path))
    assert _core.aggregate().total_requests >= 1
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    proc.stdout.close()
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.aggregate().total_requests == 1
    assert os.listdir(tmp_path) == [own_shard(tmp_path).name]
