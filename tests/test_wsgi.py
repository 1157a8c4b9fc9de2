"""The WSGI middleware: one record per request, timing, errors, /metrics, route templates."""

from __future__ import annotations

import gc
import http.client
import io
import sys
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any
from wsgiref.simple_server import WSGIRequestHandler, make_server
from wsgiref.util import FileWrapper, setup_testing_defaults

import pytest
import vornik
from support import FileBody, records, series_routes
from vornik import _core
from vornik.wsgi import ROUTE_KEY, UNMATCHED, MetricsMiddleware

Environ = dict[str, Any]


class Server:
    """The server side of one WSGI call: what start_response received."""

    def __init__(self) -> None:
        self.status: str | None = None
        self.headers: list[tuple[str, str]] = []
        self.exc_info: Any = None
        self.written: list[bytes] = []

    def start_response(
        self, status: str, headers: list[tuple[str, str]], exc_info: Any = None
    ) -> Callable[[bytes], Any]:
        self.status, self.headers, self.exc_info = status, headers, exc_info
        return self.written.append


def environ_for(path: str = "/", method: str = "GET", **extra: Any) -> Environ:
    environ: Environ = {"REQUEST_METHOD": method, "PATH_INFO": path, **extra}
    setup_testing_defaults(environ)
    return environ


def serve(app: Any, path: str = "/", method: str = "GET", **extra: Any) -> tuple[Server, bytes]:
    """One complete request as a server runs it: call, iterate, close."""
    server = Server()
    result = app(environ_for(path, method, **extra), server.start_response)
    try:
        body = b"".join(result)
    finally:
        if hasattr(result, "close"):
            result.close()
    return server, body


class Between:
    """Equal to any number in [low, high): a duration measured with the real clock."""

    def __init__(self, low: float, high: float) -> None:
        self.low, self.high = low, high

    def __eq__(self, other: object) -> bool:
        return isinstance(other, float) and self.low <= other < self.high

    def __repr__(self) -> str:
        return f"Between({self.low}, {self.high})"


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args: Any) -> None:
        pass


def wsgiref_get(app: Any, target: str) -> tuple[int, dict[str, str], bytes]:
    """One GET of `target` from `app` under wsgiref's server: status, headers, body."""
    with make_server("127.0.0.1", 0, app, handler_class=QuietHandler) as httpd:
        httpd.timeout = 10
        thread = threading.Thread(target=httpd.handle_request)
        thread.start()
        connection = http.client.HTTPConnection("127.0.0.1", httpd.server_port, timeout=10)
        try:
            connection.request("GET", target)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()
            thread.join(10)


def test_package_reexports_core() -> None:
    assert vornik.__version__ == "0.4.3"
    assert vornik.__all__ == _core.__all__
    assert all(getattr(vornik, name) is getattr(_core, name) for name in _core.__all__)


