"""Cost of recording a request with its route, against record_request alone.

vornik: `vornik._routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")`,
the one call a middleware makes per request: the store, the shard and the series of
(GET, /users/{id}, 200), which exists already (the steady state).

Baseline: `vornik._core.record_request("GET", "/users/7", 200, 12.5)`, the store and
the shard alone. Both run twice: with shard aggregation off, and with a shard directory
(a temp dir), where the series table is a file there.

Usage: python benchmarks/bench_record_route.py
"""

from __future__ import annotations

import shutil
import tempfile

import _harness as h

TARGET = 1.5


def main() -> None:
    h.clean_environment()
    import vornik._core as vk
    import vornik._routes as routes

    directory = tempfile.mkdtemp(prefix="bench-vrk-route-")
    try:
        for label, shard_dir in (("shards off", None), ("shard directory set", directory)):
            vk.set_multiproc_dir(shard_dir)
            assert vk.multiproc_enabled() == (shard_dir is not None)
            vk.clear_requests()
            routes.clear_series()
            # A few routes as a small application has them, and a full, evicting store.
            for i in range(vk.get_max_requests() + 1000):
                routes.record_request("GET", f"/users/{i}", 200 + i % 3, 12.5, f"/r/{i % 20}")
            routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")
            series = routes.series_count()
            namespace = {"core_record": vk.record_request, "route_record": routes.record_request}
            h.print_header(f"record with a route vs record_request alone, {label}")
            print("  " + h.describe_machine())
            candidate, baseline = h.compare_timers(
                ('vornik._routes.record_request("GET", "/users/7", 200, 12.5, "/users/{id}")',
                 h.make_timer('route_record("GET", "/users/7", 200, 12.5, "/users/{id}")',
                              namespace=namespace)),
                ('vornik._core.record_request("GET", "/users/7", 200, 12.5)',
                 h.make_timer('core_record("GET", "/users/7", 200, 12.5)', namespace=namespace)),
            )  # fmt: skip
            assert routes.series_count() == series  # no series was added while timing
            h.report(h.Comparison(
                benchmark="record_route",
                title=f"record with a route, {label}",
                candidate=candidate,
                baseline=baseline,
                target=TARGET,
                unit="ns",
                notes=[f"{series} series in the table; the store full at {vk.get_max_requests()}"],
            ))  # fmt: skip
        vk.set_multiproc_dir(None)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
