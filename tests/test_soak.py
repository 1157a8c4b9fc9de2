"""Soak run: several worker processes record requests without pause while another process
scrapes the merged document in a loop. At the end the merged counts are exact and the
scraper's memory has stayed flat.

The run lasts VRK_SOAK_SECONDS seconds of recording (default 10).
"""

from __future__ import annotations

import json
import os
import subprocess
import time
from pathlib import Path

from support import SANITIZED, finish, read_line, start_python
from vornik import _core

SECONDS = float(os.environ.get("VRK_SOAK_SECONDS", "10"))
WRITERS = 3
# A scrape allocates a few kilobytes; thousands of scrapes that each kept even a small
# block would pass these bounds many times over.
RSS_SLACK = 1024 * 1024
MALLOC_SLACK = 64 * 1024

WRITER = """
    import json, os, sys
    from vornik import _core
    stop = sys.argv[1]
    requests = errors = 0
    paths = ["/", "/users", "/users/42", "/a/much/longer/path/than/the/others/" + "x" * 40]
    while not os.path.exists(stop):
        for i in range(1000):
            status = 500 if i % 7 == 0 else 200
            _core.record_request("GET", paths[i % 4], status, (i % 300) * 0.37)
            errors += status >= 400
        requests += 1000
    print(json.dumps({"requests": requests, "errors": errors}), flush=True)
    sys.stdin.read()  # stays alive, so that its shard still counts, until told to go
"""

SCRAPER = """
    import json, os, sys
    import psutil
    from support import malloc_in_use
    from vornik import _core

    process = psutil.Process()

    def memory():
        return process.memory_info().rss, malloc_in_use()

    def scrape():
        lines = _core.metrics_text().splitlines()
        sample = {l.split()[0]: float(l.split()[1]) for l in lines if l and l[0] != "#"}
        assert len(sample) == 13, lines
        return int(sample["vrk_requests_total"]), int(sample["vrk_errors_total"])

    stop = sys.argv[1]
    scrapes, last = 0, (0, 0)
    warm = None
    while not os.path.exists(stop):
        total, errors = scrape()
        # Writers only add: neither count may ever go back.
        assert total >= last[0] and errors >= last[1], (last, total, errors)
        last = (total, errors)
        scrapes += 1
        if scrapes == 500:
            warm = memory()
    final = scrape()
    after = memory()
    print(json.dumps({"scrapes": scrapes, "final": final, "before": warm, "after": after}))
"""


def read_json(process: subprocess.Popen[str]) -> dict[str, object]:
    return json.loads(read_line(process))  # type: ignore[no-any-return]


def test_soak(tmp_path: Path, helpers: list[subprocess.Popen[str]]) -> None:
    shards = tmp_path / "shards"
    stop_writing, stop_scraping = tmp_path / "stop-writing", tmp_path / "stop-scraping"
    writers = [start_python(WRITER, shards, str(stop_writing)) for _ in range(WRITERS)]
    helpers.extend(writers)
    scraper = start_python(SCRAPER, shards, str(stop_scraping))
    helpers.append(scraper)

    time.sleep(SECONDS)
    stop_writing.touch()
    counts = [read_json(writer) for writer in writers]
    requests = sum(int(c["requests"]) for c in counts)  # type: ignore[call-overload]
    errors = sum(int(c["errors"]) for c in counts)  # type: ignore[call-overload]
    # Every writer has finished writing; the scraper's last scrape comes after this.
    stop_scraping.touch()
    report = read_json(scraper)
    finish(scraper)

    scrapes = report["scrapes"]
    before_rss, before_malloc = report["before"]  # type: ignore[misc]
    after_rss, after_malloc = report["after"]  # type: ignore[misc]
    print(
        f"soak: {SECONDS:g} s, {WRITERS} writers, {requests} requests ({errors} errors), "
        f"{scrapes} scrapes; scraper RSS {before_rss} -> {after_rss} bytes, "
        f"malloc in use {before_malloc} -> {after_malloc} bytes"
    )

    assert report["final"] == [requests, errors]
    _core.set_multiproc_dir(str(shards))
    merged = _core.aggregate()
    assert (merged.total_requests, merged.total_errors) == (requests, errors)

    assert isinstance(scrapes, int) and scrapes > 500
    if not SANITIZED:  # the sanitizer's allocator keeps freed memory in quarantine
        assert after_rss - before_rss <= RSS_SLACK
        assert after_malloc - before_malloc <= MALLOC_SLACK

    for writer in writers:
        finish(writer)
