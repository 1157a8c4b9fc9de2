"""The rules every kind of worker file follows, whatever it holds: shards, series tables
and worker slots are made, passed over, healed and counted by the same code, so each
scenario runs once per kind."""

from __future__ import annotations

import os
import shutil
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest
from support import NOBODY, metric
from vornik import _core, _routes


@dataclass(frozen=True)
class Kind:
    name: str
    # The name this process's file of the kind takes first in a fresh directory.
    first_name: Callable[[], str]
    suffix: str
    # What the directory's document shows of this process's requests through the kind.
    shown: Callable[[str], float]


def route_requests(document: str) -> float:
    return sum(
        float(line.rsplit(" ", 1)[1])
        for line in document.splitlines()
        if line.startswith("vrk_http_requests_total{")
    )


def listed_workers(document: str) -> float:
    # A slot shows this process as a live worker, with its requests.
    return metric(document, "vrk_workers") and sum(
        float(line.rsplit(" ", 1)[1])
        for line in document.splitlines()
        if line.startswith("vrk_worker_requests_total{")
    )


KINDS = [
    Kind("shard", lambda: f"vrk-{os.getpid()}.shard", ".shard",
         lambda d: metric(d, "vrk_requests_total")),
    Kind("series", lambda: f"vrk-{os.getpid()}.series", ".series", route_requests),
    Kind("slot", lambda: "vrk-worker-0.slot", ".slot", listed_workers),
]  # fmt: skip


@pytest.fixture(params=KINDS, ids=[kind.name for kind in KINDS])
def kind(request: pytest.FixtureRequest) -> Kind:
    return request.param  # type: ignore[no-any-return]


def record(times: int = 1) -> None:
    for _ in range(times):
        _routes.record_request("GET", "/", 200, 1.0, "/")


def own_files(directory: Path, kind: Kind) -> list[Path]:
    """Files of the kind that hold this process's figures (a slot holds its pid)."""
    found = []
    for path in directory.glob(f"vrk-*{kind.suffix}"):
        if path.is_symlink() or not path.is_file():
            continue
        if path.stat().st_uid != os.getuid() or path.stat().st_nlink > 1:
            continue
        if kind.name != "slot" or path.read_bytes()[:16].strip() == str(os.getpid()).encode():
            found.append(path)
    return found


def plant_symlink(path: Path, victim: Path) -> None:
    path.symlink_to(victim)


def plant_fifo(path: Path, victim: Path) -> None:
    os.mkfifo(path)


def plant_hard_link(path: Path, victim: Path) -> None:
    os.link(victim, path)


def plant_foreign_file(path: Path, victim: Path) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to hand a file to another user")
    shutil.copyfile(victim, path)
    os.chown(path, NOBODY, NOBODY)
    path.chmod(0o666)


@pytest.mark.parametrize(
    "plant", [plant_symlink, plant_fifo, plant_hard_link, plant_foreign_file],
    ids=["symlink", "fifo", "hard-link", "other-user"],
)  # fmt: skip
def test_a_planted_file_at_the_first_name_is_passed_over(
    tmp_path: Path, kind: Kind, plant: Callable[[Path, Path], None]
) -> None:
    """Whatever takes the name a writer tries first, the writer neither writes it nor
    counts it: its file goes under another name, and its requests count once."""
    victim = tmp_path / "victim"
    content = str(os.getpid()).encode().ljust(16) + b"precious" * 64
    victim.write_bytes(content)
    shared = tmp_path / "shared"
    shared.mkdir()
    planted = shared / kind.first_name()
    plant(planted, victim)
    _core.set_multiproc_dir(str(shared))
    record(3)
    assert kind.shown(_routes.metrics_document()) == 3
    assert victim.read_bytes() == content
    [own] = own_files(shared, kind)
    assert own.name != planted.name


def test_a_wiped_directory_heals(tmp_path: Path, kind: Kind) -> None:
    """Within a second of its directory being emptied, a writer's next request puts its
    file of the kind back, and every request after that is counted."""
    directory = tmp_path / "shared"
    _core.set_multiproc_dir(str(directory))
    record(3)
    assert own_files(directory, kind)
    shutil.rmtree(directory)
    deadline = time.monotonic() + 5
    while not (directory.exists() and own_files(directory, kind)):
        assert time.monotonic() < deadline, f"no {kind.name} file came back"
        record()
        time.sleep(0.01)
    before = kind.shown(_routes.metrics_document())
    record(4)
    assert kind.shown(_routes.metrics_document()) == before + 4
