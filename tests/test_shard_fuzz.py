"""Shard-directory fuzz: whatever lies in a shard directory, a merge neither crashes nor
hangs, counts exactly the valid shards (those of dead writers through the retained totals
they are folded into), deletes only valid shards of dead writers and leaves everything
else where it is.

The directory is filled from a seeded generator (the seed is printed; set VRK_FUZZ_SEED
to replay one) with files of random names, sizes and contents, with directories, FIFOs
and symbolic links. Every entry's effect on a merge is known in advance: a valid shard
names a live process (this test's own) or an id above the system's pid_max, which no
process can have.
"""

from __future__ import annotations

import json
import os
import random
import re
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import pytest
from support import (
    BOUNDS_MS,
    MASK,
    NO_LATENCY,
    SHARD_SIZE,
    TIMEOUT_S,
    Totals,
    check_aggregate,
    finish,
    pack,
    read_line,
    start_python,
)
from vornik import _core

PID_MAX = int(Path("/proc/sys/kernel/pid_max").read_text())


def acceptable_name(name: bytes) -> bool:
    try:
        name.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return len(name) >= 10 and name.startswith(b"vrk-") and name.endswith(b".shard")


# --- Fuzz entries --------------------------------------------------------------------


@dataclass
class Entry:
    name: bytes
    kind: str
    counted: Totals | None = None  # what a merge must add; None: nothing
    deleted: bool = False  # a valid shard of a dead writer: the first merge folds it


