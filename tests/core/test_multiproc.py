"""Shard files: the writer's file, the shared directory, and merging live workers."""

from __future__ import annotations

import fcntl
import json
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest
from support import (
    NOBODY,
    RequestingWorker,
    Totals,
    dead_pid,
    read_shard,
    run_as_nobody,
    run_python,
    shard_bytes,
    small_tmpfs,
)
from vornik import _core, _routes

MAX_U64 = 2**64 - 1


RETAINED_MAGIC = 0x316E7465726B7276


def retained_bytes(requests: int = 0, folded: list[tuple[int, int, int]] = ()) -> bytes:  # type: ignore[assignment]
    """A retained-totals file: magic, payload size, folded entries, then the payload of
    requests, errors, latency sum, min and max, and the 14 buckets."""
    payload = struct.pack("=19Q", requests, 0, 0, MAX_U64, 0, *([0] * 14))
    entries = b"".join(struct.pack("=3Q", *entry) for entry in folded)
    return struct.pack("=3Q", RETAINED_MAGIC, len(payload), len(folded)) + entries + payload


@pytest.fixture
def live_pids() -> Iterator[list[int]]:
    """Pids of idle child processes that stay alive for the test."""
    children = [
        subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]) for _ in range(3)
    ]
    yield [child.pid for child in children]
    for child in children:
        child.kill()
        child.wait()


def own_shard(directory: Path) -> Path:
    return directory / f"vrk-{os.getpid()}.shard"


def spare_shards(directory: Path) -> list[Path]:
    """This process's shards under a name other than vrk-<pid>.shard."""
    return sorted(directory.glob(f"vrk-{os.getpid()}-*.shard"))


# The retained totals of the shards folded by this user, and its fold lock.
RETAINED = f"vrk-shards.{os.geteuid()}.retained"
FOLD_LOCK = f"vrk-shards.{os.geteuid()}.lock"


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


def test_leftover_shard_of_this_pid_is_adopted_others_kept(tmp_path: Path) -> None:
    own_shard(tmp_path).write_bytes(
        shard_bytes(os.getpid(), requests=41, buckets={3: 41}) + b"x" * 24
    )
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 7.0)
    words = read_shard(own_shard(tmp_path))
    assert own_shard(tmp_path).stat().st_size == 176
    assert (words[2], words[11]) == (42, 42)

    # A valid shard of another writer under our name is that writer's count: it stays as
    # it is, and this process takes a name of its own.
    other = tmp_path / "other"
    other.mkdir()
    foreign = shard_bytes(os.getpid() + 1, requests=41)
    own_shard(other).write_bytes(foreign)
    _core.set_multiproc_dir(str(other))
    assert own_shard(other).read_bytes() == foreign
    spare = spare_shards(other)
    assert len(spare) == 1 and read_shard(spare[0])[1:3] == (os.getpid(), 0)
    _core.record_request("GET", "/", 200, 7.0)
    assert _core.aggregate().total_requests == 42


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


def test_writer_passes_over_a_planted_link_or_special_file(tmp_path: Path) -> None:
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious" * 100)
    shared = tmp_path / "shared"
    shared.mkdir()
    own_shard(shared).symlink_to(victim)
    _core.set_multiproc_dir(str(shared))
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.multiproc_enabled() and _core.aggregate().total_requests == 1
    assert victim.read_bytes() == b"precious" * 100 and own_shard(shared).is_symlink()

    fifo_dir = tmp_path / "fifo"
    fifo_dir.mkdir()
    os.mkfifo(own_shard(fifo_dir))
    _core.set_multiproc_dir(str(fifo_dir))
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.multiproc_enabled() and _core.aggregate().total_requests == 1
    assert len(spare_shards(fifo_dir)) == 1


