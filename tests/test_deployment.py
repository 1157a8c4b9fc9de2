"""Misconfiguration is loud: an unusable shard directory, several workers without one."""

from __future__ import annotations

import json
import logging
import subprocess
import sys
import textwrap
from collections.abc import Iterable
from pathlib import Path
from typing import Any
from wsgiref.util import setup_testing_defaults

import pytest
from support import small_tmpfs
from vornik import _core, _deployment
from vornik.asgi import MetricsMiddleware as AsgiMiddleware
from vornik.wsgi import MetricsMiddleware, MisconfigurationError


@pytest.fixture(autouse=True)
def fresh_process(monkeypatch: pytest.MonkeyPatch) -> None:
    """Each test starts as a process that has reported nothing and seen no request."""
    monkeypatch.setattr(_deployment, "_REPORTED", set())
    monkeypatch.setattr(_deployment, "_FIRST_REQUEST_PID", None)
    monkeypatch.delenv("VRK_MULTIPROC_DIR", raising=False)


def app(environ: dict[str, Any], start_response: Any) -> Iterable[bytes]:
    start_response("200 OK", [])
    return [b"ok"]


def call(mw: MetricsMiddleware, **environ: Any) -> None:
    environ.setdefault("PATH_INFO", "/")
    setup_testing_defaults(environ)
    result = mw(environ, lambda status, headers, exc_info=None: None)  # type: ignore[arg-type]
    list(result)
    result.close()  # type: ignore[attr-defined]


def warnings_of(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == "vornik" and r.levelno == logging.WARNING
    ]


def unusable_directories(tmp_path: Path) -> list[tuple[str, str]]:
    regular = tmp_path / "a-file"
    regular.write_text("")
    return [
        (str(regular), "Not a directory"),
        (str(regular / "below"), "Not a directory"),
        ("/sys/vornik-shards", "Operation not permitted"),
    ]


class TestShardDirectory:
    def test_an_unusable_directory_is_named_once_with_the_reason(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
    ) -> None:
        for directory, reason in unusable_directories(tmp_path):
            monkeypatch.setattr(_deployment, "_REPORTED", set())
            caplog.clear()
            monkeypatch.setenv("VRK_MULTIPROC_DIR", directory)
            MetricsMiddleware(app)
            MetricsMiddleware(app)
            AsgiMiddleware(app)  # type: ignore[arg-type]
            assert warnings_of(caplog) == [
                f"vornik: VRK_MULTIPROC_DIR={directory!r} cannot be used as the shard directory: "
                f"{reason}; every worker reports only its own requests"
            ]
            # The core agrees: the warning is not a guess.
            _core.set_multiproc_dir(directory)
            assert not _core.multiproc_enabled()

    def test_a_usable_or_blank_directory_says_nothing_and_leaves_nothing(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
    ) -> None:
        fresh = tmp_path / "made" / "here"
        for value in (str(fresh), "  \t", ""):
            monkeypatch.setenv("VRK_MULTIPROC_DIR", value)
            MetricsMiddleware(app, strict=True)
            AsgiMiddleware(app, strict=True)  # type: ignore[arg-type]
        assert warnings_of(caplog) == []
        assert fresh.is_dir() and list(fresh.iterdir()) == []

    def test_strict_mode_raises_at_start(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        directory, _ = unusable_directories(tmp_path)[0]
        monkeypatch.setenv("VRK_MULTIPROC_DIR", directory)
        for middleware in (MetricsMiddleware, AsgiMiddleware):
            with pytest.raises(MisconfigurationError, match="Not a directory"):
                middleware(app, strict=True)  # type: ignore[arg-type]

    def test_blank_is_what_the_core_calls_blank(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
    ) -> None:
        """U+001C is whitespace to str.strip() but no White_Space character: the core takes
        it as a directory name, so the check does too."""
        monkeypatch.chdir(tmp_path)
        (tmp_path / "\x1c").write_text("a file where the directory would be")
        monkeypatch.setenv("VRK_MULTIPROC_DIR", "\x1c")
        MetricsMiddleware(app)
        assert [m.split(": ")[-1] for m in warnings_of(caplog)] == [
            "Not a directory; every worker reports only its own requests"
        ]
        _core.set_multiproc_dir("\x1c")
        assert not _core.multiproc_enabled()

    def test_a_full_filesystem_is_told_at_start_and_never_as_unset(self, tmp_path: Path) -> None:
        """Creating an empty file needs no block, so only sizing a file as a worker does
        finds a full disk; and at the first request, a set directory the core gave up
        is named as unusable, not as missing."""
        code = """
            import logging, sys
            from pathlib import Path
            from wsgiref.util import setup_testing_defaults
            logging.basicConfig(stream=sys.stdout, format="%(message)s")
            from vornik.wsgi import MetricsMiddleware
            def app(environ, start_response):
                start_response("200 OK", [])
                return [b"ok"]
            environ = {"SERVER_SOFTWARE": "gunicorn/23.0.0", "wsgi.multiprocess": True}
            setup_testing_defaults(environ)
            fill = Path(sys.argv[2], "fill")
            if sys.argv[1] == "at start":
                fill.write_bytes(bytes(4096))
            mw = MetricsMiddleware(app)
            fill.write_bytes(bytes(4096))
            list(mw(environ, lambda *args: None))
            """
        with small_tmpfs(tmp_path / "full", "4k") as full:
            told = f"VRK_MULTIPROC_DIR={str(full)!r} cannot be used as the shard directory: "
            for when in ("at start", "at the first request"):
                out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), when, str(full)],
                                     capture_output=True, text=True, timeout=60, check=True,
                                     env={"VRK_MULTIPROC_DIR": str(full), "PATH": "/usr/bin:/bin"})  # fmt: skip
                assert out.stdout.splitlines() == [
                    "vornik: "
                    + told
                    + "No space left on device; every worker reports only its own requests"
                ], (when, out.stdout + out.stderr)


