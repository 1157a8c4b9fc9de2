"""Process samples: figures from the operating system and the CPU share between samples."""

from __future__ import annotations

import os
import subprocess
import sys
import time

import psutil
import pytest
from support import run_python
from vornik import _core


def test_figures_agree_with_psutil() -> None:
    process = psutil.Process()
    before = process.memory_info()
    snap = _core.snapshot()
    after = process.memory_info()
    page = os.sysconf("SC_PAGE_SIZE")
    assert snap.pid == os.getpid()
    assert (
        min(before.rss, after.rss) - 2 * page
        <= snap.memory_rss
        <= max(before.rss, after.rss) + 2 * page
    )
    assert snap.memory_virtual in (before.vms, after.vms)
    assert snap.threads == process.num_threads()
    assert abs(snap.timestamp - time.time()) <= 1.5
    assert isinstance(snap.timestamp, int)


def test_first_sample_is_zero_then_follows_the_cpu_clock() -> None:
    # Expectations come from the process's own CPU clock over the same interval, so a
    # loaded machine that gives the loop less than a full CPU does not matter.
    out = run_python(
        """
        import time
        from vornik import _core
        def measured(work):
            cpu0, wall0 = time.process_time(), time.monotonic()
            work()
            reported = _core.snapshot().cpu_percent
            cpu1, wall1 = time.process_time(), time.monotonic()
            return reported, (cpu1 - cpu0) / (wall1 - wall0) * 100
        def spin():
            end = time.process_time() + 0.3
            while time.process_time() < end:
                pass
        first = _core.snapshot().cpu_percent
        print(first, *measured(spin), *measured(lambda: time.sleep(0.3)))
        """
    )
    first, busy, busy_expected, idle, idle_expected = map(float, out.split())
    assert first == 0.0
    assert abs(busy - busy_expected) < 10.0 and busy > 0.0
    assert abs(idle - idle_expected) < 10.0


def test_every_sampler_moves_the_baseline() -> None:
    out = run_python(
        """
        import time
        from vornik import _core
        _core.snapshot()
        end = time.process_time() + 0.3
        while time.process_time() < end:
            pass
        _core.check_alerts()          # takes the busy interval
        time.sleep(0.2)
        after_alerts = _core.snapshot().cpu_percent
        end = time.process_time() + 0.3
        while time.process_time() < end:
            pass
        _core.metrics_text()          # so does a scrape
        time.sleep(0.2)
        after_scrape = _core.snapshot().cpu_percent
        print(after_alerts, after_scrape)
        """
    )
    after_alerts, after_scrape = map(float, out.split())
    assert after_alerts < 20.0
    assert after_scrape < 20.0


def test_busy_threads_exceed_one_cpu() -> None:
    if (os.cpu_count() or 1) < 2:
        pytest.skip("needs two CPUs")
    # The figure must follow the process's own CPU clock, uncapped and not divided by
    # the number of CPUs; on a shared machine the threads may get less than two CPUs,
    # so the expectation comes from that clock over the same interval.
    out = run_python(
        """
        import hashlib, threading, time
        from vornik import _core
        data = b"x" * (1 << 20)
        def spin():
            end = time.monotonic() + 0.8
            while time.monotonic() < end:
                hashlib.sha256(data).digest()  # releases the GIL while hashing
        workers = [threading.Thread(target=spin) for _ in range(2)]
        _core.snapshot()
        cpu0, wall0 = time.process_time(), time.monotonic()
        for w in workers: w.start()
        time.sleep(0.05)
        print(_core.snapshot().threads)
        for w in workers: w.join()
        reported = _core.snapshot().cpu_percent
        cpu1, wall1 = time.process_time(), time.monotonic()
        print(reported, (cpu1 - cpu0) / (wall1 - wall0) * 100)
        """
    )
    threads, reported, expected = out.split()
    assert int(threads) == 3
    assert abs(float(reported) - float(expected)) < 10.0
    if float(expected) > 110.0:
        assert float(reported) > 100.0


def test_forked_child_never_reports_negative_cpu() -> None:
    out = run_python(
        """
        import os, time
        from vornik import _core
        end = time.process_time() + 0.3
        while time.process_time() < end:
            pass
        _core.snapshot()              # parent's baseline holds 300 ms of CPU
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            first = _core.snapshot()
            second = _core.snapshot()
            os.write(write, f"{first.pid} {first.cpu_percent} {second.cpu_percent}".encode())
            os._exit(0)
        os.waitpid(pid, 0)
        child_pid, first, second = os.read(read, 200).decode().split()
        print(int(child_pid) == pid, first, second)
        """
    )
    own_pid, first, second = out.split()
    assert own_pid == "True"
    assert float(first) == 0.0
    assert float(second) >= 0.0


def test_without_process_statistics_sampling_fails_cleanly() -> None:
    # A private mount namespace with an empty /proc: the process cannot be found.
    probe = """
import os
from vornik import _core
for sampler in (_core.snapshot, _core.check_alerts):
    try:
        sampler()
    except RuntimeError as error:
        print(error.args == (f"process {os.getpid()} not found by sysinfo",))
document = _core.metrics_text()
print(document.count("# HELP"), document.endswith("vrk_latency_p99_ms 0\\n\\n"))
"""
    script = f"mount -t tmpfs none /proc && exec {sys.executable} -c '{probe}'"
    result = subprocess.run(
        ["unshare", "-m", "sh", "-c", script], capture_output=True, text=True, timeout=60
    )
    if result.returncode != 0 and not result.stdout:
        pytest.skip(f"cannot hide /proc here: {result.stderr.strip()}")
    assert result.stdout.split() == ["True", "True", "9", "True"]


def test_samples_itself_inside_a_pid_namespace_that_sees_another_proc() -> None:
    # `unshare --pid --fork` without a new mount namespace: the process is pid 1 in
    # its namespace while /proc still shows the outer namespace, where pid 1 is some
    # other process. The figures must be this process's own.
    probe = """
import os, threading
from vornik import _core
stop = threading.Event()
for _ in range(4):
    threading.Thread(target=stop.wait).start()
def vsize():
    with open("/proc/self/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[20])
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
before = (vsize(), rss(), len(os.listdir("/proc/self/task")))
snap = _core.snapshot()
after = (vsize(), rss(), len(os.listdir("/proc/self/task")))
stop.set()
page = os.sysconf("SC_PAGE_SIZE")
print(os.getpid(), snap.pid, snap.threads, before[2], after[2],
      snap.memory_virtual in (before[0], after[0]),
      min(before[1], after[1]) - 2 * page <= snap.memory_rss <= max(before[1], after[1]) + 2 * page)
"""
    result = subprocess.run(
        ["unshare", "--pid", "--fork", sys.executable, "-c", probe],
        capture_output=True,
        text=True,
        timeout=60,
    )
    if result.returncode != 0 and not result.stdout:
        pytest.skip(f"cannot enter a new PID namespace here: {result.stderr.strip()}")
    pid, snap_pid, threads, threads_before, threads_after, same_vsize, same_rss = (
        result.stdout.split()
    )
    assert pid == snap_pid == "1"
    assert threads == threads_before == threads_after == "5"
    assert same_vsize == same_rss == "True"