def test_hard_links_are_neither_written_nor_counted(tmp_path: Path, live_pids: list[int]) -> None:
    # A second name for a file: writing it would change the file behind the other name,
    # and counting it would count the same requests twice.
    victim = tmp_path / "victim"
    content = shard_bytes(os.getpid(), requests=1000, buckets={0: 1000})
    victim.write_bytes(content)
    shared = tmp_path / "shared"
    shared.mkdir()
    os.link(victim, own_shard(shared))
    (shared / "vrk-linked.shard").write_bytes(shard_bytes(live_pids[0], requests=500))
    os.link(shared / "vrk-linked.shard", tmp_path / "second-name")
    _core.set_multiproc_dir(str(shared))
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.aggregate().total_requests == 1
    assert victim.read_bytes() == content and len(spare_shards(shared)) == 1


def test_a_shard_name_taken_by_another_user_is_passed_over(tmp_path: Path) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to hand a file to another user")
    planted = own_shard(tmp_path)
    planted.write_bytes(shard_bytes(os.getpid(), requests=1000, buckets={0: 1000}))
    os.chown(planted, NOBODY, NOBODY)
    planted.chmod(0o666)
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 1.0)
    # Counting goes on under another name; the planted file is not counted, since it
    # belongs to neither this user nor the directory's owner.
    assert _core.multiproc_enabled() and _core.aggregate().total_requests == 1
    assert read_shard(planted)[2] == 1000 and len(spare_shards(tmp_path)) == 1


def test_full_filesystem_disables_instead_of_crashing(tmp_path: Path) -> None:
    with small_tmpfs(tmp_path / "tiny", "4k") as mount_point:
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


def test_an_absurd_directory_text_is_refused_before_anything_is_made(tmp_path: Path) -> None:
    # Texts beyond the kernel's path limit fail anyway; refused up front, they cost no
    # work per component: five million of them once took half a gigabyte and a second.
    _core.set_multiproc_dir(str(tmp_path / "ok"))
    out = run_python(
        """
        import resource
        from vornik import _core
        _core.set_multiproc_dir("a/" * 2048)
        print(_core.multiproc_enabled())
        text = "b/" * 5_000_000
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        _core.set_multiproc_dir(text)
        grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
        print(_core.multiproc_enabled(), grown_mb < 100, grown_mb)
        """,
        cwd=str(tmp_path),
    )
    assert out.split()[:3] == ["False", "False", "True"], out
    assert sorted(os.listdir(tmp_path)) == ["ok"]


def test_a_wiped_directory_heals(tmp_path: Path) -> None:
    directory = tmp_path / "shards"
    _core.set_multiproc_dir(str(directory))
    for _ in range(3):
        _core.record_request("GET", "/", 200, 1.0)
    shutil.rmtree(directory)
    # Within a second a request notices that its shard's name is gone and starts a fresh
    # shard, in a directory made again; that request is its first.
    deadline = time.monotonic() + 5
    while not own_shard(directory).exists() and time.monotonic() < deadline:
        _core.record_request("GET", "/", 200, 1.0)
        time.sleep(0.01)
    for _ in range(4):
        _core.record_request("GET", "/", 500, 1.0)
    agg = _core.aggregate()
    assert _core.multiproc_enabled()
    assert (agg.total_requests, agg.total_errors) == (5, 4)