class TestSeveralWorkers:
    GUNICORN = {"SERVER_SOFTWARE": "gunicorn/23.0.0", "wsgi.multiprocess": True}

    def test_gunicorns_word_without_a_directory_warns_once(
        self, caplog: pytest.LogCaptureFixture
    ) -> None:
        mw = MetricsMiddleware(app)
        call(mw, **self.GUNICORN)
        call(mw, **self.GUNICORN)
        call(MetricsMiddleware(app), **self.GUNICORN)
        assert warnings_of(caplog) == [
            "vornik: several worker processes (wsgi.multiprocess from gunicorn) but no shard "
            "directory: each scrape reports only the worker that answers it; set "
            "VRK_MULTIPROC_DIR to a directory that all workers share"
        ]

    @pytest.mark.parametrize(
        "environ",
        [
            {"SERVER_SOFTWARE": "gunicorn/23.0.0", "wsgi.multiprocess": False},
            # bjoern and hypercorn say True with one process: their word counts for nothing.
            {"SERVER_SOFTWARE": "bjoern", "wsgi.multiprocess": True},
            {"SERVER_SOFTWARE": "hypercorn-h11", "wsgi.multiprocess": True},
        ],
    )
    def test_no_false_warning(
        self, environ: dict[str, Any], caplog: pytest.LogCaptureFixture
    ) -> None:
        call(MetricsMiddleware(app, strict=True), **environ)
        assert warnings_of(caplog) == []

    def test_a_shard_directory_in_use_silences_it(
        self, tmp_path: Path, caplog: pytest.LogCaptureFixture
    ) -> None:
        _core.set_multiproc_dir(str(tmp_path))
        call(MetricsMiddleware(app, strict=True), **self.GUNICORN, **{"uwsgi.version": b"2.0"})
        assert warnings_of(caplog) == []

    def test_an_unusable_directory_is_told_alone(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
    ) -> None:
        directory, _ = unusable_directories(tmp_path)[0]
        monkeypatch.setenv("VRK_MULTIPROC_DIR", directory)
        call(MetricsMiddleware(app), **self.GUNICORN)
        assert [m.split(" cannot")[0] for m in warnings_of(caplog)] == [
            f"vornik: VRK_MULTIPROC_DIR={directory!r}"
        ]

    def test_strict_mode_raises_at_the_first_request(self) -> None:
        mw = MetricsMiddleware(app, strict=True)
        with pytest.raises(MisconfigurationError, match="several worker processes"):
            call(mw, **self.GUNICORN)
        call(mw, **self.GUNICORN)  # said once; the server goes on serving
        assert [r.path for r in _core.get_requests()] == ["/"]


def test_workers_are_told_by_the_process_tree(tmp_path: Path) -> None:
    """A master named like a known server forks workers; each sees its siblings."""
    script = """
        import json, os
        from vornik._deployment import server_workers

        results, go, stay = os.pipe(), os.pipe(), os.pipe()
        for _ in range(3):
            if os.fork() == 0:
                os.close(go[1])
                os.close(stay[1])
                os.read(go[0], 1)  # all three exist once the master lets go
                os.write(results[1], (json.dumps(server_workers()) + "\\n").encode())
                os.read(stay[0], 1)  # and stay until every one has looked
                os._exit(0)
        os.close(go[1])
        lines = b""
        while lines.count(b"\\n") < 3:
            lines += os.read(results[0], 4096)
        os.close(stay[1])
        for _ in range(3):
            os.wait()
        print(lines.decode(), end="")
    """
    found = {}
    for name in ("gunicorn", "myapp"):
        program = tmp_path / name
        program.write_text(textwrap.dedent(script))
        out = subprocess.run(
            [sys.executable, str(program)], capture_output=True, text=True, timeout=60, check=True
        ).stdout
        found[name] = [json.loads(line) for line in out.splitlines()]
    assert found["gunicorn"] == [["gunicorn", 3]] * 3
    assert found["myapp"] == [None] * 3  # not a server this knows: nothing is said


def test_the_environment_turns_the_endpoint_off(
    monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
) -> None:
    """Where the exporter serves the document, VRK_METRICS_ENDPOINT=off hands the metrics
    path to the application, as metrics_path=None does."""
    for value, served in (("off", False), (" OFF ", False), ("on", True), ("", True), ("no", True)):
        monkeypatch.setenv("VRK_METRICS_ENDPOINT", value)
        environ: dict[str, Any] = {"PATH_INFO": "/metrics"}
        setup_testing_defaults(environ)
        body = b"".join(MetricsMiddleware(app)(environ, lambda *args: None))  # type: ignore[arg-type]
        assert (body != b"ok") == served, value
        assert (AsgiMiddleware(app).metrics_path is not None) == served  # type: ignore[arg-type]
    assert warnings_of(caplog) == [
        "vornik: VRK_METRICS_ENDPOINT='no' is neither 'on' nor 'off'; the metrics endpoint "
        "stays as the middleware was told"
    ]
    with pytest.raises(MisconfigurationError, match="VRK_METRICS_ENDPOINT='no'"):
        MetricsMiddleware(app, strict=True)
