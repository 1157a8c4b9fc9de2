"""What the demo found, checked apart from how it is printed.

:func:`summarize` turns what the client saw into a :class:`Summary` and
decides whether it is consistent; :func:`write_summary` only prints it.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import IO, Any

from .. import _core
from .client import Burst, Result, parse_metrics
from .config import CLIENT_THREADS, HOST, DemoConfig


@dataclass
class Observed:
    """Everything one demo run saw, as the client gathered it."""

    config: DemoConfig
    port: int
    shard_dir: str
    pids: list[int]
    burst: Burst
    statuses: dict[int, dict[str, Any]]
    status_calls: list[Result]
    metrics: Result


@dataclass
class Summary:
    observed: Observed
    #: (label, requests, errors), most requests first.
    routes: list[tuple[str, int, int]] = field(default_factory=list)
    answered: int = 0
    failed: list[Result] = field(default_factory=list)
    #: The unlabelled samples of the scraped document; None when the scrape failed.
    merged: dict[str, float] | None = None
    served: Counter[int] = field(default_factory=Counter)
    alerts: list[tuple[int, dict[str, Any]]] = field(default_factory=list)

    @property
    def counted(self) -> bool:
        """Whether /metrics counted exactly the answers the client got."""
        return self.merged is not None and self.merged.get("vrk_requests_total") == self.answered

    @property
    def consistent(self) -> bool:
        """Every request answered, the scrape succeeded and counted them all."""
        return not self.failed and not self.observed.burst.unsent and self.counted


def summarize(observed: Observed) -> Summary:
    sent = observed.burst.results + observed.status_calls
    answered = [r for r in sent if r.status is not None]
    by_route: dict[str, list[int]] = {}
    for r in answered:
        counts = by_route.setdefault(r.label, [0, 0])
        counts[0] += 1
        counts[1] += r.status is not None and r.status >= 400
    metrics = observed.metrics
    return Summary(
        observed,
        routes=[
            (label, n, e)
            for label, (n, e) in sorted(by_route.items(), key=lambda item: -item[1][0])
        ],
        answered=len(answered),
        failed=[r for r in sent if r.status is None],
        merged=parse_metrics(metrics.body.decode("utf-8")) if metrics.status == 200 else None,
        served=Counter(r.worker for r in answered if r.worker is not None),
        alerts=[
            (pid, alert)
            for pid, status in sorted(observed.statuses.items())
            for alert in status["alerts"]
        ],
    )


def _ms(value: float) -> str:
    return f"{value:.1f} ms"


def write_summary(out: IO[str], summary: Summary) -> None:
    """The human summary, then the scraped document."""
    seen = summary.observed
    w = out.write
    # tests/test_demo.py reads the lines below (worker pids, route table, totals,
    # workers, alerts, the document's marker): keep their wording.
    w(f"vornik demo: {len(seen.pids)} worker processes (pids {', '.join(map(str, seen.pids))}) ")
    w(f"on http://{HOST}:{seen.port}, temporary shard directory {seen.shard_dir}\n\n")

    burst = seen.burst
    w(f"Sent {len(burst.results)} requests in {burst.elapsed_s:.2f} s, {CLIENT_THREADS} at a time")
    w(f" (plus {len(seen.status_calls)} status calls).\n")
    w(f"  {'route':<22}{'requests':>9}{'errors':>8}\n")
    for label, count, errors in summary.routes:
        w(f"  {label:<22}{count:>9}{errors:>8}\n")
    if summary.failed or burst.unsent:
        w(f"  {len(summary.failed)} requests got no answer, {burst.unsent} were not sent in time")
        if summary.failed:
            w(f" (first: {summary.failed[0].error})")
        w("\n")

    w("\nMerged over all workers, from GET /metrics:\n")
    values = summary.merged
    if values is None:
        w(f"  scrape failed: {seen.metrics.error or seen.metrics.status}\n")
    else:
        total = int(values.get("vrk_requests_total", -1))
        errors = int(values.get("vrk_errors_total", -1))
        match = "matches" if summary.counted else "MISMATCH"
        w(f"  requests   {total}   (the client got {summary.answered} answers: {match})\n")
        error_rate = values.get("vrk_error_rate_percent", 0.0)
        w(f"  errors     {errors}   (error rate {error_rate:.1f} %)\n")
        w(
            f"  latency    avg {_ms(values.get('vrk_latency_avg_ms', 0.0))}"
            f"   p50 {_ms(values.get('vrk_latency_p50_ms', 0.0))}"
            f"   p95 {_ms(values.get('vrk_latency_p95_ms', 0.0))}"
            f"   p99 {_ms(values.get('vrk_latency_p99_ms', 0.0))}"
            f"   max {_ms(values.get('vrk_latency_max_ms', 0.0))}\n"
            "             (percentiles are estimated from the workers' merged latency histogram)\n"
        )

    w("\nWorkers:\n")
    for pid in seen.pids:
        status = seen.statuses.get(pid)
        line = f"  pid {pid:<8} served {summary.served.get(pid, 0):>4}"
        if status is None:
            line += "   (did not answer /status)"
        else:
            snap = status["snapshot"]
            line += (
                f"   cpu {snap['cpu_percent']:.1f} %   rss {snap['memory_rss'] / 1048576:.1f} MB"
                f"   threads {snap['threads']}"
            )
        w(line + "\n")

    config = seen.config
    w(
        f"\nAlerts (check_alerts with cpu_percent > {config.alert_cpu_percent:g}, "
        f"memory_rss_mb > {config.alert_memory_rss_mb:g}): "
    )
    if not summary.alerts:
        w("none\n")
    else:
        w("\n")
        for pid, alert in summary.alerts:
            w(
                f"  pid {pid}: {alert['severity']}: {alert['metric']} = {alert['value']:.1f}"
                f" (threshold {alert['threshold']:g})\n"
            )

    if values is not None:
        w(f"\n--- GET /metrics, answered by worker pid {seen.metrics.worker}")
        w(f" ({_core.PROMETHEUS_CONTENT_TYPE}) ---\n")
        w(seen.metrics.body.decode("utf-8"))