def test_temporary_files_of_gone_creators_are_removed(tmp_path: Path, live_pids: list[int]) -> None:
    # A writer or folder killed before its rename leaves its temporary file behind.
    gone = dead_pid()
    removed = [f"vrk-{gone}-0.tmp", f"vrk-{gone}-1.tmp"]
    (tmp_path / removed[0]).write_bytes(b"")
    (tmp_path / removed[1]).write_bytes(shard_bytes(gone, requests=9))
    kept = [f"vrk-{live_pids[0]}-0.tmp", f"vrk-{gone}-2.tmp", f"vrk-{gone}.tmp", "vrk-x-1.tmp"]
    for name in kept:
        (tmp_path / name).write_bytes(b"")
    # Its creator lives on in another PID namespace, say: its lock tells.
    held = os.open(tmp_path / kept[1], os.O_RDONLY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        _core.set_multiproc_dir(str(tmp_path))
        assert _core.aggregate().total_requests == 0
        names = set(os.listdir(tmp_path))
        assert names.isdisjoint(removed) and names.issuperset(kept)
    finally:
        os.close(held)


def test_a_merge_in_another_pid_namespace_keeps_a_live_writer(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare(1) for a PID namespace")
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER, str(tmp_path), "0", "10"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    helpers.append(writer)
    assert writer.stdout is not None and writer.stdout.readline() == "done\n"
    shard = tmp_path / f"vrk-{writer.pid}.shard"
    before = os.stat(shard)
    sidecar = f"""
import os, sys
from vornik import _core
try:
    os.kill({writer.pid}, 0)
    print("visible")
except ProcessLookupError:
    _core.set_multiproc_dir({str(tmp_path)!r})
    print(_core.aggregate().total_requests, _core.aggregate().total_requests)
"""
    namespace = ["unshare", "--pid", "--fork", "--mount-proc"]
    out = subprocess.run([*namespace, sys.executable, "-c", sidecar],
                         capture_output=True, text=True, timeout=60)  # fmt: skip
    assert out.returncode == 0, out.stderr
    # The sidecar sees no process with the writer's pid, but the writer's lock: the shard
    # is counted and left where it is.
    assert out.stdout.split() == ["10", "10"]
    after = os.stat(shard)
    assert (after.st_ino, after.st_nlink) == (before.st_ino, 1)


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
    # That writer has exited: its request moves into the retained totals.
    assert _core.aggregate().total_requests == 1
    assert not shard.exists() and (tmp_path / RETAINED).exists()


# --- merging ------------------------------------------------------------------------


def test_merge_sums_live_shards_and_folds_dead_ones(tmp_path: Path, live_pids: list[int]) -> None:
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
    dead.write_bytes(shard_bytes(dead_pid(), requests=1000, errors=1000, latency_sum_us=7,
                                 latency_min_us=7, latency_max_us=7,
                                 buckets={0: 1000}))  # fmt: skip

    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 0.02)  # our own shard counts like any other
    first = _core.aggregate()
    # The dead writer's figures stay in the sum, now from the retained totals.
    assert not dead.exists() and (tmp_path / RETAINED).exists()
    assert (first.total_requests, first.total_errors) == (1005, 1001)
    assert first.min_latency_ms == 0.007
    assert first.max_latency_ms == (MAX_U64 - 10) / 1000.0
    assert first.avg_latency_ms == MAX_U64 / 1005 / 1000.0  # the sum saturated
    assert first.p50_latency_ms == pytest.approx(1005 * 0.5 / 1001)
    assert (tmp_path / f"vrk-{b}.shard").exists()
    assert _core.aggregate().to_dict() == first.to_dict()


def test_merge_skips_what_the_format_rejects_and_leaves_it(
    tmp_path: Path, live_pids: list[int]
) -> None:
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


def test_a_live_pid_of_another_user_is_never_folded(nobody_dir: Path) -> None:
    # As root every signal-0 probe succeeds, so this runs as nobody: the probe of pid 1
    # (root's) then fails with EPERM, which means alive. Beside it, a shard of a pid that
    # is gone shows that this folder does fold what it may.
    gone = dead_pid()

    def merge_as_nobody() -> list[object]:
        try:
            os.kill(1, 0)
        except PermissionError:
            pass
        else:
            raise AssertionError("the probe of pid 1 did not fail with EPERM")
        (nobody_dir / "vrk-1.shard").write_bytes(shard_bytes(1, requests=2, buckets={0: 2}))
        (nobody_dir / "vrk-gone.shard").write_bytes(shard_bytes(gone, requests=3, buckets={0: 3}))
        _core.set_multiproc_dir(str(nobody_dir))
        first = _core.aggregate().total_requests
        return [first, _core.aggregate().total_requests, sorted(os.listdir(nobody_dir))]

    first, second, names = run_as_nobody(merge_as_nobody)  # type: ignore[misc]
    assert (first, second) == (5, 5)
    assert "vrk-1.shard" in names and "vrk-gone.shard" not in names
    assert f"vrk-shards.{NOBODY}.retained" in names


def test_files_of_other_users_count_only_in_their_own_directory(
    tmp_path: Path, nobody_dir: Path, live_pids: list[int]
) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to hand files to another user")
    live = live_pids[0]

    def plant(directory: Path, name: str, content: bytes) -> None:
        (directory / name).write_bytes(content)
        os.chown(directory / name, NOBODY, NOBODY)

    # In a directory of ours, a file someone else put there is not counted, whatever it
    # claims; nor is a retained file under our name that we did not write.
    plant(tmp_path, "vrk-planted.shard", shard_bytes(live, requests=2**60))
    plant(tmp_path, RETAINED, retained_bytes(requests=2**50))
    _core.set_multiproc_dir(str(tmp_path))
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.aggregate().total_requests == 1
    assert (tmp_path / "vrk-planted.shard").exists()

    # In the other user's directory, that user's live workers and retained totals count
    # for a process of any user, such as a monitor running as root.
    gone = dead_pid()

    def nobody_folds() -> int:
        (nobody_dir / "vrk-worker.shard").write_bytes(shard_bytes(live, requests=5))
        (nobody_dir / "vrk-gone.shard").write_bytes(shard_bytes(gone, requests=7))
        _core.set_multiproc_dir(str(nobody_dir))
        return int(_core.aggregate().total_requests)

    assert run_as_nobody(nobody_folds) == 12
    assert (nobody_dir / f"vrk-shards.{NOBODY}.retained").exists()
    _core.set_multiproc_dir(str(nobody_dir))
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.aggregate().total_requests == 13


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
        shard_bytes(live_pids[0], requests=requests, latency_max_us=max_us, buckets=buckets)
    )
    _core.set_multiproc_dir(str(tmp_path))
    os.unlink(own_shard(tmp_path))
    agg = _core.aggregate()
    assert (agg.p50_latency_ms, agg.p95_latency_ms, agg.p99_latency_ms) == pytest.approx(
        (p50, p95, p99)
    )
    assert agg.max_latency_ms == max_us / 1000.0


