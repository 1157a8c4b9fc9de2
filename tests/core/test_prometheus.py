"""The text exposition document: block layout, golden output and number formatting."""

from __future__ import annotations

import math
import random
import struct
from decimal import Decimal

import pytest
from prometheus_client.parser import text_string_to_metric_families
from vornik import _core

REQUEST_BLOCKS = [
    ("vrk_requests_total", "counter", "Total HTTP requests recorded"),
    ("vrk_errors_total", "counter", "Total HTTP errors (status >= 400)"),
    ("vrk_error_rate_percent", "gauge", "HTTP error rate as a percentage"),
    ("vrk_latency_avg_ms", "gauge", "Average request latency in milliseconds"),
    ("vrk_latency_min_ms", "gauge", "Minimum request latency in milliseconds"),
    ("vrk_latency_max_ms", "gauge", "Maximum request latency in milliseconds"),
    ("vrk_latency_p50_ms", "gauge", "P50 request latency in milliseconds"),
    ("vrk_latency_p95_ms", "gauge", "P95 request latency in milliseconds"),
    ("vrk_latency_p99_ms", "gauge", "P99 request latency in milliseconds"),
]
PROCESS_BLOCKS = [
    ("vrk_process_cpu_percent", "gauge", "Process CPU usage percentage"),
    ("vrk_process_memory_rss_bytes", "gauge", "Process RSS memory in bytes"),
    ("vrk_process_memory_virtual_bytes", "gauge", "Process virtual memory in bytes"),
    ("vrk_process_threads", "gauge", "Number of process threads"),
]


def block(name: str, kind: str, help_text: str, value: str) -> str:
    return f"# HELP {name} {help_text}\n# TYPE {name} {kind}\n{name} {value}\n\n"


def sample_values(document: str) -> dict[str, str]:
    lines = [line for line in document.split("\n") if line and not line.startswith("#")]
    return dict(line.split(" ", 1) for line in lines)


def test_request_blocks_golden() -> None:
    for status, duration in [(200, 10.0), (500, 15.0), (200, 12.5)]:
        _core.record_request("GET", "/", status, duration)
    document = _core.metrics_text()
    values = ["3", "1", "33.33333333333333", "12.5", "10", "15", "12.5", "15", "15"]
    expected = "".join(
        block(*meta, value) for meta, value in zip(REQUEST_BLOCKS, values, strict=True)
    )
    assert document.startswith(expected)


def test_fresh_document_layout() -> None:
    document = _core.metrics_text()
    assert document.startswith("# HELP vrk_requests_total Total HTTP requests recorded\n")
    assert document.endswith("\n\n") and not document.endswith("\n\n\n")
    blocks = document[:-2].split("\n\n")
    assert len(blocks) == 13
    for text, (name, kind, help_text) in zip(blocks, REQUEST_BLOCKS + PROCESS_BLOCKS, strict=True):
        head, type_line, sample = text.split("\n")
        assert head == f"# HELP {name} {help_text}"
        assert type_line == f"# TYPE {name} {kind}"
        assert sample.split(" ")[0] == name
    values = sample_values(document)
    assert all(values[name] == "0" for name, _, _ in REQUEST_BLOCKS)
    assert "\r" not in document and document.isascii()


def test_process_blocks_describe_this_process() -> None:
    values = sample_values(_core.metrics_text())
    snap = _core.snapshot()
    assert int(values["vrk_process_threads"]) == snap.threads
    assert abs(int(values["vrk_process_memory_rss_bytes"]) - snap.memory_rss) < 4 * 1048576
    assert "." not in values["vrk_process_memory_virtual_bytes"]


def test_parses_back_with_prometheus_client() -> None:
    for status, duration in [(200, 0.1), (404, 2.5), (200, 1e-7)]:
        _core.record_request("GET", "/", status, duration)
    document = _core.metrics_text()
    families = {f.name: f for f in text_string_to_metric_families(document)}
    ours = sample_values(document)
    for name, kind, help_text in REQUEST_BLOCKS + PROCESS_BLOCKS:
        family_name = name[: -len("_total")] if kind == "counter" else name
        family = families[family_name]
        assert (family.type, family.documentation) == (kind, help_text)
        assert family.samples[0].value == float(ours[name])


def reference_text(value: float) -> str:
    """Shortest round-trip digits (Python's repr), laid out without an exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def rendered_min_latency(duration: float) -> str:
    _core.clear_requests()
    _core.record_request("GET", "/", 200, duration)
    return sample_values(_core.metrics_text())["vrk_latency_min_ms"]


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (0.0, "0"), (-0.0, "-0"), (5.0, "5"), (1500.0, "1500"), (12.5, "12.5"), (0.1, "0.1"),
        (-2.5, "-2.5"), (0.1 + 0.2, "0.30000000000000004"), (1e21, "1000000000000000000000"),
        (1e-7, "0.0000001"), (float(2**64 - 1), "18446744073709552000"),
        (5e-324, "0." + "0" * 323 + "5"), (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (123456.789, "123456.789"), (math.nan, "NaN"), (math.inf, "+Inf"), (-math.inf, "-Inf"),
    ],
)  # fmt: skip
def test_value_text(value: float, text: str) -> None:
    assert rendered_min_latency(value) == text


def test_value_text_matches_shortest_round_trip_on_random_doubles() -> None:
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    for _ in range(3000):
        value = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if rng.random() < 0.5:
            value = rng.uniform(-1e6, 1e6)
        text = rendered_min_latency(value)
        assert text == reference_text(value), f"seed {seed}, value {value!r}"
        assert "e" not in text.lower() or text in ("NaN", "+Inf", "-Inf")
