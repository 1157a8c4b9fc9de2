"""The ASGI middleware: one record per HTTP request, timing, errors, /metrics, route templates."""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from http import HTTPStatus
from pathlib import Path
from typing import Any
from wsgiref.util import setup_testing_defaults

import pytest
import vornik
from asgiref.testing import ApplicationCommunicator
from support import FakeClock, records, series_routes
from vornik import _core
from vornik.asgi import ROUTE_KEY, UNMATCHED, MetricsMiddleware
from vornik.wsgi import MetricsMiddleware as WsgiMiddleware

Message = dict[str, Any]
App = Callable[[dict[str, Any], Any, Any], Awaitable[None]]


def http_scope(path: str = "/", method: str = "GET", root_path: str = "") -> dict[str, Any]:
    return {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": method,
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "root_path": root_path,
        "query_string": b"",
        "headers": [(b"host", b"testserver")],
        "client": ("127.0.0.1", 50000),
        "server": ("127.0.0.1", 80),
    }


async def exchange(app: Any, scope: dict[str, Any], timeout: float = 5) -> list[Message]:
    """Runs one request through ApplicationCommunicator; returns what the app sent."""
    communicator = ApplicationCommunicator(app, scope)
    await communicator.send_input({"type": "http.request", "body": b"", "more_body": False})
    messages: list[Message] = []
    while (
        not messages
        or messages[-1]["type"] != "http.response.body"
        or messages[-1].get("more_body")
    ):
        messages.append(await communicator.receive_output(timeout))
    await communicator.wait(timeout)
    return messages


def request(
    app: Any, path: str = "/", method: str = "GET", root_path: str = ""
) -> tuple[int, dict[bytes, bytes], bytes]:
    messages = asyncio.run(exchange(app, http_scope(path, method, root_path)))
    start, bodies = messages[0], messages[1:]
    return start["status"], dict(start["headers"]), b"".join(m.get("body", b"") for m in bodies)


async def receive_nothing() -> Message:
    return {"type": "http.request", "body": b"", "more_body": False}


class TestRecording:
    def test_recorded_after_the_last_body_message_is_sent(self, clock: FakeClock) -> None:
        seen_while_sending: list[int] = []

        async def app(scope: Any, receive: Any, send: Any) -> None:
            clock.now += 0.004
            await send({"type": "http.response.start", "status": 207, "headers": []})
            for more in (True, True, False):
                clock.now += 0.010
                await send({"type": "http.response.body", "body": b"x", "more_body": more})

        async def send(message: Message) -> None:
            seen_while_sending.append(len(_core.get_requests()))
            if message["type"] == "http.response.body" and not message["more_body"]:
                clock.now += 0.030  # a slow client: the last write takes a while

        asyncio.run(MetricsMiddleware(app)(http_scope("/multi", "PUT"), receive_nothing, send))
        assert seen_while_sending == [0, 0, 0, 0]
        assert records() == [("PUT", "/multi", 207, pytest.approx(64.0))]

    def test_through_the_communicator(self) -> None:
        async def app(scope: Any, receive: Any, send: Any) -> None:
            body = await receive()
            assert body["type"] == "http.request"
            await send(
                {"type": "http.response.start", "status": 404, "headers": [(b"x-app", b"1")]}
            )
            await send({"type": "http.response.body", "body": b"missing"})

        status, headers, body = request(MetricsMiddleware(app), "/gone")
        assert (status, headers, body) == (404, {b"x-app": b"1"}, b"missing")
        assert [(m, p, s) for m, p, s, _ in records()] == [("GET", "/gone", 404)]

    def test_trailers_end_the_response(self) -> None:
        async def app(scope: Any, receive: Any, send: Any) -> None:
            await send(
                {"type": "http.response.start", "status": 200, "headers": [], "trailers": True}
            )
            await send({"type": "http.response.body", "body": b"data", "more_body": False})
            assert _core.get_requests() == []  # the trailers are still to come
            await send({"type": "http.response.trailers", "headers": [], "more_trailers": False})

        async def send(message: Message) -> None:
            pass

        asyncio.run(MetricsMiddleware(app)(http_scope(), receive_nothing, send))
        assert [r[2] for r in records()] == [200]

    def test_app_that_returns_without_finishing(self) -> None:
        async def started(scope: Any, receive: Any, send: Any) -> None:
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"x", "more_body": True})

        async def silent(scope: Any, receive: Any, send: Any) -> None:
            pass

        async def send(message: Message) -> None:
            pass

        asyncio.run(MetricsMiddleware(started)(http_scope("/a"), receive_nothing, send))
        asyncio.run(MetricsMiddleware(silent)(http_scope("/b"), receive_nothing, send))
        assert [(p, s) for _, p, s, _ in records()] == [("/a", 200), ("/b", 500)]

    def test_long_paths_and_methods_are_cut(self) -> None:
        async def app(scope: Any, receive: Any, send: Any) -> None:
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b""})

        mw = MetricsMiddleware(app)
        request(mw, "/" + "a" * 15000, "X" * 100)
        request(mw, "/" + "é" * 255)  # exactly at the limit: kept whole
        assert [(m, p) for m, p, _, _ in records()] == [
            ("X" * 31 + "…", "/" + "a" * 254 + "…"),
            ("GET", "/" + "é" * 255),
        ]

    @pytest.mark.parametrize(
        ("status", "recorded"),
        [
            (-1, 500),
            (70000, 500),
            (True, 500),
            (200.0, 500),
            ("404", 404),
            (HTTPStatus.CREATED, 201),
        ],
    )
    def test_a_status_that_is_no_code_is_recorded_as_500(
        self, status: object, recorded: int
    ) -> None:
        async def app(scope: Any, receive: Any, send: Any) -> None:
            await send({"type": "http.response.start", "status": status, "headers": []})
            await send({"type": "http.response.body", "body": b""})

        async def send(message: Message) -> None:
            pass

        asyncio.run(MetricsMiddleware(app)(http_scope(), receive_nothing, send))
        assert [r[2] for r in records()] == [recorded]

    @pytest.mark.parametrize("scope_type", ["lifespan", "websocket"])
    def test_other_scopes_pass_through_untouched(self, scope_type: str) -> None:
        seen: list[tuple[Any, Any, Any]] = []

        async def app(scope: Any, receive: Any, send: Any) -> None:
            seen.append((scope, receive, send))

        async def send(message: Message) -> None:
            pass

        scope = {"type": scope_type, "path": "/metrics", "asgi": {"version": "3.0"}}
        asyncio.run(MetricsMiddleware(app)(scope, receive_nothing, send))
        assert len(seen) == 1
        assert seen[0][0] is scope and seen[0][1] is receive_nothing and seen[0][2] is send
        assert records() == []