def test_merged_path_ignores_the_local_store(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path / "d"))
    _core.record_request("GET", "/", 200, 5.0)
    _core.clear_requests()
    assert _core.aggregate().total_requests == 1  # clear does not touch shards
    os.unlink(own_shard(tmp_path / "d"))
    os.rmdir(tmp_path / "d")
    # A file where the directory was: the writer cannot make its shard again, and the
    # merge cannot list anything.
    (tmp_path / "d").write_text("not a directory")
    time.sleep(1.1 - time.time() % 1)  # the next request checks on its shard
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


def test_forked_children_count_into_shards_of_their_own(tmp_path: Path) -> None:
    out = run_python(
        f"""
        import os
        from vornik import _core
        import struct
        _core.set_multiproc_dir({str(tmp_path)!r})
        _core.record_request("GET", "/", 200, 1.0)
        children = []
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                for _ in range(1000):
                    _core.record_request("GET", "/", 200, 1.0)
                own = os.path.join({str(tmp_path)!r}, f"vrk-{{os.getpid()}}.shard")
                with open(own, "rb") as shard:
                    requests = struct.unpack("=22Q", shard.read())[2]
                os._exit(0 if requests == 1000 else 1)
            children.append(pid)
        for pid in children:
            assert os.waitpid(pid, 0)[1] == 0
        print(_core.aggregate().total_requests, sorted(os.listdir({str(tmp_path)!r})))
        """
    )
    total, names = out.split(" ", 1)
    # From its first request on each child counted into a shard of its own, which was
    # folded once it had exited.
    assert total == "3001"
    assert eval(names) == sorted([FOLD_LOCK, RETAINED, names.split("'")[1]])
    assert re.fullmatch(r"vrk-[0-9]+\.shard", names.split("'")[1])


