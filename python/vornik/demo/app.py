"""The example shop the demo's workers serve: a plain WSGI application."""

from __future__ import annotations

import json
import os
import random
import time
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from .. import _core
from ..wsgi import ROUTE_KEY, UNMATCHED
from .config import WORKER_HEADER

if TYPE_CHECKING:
    from _typeshed.wsgi import StartResponse, WSGIApplication, WSGIEnvironment


def _respond(
    start_response: StartResponse, status: str, body: bytes, content_type: str = "application/json"
) -> list[bytes]:
    start_response(status, [("Content-Type", content_type), ("Content-Length", str(len(body)))])
    return [body]


def to_json(value: object) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode("utf-8")


def demo_app(alert_cpu_percent: float, alert_memory_rss_mb: float) -> WSGIApplication:
    """The example shop: a plain WSGI application with a handful of routes.

    It names its route templates in ``environ["vornik.route"]``, so the
    middleware (with ``path_template=True``) records ``/users/{id}`` rather
    than one path per user.
    """
    rng = random.Random()

    def pause(low_ms: float, high_ms: float) -> None:
        time.sleep(rng.uniform(low_ms, high_ms) / 1000.0)

    def app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        method = environ.get("REQUEST_METHOD", "GET")
        path = environ.get("PATH_INFO") or "/"
        if path == "/":
            environ[ROUTE_KEY] = "/"
            pause(1, 5)
            return _respond(
                start_response, "200 OK", b"vornik demo shop\n", "text/plain; charset=utf-8"
            )
        if path.startswith("/users/"):
            environ[ROUTE_KEY] = "/users/{id}"
            pause(2, 15)
            user_id = path[len("/users/") :]
            if not user_id.isdigit() or int(user_id) >= 1000:
                return _respond(start_response, "404 Not Found", to_json({"error": "no such user"}))
            return _respond(
                start_response, "200 OK", to_json({"id": int(user_id), "name": f"user{user_id}"})
            )
        if path == "/orders":
            environ[ROUTE_KEY] = "/orders"
            if method != "POST":
                start_response(
                    "405 Method Not Allowed", [("Allow", "POST"), ("Content-Length", "0")]
                )
                return []
            length = int(environ.get("CONTENT_LENGTH") or 0)
            raw = environ["wsgi.input"].read(length) if length > 0 else b""
            pause(5, 25)
            try:
                order = json.loads(raw)
                quantity = int(order["quantity"])
            except (ValueError, KeyError, TypeError):
                return _respond(
                    start_response, "400 Bad Request", to_json({"error": "invalid order"})
                )
            order_id = rng.randrange(10**6)
            return _respond(
                start_response, "201 Created", to_json({"order": order_id, "quantity": quantity})
            )
        if path == "/slow":
            environ[ROUTE_KEY] = "/slow"
            pause(60, 150)
            return _respond(start_response, "200 OK", b"finally\n", "text/plain; charset=utf-8")
        if path == "/error":
            environ[ROUTE_KEY] = "/error"
            pause(1, 3)
            return _respond(
                start_response, "500 Internal Server Error", to_json({"error": "simulated failure"})
            )
        if path == "/status":
            environ[ROUTE_KEY] = "/status"
            # CPU use since the previous sample (the worker takes one when it
            # starts). The pause keeps concurrent calls on different workers and
            # gives the alert check's own sample an interval of its own: two
            # samples microseconds apart would make a jumpy CPU figure.
            snap = _core.snapshot()
            pause(40, 40)
            alerts = _core.check_alerts(
                cpu_percent=alert_cpu_percent, memory_rss_mb=alert_memory_rss_mb
            )
            body = {
                "pid": os.getpid(),
                "snapshot": dict(snap.to_dict()),
                "alerts": [dict(a) for a in alerts],
            }
            return _respond(start_response, "200 OK", to_json(body))
        environ[ROUTE_KEY] = UNMATCHED
        return _respond(start_response, "404 Not Found", to_json({"error": "not found"}))

    return app


def with_worker_header(app: WSGIApplication) -> WSGIApplication:
    """Add the answering worker's pid to every response, ``/metrics`` included."""
    pid = str(os.getpid())

    def wrapped(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        def start(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> Any:
            headers.append((WORKER_HEADER, pid))
            return start_response(status, headers, exc_info)

        return app(environ, start)

    return wrapped