class TestExceptions:
    def test_before_the_response_starts(self, clock: FakeClock) -> None:
        error = LookupError("no row")

        async def app(scope: Any, receive: Any, send: Any) -> None:
            clock.now += 0.007
            raise error

        async def run() -> None:
            communicator = ApplicationCommunicator(MetricsMiddleware(app), http_scope("/fail"))
            await communicator.send_input({"type": "http.request", "body": b""})
            await communicator.wait(5)

        with pytest.raises(LookupError) as caught:
            asyncio.run(run())
        assert caught.value is error
        assert records() == [("GET", "/fail", 500, pytest.approx(7.0))]

    def test_during_the_body(self) -> None:
        error = ConnectionError("upstream closed")

        async def app(scope: Any, receive: Any, send: Any) -> None:
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"half", "more_body": True})
            raise error

        async def send(message: Message) -> None:
            pass

        with pytest.raises(ConnectionError) as caught:
            asyncio.run(MetricsMiddleware(app)(http_scope("/stream"), receive_nothing, send))
        assert caught.value is error
        assert [(p, s) for _, p, s, _ in records()] == [("/stream", 500)]

    def test_after_the_response_is_complete(self) -> None:
        async def app(scope: Any, receive: Any, send: Any) -> None:
            await send({"type": "http.response.start", "status": 201, "headers": []})
            await send({"type": "http.response.body", "body": b"ok"})
            raise RuntimeError("background work failed")

        async def send(message: Message) -> None:
            pass

        with pytest.raises(RuntimeError, match="background work failed"):
            asyncio.run(MetricsMiddleware(app)(http_scope(), receive_nothing, send))
        assert [r[2] for r in records()] == [201]  # the client got its 201, once