def test_a_child_outlives_its_parent_without_losing_counts(tmp_path: Path) -> None:
    # The parent exits while the child lives on. Whether the child has recorded yet (its
    # own shard) or not (it still holds its parent's), nothing it or the parent counted
    # leaves the sum.
    script = f"""
import os, sys
from vornik import _core
_core.set_multiproc_dir({str(tmp_path)!r})
for _ in range(5):
    _core.record_request("GET", "/", 200, 1.0)
if os.fork() == 0:
    sys.stdin.readline()  # the parent has gone
    for _ in range(7):
        _core.record_request("GET", "/", 500, 1.0)
    print("recorded", flush=True)
    sys.stdin.readline()
    os._exit(0)
print("forked", flush=True)
os._exit(0)
"""
    child_side = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)  # fmt: skip
    assert child_side.stdout is not None and child_side.stdin is not None
    try:
        assert child_side.stdout.readline() == "forked\n"
        child_side.wait()
        _core.set_multiproc_dir(str(tmp_path))
        assert _core.aggregate().total_requests == 5  # the child still holds the parent's file
        child_side.stdin.write("\n")
        child_side.stdin.flush()
        assert child_side.stdout.readline() == "recorded\n"
        agg = _core.aggregate()
        assert (agg.total_requests, agg.total_errors) == (12, 7)
        assert _core.aggregate().total_requests == 12  # and after the parent's shard was folded
    finally:
        child_side.stdin.close()
        child_side.stdout.close()
    deadline = time.monotonic() + 10
    while len(list(tmp_path.glob("vrk-*.shard"))) > 1 and time.monotonic() < deadline:
        assert _core.aggregate().total_requests == 12
        time.sleep(0.01)
    assert [p.name for p in tmp_path.glob("vrk-*.shard")] == [own_shard(tmp_path).name]


def test_killed_worker_is_folded_and_the_host_survives(tmp_path: Path) -> None:
    busy = """
import sys
from vornik import _core
_core.set_multiproc_dir(sys.argv[1])
_core.record_request("GET", "/", 200, 1.0)
print("ready", flush=True)
while True:
    _core.record_request("GET", "/", 200, 1.0)
"""
    proc = subprocess.Popen(
        [sys.executable, "-c", busy, str(tmp_path)], stdout=subprocess.PIPE, text=True
    )
    assert proc.stdout is not None and proc.stdout.readline() == "ready\n"
    _core.set_multiproc_dir(str(tmp_path))
    assert _core.aggregate().total_requests >= 1
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    proc.stdout.close()
    recorded = read_shard(tmp_path / f"vrk-{proc.pid}.shard")[2]
    _core.record_request("GET", "/", 200, 1.0)
    assert _core.aggregate().total_requests == recorded + 1
    assert sorted(os.listdir(tmp_path)) == sorted([own_shard(tmp_path).name, RETAINED, FOLD_LOCK])


# --- folds and writers killed at every step -----------------------------------------
#
# A helper process selects the directory, deletes its own shard (so that the directory
# lists the same on every run) and forks a child that waits. strace attaches to the
# child and stops or kills it at its n-th call of one system call; then the child merges
# (and folds) or opens a writer. A first run without injection lists the calls to cover.

STEP_VICTIM = """
import os, sys
from vornik import _core
fold_dir, writer_dir = sys.argv[1], sys.argv[2]
_core.set_multiproc_dir(fold_dir)
os.unlink(os.path.join(fold_dir, f"vrk-{os.getpid()}.shard"))
pid = os.fork()
if pid == 0:
    sys.stdin.readline()
    if writer_dir == "-":
        _core.aggregate()
    else:
        _core.set_multiproc_dir(writer_dir)
    os._exit(0)
print(pid, flush=True)
print(os.waitpid(pid, 0)[1], flush=True)
"""