class Fuzzer:
    """Makes entries from a seeded generator. `wide` fills counted shards with arbitrary
    64-bit words; otherwise their counts stay small, and every rejected file claims more
    requests than all counted ones together, so counting one shows at once."""

    REJECTED_REQUESTS = 2**40

    def __init__(self, seed: int, wide: bool, staging: Path) -> None:
        self.random = random.Random(seed)
        self.wide = wide
        self.staging = staging
        self.live_pid = os.getpid()
        self.serial = 0

    def word(self, small: int) -> int:
        return self.random.getrandbits(64) if self.wide else self.random.randrange(small)

    def totals(self) -> Totals:
        r = self.random
        t = Totals(
            requests=self.word(2**20),
            errors=self.word(2**20),
            latency_sum_us=self.word(2**40),
            buckets=[self.word(2**16) for _ in range(14)],
        )
        t.latency_min_us = r.choice([NO_LATENCY, self.word(2**30)])
        t.latency_max_us = r.choice([0, self.word(2**34), MASK if self.wide else 0])
        return t

    def rejected_totals(self) -> Totals:
        t = self.totals()
        if not self.wide:
            t.requests = self.REJECTED_REQUESTS + self.random.randrange(2**20)
        return t

    def live_pid_word(self) -> int:
        # Only the low 32 bits name the process.
        high = self.random.choice([0, 0, self.random.getrandbits(32)])
        return high << 32 | self.live_pid

    def tail(self) -> bytes:
        return self.random.randbytes(self.random.choice([0, 0, 1, 8, 200]))

    def fresh_name(self, valid: bool = True) -> bytes:
        self.serial += 1
        decoration = self.random.choice(["", "-\u00e9", "x.y", " ", "\u3000"])
        name = f"vrk-z{self.serial}{decoration}.shard".encode()
        if valid:
            return name
        return self.random.choice(
            [
                name + b".tmp",
                b"VRK-" + name[4:],
                name[:-6] + b".SHARD",
                b"x-" + name,
                name[:-1],
                b"vrk" + name[4:],
                name[:4] + b"\xff" + name[4:],
                name[:4] + b"\xed\xa0\x80" + name[4:],
                name[:4] + b"\xc3" + name[4:],
                b"." + name,
                name + b"~",
            ]
        )

    def random_name(self) -> bytes:
        pieces = [
            b"vrk-",
            b".shard",
            b"VRK",
            b"a",
            b"7",
            b"-",
            b".",
            b"\xc3\xa9",
            b"\xff",
            b" ",
            b"\n",
            b"vrk",
            b"shard",
        ]
        self.serial += 1
        parts = [self.random.choice(pieces) for _ in range(self.random.randint(0, 3))]
        parts.insert(self.random.randint(0, len(parts)), f"z{self.serial}".encode())
        return b"".join(parts)

    def entry(self, staged: Path) -> Entry:
        """Creates one entry at `staged` and returns what it means."""
        r = self.random
        kind = r.choice(
            [
                "live",
                "live",
                "live-long",
                "dead",
                "version",
                "short",
                "pid",
                "name",
                "random-name",
                "directory",
                "fifo",
                "symlink",
                "dangling-symlink",
                "special-symlink",
            ]
        )
        if kind in ("live", "live-long"):
            t = self.totals()
            data = pack(t.words(self.live_pid_word()))
            if kind == "live-long":
                data += r.randbytes(r.randint(1, 300))
            staged.write_bytes(data)
            return Entry(self.fresh_name(), kind, counted=t)
        if kind == "dead":
            pid = r.randint(PID_MAX + 1, 2**31 - 1) | (r.choice([0, r.getrandbits(32)]) << 32)
            t = self.totals()
            staged.write_bytes(pack(t.words(pid)) + self.tail())
            return Entry(self.fresh_name(), kind, counted=t, deleted=True)
        if kind == "version":
            version = r.choice([0, 2, 2**32 + 1, MASK, r.getrandbits(64)]) or 3
            words = self.rejected_totals().words(self.live_pid_word(), version=version)
            staged.write_bytes(pack(words) + self.tail())
            return Entry(self.fresh_name(), kind)
        if kind == "short":
            data = pack(self.rejected_totals().words(self.live_pid_word()))
            staged.write_bytes(data[: r.randrange(SHARD_SIZE)])
            return Entry(self.fresh_name(), kind)
        if kind == "pid":  # 0 and negative ids would address process groups
            low = r.choice([0, 2**32 - 1, 2**31, r.randint(2**31, 2**32 - 1)])
            high = r.choice([0, r.getrandbits(32)])
            staged.write_bytes(pack(self.rejected_totals().words(high << 32 | low)))
            return Entry(self.fresh_name(), kind)
        if kind == "name":
            staged.write_bytes(pack(self.rejected_totals().words(self.live_pid)))
            name = self.fresh_name(valid=False)
            assert not acceptable_name(name), name
            return Entry(name, kind)
        if kind == "random-name":
            name = self.random_name()
            if acceptable_name(name):
                t = self.totals()
                staged.write_bytes(pack(t.words(self.live_pid)))
                return Entry(name, kind, counted=t)
            staged.write_bytes(pack(self.rejected_totals().words(self.live_pid)))
            return Entry(name, kind)
        if kind == "directory":
            staged.mkdir()
            inner = staged / "vrk-1.shard"
            inner.write_bytes(pack(self.rejected_totals().words(self.live_pid)))
            return Entry(self.fresh_name(), kind)
        if kind == "fifo":
            os.mkfifo(staged)
            return Entry(self.fresh_name(), kind)
        # Links are not followed, not even to a valid shard of a live writer.
        if kind == "symlink":
            target = self.staging / f"target{self.serial}"
            target.write_bytes(pack(self.rejected_totals().words(self.live_pid)))
        elif kind == "dangling-symlink":
            target = self.staging / f"missing{self.serial}"
        else:
            target = Path(r.choice(["/dev/zero", "/dev/null", "/proc/self/stat", "/"]))
            if r.random() < 0.5:
                target = self.staging / f"fifo{self.serial}"
                os.mkfifo(target)
        os.symlink(target, staged)
        return Entry(self.fresh_name(), kind)

    def place(self, base: Path) -> Entry:
        """Makes an entry beside the shard directory and moves it in with one rename, so
        that no merge sees a file half written."""
        staged = self.staging / f"entry{self.serial}"
        entry = self.entry(staged)
        os.rename(staged, os.path.join(os.fsencode(base), entry.name))
        return entry