class TestMetricsEndpoint:
    @staticmethod
    async def app(scope: Any, receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"app"})

    def test_serves_the_document_and_is_not_recorded(self) -> None:
        mw = MetricsMiddleware(self.app)
        request(mw, "/one")
        request(mw, "/two")
        request(mw, "/three")
        status, headers, body = request(mw, "/metrics")
        assert status == 200
        assert headers[b"content-type"].decode() == vornik.PROMETHEUS_CONTENT_TYPE
        assert int(headers[b"content-length"]) == len(body)
        assert "\nvrk_requests_total 3\n" in body.decode()
        assert len(records()) == 3

    def test_head_post_custom_and_disabled(self) -> None:
        status, headers, body = request(MetricsMiddleware(self.app), "/metrics", "HEAD")
        assert status == 200 and body == b"" and int(headers[b"content-length"]) > 0
        status, headers, body = request(MetricsMiddleware(self.app), "/metrics", "POST")
        assert (status, body) == (405, b"")
        assert headers == {
            b"allow": b"GET, HEAD",
            b"content-type": b"text/plain; charset=utf-8",
            b"content-length": b"0",
        }
        assert records() == []
        status, _, body = request(
            MetricsMiddleware(self.app, metrics_path="/internal/metrics"), "/internal/metrics"
        )
        assert b"vrk_requests_total" in body
        status, _, body = request(MetricsMiddleware(self.app, metrics_path=None), "/metrics")
        assert body == b"app"
        assert [r[1] for r in records()] == ["/metrics"]

    @pytest.mark.parametrize("method", ["GET", "HEAD", "DELETE"])
    def test_same_answer_as_the_wsgi_middleware(self, method: str) -> None:
        answered: list[tuple[str, list[tuple[str, str]]]] = []
        environ: dict[str, Any] = {
            "REQUEST_METHOD": method,
            "PATH_INFO": "/metrics",
            "HTTP_ACCEPT": "text/plain",
        }
        setup_testing_defaults(environ)
        wsgi_body = b"".join(
            WsgiMiddleware(None)(
                environ, lambda status, headers: answered.append((status, headers))
            )  # type: ignore[arg-type]
        )
        status, headers, body = request(MetricsMiddleware(self.app), "/metrics", method)
        [(wsgi_status, wsgi_headers)] = answered
        assert wsgi_status.startswith(f"{status} ")
        # The same headers in the same order; the document's length moves with the
        # process figures between the two scrapes.
        wsgi_names = [(name.lower().encode(), value.encode()) for name, value in wsgi_headers]
        assert [h if h[0] != b"content-length" else h[0] for h in wsgi_names] == [
            h if h[0] != b"content-length" else h[0] for h in headers.items()
        ]
        assert (wsgi_body[:24], len(wsgi_body) > 0) == (body[:24], len(body) > 0)

    def test_bearer_token(self, tmp_path: Path) -> None:
        (tmp_path / "token").write_text("s3cret\n")
        mw = MetricsMiddleware(self.app, bearer_token_file=str(tmp_path / "token"))
        for headers, status in (
            ([], 401),
            ([(b"authorization", b"Bearer wrong")], 401),
            ([(b"authorization", b"Bearer s3cret")], 200),
        ):
            scope = http_scope("/metrics")
            scope["headers"] += headers
            start, body = asyncio.run(exchange(mw, scope))
            assert start["status"] == status
            assert (b"vrk_requests_total" in body["body"]) == (status == 200)
            if status == 401:
                assert (b"www-authenticate", b'Bearer realm="metrics"') in start["headers"]
        assert records() == []

    def test_behind_a_root_path(self) -> None:
        status, _, body = request(MetricsMiddleware(self.app), "/svc/metrics", root_path="/svc")
        assert b"vrk_requests_total" in body
        assert records() == []


def starlette_app(**middleware: Any) -> Any:
    pytest.importorskip("starlette")
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import PlainTextResponse
    from starlette.routing import Mount, Route, Router

    async def ok(request: Request) -> PlainTextResponse:
        return PlainTextResponse("ok")

    async def crash(request: Request) -> PlainTextResponse:
        raise ValueError("endpoint failed")

    tenant_api = Router(routes=[Route("/items/{item_id:int}", ok)])
    return Starlette(
        routes=[
            Route("/users/{user_id}", ok),
            Route("/crash", crash),
            Mount("/t/{tenant}", app=tenant_api),
        ]
    )