def content_hash(data: bytes) -> int:
    """FNV-1a, as the retained file records the contents of a folded shard."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) % 2**64
    return value


@dataclass
class Syscall:
    name: str
    ordinal: int  # among the child's calls of this name since strace attached
    signature: str  # the call with numbers, addresses and contents blanked out


def syscalls(log: str) -> list[Syscall]:
    calls: list[Syscall] = []
    seen: dict[str, int] = {}
    for line in log.splitlines():
        match = re.match(r"([a-z_0-9]+)\((.*)", line)
        if not match:
            continue
        name = match.group(1)
        seen[name] = seen.get(name, 0) + 1
        # A call the process died in shows only the arguments read on entry.
        call = re.sub(r'"(?!vrk-)[^"]*"', '""', line.split(" = ")[0].split(" <unfinished")[0])
        # Temporary names end in a random tag.
        call = re.sub(r"(vrk-\d+-)[0-9a-f]+\.tmp", r"\1T.tmp", call)
        calls.append(Syscall(name, seen[name], re.sub(r"0x[0-9a-f]+|\d+", "N", call)))
    return calls


@dataclass
class StepRun:
    victim: subprocess.Popen[str]
    tracer: subprocess.Popen[str]
    child: int
    log: Path

    def finish(self) -> tuple[int, list[Syscall]]:
        """The child's wait status and the calls it made."""
        assert self.victim.stdout is not None
        status = int(self.victim.stdout.readline())
        self.victim.wait(timeout=60)
        self.tracer.wait(timeout=60)
        for stream in (self.victim.stdin, self.victim.stdout, self.tracer.stderr):
            assert stream is not None
            stream.close()
        return status, syscalls(self.log.read_text())


def start_step(tmp_path: Path, fold_dir: Path, writer_dir: str, inject: str | None) -> StepRun:
    victim = subprocess.Popen([sys.executable, "-c", STEP_VICTIM, str(fold_dir), writer_dir],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)  # fmt: skip
    assert victim.stdout is not None and victim.stdin is not None
    child = int(victim.stdout.readline())
    log = tmp_path / "strace.log"
    options = ["-e", inject] if inject else []
    tracer = subprocess.Popen(["strace", "-p", str(child), "-o", str(log), *options],
                              stderr=subprocess.PIPE, text=True)  # fmt: skip
    assert tracer.stderr is not None
    assert "attached" in tracer.stderr.readline()
    time.sleep(0.05)
    victim.stdin.write("\n")
    victim.stdin.flush()
    return StepRun(victim, tracer, child, log)


def run_step(
    tmp_path: Path, fold_dir: Path, writer_dir: str, inject: str | None = None
) -> tuple[int, list[Syscall]]:
    return start_step(tmp_path, fold_dir, writer_dir, inject).finish()


def kill_at(step: Syscall, sig: str = "KILL") -> str:
    return f"inject={step.name}:signal={sig}:when={step.ordinal}"


FOLD_SCENE_EXPECTED = {
    "total_requests": 157, "total_errors": 15, "error_rate": 15 / 157 * 100.0,
    "avg_latency_ms": 0.5, "min_latency_ms": 0.5, "max_latency_ms": 0.9,
}  # fmt: skip


def fold_scene(directory: Path) -> None:
    """What a fold meets: the retained totals of an earlier fold (100 requests) that died
    before deleting the shard it folded; shards of two gone writers (20 and 30); a live
    writer's shard (7, this process's pid); a temporary file whose creator is gone."""
    directory.mkdir()

    def shard(pid: int, requests: int, errors: int) -> bytes:
        return shard_bytes(pid, requests=requests, errors=errors, latency_sum_us=500 * requests,
                           latency_min_us=500, latency_max_us=500,
                           buckets={0: requests})  # fmt: skip

    (directory / "vrk-a.shard").write_bytes(shard(PID_MAX + 1, 20, 2))
    (directory / "vrk-b.shard").write_bytes(shard(PID_MAX + 2, 30, 3))
    (directory / "vrk-live.shard").write_bytes(shard(os.getpid(), 7, 0))
    (directory / f"vrk-{PID_MAX + 3}-0.tmp").write_bytes(b"")
    leftover = shard(PID_MAX + 4, 1000, 1000)
    (directory / "vrk-leftover.shard").write_bytes(leftover)
    info = os.stat(directory / "vrk-leftover.shard")
    payload = struct.pack("=19Q", 100, 10, 500 * 100, 500, 900, 100, *([0] * 13))
    entry = struct.pack("=3Q", info.st_dev, info.st_ino, content_hash(leftover))
    header = struct.pack("=3Q", RETAINED_MAGIC, len(payload), 1)
    (directory / RETAINED).write_bytes(header + entry + payload)


