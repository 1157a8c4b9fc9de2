"""Requests by method, route and status: the series table, its files, and the document."""

from __future__ import annotations

import contextlib
import gzip
import logging
import math
import os
import shutil
import socket
import struct
import subprocess
import sys
import textwrap
import time
from http import HTTPStatus
from pathlib import Path

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse_openmetrics
from prometheus_client.parser import text_string_to_metric_families as parse_text
from support import SANITIZED, Text, environment, run_python, series_routes, small_tmpfs
from vornik import _core, _routes, workers
from vornik._middleware import metrics_answer

DEFAULT_BOUNDS = (0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1, 2.5, 5, 7.5, 10)
LE_TEXTS = ["0.005", "0.01", "0.025", "0.05", "0.075", "0.1", "0.25", "0.5", "0.75", "1.0",
            "2.5", "5.0", "7.5", "10.0", "+Inf"]  # fmt: skip
METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "_OTHER"]
REQUESTS_HEAD = (
    "# HELP vrk_http_requests_total HTTP requests by method, route template and status code\n"
    "# TYPE vrk_http_requests_total counter\n"
)
DURATION_HEAD = (
    "# HELP vrk_http_request_duration_seconds HTTP request duration in seconds by method and "
    "route template\n# TYPE vrk_http_request_duration_seconds histogram\n"
)


def route_families(document: str) -> str:
    return document[document.index("# HELP vrk_http_requests") :]


def histogram_lines(method: str, route: str, cumulative: list[int], sum_text: str) -> str:
    labels = f'method="{method}",route="{route}"'
    lines = [
        f'vrk_http_request_duration_seconds_bucket{{{labels},le="{le}"}} {count}\n'
        for le, count in zip(LE_TEXTS, cumulative, strict=True)
    ]
    lines.append(f"vrk_http_request_duration_seconds_sum{{{labels}}} {sum_text}\n")
    lines.append(f"vrk_http_request_duration_seconds_count{{{labels}}} {cumulative[-1]}\n")
    return "".join(lines)


# --- the document ------------------------------------------------------------------


def test_families_golden_in_both_formats() -> None:
    _routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")
    _routes.record_request("GET", "/users/8", 404, 5.0, "/users/{id}")
    _routes.record_request("GET", "/users/9", 200, 250.0, "/users/{id}")
    _routes.record_request("brew", "/pot", 418, 20000.0, "/pot")
    text = _routes.metrics_document()
    expected = (
        REQUESTS_HEAD
        + 'vrk_http_requests_total{method="_OTHER",route="/pot",status="418"} 1\n'
        + 'vrk_http_requests_total{method="GET",route="/users/{id}",status="200"} 2\n'
        + 'vrk_http_requests_total{method="GET",route="/users/{id}",status="404"} 1\n'
        + "\n"
        + DURATION_HEAD
        + histogram_lines("_OTHER", "/pot", [0] * 14 + [1], "20")
        + histogram_lines(
            "GET", "/users/{id}", [1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3], "0.2675"
        )
        + "\n"
    )
    assert route_families(text) == expected
    # The thirteen families come first, exactly as vornik._core renders them.
    head = text[: text.index(REQUESTS_HEAD)]
    assert (
        head.split("# HELP vrk_process")[0] == _core.metrics_text().split("# HELP vrk_process")[0]
    )

    openmetrics = _routes.metrics_document(openmetrics=True)
    assert openmetrics.endswith("# EOF\n") and "\n\n" not in openmetrics
    assert "_created" not in openmetrics
    assert (
        route_families(openmetrics)
        == expected.replace("# HELP vrk_http_requests_total", "# HELP vrk_http_requests")
        .replace("# TYPE vrk_http_requests_total", "# TYPE vrk_http_requests")
        .replace("\n\n", "\n")
        + "# EOF\n"
    )
    assert "# TYPE vrk_requests counter\nvrk_requests_total 4\n" in openmetrics


def test_both_formats_parse_back_with_the_same_figures() -> None:
    for i in range(30):
        _routes.record_request(
            ["GET", "POST"][i % 2], "/x", 200 + (i % 3) * 100, i * 7.5, f"/r/{i % 4}"
        )
    by_format = {}
    for openmetrics, parse in ((False, parse_text), (True, parse_openmetrics)):
        families = {f.name: f for f in parse(_routes.metrics_document(openmetrics=openmetrics))}
        assert families["vrk_http_requests"].type == "counter"
        assert families["vrk_http_request_duration_seconds"].type == "histogram"
        by_format[openmetrics] = {
            (s.name, tuple(sorted(s.labels.items()))): s.value
            for name in ("vrk_http_requests", "vrk_http_request_duration_seconds")
            for s in families[name].samples
        }
    assert by_format[False] == by_format[True]
    totals = [v for (name, _), v in by_format[True].items() if name == "vrk_http_requests_total"]
    assert sum(totals) == 30


def test_label_values_are_escaped_and_methods_normalised() -> None:
    route = 'a"b\\c\nd/ü'
    for method in METHODS[:-1] + ["get", "BREW", "", "GET "]:
        _routes.record_request(method, "/", 200, 1.0, route)
    text = route_families(_routes.metrics_document())
    escaped = 'a\\"b\\\\c\\nd/ü'
    lines = [line for line in text.splitlines() if line.startswith("vrk_http_requests_total{")]
    assert lines == [
        f'vrk_http_requests_total{{method="{m}",route="{escaped}",status="200"}} {count}'
        for m, count in ((m, 4 if m == "_OTHER" else 1) for m in METHODS)
    ]
    families = {f.name: f for f in parse_text(text)}
    assert {s.labels["route"] for s in families["vrk_http_requests"].samples} == {route}