def check_directory(base: Path, entries: list[Entry]) -> None:
    present = set(os.listdir(os.fsencode(base)))
    deleted = [e.name for e in entries if e.deleted and e.name in present]
    kept = [e.name for e in entries if not e.deleted and e.name not in present]
    assert deleted == [] and kept == [], (deleted, kept)


@pytest.fixture
def seed() -> int:
    value = int(os.environ.get("VRK_FUZZ_SEED", random.randrange(2**32)))
    print(f"shard fuzz seed: {value} (set VRK_FUZZ_SEED={value} to replay)")
    return value


MERGE_ONCE = """
    import json
    from vornik import _core
    print(json.dumps(_core.aggregate().to_dict()))
    _core.metrics_text()
"""


@pytest.mark.parametrize("wide", [False, True], ids=["small-counts", "arbitrary-words"])
def test_merge_counts_exactly_the_valid_shards(tmp_path: Path, seed: int, wide: bool) -> None:
    base, staging = tmp_path / "shards", tmp_path / "staging"
    base.mkdir()
    staging.mkdir()
    fuzzer = Fuzzer(seed, wide, staging)
    entries = [fuzzer.place(base) for _ in range(300)]
    expected = Totals()
    for entry in entries:
        if entry.counted:
            expected.add(entry.counted)

    # A merge in another process first: a hang there ends in a timeout, not a stuck run.
    merged = start_python(MERGE_ONCE, base)
    result = json.loads(finish(merged))
    check_aggregate(result, expected)
    check_directory(base, entries)

    # And here, where the merge also meets this process's own (empty) shard.
    _core.set_multiproc_dir(str(base))
    check_aggregate(_core.aggregate().to_dict(), expected)
    check_directory(base, entries)


WRITER = """
    import json, sys, time
    from vornik import _core
    requests = json.loads(sys.stdin.readline())
    for i, (status, duration) in enumerate(requests):
        _core.record_request("GET", "/fuzz", status, duration)
        if i % 25 == 0:
            time.sleep(0.005)  # spread the writes over the time the files are placed
    print("done", flush=True)
    sys.stdin.read()  # stays alive, so that its shard still counts, until told to go
"""

MERGER = """
    import os, sys
    from vornik import _core
    stop, bound = sys.argv[1], int(sys.argv[2])
    merges = 0
    while not os.path.exists(stop):
        agg = _core.aggregate()
        assert agg.total_requests <= bound, (agg.total_requests, bound)
        assert agg.total_errors <= bound, (agg.total_errors, bound)
        if merges % 10 == 0:
            text = _core.metrics_text()
            assert text.startswith("# HELP vrk_requests_total"), text[:100]
        merges += 1
    print(merges)
"""


def writer_requests(rng: random.Random, count: int) -> list[tuple[int, float]]:
    durations = [
        0.0,
        -0.0,
        -3.0,
        1.0,
        1.0000001,
        2.5,
        0.0004,
        10000.0,
        10000.5,
        float("nan"),
        float("inf"),
        1e300,
        *BOUNDS_MS,
    ]
    return [
        (
            rng.choice([200, 201, 302, 399, 400, 404, 500, 599, 65535]),
            rng.choice(durations) if rng.random() < 0.3 else rng.uniform(0, 12000),
        )
        for _ in range(count)
    ]