def is_fold_scene_total(result: dict[str, float]) -> bool:
    figures = {k: result[k] for k in FOLD_SCENE_EXPECTED}
    return figures == pytest.approx(FOLD_SCENE_EXPECTED, rel=1e-15)


def check_fold_scene(directory: Path) -> None:
    """Exact counts, and a directory tidied by this process's own fold."""
    _core.set_multiproc_dir(str(directory))
    for _ in range(2):
        result = _core.aggregate().to_dict()
        assert is_fold_scene_total(result), result
    expected = {"vrk-live.shard", own_shard(directory).name, RETAINED, FOLD_LOCK}
    assert set(os.listdir(directory)) == expected


needs_strace = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("strace") is None,
    reason="needs root and strace(1) to stop processes at system calls",
)
PID_MAX = int(Path("/proc/sys/kernel/pid_max").read_text())


@needs_strace
def test_a_fold_killed_at_any_step_neither_loses_nor_doubles(tmp_path: Path) -> None:
    fold_scene(tmp_path / "traced")
    status, calls = run_step(tmp_path, tmp_path / "traced", "-")
    assert status == 0
    check_fold_scene(tmp_path / "traced")
    first = next(i for i, call in enumerate(calls) if '"vrk-shards.N.lock"' in call.signature)
    steps = [call for call in calls[first:] if call.name != "exit_group"]
    assert {"flock", "renameat", "unlinkat"} <= {call.name for call in steps}
    for index, step in enumerate(steps):
        scene = tmp_path / f"scene{index}"
        fold_scene(scene)
        status, calls = run_step(tmp_path, scene, "-", kill_at(step))
        assert status == signal.SIGKILL, (step, status)
        assert step.signature.startswith(calls[-1].signature), (step, calls[-1])
        check_fold_scene(scene)
    print(f"fold killed at each of its {len(steps)} system calls")


@needs_strace
def test_a_stopped_folder_holds_up_no_merge(tmp_path: Path) -> None:
    fold_scene(tmp_path / "traced")
    _, calls = run_step(tmp_path, tmp_path / "traced", "-")
    lock_opened = next(i for i, call in enumerate(calls) if '"vrk-shards.N.lock"' in call.signature)
    locked = next(i for i in range(lock_opened, len(calls)) if calls[i].name == "flock")
    after = calls[locked + 1]
    scene = tmp_path / "scene"
    fold_scene(scene)
    run = start_step(tmp_path, scene, "-", kill_at(after, "STOP"))
    try:
        deadline = time.monotonic() + 30
        while Path(f"/proc/{run.child}/stat").read_text().split(")")[1].split()[0] not in "tT":
            assert time.monotonic() < deadline, "the folder never stopped"
            time.sleep(0.01)
        # The stopped folder holds the fold lock: other merges count the gone writers'
        # shards where they lie and leave them for later.
        out = run_python(
            f"""
            import json
            from vornik import _core
            _core.set_multiproc_dir({str(scene)!r})
            print(json.dumps([_core.aggregate().to_dict() for _ in range(3)]))
            """,
            timeout=30,
        )
        for result in json.loads(out):
            assert is_fold_scene_total(result), result
        assert (scene / "vrk-a.shard").exists() and (scene / "vrk-leftover.shard").exists()
    finally:
        os.kill(run.child, signal.SIGKILL)
        status, _ = run.finish()
    assert status == signal.SIGKILL
    check_fold_scene(scene)