class TestRouteTemplates:
    def test_starlette_routes_and_mounts(self) -> None:
        mw = MetricsMiddleware(starlette_app(), path_template=True)
        for path in (
            "/users/ann",
            "/users/bob",
            "/t/acme/items/3",
            "/t/other/items/4",
            "/nowhere/1",
        ):
            request(mw, path)
        with pytest.raises(ValueError, match="endpoint failed"):
            request(mw, "/crash")
        assert [(p, s) for _, p, s, _ in records()] == [
            *[("/users/{user_id}", 200)] * 2,
            *[("/t/{tenant}/items/{item_id:int}", 200)] * 2,
            (UNMATCHED, 404),
            ("/crash", 500),
        ]

    def test_starlette_add_middleware(self) -> None:
        app = starlette_app()
        app.add_middleware(MetricsMiddleware, path_template=True)
        status, _, _ = request(app, "/users/zed")
        _, _, body = request(app, "/metrics")
        assert status == 200 and b"\nvrk_requests_total 1\n" in body
        assert [r[1] for r in records()] == ["/users/{user_id}"]

    def test_fastapi_routers_and_mounted_apps(self) -> None:
        pytest.importorskip("fastapi")
        from fastapi import APIRouter, FastAPI

        app = FastAPI()
        v1 = APIRouter(prefix="/v1")

        @v1.get("/orders/{order_id}")
        def order(order_id: int) -> dict[str, int]:
            return {"id": order_id}

        app.include_router(v1)
        admin = FastAPI()

        @admin.get("/stats/{name}")
        def stats(name: str) -> dict[str, str]:
            return {"name": name}

        app.mount("/admin", admin)
        reports = APIRouter(prefix="/reports")

        @reports.get("/{year}")
        def report(year: int) -> dict[str, int]:
            return {"year": year}

        nested = APIRouter(prefix="/api")
        nested.include_router(reports)
        app.include_router(nested, prefix="/v3")
        mw = MetricsMiddleware(app, path_template=True)
        for path in ("/v1/orders/1", "/v1/orders/x", "/admin/stats/cpu", "/v2/orders/1"):
            request(mw, path)
        request(mw, "/v3/api/reports/2024")
        # FastAPI's own pages are routes too.
        for path in ("/docs", "/docs/oauth2-redirect", "/openapi.json", "/redoc", "/admin/docs"):
            request(mw, path)
        assert [(p, s) for _, p, s, _ in records()] == [
            ("/v1/orders/{order_id}", 200),
            ("/v1/orders/{order_id}", 422),
            ("/admin/stats/{name}", 200),
            (UNMATCHED, 404),
            ("/v3/api/reports/{year}", 200),
            ("/docs", 200),
            ("/docs/oauth2-redirect", 200),
            ("/openapi.json", 200),
            ("/redoc", 200),
            ("/admin/docs", 200),
        ]

    def test_an_endpoint_behind_several_routes(self) -> None:
        pytest.importorskip("starlette")
        from starlette.applications import Starlette
        from starlette.requests import Request
        from starlette.responses import PlainTextResponse
        from starlette.routing import Route

        async def shared(request: Request) -> PlainTextResponse:
            return PlainTextResponse("ok")

        app = Starlette(routes=[Route("/a/{x}", shared), Route("/b/{y}", shared)])
        mw = MetricsMiddleware(app, path_template=True)
        request(mw, "/b/1")
        request(mw, "/a/2")
        assert [r[1] for r in records()] == ["/b/{y}", "/a/{x}"]

    def test_django_resolver_routes_as_under_wsgi(self, django_project: None) -> None:
        from django.core.asgi import get_asgi_application

        mw = MetricsMiddleware(get_asgi_application(), path_template=True)
        for p in ("/", "/api/items/3/", "/api/items/4/", "/api/unknown/"):
            request(mw, p)
        request(mw, "/svc/api/items/5/", root_path="/svc")
        assert [(p, s) for _, p, s, _ in records()] == [
            ("/", 202),
            ("/api/items/<int:pk>/", 200),
            ("/api/items/<int:pk>/", 200),
            (UNMATCHED, 404),
            ("/svc/api/items/<int:pk>/", 200),
        ]

    def test_raw_paths_by_default_and_the_scope_key(self) -> None:
        request(MetricsMiddleware(starlette_app()), "/users/ann")

        async def plain(scope: Any, receive: Any, send: Any) -> None:
            if scope["path"].startswith("/jobs/"):
                scope[ROUTE_KEY] = "/jobs/{id}"
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b""})

        mw = MetricsMiddleware(plain, path_template=True)
        request(mw, "/jobs/12")
        request(mw, "/other/12")  # a plain app without router or key: the path is all there is
        assert [r[1] for r in records()] == ["/users/ann", "/jobs/{id}", "/other/12"]
        # The series are by template all the same; a raw path only where asked for.
        request(MetricsMiddleware(plain, route_from_path=True), "/other/13", "DELETE")
        request(MetricsMiddleware(starlette_app()), "/nowhere", "BREW")
        assert series_routes() == {
            ("GET", "/users/{user_id}", "200"),
            ("GET", "/jobs/{id}", "200"),
            ("GET", UNMATCHED, "200"),
            ("DELETE", "/other/13", "200"),
            ("_OTHER", UNMATCHED, "404"),
        }
