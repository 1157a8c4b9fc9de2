"""Threshold alerts on a fresh process sample."""

from __future__ import annotations

import math

import pytest
from support import run_python
from vornik import _core


def test_no_thresholds_no_alerts() -> None:
    assert _core.check_alerts() == []
    assert _core.check_alerts(None, None, None) == []


def test_all_three_in_order_with_megabyte_values() -> None:
    alerts = _core.check_alerts(memory_virtual_mb=0, cpu_percent=-1, memory_rss_mb=0.5)
    assert [a["metric"] for a in alerts] == ["cpu_percent", "memory_rss_mb", "memory_virtual_mb"]
    for alert in alerts:
        assert list(alert) == ["metric", "value", "threshold", "severity"]
        assert alert["severity"] == "warning"
        assert type(alert["value"]) is float and type(alert["threshold"]) is float
    assert alerts[0]["threshold"] == -1.0
    snap = _core.snapshot()
    assert alerts[1]["value"] == pytest.approx(snap.memory_rss / 1048576, rel=0.2)
    assert alerts[2]["value"] == pytest.approx(snap.memory_virtual / 1048576, rel=0.2)


def test_thresholds_compare_strictly_and_never_fire_on_nan() -> None:
    rss_mb = _core.snapshot().memory_rss_mb
    assert (
        _core.check_alerts(memory_rss_mb=1e12, memory_virtual_mb=math.nan, cpu_percent=math.nan)
        == []
    )
    # A virtual size read twice in a row does not move; a threshold equal to it is not crossed.
    virtual_mb = _core.snapshot().memory_virtual / 1048576
    assert _core.check_alerts(memory_virtual_mb=virtual_mb) == []
    (alert,) = _core.check_alerts(memory_rss_mb=int(rss_mb) // 2)
    assert alert["threshold"] == float(int(rss_mb) // 2)


def test_first_call_in_a_process_reports_zero_cpu() -> None:
    out = run_python(
        """
        from vornik import _core
        print(len(_core.check_alerts(cpu_percent=0)), _core.check_alerts(cpu_percent=-0.5)[0]["value"] >= 0)
        """
    )
    assert out.split() == ["0", "True"]


def test_bad_thresholds_raise_before_sampling() -> None:
    with pytest.raises(TypeError) as raised:
        _core.check_alerts(cpu_percent="50")
    assert str(raised.value) == "argument 'cpu_percent': must be real number, not str"
    with pytest.raises(TypeError) as second:
        _core.check_alerts(1.0, [])
    assert str(second.value).startswith("argument 'memory_rss_mb': ")
    with pytest.raises(OverflowError):
        _core.check_alerts(memory_virtual_mb=10**400)
    with pytest.raises(TypeError) as keyword:
        _core.check_alerts(cpu=1)
    assert str(keyword.value) == "check_alerts() got an unexpected keyword argument 'cpu'"
    (alert,) = _core.check_alerts(memory_rss_mb=True)  # a bool is a number too
    assert alert["threshold"] == 1.0