@needs_strace
def test_a_writer_killed_at_any_step_leaves_nothing_for_good(tmp_path: Path) -> None:
    home = tmp_path / "home"
    home.mkdir()
    status, calls = run_step(tmp_path, home, str(tmp_path / "traced"))
    assert status == 0
    steps = [call for call in calls if call.name not in ("read", "exit_group")]
    assert {"openat", "flock", "renameat2"} <= {call.name for call in steps}
    for index, step in enumerate(steps):
        shards = tmp_path / f"writer{index}"
        status, calls = run_step(tmp_path, home, str(shards), kill_at(step))
        assert status == signal.SIGKILL, (step, status)
        assert step.signature.startswith(calls[-1].signature), (step, calls[-1])
        if not shards.exists():
            continue
        # Nothing half made is ever in place under a shard name, and the next merge
        # removes whatever the writer left.
        assert all(p.stat().st_size == 176 for p in shards.glob("vrk-*.shard"))
        _core.set_multiproc_dir(str(shards))
        assert _core.aggregate().total_requests == 0
        assert set(os.listdir(shards)) <= {own_shard(shards).name, RETAINED, FOLD_LOCK}
    print(f"writer killed at each of its {len(steps)} system calls")


def test_files_are_never_writable_by_others_whatever_the_umask(tmp_path: Path) -> None:
    directory = tmp_path / "made" / "here"
    worker = textwrap.dedent(f"""
        import os
        os.umask(0)
        from vornik import _core, _routes, workers
        _core.set_multiproc_dir({str(directory)!r})
        _routes.record_request("GET", "/", 200, 1.0, "/")
        workers.register()
        """)
    run_python(worker)
    run_python(worker + "\n_routes.metrics_document()\nworkers.metrics_text()")
    modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in directory.iterdir()}
    assert any(name.endswith(".retained") for name in modes), modes
    assert any(name.endswith(".lock") for name in modes), modes
    for name, mode in modes.items():
        assert mode & 0o022 == 0, (name, oct(mode))
        if name.endswith(".lock"):
            assert mode == 0o600, (name, oct(mode))
    for made in (directory, directory.parent):
        assert stat.S_IMODE(made.stat().st_mode) == 0o755


def test_planted_temporary_names_keep_no_worker_out(tmp_path: Path) -> None:
    """Names a stranger could plant in a shared directory beforehand, the sixteen a
    pid-and-serial scheme would try, leave the worker its shard and its table."""
    out = run_python(
        f"""
        import os
        from pathlib import Path
        from vornik import _core, _routes
        for n in range(16):
            Path({str(tmp_path)!r}, f"vrk-{{os.getpid()}}-{{n}}.tmp").write_bytes(b"")
        _core.set_multiproc_dir({str(tmp_path)!r})
        _routes.record_request("GET", "/", 200, 1.0, "/")
        print(_core.multiproc_enabled(), sorted(p.suffix for p in Path({str(tmp_path)!r}).iterdir()
                                                if not p.name.endswith(".tmp")))
        """
    )
    assert out.split(maxsplit=1) == ["True", "['.series', '.shard', '.slot']\n"]


def test_a_writer_survives_its_files_being_cut_short(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    """`: > file` on a worker's shard and table (a copytruncate rotation, say): its next
    requests land in memory instead of raising SIGBUS, and within a second it counts
    in fresh files again, leaving no cut-short file behind."""
    worker = RequestingWorker(tmp_path, helpers)
    worker.requests(3)
    cut = [p for p in tmp_path.iterdir() if p.suffix in (".shard", ".series")]
    assert len(cut) == 2
    for path in cut:
        path.write_bytes(b"")
    worker.requests(2)
    time.sleep(1.1)  # the files are checked once a second, at a request
    worker.requests(4)
    _core.set_multiproc_dir(str(tmp_path))
    # The three counted before the cut are gone with the file. Of the two made while it
    # was cut, those after a check that fell among them (the Unix second moving) count
    # in the fresh files; the others went to memory.
    total = _core.aggregate().total_requests
    assert 4 <= total <= 6
    document = _routes.metrics_document()
    assert f'vrk_http_requests_total{{method="GET",route="/",status="200"}} {total}\n' in document
    assert all(p.stat().st_size > 0 for p in tmp_path.iterdir() if p.suffix != ".lock")
    assert worker.stop() == 0
