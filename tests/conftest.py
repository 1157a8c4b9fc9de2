"""Shared fixtures: every test starts from an empty store and no series, with shard
aggregation off."""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import types
from collections.abc import Iterator
from pathlib import Path

import pytest
from support import NOBODY, FakeClock
from vornik import _core, _routes


@pytest.fixture(autouse=True)
def fresh_state() -> Iterator[None]:
    _core.set_multiproc_dir(None)
    _core.set_max_requests(10000)
    _core.clear_requests()
    _routes.clear_series()
    yield
    _core.set_multiproc_dir(None)
    _core.set_max_requests(10000)
    _core.clear_requests()
    _routes.clear_series()


@pytest.fixture
def nobody_dir() -> Iterator[Path]:
    """A directory that nobody owns, outside the test's own (root-only) temp dirs."""
    path = Path(tempfile.mkdtemp(prefix="vrk-nobody-"))
    path.chmod(0o755)
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def helpers() -> Iterator[list[subprocess.Popen[str]]]:
    """Processes a test starts; whatever is still running afterwards is killed."""
    started: list[subprocess.Popen[str]] = []
    yield started
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            with contextlib.suppress(OSError):
                stream.close()  # type: ignore[union-attr]


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeClock:
    """The clock the ASGI middleware times requests with, moved by the test."""
    fake = FakeClock()
    monkeypatch.setattr("vornik.asgi.perf_counter", fake)
    return fake


@pytest.fixture
def django_project() -> Iterator[None]:
    """Django configured in this process, its URLconf a home page and an included item route."""
    django = pytest.importorskip("django")
    from django.conf import settings

    if not settings.configured:
        settings.configure(
            DEBUG=False,
            ROOT_URLCONF="vornik_test_urls",
            ALLOWED_HOSTS=["*"],
            MIDDLEWARE=[],
            INSTALLED_APPS=[],
            USE_TZ=True,
        )
        django.setup()
    elif settings.ROOT_URLCONF != "vornik_test_urls":
        pytest.skip("Django is already configured for something else in this process")

    from django.http import HttpRequest, HttpResponse
    from django.urls import include, path

    def item(request: HttpRequest, pk: int) -> HttpResponse:
        return HttpResponse(f"item {pk}")

    def home(request: HttpRequest) -> HttpResponse:
        return HttpResponse("home", status=202)

    urls = types.ModuleType("vornik_test_urls")
    urls.urlpatterns = [  # type: ignore[attr-defined]
        path("", home),
        path("api/", include([path("items/<int:pk>/", item)])),
    ]
    sys.modules["vornik_test_urls"] = urls
    yield
    del sys.modules["vornik_test_urls"]