def test_merges_while_writers_write_and_files_appear(
    tmp_path: Path, seed: int, helpers: list[subprocess.Popen[str]]
) -> None:
    base, staging = tmp_path / "shards", tmp_path / "staging"
    base.mkdir()
    staging.mkdir()
    rng = random.Random(seed)
    fuzzer = Fuzzer(seed, wide=False, staging=staging)
    plans = [writer_requests(rng, 3000) for _ in range(3)]
    writers_total = Totals()
    for plan in plans:
        for status, duration in plan:
            writers_total.record(status, duration)
    # Counted fuzz shards, live or dead, stay below 2**20 requests each, and there are at
    # most 400.
    bound = writers_total.requests + 400 * 2**20
    assert bound < Fuzzer.REJECTED_REQUESTS

    stop = tmp_path / "stop"
    mergers = [start_python(MERGER, base, str(stop), str(bound)) for _ in range(2)]
    helpers.extend(mergers)
    writers = [start_python(WRITER, base) for _ in plans]
    helpers.extend(writers)
    for writer, plan in zip(writers, plans, strict=True):
        assert writer.stdin is not None
        writer.stdin.write(json.dumps(plan) + "\n")
        writer.stdin.flush()

    entries = []
    for _ in range(400):
        entries.append(fuzzer.place(base))
        time.sleep(0.002)
    for writer in writers:
        assert read_line(writer) == "done\n"
    stop.touch()
    merges = [int(finish(merger)) for merger in mergers]
    print(f"merges by the two mergers: {merges}; entries placed: {len(entries)}")
    assert all(count > 0 for count in merges)

    expected = Totals()
    for entry in entries:
        if entry.counted:
            expected.add(entry.counted)
    expected.add(writers_total)

    # The writers are alive: their shards count, exactly, beside the fuzz shards.
    _core.set_multiproc_dir(str(base))
    check_aggregate(_core.aggregate().to_dict(), expected)
    check_directory(base, entries)

    # Once they have gone, the next merge folds their shards: the sum stays the same.
    for writer in writers:
        finish(writer)
    check_aggregate(_core.aggregate().to_dict(), expected)
    check_directory(base, entries)
    real_shards = {n for n in os.listdir(base) if re.fullmatch(r"vrk-[0-9]+\.shard", n)}
    assert real_shards == {f"vrk-{os.getpid()}.shard"}


SHORT_LIVED_MERGER = """
    import json, sys, time
    from vornik import _core
    seen = set()
    end = time.monotonic() + float(sys.argv[1])
    while time.monotonic() < end:
        agg = _core.aggregate()
        seen.add((agg.total_requests, agg.total_errors))
    print(json.dumps(sorted(seen)))
"""