def test_bucket_edges_and_odd_durations() -> None:
    # A duration on a bound belongs to that bound's bucket; NaN only to +Inf, with no
    # latency; a negative one to the first bucket, with no latency either.
    cases = [(5.0, 0), (5.000001, 1), (10000.0, 13), (10000.5, 14), (math.nan, 14), (-3.0, 0)]
    for i, (duration, _) in enumerate(cases):
        _routes.record_request("GET", "/", 200, duration, f"/{i}")
    text = route_families(_routes.metrics_document())
    for i, (_, bucket) in enumerate(cases):
        cumulative = [0] * bucket + [1] * (15 - bucket)
        sums = {0: "0.005", 1: "0.005", 2: "10", 3: "10.0005", 4: "0", 5: "0"}
        assert histogram_lines("GET", f"/{i}", cumulative, sums[i]) in text


def test_metrics_answer_negotiates_format_and_encoding() -> None:
    _routes.record_request("GET", "/", 200, 1.0, "/")
    prometheus_accept = (
        "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
        "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1"
    )
    cases = [
        ("", "text/plain; version=0.0.4; charset=utf-8"),
        ("*/*", "text/plain; version=0.0.4; charset=utf-8"),
        ("text/plain", "text/plain; version=0.0.4; charset=utf-8"),
        (prometheus_accept, _routes.OPENMETRICS_CONTENT_TYPE),
        ("application/openmetrics-text", _routes.OPENMETRICS_CONTENT_TYPE),
        (
            "application/openmetrics-text; q=0.4, text/plain",
            "text/plain; version=0.0.4; charset=utf-8",
        ),
        ("application/openmetrics-text;q=0", "text/plain; version=0.0.4; charset=utf-8"),
        ("application/openmetrics-text;version=0.0.1", "text/plain; version=0.0.4; charset=utf-8"),
        ("application/openmetrics-text;q=bad", "text/plain; version=0.0.4; charset=utf-8"),
    ]
    for accept, content_type in cases:
        answer = metrics_answer("GET", {"accept": accept})
        headers = dict(answer.headers)
        assert (answer.status, headers["Content-Type"]) == (200, content_type), accept
        assert "Content-Encoding" not in headers and headers["Vary"] == "Accept, Accept-Encoding"
        assert int(headers["Content-Length"]) == len(answer.body)
        assert answer.body.endswith(b"# EOF\n") == (
            content_type == _routes.OPENMETRICS_CONTENT_TYPE
        )
    assert (
        _routes.OPENMETRICS_CONTENT_TYPE
        == "application/openmetrics-text; version=1.0.0; charset=utf-8"
    )

    encodings = [("gzip", True), ("deflate, gzip;q=0.5", True), ("*", True),
                 ("gzip;q=0", False), ("identity", False), ("*, gzip;q=0", False)]  # fmt: skip
    for encoding, zipped in encodings:
        answer = metrics_answer("GET", {"accept": prometheus_accept, "accept-encoding": encoding})
        headers = dict(answer.headers)
        assert (headers.get("Content-Encoding") == "gzip") == zipped, encoding
        body = gzip.decompress(answer.body) if zipped else answer.body
        assert body.endswith(b"# EOF\n") and int(headers["Content-Length"]) == len(answer.body)
    head = metrics_answer("HEAD", {"accept-encoding": "gzip"})
    assert head.body == b"" and dict(head.headers)["Content-Encoding"] == "gzip"