class TestRecording:
    def test_one_record_when_the_server_closes_the_response(self) -> None:
        closed: list[bool] = []

        class Body:
            def __iter__(self) -> Iterator[bytes]:
                time.sleep(0.010)
                yield b"created"

            def close(self) -> None:
                time.sleep(0.005)
                closed.append(True)

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            time.sleep(0.020)
            start_response("201 Created", [("Content-Type", "text/plain")])
            return Body()

        server = Server()
        result = MetricsMiddleware(app)(environ_for("/items", "POST"), server.start_response)
        assert server.status == "201 Created"
        assert b"".join(result) == b"created"
        assert records() == []  # the body is out, but the response is not closed yet
        result.close()  # type: ignore[attr-defined]
        assert closed == [True]
        assert records() == [("POST", "/items", 201, Between(35.0, 1000.0))]
        result.close()  # type: ignore[attr-defined]
        assert len(records()) == 1

    def test_streamed_body_counts_whole_and_status_may_come_late(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterator[bytes]:
            # A generator: start_response runs only once the server iterates.
            start_response("206 Partial Content", [])
            for chunk in (b"a", b"b", b"c"):
                time.sleep(0.020)
                yield chunk

        server, body = serve(MetricsMiddleware(app), "/stream")
        assert body == b"abc"
        assert records() == [("GET", "/stream", 206, Between(60.0, 1000.0))]

    def test_headers_exc_info_and_write_reach_the_server(self) -> None:
        error = ValueError("late")

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [("X-A", "1")])
            try:
                raise error
            except ValueError:
                write = start_response(
                    "503 Service Unavailable", [("Retry-After", "5")], sys.exc_info()
                )
            write(b"legacy write")
            return [b"!"]

        server, body = serve(MetricsMiddleware(app))
        assert server.status == "503 Service Unavailable"
        assert server.headers == [("Retry-After", "5")]
        assert server.exc_info[1] is error
        assert server.written == [b"legacy write"]
        assert body == b"!"
        assert records()[0][2] == 503  # the status of the last start_response

    def test_path_is_script_name_plus_decoded_path_info(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            return []

        # WSGI hands the raw UTF-8 bytes over as a latin-1 string.
        serve(MetricsMiddleware(app), "/caf\u00c3\u00a9", SCRIPT_NAME="/shop")
        serve(MetricsMiddleware(app), "/bad\u00ff")
        assert [r[1] for r in records()] == ["/shop/café", "/bad\ufffd"]

    def test_early_close_by_the_server_keeps_the_status(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterator[bytes]:
            start_response("200 OK", [])
            yield b"first"
            yield b"never read"

        server = Server()
        result = MetricsMiddleware(app)(environ_for("/dl"), server.start_response)
        iterator = iter(result)
        assert next(iterator) == b"first"
        result.close()  # type: ignore[attr-defined]  # the client went away
        del iterator, result
        gc.collect()
        assert [r[2] for r in records()] == [200]

    def test_a_length_only_when_the_application_gives_one(self) -> None:
        def listed(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            return [b"a", b"b"]

        def generated(environ: Environ, start_response: Any) -> Iterator[bytes]:
            start_response("200 OK", [])
            yield b"a"

        sized = MetricsMiddleware(listed)(environ_for("/l"), Server().start_response)
        unsized = MetricsMiddleware(generated)(environ_for("/g"), Server().start_response)
        assert len(sized) == 2  # type: ignore[arg-type]
        assert not hasattr(unsized, "__len__")  # servers that ask (waitress) must see no length
        for result in (sized, unsized):
            assert b"".join(result) in (b"ab", b"a")
            result.close()  # type: ignore[attr-defined]
        assert [(p, s) for _, p, s, _ in records()] == [("/l", 200), ("/g", 200)]

    def test_settings_changed_later_take_effect(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            if environ["PATH_INFO"].startswith("/t/"):
                environ[ROUTE_KEY] = "/t/{n}"
            start_response("200 OK", [])
            return []

        mw = MetricsMiddleware(app)
        mw.metrics_path, mw.path_template, mw.route_from_path = "/m", True, True
        assert (mw.app, mw.metrics_path, mw.path_template, mw.route_from_path) == (
            app, "/m", True, True
        )  # fmt: skip
        server, body = serve(mw, "/m")
        assert server.status == "200 OK" and b"vrk_" in body
        serve(mw, "/t/1")
        serve(mw, "/raw")
        assert [r[1] for r in records()] == ["/t/{n}", "/raw"]
        assert ("GET", "/raw", "200") in series_routes()
        with pytest.raises(AttributeError):
            del mw.app

    def test_long_paths_and_methods_are_cut(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            return []

        mw = MetricsMiddleware(app)
        serve(mw, "/" + "a" * 15000, "X" * 100)
        serve(mw, "/" + "b" * 255)  # exactly at the limit: kept whole
        serve(mw, "/caf\u00c3\u00a9" * 100)  # cut after decoding, by characters
        [long, limit, decoded] = records()
        assert long[:2] == ("X" * 31 + "…", "/" + "a" * 254 + "…")
        assert limit[1] == "/" + "b" * 255
        assert decoded[1] == ("/café" * 52)[:255] + "…"

    def test_wsgiref_server_round_trip(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("404 Not Found", [("Content-Type", "text/plain")])
            return [b"nothing here"]

        status, headers, body = wsgiref_get(MetricsMiddleware(app), "/missing?q=1")
        assert (status, body) == (404, b"nothing here")
        assert headers["Content-Length"] == "12"  # wsgiref could count the blocks
        assert [(m, p, s) for m, p, s, _ in records()] == [("GET", "/missing", 404)]


class TestFileWrapper:
    """A file wrapper of the server's own type goes back to the server itself, so that it
    can send the file its own way (sendfile, a known length), and still records."""

    @staticmethod
    def app(environ: Environ, start_response: Any) -> Any:
        time.sleep(0.010)
        start_response("206 Partial Content", [])
        return environ["wsgi.file_wrapper"](io.BytesIO(b"x" * 100), 8)

    @pytest.mark.parametrize("wrapper", [FileWrapper, FileBody])
    def test_the_servers_wrapper_reaches_it_and_records_when_closed(self, wrapper: type) -> None:
        environ = environ_for("/file", **{"wsgi.file_wrapper": wrapper})
        # Twice wrapped: each middleware hands it on and records.
        mw = MetricsMiddleware(MetricsMiddleware(self.app))
        result = mw(environ, Server().start_response)
        assert type(result) is wrapper  # waitress's and gunicorn's type check
        file = result.filelike if wrapper is FileWrapper else result.file
        assert b"".join(result) == b"x" * 100
        time.sleep(0.020)
        assert records() == []
        result.close()
        result.close()
        assert file.closed
        assert records() == [("GET", "/file", 206, Between(30.0, 1000.0))] * 2
        # Closing ends what ties the response and the wrapper: no collector needed.
        gc.disable()
        try:
            alive = weakref.ref(result)
            del result
            assert alive() is None
        finally:
            gc.enable()

    def test_anything_else_is_wrapped_as_before(self) -> None:
        class Slotted:
            __slots__ = ("file",)  # no room for another close

            def __init__(self, file: io.BytesIO) -> None:
                self.file = file

            def __iter__(self) -> Iterator[bytes]:
                return iter([self.file.read()])

            def close(self) -> None:
                self.file.close()

        def returns(body: Callable[[], Any], **extra: Any) -> Any:
            def app(environ: Environ, start_response: Any) -> Any:
                start_response("200 OK", [])
                return body()

            result = MetricsMiddleware(app)(environ_for("/", **extra), Server().start_response)
            assert b"".join(result) == b"ab"
            result.close()
            return result

        file = io.BytesIO(b"ab")
        assert type(returns(lambda: FileWrapper(file))).__name__ == "WsgiResponse"  # no server's
        assert file.closed
        served = {"wsgi.file_wrapper": FileWrapper}
        assert type(returns(lambda: iter([b"ab"]), **served)).__name__ == "WsgiResponse"
        file = io.BytesIO(b"ab")
        result = returns(lambda: Slotted(file), **{"wsgi.file_wrapper": Slotted})
        assert type(result).__name__ == "WsgiResponse" and file.closed
        # A file wrapper that is a function (uWSGI's) names no type to hand back.
        as_function = {"wsgi.file_wrapper": lambda file, size=8192: FileWrapper(file, size)}
        assert type(returns(lambda: FileWrapper(io.BytesIO(b"ab")), **as_function)).__name__ == (
            "WsgiResponse"
        )
        assert [s for _, _, s, _ in records()] == [200] * 4

    def test_under_wsgiref(self) -> None:
        # wsgiref sends a file wrapper block by block: the same bytes, recorded once.
        status, _, body = wsgiref_get(MetricsMiddleware(self.app), "/file")
        assert (status, body) == (206, b"x" * 100)
        assert [(p, s) for _, p, s, _ in records()] == [("/file", 206)]


class TestExceptions:
    def test_raised_before_the_body_is_recorded_as_500_and_reraised(self) -> None:
        error = KeyError("boom")

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            time.sleep(0.002)
            raise error

        with pytest.raises(KeyError) as caught:
            MetricsMiddleware(app)(environ_for("/k"), Server().start_response)
        assert caught.value is error
        assert records() == [("GET", "/k", 500, Between(2.0, 1000.0))]

    def test_raised_during_the_body_is_recorded_once_as_500(self) -> None:
        error = RuntimeError("disk gone")

        def app(environ: Environ, start_response: Any) -> Iterator[bytes]:
            start_response("200 OK", [])
            yield b"part"
            raise error

        server = Server()
        result = MetricsMiddleware(app)(environ_for("/big"), server.start_response)
        chunks = []
        with pytest.raises(RuntimeError) as caught:
            for chunk in result:
                chunks.append(chunk)
        assert caught.value is error
        assert chunks == [b"part"]
        result.close()  # type: ignore[attr-defined]  # servers close after a failure too
        assert [(p, s) for _, p, s, _ in records()] == [("/big", 500)]

    def test_close_that_raises_is_recorded_as_500(self) -> None:
        class Body(list[bytes]):
            def close(self) -> None:
                raise OSError("cleanup failed")

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            return Body([b"x"])

        with pytest.raises(OSError, match="cleanup failed"):
            serve(MetricsMiddleware(app))
        assert [r[2] for r in records()] == [500]

    @pytest.mark.parametrize(
        ("status", "recorded"),
        [
            ("-12 Weird", 500),
            ("99999 X", 500),
            ("65536 Too Far", 500),
            ("Teapot", 500),
            ("", 500),
            ("\u0662\u0660\u0660 OK", 500),  # digits, but not ASCII ones
            ("+200 OK", 500),
            ("0 Zero", 0),
            ("299", 299),
            ("65535 Last", 65535),
        ],
    )
    def test_a_status_line_that_is_no_code_is_recorded_as_500(
        self, status: str, recorded: int
    ) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response(status, [])
            return [b"x"]

        serve(MetricsMiddleware(app))  # close() does not raise
        assert [r[2] for r in records()] == [recorded]

    def test_response_never_started(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            return [b"forgot start_response"]

        serve(MetricsMiddleware(app))
        assert [r[2] for r in records()] == [500]

    def test_a_failure_to_record_never_hides_the_applications_error(
        self, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        error = KeyError("boom")

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            if environ["PATH_INFO"] == "/raises":
                raise error
            start_response("200 OK", [])
            return [b"x"]

        def router_fails(script_name: str, path_info: str) -> str:
            raise OSError("no route")

        unraisable: list[Any] = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        mw = MetricsMiddleware(app)
        mw._route_of = router_fails
        with pytest.raises(KeyError) as caught:
            mw(environ_for("/raises"), Server().start_response)
        assert caught.value is error
        assert [type(u.exc_value) for u in unraisable] == [OSError]
        with pytest.raises(OSError, match="no route"):  # no error of the application's here
            serve(mw, "/fine")
        assert records() == []  # the router failed before anything was recorded

    def test_start_response_takes_what_wsgi_passes(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            for args, kwargs in [
                ((), {}),
                (("200 OK", [], None, 4), {}),
                (("200 OK", []), {"x": 1}),
            ]:
                with pytest.raises(TypeError, match="takes 2 or 3 positional arguments"):
                    start_response(*args, **kwargs)
            start_response("201 Created", [], None)
            return []

        server, _ = serve(MetricsMiddleware(app))
        assert server.status == "201 Created"
        assert [r[2] for r in records()] == [201]

    def test_environ_values_that_are_no_text_read_as_empty(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            start_response("200 OK", [])
            return []

        serve(MetricsMiddleware(app), "/x", method=b"GET", SCRIPT_NAME=None)  # servers gone wrong
        assert [(m, p) for m, p, _, _ in records()] == [("", "/x")]
        assert series_routes() == {("_OTHER", "<unmatched>", "200")}


class TestMetricsEndpoint:
    @staticmethod
    def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
        start_response("200 OK", [])
        return [b"app"]

    def test_serves_the_document_and_is_not_recorded(self) -> None:
        mw = MetricsMiddleware(self.app)
        serve(mw, "/a")
        serve(mw, "/b")
        before = records()
        server, body = serve(mw, "/metrics")
        assert server.status == "200 OK"
        headers = dict(server.headers)
        assert headers["Content-Type"] == vornik.PROMETHEUS_CONTENT_TYPE
        assert int(headers["Content-Length"]) == len(body)
        text = body.decode()
        assert text.startswith("# HELP vrk_requests_total")
        assert "\nvrk_requests_total 2\n" in text
        assert records() == before

    def test_head_and_other_methods(self) -> None:
        mw = MetricsMiddleware(self.app)
        server, body = serve(mw, "/metrics", "HEAD")
        assert server.status == "200 OK" and body == b""
        assert int(dict(server.headers)["Content-Length"]) > 0
        server, body = serve(mw, "/metrics", "POST")
        assert server.status == "405 Method Not Allowed" and body == b""
        assert server.headers == [
            ("Allow", "GET, HEAD"),
            ("Content-Type", "text/plain; charset=utf-8"),
            ("Content-Length", "0"),
        ]
        assert records() == []

    def test_custom_path_and_disabled_endpoint(self) -> None:
        server, body = serve(MetricsMiddleware(self.app, metrics_path="/-/metrics"), "/-/metrics")
        assert b"vrk_requests_total" in body
        server, body = serve(MetricsMiddleware(self.app, metrics_path="/-/metrics"), "/metrics")
        assert body == b"app"
        server, body = serve(MetricsMiddleware(self.app, metrics_path=None), "/metrics")
        assert body == b"app"
        environ = environ_for("/")
        del environ["PATH_INFO"]  # allowed for a request to the application's root
        assert list(
            MetricsMiddleware(self.app, metrics_path=None)(environ, Server().start_response)
        ) == [b"app"]
        assert [r[1] for r in records()] == ["/metrics", "/metrics"]

    def test_a_path_beyond_ascii_is_matched_as_the_text_the_client_sent(self) -> None:
        mw = MetricsMiddleware(self.app, metrics_path="/métriques")
        # WSGI hands the path's UTF-8 bytes over as a latin-1 string.
        assert b"vrk_requests_total" in serve(mw, "/m\u00c3\u00a9triques")[1]
        # A lone latin-1 byte é is no UTF-8: the application's, as recorded.
        assert serve(mw, "/métriques")[1] == b"app"
        assert b"vrk_requests_total" in wsgiref_get(mw, "/m%C3%A9triques")[2]
        assert [r[1] for r in records()] == ["/m\ufffdtriques"]

    def test_rejects_a_relative_path(self) -> None:
        with pytest.raises(ValueError, match="metrics_path"):
            MetricsMiddleware(self.app, metrics_path="metrics")

    def test_bearer_token(self, tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
        token = tmp_path / "token"
        token.write_text("  s3cret-1\n")  # read as Prometheus does: without the whitespace
        mw = MetricsMiddleware(self.app, bearer_token_file=token)
        for authorization in (None, "Bearer s3cret-2", "Basic s3cret-1", "Bearer", "s3cret-1"):
            extra = {} if authorization is None else {"HTTP_AUTHORIZATION": authorization}
            server, body = serve(mw, "/metrics", **extra)
            assert (server.status, body) == ("401 Unauthorized", b""), authorization
            assert dict(server.headers)["WWW-Authenticate"].startswith("Bearer")
        for authorization in ("Bearer s3cret-1", "bearer  s3cret-1 "):
            server, body = serve(mw, "/metrics", HTTP_AUTHORIZATION=authorization)
            assert server.status == "200 OK" and b"vrk_requests_total" in body
        assert serve(mw, "/other")[1] == b"app"  # the application's paths need no token
        assert [r[1] for r in records()] == ["/other"]

        # A rotated secret (a new file put in place, or the file rewritten) holds from
        # the next scrape.
        rotated = tmp_path / "rotated"
        rotated.write_text("s3cret-2")
        rotated.replace(token)
        for sent, status in (("s3cret-1", "401 Unauthorized"), ("s3cret-2", "200 OK")):
            assert serve(mw, "/metrics", HTTP_AUTHORIZATION=f"Bearer {sent}")[0].status == status
        token.write_text("s3cret-three")
        assert serve(mw, "/metrics", HTTP_AUTHORIZATION="Bearer s3cret-three")[0].status == "200 OK"

        # Gone or emptied: the token read last holds, and the log says why, not what.
        for broken in (token.unlink, lambda: token.write_text("\n")):
            broken()
            assert (
                serve(mw, "/metrics", HTTP_AUTHORIZATION="Bearer s3cret-three")[0].status
                == "200 OK"
            )
            assert serve(mw, "/metrics")[0].status == "401 Unauthorized"
        said = [r.getMessage() for r in caplog.records if r.name == "vornik"]
        assert said and all(m.startswith("vornik: the bearer token file") for m in said), said
        assert not any("s3cret" in m for m in said)

        with pytest.raises(FileNotFoundError):
            MetricsMiddleware(self.app, bearer_token_file=tmp_path / "missing")
        with pytest.raises(ValueError, match="no token"):
            MetricsMiddleware(self.app, bearer_token_file=token)  # holds a newline only


def flask_app() -> Any:
    flask = pytest.importorskip("flask")
    app = flask.Flask("vornik_test")

    @app.get("/users/<int:user_id>")
    def user(user_id: int) -> str:
        return f"user {user_id}"

    @app.get("/files/<path:name>")
    def files(name: str) -> tuple[str, int]:
        return "gone", 410

    @app.get("/crash")
    def crash() -> str:
        raise RuntimeError("handler failed")

    return app


class TestRouteTemplates:
    def test_flask_url_rules(self) -> None:
        app = flask_app()
        mw = MetricsMiddleware(app.wsgi_app, path_template=True)
        app.wsgi_app = mw  # type: ignore[method-assign]
        for path in ("/users/1", "/users/2", "/files/a/b.txt", "/nope/42", "/crash"):
            serve(app, path)
        assert [(p, s) for _, p, s, _ in records()] == [
            ("/users/<int:user_id>", 200),
            ("/users/<int:user_id>", 200),
            ("/files/<path:name>", 410),
            (UNMATCHED, 404),
            ("/crash", 500),
        ]

    def test_werkzeug_request_without_a_rule(self) -> None:
        # A plain Werkzeug application leaves a request object in the environ
        # too; having no URL rule, it names no route.
        from werkzeug.wrappers import Request, Response

        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            Request(environ)
            return Response("ok")(environ, start_response)  # type: ignore[no-any-return]

        serve(MetricsMiddleware(app), "/w/1")
        serve(MetricsMiddleware(app, route_from_path=True), "/w/2")
        assert series_routes() == {("GET", UNMATCHED, "200"), ("GET", "/w/2", "200")}

    def test_flask_imported_after_the_middleware(self) -> None:
        flask = sys.modules.pop("flask")
        try:
            mw = MetricsMiddleware(lambda environ, start_response: [])
        finally:
            sys.modules["flask"] = flask
        app = flask_app()
        mw.app = app.wsgi_app
        serve(mw, "/users/3")
        assert series_routes() == {("GET", "/users/<int:user_id>", "200")}

    def test_raw_paths_by_default(self) -> None:
        app = flask_app()
        app.wsgi_app = MetricsMiddleware(app.wsgi_app)  # type: ignore[method-assign]
        serve(app, "/users/7")
        serve(app, "/nope")
        assert [r[1] for r in records()] == ["/users/7", "/nope"]
        # The series are by template all the same: raw paths never become labels.
        assert series_routes() == {
            ("GET", "/users/<int:user_id>", "200"),
            ("GET", UNMATCHED, "404"),
        }

    def test_series_routes_without_a_router(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            if environ["PATH_INFO"] == "/named":
                environ[ROUTE_KEY] = "/named/{x}"
            start_response("200 OK", [])
            return []

        serve(MetricsMiddleware(app), "/a/1", "PATCH")
        serve(MetricsMiddleware(app), "/named", "PROPFIND")
        opted_in = MetricsMiddleware(app, route_from_path=True)
        serve(opted_in, "/b/2")
        serve(opted_in, "/named")
        assert series_routes() == {
            ("PATCH", UNMATCHED, "200"),
            ("_OTHER", "/named/{x}", "200"),
            ("GET", "/b/2", "200"),
            ("GET", "/named/{x}", "200"),
        }

    def test_template_from_the_environ_key(self) -> None:
        def app(environ: Environ, start_response: Any) -> Iterable[bytes]:
            if environ["PATH_INFO"].startswith("/orders/"):
                environ[ROUTE_KEY] = "/orders/{id}"
            elif environ["PATH_INFO"].startswith("/caf"):
                environ[ROUTE_KEY] = "/café/{item}"  # text, not WSGI's latin-1 bytes
            start_response("200 OK", [])
            return []

        mw = MetricsMiddleware(app, path_template=True)
        serve(mw, "/orders/17")
        serve(mw, "/caf\u00c3\u00a9/tea")
        serve(mw, "/plain")  # no router and no key: the path is all there is
        assert [r[1] for r in records()] == ["/orders/{id}", "/café/{item}", "/plain"]

    def test_django_resolver_routes(self, django_project: None) -> None:
        from django.core.wsgi import get_wsgi_application

        mw = MetricsMiddleware(get_wsgi_application(), path_template=True)
        for p in ("/", "/api/items/3/", "/api/items/4/", "/api/unknown/"):
            serve(mw, p, SERVER_NAME="testserver", HTTP_HOST="testserver")
        assert [(p, s) for _, p, s, _ in records()] == [
            ("/", 202),
            ("/api/items/<int:pk>/", 200),
            ("/api/items/<int:pk>/", 200),
            (UNMATCHED, 404),
        ]