def test_merge_survives_a_shard_rewritten_in_place(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    # Another program rewriting a file in the shard directory truncates it first: a
    # merge reading that file at the same moment must neither fault nor count it halfway.
    base = tmp_path / "shards"
    base.mkdir()
    t = Totals(
        requests=7,
        errors=3,
        latency_sum_us=70,
        latency_min_us=1,
        latency_max_us=20,
        buckets=[7] + [0] * 13,
    )
    data = pack(t.words(os.getpid()))
    merger = start_python(SHORT_LIVED_MERGER, base, "2")
    helpers.append(merger)
    rewrites = 0
    while merger.poll() is None:
        with open(base / "vrk-rewritten.shard", "wb") as shard:  # truncates, then writes
            shard.write(data)
        rewrites += 1
    out, err = merger.communicate(timeout=TIMEOUT_S)
    assert merger.returncode == 0, (merger.returncode, err)
    print(f"{rewrites} rewrites during the merges")
    seen = {tuple(pair) for pair in json.loads(out)}
    assert (7, 3) in seen and seen <= {(0, 0), (7, 3)}, seen


# --- Stress: mergers and writers dying all the time --------------------------------------

STRESS_WRITER = """
    import sys
    from vornik import _core
    count, seed = int(sys.argv[1]), int(sys.argv[2])
    for i in range(count):
        status = 500 if (i + seed) % 4 == 0 else 200
        _core.record_request("GET", "/", status, float((i * 7 + seed) % 60))
    print("done", flush=True)
    sys.stdin.read()
"""

STRESS_MERGER = """
    import sys, time
    from vornik import _core
    with open(sys.argv[1], "a", buffering=1) as log:
        while True:
            start = time.monotonic_ns()
            agg = _core.aggregate()
            log.write(f"{start} {time.monotonic_ns()} {agg.total_requests} {agg.total_errors}\\n")
"""


def merges_seen(logs: list[Path]) -> list[tuple[int, int, int, int]]:
    """(start, end, requests, errors) of every merge the mergers logged. The line a merger
    was writing when it was killed may be cut short."""
    seen = []
    for log in filter(Path.exists, logs):  # a merger killed early wrote none
        for line in log.read_text().splitlines():
            fields = line.split()
            if len(fields) == 4:
                start, end, requests, errors = map(int, fields)
                seen.append((start, end, requests, errors))
    return seen


def test_merged_totals_never_decrease_and_end_exact(
    tmp_path: Path, seed: int, helpers: list[subprocess.Popen[str]]
) -> None:
    base = tmp_path / "shards"
    rng = random.Random(seed)
    logs: list[Path] = []

    def new_merger() -> subprocess.Popen[str]:
        logs.append(tmp_path / f"merger{len(logs)}.log")
        merger = start_python(STRESS_MERGER, base, str(logs[-1]))
        helpers.append(merger)
        return merger

    plans = [(rng.randint(50, 1500), rng.randrange(1000)) for _ in range(40)]
    expected = Totals()
    for count, plan_seed in plans:
        for i in range(count):
            status = 500 if (i + plan_seed) % 4 == 0 else 200
            expected.record(status, float((i * 7 + plan_seed) % 60))

    mergers = [new_merger() for _ in range(3)]
    pending = list(plans)
    running: list[subprocess.Popen[str]] = []
    killed_writers = killed_mergers = 0
    deadline = time.monotonic() + TIMEOUT_S
    while pending or running:
        assert time.monotonic() < deadline, "the stress run did not finish"
        while pending and len(running) < 4:
            count, plan_seed = pending.pop()
            running.append(start_python(STRESS_WRITER, base, str(count), str(plan_seed)))
            helpers.append(running[-1])
        writer = running.pop(0)
        assert read_line(writer) == "done\n"
        if rng.random() < 0.6:
            writer.kill()  # its shard is folded by whichever merger comes first
            killed_writers += 1
        else:
            assert writer.stdin is not None
            writer.stdin.close()
        writer.wait(timeout=TIMEOUT_S)
        # A merger may be killed in the middle of a fold.
        if rng.random() < 0.5:
            victim = rng.randrange(len(mergers))
            time.sleep(rng.random() * 0.02)
            mergers[victim].kill()
            mergers[victim].wait(timeout=TIMEOUT_S)
            mergers[victim] = new_merger()
            killed_mergers += 1
    time.sleep(0.2)
    for merger in mergers:
        merger.kill()
        merger.wait(timeout=TIMEOUT_S)

    _core.set_multiproc_dir(str(base))
    check_aggregate(_core.aggregate().to_dict(), expected)
    assert sorted(os.listdir(base)) == sorted([f"vrk-{os.getpid()}.shard",
                                               f"vrk-shards.{os.geteuid()}.retained",
                                               f"vrk-shards.{os.geteuid()}.lock"])  # fmt: skip

    seen = merges_seen(logs)
    print(
        f"{len(seen)} merges by {len(logs)} mergers ({killed_mergers} killed), "
        f"{len(plans)} writers ({killed_writers} killed)"
    )
    assert len(seen) > 100
    # No merge counts more than was ever recorded (nothing twice), and none reports less
    # than a merge that had ended before it began (no transient drop).
    assert all(r <= expected.requests and e <= expected.errors for _, _, r, e in seen)
    by_end = sorted(seen, key=lambda merge: merge[1])
    highest = (0, 0)
    ended = 0
    for begin, _, requests, errors in sorted(seen):
        while ended < len(by_end) and by_end[ended][1] < begin:
            highest = max(highest[0], by_end[ended][2]), max(highest[1], by_end[ended][3])
            ended += 1
        assert requests >= highest[0] and errors >= highest[1], (begin, requests, errors, highest)