def test_openmetrics_answer_with_the_worker_families_parses_strictly(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    _routes.record_request("GET", "/a/1", 200, 3.0, "/a/{n}")
    answer = metrics_answer("GET", {"accept": "application/openmetrics-text; version=1.0.0"})
    text = answer.body.decode()
    assert text.count("# EOF") == 1 and text.endswith("\n# EOF\n") and "\n\n" not in text
    families = {f.name: f for f in parse_openmetrics(text)}
    assert families["vrk_worker_requests"].type == "counter"
    assert families["vrk_workers"].samples[0].value == 1
    assert families["vrk_http_requests"].samples[0].labels["route"] == "/a/{n}"


# --- limits and configuration ------------------------------------------------------


def test_series_cap_overflow_and_one_warning() -> None:
    output = run_python(
        """
        import logging, sys
        from vornik import _routes
        logging.basicConfig(stream=sys.stdout, format="%(name)s %(levelname)s %(message)s")
        _routes.configure_series(max_series=3)
        for i in range(10):
            _routes.record_request("GET", "/", 200, 1.0, f"/r{i}")
        _routes.record_request("GET", "/", 500, 1.0, "/r0")   # a new status is a new series
        _routes.record_request("GET", "/", 200, 1.0, "/r1")   # known series still count
        _routes.record_request("GET", "/", 200, 1.0, "/" + "x" * 300)
        print("count", _routes.series_count())
        print(_routes.metrics_document().split("# HELP vrk_http_requests_total")[1])
        """
    )
    assert output.count("WARNING") == 1
    assert output.startswith(
        "vornik WARNING vornik: this process reached its limit of 3 request series (method, "
        "route, status); requests of new combinations; such requests are counted under "
        'route="<overflow>"'
    )
    assert "count 4\n" in output
    assert 'vrk_http_requests_total{method="GET",route="/r1",status="200"} 2\n' in output
    assert (
        'vrk_http_requests_total{method="_OTHER",route="<overflow>",status="_OTHER"} 9\n' in output
    )
    assert (
        'vrk_http_request_duration_seconds_count{method="_OTHER",route="<overflow>"} 9\n' in output
    )

    long_route = run_python(
        """
        import logging, sys
        from vornik import _routes
        logging.basicConfig(stream=sys.stdout, format="%(message)s")
        _routes.record_request("GET", "/", 200, 1.0, "/" + "y" * 256)
        _routes.record_request("GET", "/", 200, 1.0, "/" + "y" * 255)
        print(_routes.series_count())
        """
    )
    assert long_route == (
        "vornik: a route longer than 256 bytes was recorded; such requests are counted under "
        'route="<overflow>" in vrk_http_requests_total and vrk_http_request_duration_seconds\n2\n'
    )


def test_configure_bounds_and_cap() -> None:
    assert _routes.get_duration_buckets() == DEFAULT_BOUNDS
    assert _routes.get_max_series() == 1000
    output = run_python(
        """
        from vornik import _routes
        nan, inf = float("nan"), float("inf")
        for bad in ([], [1, 1], [2, 1], [0.0], [-1], [nan], [inf], list(range(1, 34))):
            try:
                _routes.configure_series(bad)
            except ValueError as error:
                print("bounds", error)
        for bad in (0, 100001):
            try:
                _routes.configure_series(max_series=bad)
            except ValueError as error:
                print("cap", error)
        for bad in ({"duration_buckets": 5}, {"duration_buckets": ["a"]}, {"max_series": 2.5}):
            try:
                _routes.configure_series(**bad)
            except TypeError as error:
                print("type", error)
        _routes.configure_series([0.1, 1], max_series=5)
        _routes.configure_series(max_series=7)   # still nothing recorded
        print(_routes.get_duration_buckets(), _routes.get_max_series())
        _routes.record_request("GET", "/", 200, 150.0, "/")
        try:
            _routes.configure_series([1])
        except ValueError as error:
            print("late", error)
        head = "# TYPE vrk_http_request_duration_seconds histogram"
        print(_routes.metrics_document().split(head)[1])
        _routes.clear_series()
        _routes.configure_series([2])
        print(_routes.get_duration_buckets())
        """
    )
    lines = output.splitlines()
    assert lines[:4] == ["bounds duration_buckets must hold 1 to 32 bounds"] + [
        "bounds duration_buckets must be strictly increasing"
    ] * 2 + ["bounds duration_buckets must be finite and positive"]
    assert lines[7] == "bounds duration_buckets must hold 1 to 32 bounds"
    assert lines[8:10] == ["cap max_series must be between 1 and 100000"] * 2
    assert [line[:5] for line in lines[10:13]] == ["type "] * 3
    assert lines[10] == "type argument 'duration_buckets': 'int' object is not iterable"
    assert lines[13] == "(0.1, 1.0) 7"
    assert lines[14] == (
        "late the series can only be configured before the first request is recorded "
        "(or after clear_series())"
    )
    assert 'le="0.1"} 0\n' in output and 'le="1.0"} 1\n' in output and 'le="+Inf"} 1\n' in output
    assert lines[-1] == "(2.0,)"


def test_record_request_binds_like_the_core() -> None:
    with pytest.raises(
        TypeError, match=r"^record_request\(\) missing 1 required positional argument: 'route'$"
    ):
        _routes.record_request("GET", "/", 200, 1.0)  # type: ignore[call-arg]
    with pytest.raises(
        TypeError, match="^argument 'route': 'int' object cannot be converted to 'PyString'$"
    ):
        _routes.record_request("GET", "/", 200, 1.0, 5)  # type: ignore[arg-type]
    with pytest.raises(OverflowError):
        _routes.record_request("GET", "/", 70000, 1.0, "/")
    assert _routes.series_count() == 0 and _core.get_requests() == []
    _routes.record_request(
        method="GET", path="/a/1", status_code=201, duration_ms=2, route="/a/{n}"
    )
    [record] = _core.get_requests()
    assert (record.method, record.path, record.status_code, record.duration_ms) == (
        "GET",
        "/a/1",
        201,
        2.0,
    )
    assert _core.aggregate().total_requests == 1 and _routes.series_count() == 1


@pytest.mark.parametrize(
    ("status", "recorded"),
    [
        (204, 204), (0, 0), (65535, 65535), (HTTPStatus.CREATED, 201),
        ("404 Not Found", 404), ("0200 OK", 200), ("503", 503),
        # Anything else is the server error it turns into.
        (65536, 500), (-1, 500), (2**70, 500), (True, 500), (200.0, 500), (None, 500),
        ("65536 Big", 500), ("\uff12\uff10\uff10 OK", 500), ("", 500), (" 200 OK", 500),
        ("20x OK", 500), ("\ud800 OK", 500), (Text("200 OK"), 500),
    ],
)  # fmt: skip
def test_record_response_takes_any_status(status: object, recorded: int) -> None:
    _routes.record_response("GET", "/s", status, 1.0, "/s")
    assert [r.status_code for r in _core.get_requests()] == [recorded]
    assert series_routes() == {("GET", "/s", str(recorded))}


def test_record_response_cuts_and_replaces_texts() -> None:
    _routes.record_response("\ud800" + "M" * 40, "/\u00e9" * 200 + "\udfff", 200, 1.0, "/r/\ud800")
    _routes.record_response("GET", "/" + "b" * 255, 200, 1.0, "/b")
    [cut, whole] = _core.get_requests()
    assert cut.method == "?" + "M" * 30 + "\u2026"
    assert cut.path == ("/\u00e9" * 200)[:255] + "\u2026"  # characters, not bytes
    assert whole.path == "/" + "b" * 255
    assert ("_OTHER", "/r/?", "200") in series_routes()
    with pytest.raises(TypeError, match="expected a str, got b'/'"):
        _routes.record_response("GET", b"/", 200, 1.0, "/")  # type: ignore[arg-type]


# --- series files in the shard directory ---------------------------------------------

MAGIC = 0x00015245534B5256
HEADER = "=37Q"


def check_word(key: int, route: bytes) -> int:
    def mix(value: int, word: int) -> int:
        value = ((value ^ word) * 0x9E3779B97F4A7C15) % 2**64
        return value ^ (value >> 29)

    def rotl(value: int, shift: int) -> int:
        return ((value << shift) | (value >> (64 - shift))) % 2**64 if shift else value

    value = (key * 0xC2B2AE3D27D4EB4F) % 2**64
    padded = route + b"\0" * (-len(route) % 8)
    for i, (word,) in enumerate(struct.iter_unpack("=Q", padded)):
        value ^= rotl(((word + 8 * i) * 0x9E3779B97F4A7C15) % 2**64, (8 * i) % 64)
    return mix(value, len(route)) | 1


def table_bytes(
    pid: int,
    series: list[tuple[int, int, str, int, list[int]]],
    bounds: tuple[float, ...] = DEFAULT_BOUNDS,
    capacity: int = 10,
    magic: int = MAGIC,
    damage: int | None = None,
) -> bytes:
    """A series table as a writer leaves it; `damage` spoils that slot's check word."""
    header = [magic, pid, capacity, len(series), len(bounds)]
    header += [struct.unpack("=Q", struct.pack("=d", b))[0] for b in bounds]
    header += [0] * (32 - len(bounds))
    slots = b""
    for i, (method, status, route, sum_us, buckets) in enumerate(series):
        raw = route.encode("utf-8", "surrogateescape")
        key = method | status << 8 | len(raw) << 32
        check = check_word(key, raw) ^ (2 if i == damage else 0)
        slots += struct.pack("=2Q", check, key) + raw.ljust(256, b"\0")
        slots += struct.pack(f"={2 + len(bounds)}Q", sum_us, *buckets)
    empty = b"\0" * (8 * (36 + len(bounds))) * (capacity - len(series))
    return struct.pack(HEADER, *header) + slots + empty


def totals(document: str) -> dict[tuple[str, str, str], int]:
    found = {}
    for line in document.splitlines():
        if line.startswith("vrk_http_requests_total{"):
            labels, value = line[len("vrk_http_requests_total{") :].split("} ")
            parts = dict(part.split("=", 1) for part in labels.split('",'))
            found[tuple(parts[k].strip('"') for k in ("method", "route", "status"))] = int(value)
    return found  # type: ignore[return-value]


def test_tables_of_all_workers_add_up(tmp_path: Path) -> None:
    for i in range(2):
        run_python(
            f"""
            from vornik import _core, _routes, workers
            _core.set_multiproc_dir({str(tmp_path)!r})
            for n in range(5 + {i}):
                _routes.record_request("GET", f"/u/{{n}}", 200, 30.0, "/u/{{id}}")
            _routes.record_request("POST", "/o", 500, 3.0, "/o")
            """
        )
    _core.set_multiproc_dir(str(tmp_path))
    _routes.record_request("GET", "/u/1", 200, 30.0, "/u/{id}")
    names = sorted(p.name for p in tmp_path.iterdir())
    assert sum(name.endswith(".series") for name in names) == 3
    assert f"vrk-{os.getpid()}.series" in names
    expected = {("GET", "/u/{id}", "200"): 12, ("POST", "/o", "500"): 2}
    document = _routes.metrics_document()
    assert totals(document) == expected
    assert 'vrk_http_request_duration_seconds_sum{method="GET",route="/u/{id}"} 0.36\n' in document
    # The two workers are gone: their tables were folded into retained totals, so the
    # directory keeps only the live table and the counters stay where they were.
    assert sorted(p.name for p in tmp_path.glob("vrk-*.series")) == [f"vrk-{os.getpid()}.series"]
    [retained] = tmp_path.glob("vrk-series-*.retained")
    assert retained.name.endswith(f".{os.getuid()}.retained")
    assert totals(_routes.metrics_document()) == expected
    _routes.record_request("POST", "/o", 500, 3.0, "/o")
    assert totals(_routes.metrics_document())[("POST", "/o", "500")] == 3


def test_mergers_and_dying_writers_never_lose_or_double_count(tmp_path: Path) -> None:
    """Writers that record and die while several processes merge (and fold): every
    merger's totals only ever grow, and all of them end exact."""
    writers, per_writer = 16, 25
    merger = f"""
        import json, sys, time
        from vornik import _core, _routes, workers
        _core.set_multiproc_dir({str(tmp_path)!r})
        last, deadline = 0, time.monotonic() + 300
        while time.monotonic() < deadline:
            document = _routes.metrics_document()
            total = sum(int(line.rsplit(" ", 1)[1]) for line in document.splitlines()
                        if line.startswith("vrk_http_requests_total{{"))
            assert total >= last, (total, last)
            last = total
            if total == {writers * per_writer}:
                break
        print(last)
        """
    env = {k: v for k, v in os.environ.items() if k != "VRK_MULTIPROC_DIR"}
    mergers = [
        subprocess.Popen([sys.executable, "-c", textwrap.dedent(merger)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env)
        for _ in range(3)
    ]  # fmt: skip
    try:
        for i in range(writers):
            run_python(
                f"""
                from vornik import _core, _routes, workers
                _core.set_multiproc_dir({str(tmp_path)!r})
                for n in range({per_writer}):
                    _routes.record_request("GET", "/", 200, 2.0, "/r/{i % 3}")
                """
            )
        outputs = [m.communicate(timeout=300) for m in mergers]
    finally:
        for m in mergers:
            m.kill()
            m.wait()
    assert [(m.returncode, out.strip()) for m, (out, _) in zip(mergers, outputs, strict=True)] == [
        (0, str(writers * per_writer))
    ] * 3, [err for _, err in outputs]
    # One more merge folds whatever the last writers left: the directory keeps none.
    _core.set_multiproc_dir(str(tmp_path))
    assert sum(totals(_routes.metrics_document()).values()) == writers * per_writer
    assert list(tmp_path.glob("vrk-*.series")) == []
    assert sum(totals(_routes.metrics_document()).values()) == writers * per_writer


def test_reselecting_the_directory_adopts_the_table(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    _routes.record_request("GET", "/", 200, 1.0, "/a")
    _core.set_multiproc_dir(str(tmp_path / "elsewhere"))
    _routes.record_request("GET", "/", 200, 1.0, "/b")
    _core.set_multiproc_dir(str(tmp_path))
    _routes.record_request("GET", "/", 200, 1.0, "/a")
    assert totals(_routes.metrics_document()) == {("GET", "/a", "200"): 2}
    assert _routes.series_count() == 1
    _core.set_multiproc_dir(None)
    # Without a directory the process starts a table of its own in memory.
    _routes.record_request("GET", "/", 200, 1.0, "/c")
    assert totals(_routes.metrics_document()) == {("GET", "/c", "200"): 1}


def test_merge_skips_junk_and_damaged_slots(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    pid = os.getpid()
    good = [(0, 200, "/good", 1000, [1] + [0] * 14)]
    (tmp_path / "vrk-1.series").write_bytes(table_bytes(pid, good))
    (tmp_path / "vrk-2.series").write_bytes(table_bytes(pid, good, magic=MAGIC + 1))
    (tmp_path / "vrk-3.series").write_bytes(table_bytes(pid, good)[:100])
    two = good + [(2, 201, "/also", 5, [0, 1] + [0] * 13)]
    (tmp_path / "vrk-4.series").write_bytes(table_bytes(pid, two, damage=0))
    (tmp_path / "vrk-5.series").write_bytes(
        table_bytes(pid, [(0, 200, "/bad\udcff", 1, [1] + [0] * 14)])
    )
    (tmp_path / "vrk-6.series").symlink_to(tmp_path / "vrk-1.series")
    os.link(tmp_path / "vrk-4.series", tmp_path / "linked.bin")
    (tmp_path / "vrk-7.series.tmp").write_bytes(table_bytes(pid, good))
    os.mkfifo(tmp_path / "vrk-8.series")
    _core.set_multiproc_dir(str(tmp_path))
    with caplog.at_level(logging.WARNING, logger="vornik"):
        assert totals(_routes.metrics_document()) == {("GET", "/good", "200"): 1}
    assert caplog.records == []
    os.unlink(tmp_path / "linked.bin")
    assert totals(_routes.metrics_document()) == {
        ("GET", "/good", "200"): 1,
        ("POST", "/also", "201"): 1,
    }


def test_tables_with_other_bounds_are_left_out_and_said_once(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    pid = os.getpid()
    (tmp_path / "vrk-1.series").write_bytes(
        table_bytes(pid, [(0, 200, "/a", 1, [1, 0, 0])], bounds=(0.1, 1.0))
    )
    (tmp_path / "vrk-2.series").write_bytes(table_bytes(pid, [(0, 200, "/a", 1, [1] + [0] * 14)]))
    _core.set_multiproc_dir(str(tmp_path))
    output = run_python(
        f"""
        import logging, sys
        from vornik import _core, _routes, workers
        logging.basicConfig(stream=sys.stdout, format="%(name)s: %(message)s")
        _core.set_multiproc_dir({str(tmp_path)!r})
        for _ in range(3):
            document = _routes.metrics_document()
        print(document.count('route="/a",status="200"}} 1'))
        """
    )
    assert output == (
        f"vornik: vornik: 1 worker series tables in {tmp_path} use other duration buckets than "
        "this process; their requests are left out of vrk_http_requests_total and "
        "vrk_http_request_duration_seconds\n1\n"
    )


def test_forked_child_counts_into_a_table_of_its_own(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    _routes.record_request("GET", "/", 200, 1.0, "/parent")
    pid = os.fork()
    if pid == 0:
        try:
            _routes.record_request("GET", "/", 200, 1.0, "/child")
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    parent = (tmp_path / f"vrk-{os.getpid()}.series").read_bytes()
    child = (tmp_path / f"vrk-{pid}.series").read_bytes()
    assert b"/parent" in parent and b"/child" not in parent
    assert b"/child" in child and b"/parent" not in child


def test_scanner_urls_leave_the_series_at_the_cap_and_memory_flat(tmp_path: Path) -> None:
    """100,000 made-up URLs: by template they are one series; even with raw paths opted
    in, the series stop at the cap and the process's memory stays where it was."""
    output = run_python(
        f"""
        import ctypes, logging, os
        from wsgiref.util import setup_testing_defaults
        from vornik import _core, _routes, workers
        from vornik.wsgi import MetricsMiddleware

        class MallInfo2(ctypes.Structure):
            _fields_ = [(f, ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks",
                        "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
        def in_use():
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd
        def rss():
            return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        logging.disable(logging.WARNING)
        _core.set_multiproc_dir({str(tmp_path)!r})
        def app(environ, start_response):
            start_response("404 Not Found", [])
            return [b"no"]
        by_template = MetricsMiddleware(app)
        by_path = MetricsMiddleware(app, route_from_path=True)
        def scan(mw, first, count):
            for i in range(first, first + count):
                environ = {{"PATH_INFO": f"/wp-admin/{{i:x}}/setup.php", "REQUEST_METHOD": "GET"}}
                setup_testing_defaults(environ)
                body = mw(environ, lambda status, headers, exc_info=None: None)
                b"".join(body)
                body.close()
        scan(by_template, 0, 20_000)
        print("template", _routes.series_count())
        _routes.clear_series()
        scan(by_path, 0, 20_000)   # fills the table, the store and the allocator's pools
        before = in_use(), rss(), _routes.series_count()
        scan(by_path, 20_000, 80_000)
        after = in_use(), rss(), _routes.series_count()
        print("series", before[2], after[2])
        print("malloc", after[0] - before[0], "rss", after[1] - before[1])
        overflow = 'route="<overflow>",status="_OTHER"}} 99000'
        print("overflow", _routes.metrics_document().count(overflow))
        """,
        timeout=300,
    )
    lines = dict(line.split(" ", 1) for line in output.splitlines())
    assert lines["template"] == "1"
    assert lines["series"] == "1001 1001"
    assert lines["overflow"] == "1"
    if not SANITIZED:  # the sanitizer owns malloc and keeps freed memory in quarantine
        malloc_growth, _, rss_growth = lines["malloc"].partition(" rss ")
        assert int(malloc_growth) < 64 * 1024, output
        assert int(rss_growth) < 1024 * 1024, output


def test_a_crafted_table_renders_each_label_set_once(tmp_path: Path) -> None:
    """Key words that differ only where a document shows nothing (a method index past
    _OTHER, the status and route of overflow slots) are one series, not duplicates."""
    pid = os.getpid()
    one = [1] + [0] * 14
    overflow = 1 << 16  # status << 8 reaches the overflow flag, bit 24
    crafted = [
        (9, 200, "/a", 1, one),
        (10, 200, "/a", 1, one),
        (255, 200, "/a", 1, one),
        (9, overflow | 1, "", 1, one),
        (0, overflow | 2, "", 1, one),
        (0, overflow | 2, "", 1, one),
    ]
    (tmp_path / "vrk-1.series").write_bytes(table_bytes(pid, crafted))
    _core.set_multiproc_dir(str(tmp_path))
    document = _routes.metrics_document()
    samples = [line.rsplit(" ", 1)[0] for line in document.splitlines() if line.startswith("vrk_")]
    assert len(samples) == len(set(samples)), document
    assert totals(document) == {
        ("_OTHER", "/a", "200"): 3,
        ("_OTHER", "<overflow>", "_OTHER"): 1,
        ("GET", "<overflow>", "_OTHER"): 2,
    }
    parse_text(document)  # the client library refuses duplicate samples too


def test_a_header_claiming_a_full_table_costs_what_the_file_holds(tmp_path: Path) -> None:
    """A 296-byte file whose header claims 100,001 used slots is read as what it is."""
    header = [MAGIC, os.getpid(), 100_001, 100_001, len(DEFAULT_BOUNDS)]
    header += [struct.unpack("=Q", struct.pack("=d", b))[0] for b in DEFAULT_BOUNDS]
    header += [0] * (32 - len(DEFAULT_BOUNDS))
    for i in range(20):
        (tmp_path / f"vrk-{i + 1}.series").write_bytes(struct.pack(HEADER, *header))
    out = run_python(
        f"""
        import re
        from vornik import _core, _routes, workers
        def peak_kb():  # this process's own high-water mark: ru_maxrss counts the parent's too
            with open("/proc/self/status") as status:
                return int(re.search(r"VmHWM:\\s+(\\d+)", status.read()).group(1))
        _core.set_multiproc_dir({str(tmp_path)!r})
        before = peak_kb()
        _routes.metrics_document()
        print(peak_kb() - before)
        """
    )
    # A table of 100,001 slots is 51 MB; reading the files as they are takes nothing.
    assert int(out) < 10_000, f"peak RSS grew by {out} kB"


def test_adopting_a_table_full_of_regular_slots_stays_in_bounds(tmp_path: Path) -> None:
    """A leftover table of this pid whose every slot is regular leaves no room for the
    overflow slot: adoption keeps it, and every later store, within the mapping."""
    out = run_python(
        f"""
        import os, sys
        from pathlib import Path
        from vornik import _core, _routes, workers
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from test_routes import table_bytes
        _routes.configure_series(max_series=3)
        full = [(0, 200, f"/r{{i}}", 1, [1] + [0] * 14) for i in range(4)]
        Path({str(tmp_path)!r}, f"vrk-{{os.getpid()}}.series").write_bytes(
            table_bytes(os.getpid(), full, capacity=4))
        _core.set_multiproc_dir({str(tmp_path)!r})
        for i in range(50):
            _routes.record_request("GET", "/", 200, 1.0, f"/new{{i}}")
        print(_routes.series_count())
        """
    )
    assert int(out) == 4  # the cap of three, and the overflow slot


def test_gone_workers_never_push_shown_series_into_overflow(tmp_path: Path) -> None:
    """Once the retained totals are full, a gone worker's table that brings new series
    stays in place instead of moving them into <overflow>: no counter goes down."""
    cap = _routes.get_max_series()
    _routes.configure_series(max_series=2)
    try:
        check_no_counter_goes_down(tmp_path)
    finally:
        _routes.clear_series()
        _routes.configure_series(max_series=cap)


def check_no_counter_goes_down(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    worker = f"""
        import sys
        from vornik import _core, _routes, workers
        _routes.configure_series(max_series=2)
        _core.set_multiproc_dir({str(tmp_path)!r})
        for route in sys.argv[1:]:
            _routes.record_request("GET", "/", 200, 1.0, route)
        """
    for i in range(8):  # 16 series: the retained totals hold 8 x max_series
        subprocess_run(worker, f"/gone{i}a", f"/gone{i}b")
    _routes.metrics_document()
    for _ in range(5):
        _routes.record_request("GET", "/", 200, 1.0, "/shared")
    subprocess_run(worker, *["/shared"] * 5)
    readings = [totals(_routes.metrics_document())[("GET", "/shared", "200")] for _ in range(3)]
    assert readings == [10, 10, 10]
    assert ("GET", "<overflow>", "_OTHER") not in totals(_routes.metrics_document())


def subprocess_run(code: str, *args: str) -> None:
    subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], check=True,
                   env=environment(), timeout=60)  # fmt: skip


def test_a_table_file_that_cannot_be_made_is_said_once_and_retried(tmp_path: Path) -> None:
    """On a filesystem with room for the shard but not the table, the series are not lost
    without a word: one warning, and once room is made the table's file appears with
    every request counted meanwhile."""
    with small_tmpfs(tmp_path / "small", "64k") as mount_point:
        code = f"""
            import logging, subprocess, sys, time
            from vornik import _core, _routes, workers
            logging.basicConfig(stream=sys.stdout, format="%(message)s")
            _core.set_multiproc_dir({str(mount_point)!r})
            for _ in range(20):
                _routes.record_request("GET", "/", 200, 1.0, "/r")
            print("before", sum(int(line.rsplit(" ", 1)[1]) for line in
                  _routes.metrics_document().splitlines() if line.startswith("vrk_http_requests_total{{")))
            subprocess.run(["mount", "-o", "remount,size=4m", {str(mount_point)!r}], check=True)
            time.sleep(1.1)
            for _ in range(3):
                _routes.record_request("GET", "/", 200, 1.0, "/r")
            print(_routes.metrics_document().count('route="/r",status="200"}} 23'))
            """
        out = run_python(code)
    lines = out.splitlines()
    warnings = [line for line in lines if line.startswith("vornik: the series table")]
    assert len(warnings) == 1, out
    assert "No space left on device" in warnings[0] and str(mount_point) in warnings[0]
    assert lines[-2:] == ["before 0", "1"], out


def test_a_table_under_a_name_that_is_no_text_is_not_counted(tmp_path: Path) -> None:
    """Worker files have names of text, for every kind alike."""
    table = table_bytes(os.getpid(), [(0, 200, "/r", 1000, [1] + [0] * 14)])
    for name in (b"vrk-1.series", b"vrk-2\xff.series"):
        fd = os.open(os.path.join(os.fsencode(tmp_path), name), os.O_WRONLY | os.O_CREAT, 0o644)
        os.write(fd, table)
        os.close(fd)
    _core.set_multiproc_dir(str(tmp_path))
    assert totals(_routes.metrics_document()) == {("GET", "/r", "200"): 1}


def test_a_reader_that_is_no_worker_shows_every_worker_and_leaves_no_file(tmp_path: Path) -> None:
    """directory_document from a process that records nothing: the totals of a gone and a
    live worker, the route families in the workers' own buckets, the live worker under its
    slot; the reader opens no shard, claims no slot, and only folds the gone worker."""
    bounds = "[0.05, 0.5]"
    worker = f"""
        import sys
        from vornik import _core, _routes
        _routes.configure_series(duration_buckets={bounds})
        _core.set_multiproc_dir({str(tmp_path)!r})
        for _ in range(int(sys.argv[1])):
            _routes.record_request("GET", "/a/1", 200, 20.0, "/a/{{id}}")
        _routes.record_request("GET", "/b", 503, 700.0, "/b")
        print("ready", flush=True)
        sys.stdin.readline()
        """
    subprocess_run(worker + "\n", "3")  # gone once it has answered: stdin is not a pipe
    live = subprocess.Popen([sys.executable, "-c", textwrap.dedent(worker), "4"],
                            env=environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)  # fmt: skip
    try:
        assert live.stdout is not None and live.stdout.readline() == "ready\n"
        before = {p.name for p in tmp_path.iterdir()}
        output = run_python(
            f"""
            import os
            from vornik import _routes
            print(os.getpid())
            print(_routes.directory_document({str(tmp_path)!r}, openmetrics=True), end="")
            print(_routes.directory_document({str(tmp_path / "not-yet")!r}), end="")
            """
        )
        reader_pid, document = output.split("\n", 1)
        after = {p.name for p in tmp_path.iterdir()}
    finally:
        live.communicate("\n", timeout=30)
    assert not (tmp_path / "not-yet").exists()
    assert not any(reader_pid in name for name in after)
    # Only the gone worker's shard and table went, into the retained totals (with the
    # fold locks that folding takes).
    gone = before - after
    assert len(gone) == 2 and {Path(n).suffix for n in gone} == {".shard", ".series"}
    [series_family] = {n.split(".")[0] for n in after if n.startswith("vrk-series-")}
    assert after - before == {
        f"{family}.{os.getuid()}.{end}"
        for family in ("vrk-shards", series_family)
        for end in ("retained", "lock")
    }
    om, text = document.split("# EOF\n")
    families = {f.name: f for f in parse_openmetrics(om + "# EOF\n")}
    assert families["vrk_requests"].samples[0].value == 9
    assert families["vrk_errors"].samples[0].value == 2
    buckets = {
        (s.labels["route"], s.labels["le"]): s.value
        for s in families["vrk_http_request_duration_seconds"].samples
        if s.name.endswith("_bucket")
    }
    assert buckets == {("/a/{id}", "0.05"): 7, ("/a/{id}", "0.5"): 7, ("/a/{id}", "+Inf"): 7,
                       ("/b", "0.05"): 0, ("/b", "0.5"): 0, ("/b", "+Inf"): 2}  # fmt: skip
    assert [s.value for s in families["vrk_workers"].samples] == [1]
    assert [s.labels for s in families["vrk_worker_requests"].samples] == [{"worker": "0"}]
    assert [s.value for s in families["vrk_worker_requests"].samples] == [5]
    # A directory that is not there yet: zeros and no workers.
    assert "vrk_requests_total 0\n" in text and "vrk_workers 0\n" in text


# --- requests in flight and busy time ----------------------------------------------


def own_activity(directory: Path) -> workers.Activity:
    with workers.Directory(str(directory)) as opened:
        return opened.activity()[os.getpid()]


def test_busy_time_is_the_time_with_a_request_in_flight(tmp_path: Path) -> None:
    _core.set_multiproc_dir(str(tmp_path))
    _routes.register_worker()
    idle = own_activity(tmp_path)
    assert idle.in_flight == 0
    time.sleep(0.05)
    assert own_activity(tmp_path).busy_seconds == idle.busy_seconds  # idle is not busy

    before_start = time.monotonic()
    _routes.request_started()
    after_start = time.monotonic()
    _routes.request_started()
    time.sleep(0.1)
    during = own_activity(tmp_path)
    # The stretch under way counts, but for the readers' last 10 ms.
    assert during.in_flight == 2
    assert 0.08 <= during.busy_seconds - idle.busy_seconds <= time.monotonic() - before_start
    _routes.request_finished("GET", "/", 200, 1.0, "/")
    time.sleep(0.05)
    one_left = own_activity(tmp_path)
    assert one_left.in_flight == 1 and one_left.busy_seconds >= during.busy_seconds + 0.04
    before_end = time.monotonic()
    _routes.request_finished("GET", "/", 200, 1.0, "/")
    after_end = time.monotonic()
    done = own_activity(tmp_path)
    # Two requests at once are one stretch of busy time, counted whole at its end.
    assert done.in_flight == 0
    busy = done.busy_seconds - idle.busy_seconds
    assert before_end - after_start <= busy <= after_end - before_start
    # An end without a start counts nothing; the request is recorded all the same.
    _routes.request_finished("GET", "/", 200, 1.0, "/")
    time.sleep(0.02)
    assert own_activity(tmp_path) == done
    assert _core.aggregate().total_requests == 3
    document = _routes.metrics_document()
    assert 'vrk_worker_requests_in_flight{worker="0"} 0\n' in document
    assert f'vrk_worker_busy_seconds_total{{worker="0"}} {done.busy_seconds!r}\n' in document


def test_readers_never_see_busy_time_fall_while_a_worker_races_through_requests(
    tmp_path: Path,
) -> None:
    with subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import time
                from vornik import _routes
                _routes.register_worker()
                print("ready", flush=True)
                end = time.monotonic() + 1.5
                while time.monotonic() < end:
                    for _ in range(100):
                        _routes.request_started()
                        _routes.request_finished("GET", "/", 200, 0.0, "/")
                    _routes.request_started()
                    time.sleep(0.0002)  # a stretch that readers see under way
                    _routes.request_finished("GET", "/", 200, 0.0, "/")
                """
            ),
        ],
        env=environment(VRK_MULTIPROC_DIR=str(tmp_path)),
        stdout=subprocess.PIPE,
        text=True,
    ) as worker:
        assert worker.stdout is not None and worker.stdout.readline() == "ready\n"
        seen: list[tuple[int, float]] = []
        while worker.poll() is None:
            with workers.Directory(str(tmp_path)) as opened:
                seen += [(a.in_flight, a.busy_seconds) for a in opened.activity().values()]
    assert worker.returncode == 0
    assert len(seen) > 100 and {flight for flight, _ in seen} <= {0, 1}
    busy = [seconds for _, seconds in seen]
    assert busy == sorted(busy) and busy[-1] > 0


def socket_diagnostics() -> bool:
    """Whether the kernel's socket diagnostics are offered (user-mode emulators refuse them)."""
    try:
        socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 4).close()  # NETLINK_SOCK_DIAG
    except OSError:
        return False
    return True


needs_socket_diagnostics = pytest.mark.skipif(
    not socket_diagnostics(), reason="the kernel's socket diagnostics are not offered here"
)


@needs_socket_diagnostics
def test_listening_sockets_of_this_process_without_a_directory(tmp_path: Path) -> None:
    with contextlib.ExitStack() as stack:
        tcp = stack.enter_context(socket.socket())
        tcp.bind(("127.0.0.1", 0))
        tcp.listen(7)
        port = tcp.getsockname()[1]
        for _ in range(3):  # accepted by the kernel, not yet by us
            stack.enter_context(socket.create_connection(("127.0.0.1", port)))
        unix = stack.enter_context(socket.socket(socket.AF_UNIX))
        unix.bind(str(tmp_path / "app.sock"))
        unix.listen(5)
        waiting = stack.enter_context(socket.socket(socket.AF_UNIX))
        waiting.connect(str(tmp_path / "app.sock"))
        abstract = stack.enter_context(socket.socket(socket.AF_UNIX))
        abstract.bind(b"\0vrk-test-" + str(os.getpid()).encode())
        abstract.listen(3)
        unbound = stack.enter_context(socket.socket())  # neither bound nor listening
        no_text = stack.enter_context(socket.socket(socket.AF_UNIX))
        no_text.bind(bytes(tmp_path) + b"/\xff.sock")  # no label can spell its path
        no_text.listen(2)
        addresses = {
            f"127.0.0.1:{port}": (3, 7),
            str(tmp_path / "app.sock"): (1, 5),
            f"@vrk-test-{os.getpid()}": (0, 3),
        }
        if socket.has_ipv6:
            tcp6 = stack.enter_context(socket.socket(socket.AF_INET6))
            tcp6.bind(("::1", 0))
            tcp6.listen(9)
            addresses[f"[::1]:{tcp6.getsockname()[1]}"] = (0, 9)
        time.sleep(0.05)
        assert unbound.fileno() > 0
        found = workers.listen_queues([os.getpid()])
        document = _routes.metrics_document()
    assert found == addresses
    for address, (length, limit) in addresses.items():
        assert f'vrk_listen_queue_length{{address="{address}"}} {length}\n' in document
        assert f'vrk_listen_queue_limit{{address="{address}"}} {limit}\n' in document
    # Another process's sockets are not this one's; and without any, both families go.
    assert workers.listen_queues([1 << 30]) == {}
    assert "vrk_listen_queue" not in _routes.metrics_document()


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace(1) to refuse sockets")
def test_without_socket_diagnostics_the_waiting_connections_come_from_proc() -> None:
    with contextlib.ExitStack() as stack:
        listeners = []
        for family, host in [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")]:
            listener = stack.enter_context(socket.socket(family))
            listener.bind((host, 0))
            listener.listen(7)
            listeners.append(listener)
            stack.enter_context(socket.create_connection(listener.getsockname()[:2]))
        waiting = stack.enter_context(socket.create_connection(listeners[0].getsockname()))
        assert waiting.fileno() > 0
        # The child inherits the listening sockets; every socket it asks for itself is
        # refused, as where the socket diagnostics are not offered (some sandboxes and
        # emulators).
        refused = subprocess.run(
            ["strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=socket",
             "-e", "inject=socket:error=EPROTONOSUPPORT", sys.executable, "-c",
             "from vornik import _routes; print(_routes.metrics_document(), end='')"],
            pass_fds=[listener.fileno() for listener in listeners],
            env=environment(), capture_output=True, text=True, timeout=60,
        )  # fmt: skip
        v4, v6 = (listener.getsockname()[1] for listener in listeners)
    assert refused.returncode == 0, refused.stderr
    assert f'vrk_listen_queue_length{{address="127.0.0.1:{v4}"}} 2\n' in refused.stdout
    assert f'vrk_listen_queue_length{{address="[::1]:{v6}"}} 1\n' in refused.stdout
    assert "vrk_listen_queue_limit" not in refused.stdout  # not in /proc/net/tcp


@needs_socket_diagnostics
def test_listening_sockets_of_the_live_workers(tmp_path: Path) -> None:
    with subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import socket
                from vornik import _routes
                sock = socket.socket()
                sock.bind(("127.0.0.1", 0))
                sock.listen(11)
                _routes.register_worker()
                print(sock.getsockname()[1], flush=True)
                input()
                """
            ),
        ],
        env=environment(VRK_MULTIPROC_DIR=str(tmp_path)),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    ) as listener:
        try:
            assert listener.stdout is not None
            port = int(listener.stdout.readline())
            _core.set_multiproc_dir(str(tmp_path))
            document = _routes.metrics_document()
        finally:
            listener.communicate("\n", timeout=10)
    # The socket is the other worker's alone: this process reads and holds no slot.
    assert "vrk_workers 1\n" in document
    assert f'vrk_listen_queue_limit{{address="127.0.0.1:{port}"}} 11\n' in document
