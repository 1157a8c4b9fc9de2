"""The module object: attributes, doc strings, argument binding and initialisation."""

from __future__ import annotations

import inspect
import re
from typing import Any

import pytest
from support import (
    Index,
    RaisingTypeErrorSubclass,
    Text,
    TypeErrorSubclass,
    TypeErrorWithCause,
    run_python,
)
from vornik import _core

EXPECTED_ALL = [
    "hello", "snapshot", "Snapshot", "record_request", "get_requests", "clear_requests",
    "set_max_requests", "get_max_requests", "RequestMetric", "set_multiproc_dir",
    "get_multiproc_dir", "multiproc_enabled", "aggregate", "AggregatedMetrics",
    "metrics_text", "PROMETHEUS_CONTENT_TYPE", "check_alerts",
]  # fmt: skip


def test_attributes_in_order() -> None:
    assert _core.__all__ == EXPECTED_ALL
    assert [name for name in vars(_core) if name in EXPECTED_ALL] == EXPECTED_ALL
    assert _core.PROMETHEUS_CONTENT_TYPE == "text/plain; version=0.0.4; charset=utf-8"
    assert _core.__doc__ == ""


def test_hello() -> None:
    greeting = _core.hello()
    assert greeting.startswith("vornik v0.4.3 \u2014 ")
    assert greeting.endswith(" core running!")
    assert len(greeting.split()) == 6


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("hello", "()"),
        ("snapshot", "()"),
        ("record_request", "(method, path, status_code, duration_ms)"),
        ("get_requests", "()"),
        ("set_max_requests", "(max)"),
        ("set_multiproc_dir", "(dir=None)"),
        ("aggregate", "()"),
        ("metrics_text", "()"),
        ("check_alerts", "(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)"),
    ],
)
def test_signatures(name: str, signature: str) -> None:
    assert str(inspect.signature(getattr(_core, name))) == signature


def test_doc_texts() -> None:
    assert _core.clear_requests.__doc__ == "Clears the store \u2014 for tests and manual resets."
    assert _core.set_max_requests.__doc__ == (
        "Sets the maximum number of requests retained in the ring buffer.\n"
        "Once exceeded, the oldest entries are evicted first. Values < 1 clamp to 1."
    )
    assert _core.check_alerts.__doc__ == (
        "`check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)`.\n\n"
        "Collects a snapshot of the current process and returns the alerts that fired\n"
        'as a list of dicts: `{"metric", "value", "threshold", "severity"}`. Memory\n'
        'thresholds are in megabytes. `severity` is currently always `"warning"`.'
    )
    assert _core.hello.__doc__ is None or _core.hello.__doc__ == ""
    assert _core.record_request.__doc__.startswith(
        "Records a request. Called by the Python middleware on every request.\n"
    )


BINDING_ERRORS: list[tuple[str, tuple[Any, ...], dict[str, Any], str]] = [
    ("record_request", ("GET", "/x", 200, 1.0, 5), {},
     "record_request() takes 4 positional arguments but 5 were given"),
    ("record_request", ("GET", "/x", 200), {},
     "record_request() missing 1 required positional argument: 'duration_ms'"),
    ("record_request", ("GET", "/x"), {},
     "record_request() missing 2 required positional arguments: 'status_code' and 'duration_ms'"),
    ("record_request", (), {},
     "record_request() missing 4 required positional arguments: "
     "'method', 'path', 'status_code', and 'duration_ms'"),
    ("record_request", ("GET", "/x", 200, 1.0), {"verb": "GET"},
     "record_request() got an unexpected keyword argument 'verb'"),
    ("record_request", ("GET", "/x", 200, 1.0), {"path": "/y"},
     "record_request() got multiple values for argument 'path'"),
    ("set_max_requests", (1, 2), {}, "set_max_requests() takes 1 positional arguments but 2 were given"),
    ("set_max_requests", (), {}, "set_max_requests() missing 1 required positional argument: 'max'"),
    ("set_multiproc_dir", (None, None), {},
     "set_multiproc_dir() takes from 0 to 1 positional arguments but 2 were given"),
    ("set_multiproc_dir", (), {"directory": "/tmp"},
     "set_multiproc_dir() got an unexpected keyword argument 'directory'"),
    ("check_alerts", (1, 2, 3, 4), {},
     "check_alerts() takes from 0 to 3 positional arguments but 4 were given"),
    ("check_alerts", (1,), {"cpu_percent": 2},
     "check_alerts() got multiple values for argument 'cpu_percent'"),
]  # fmt: skip


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors_change_nothing(
    name: str, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    _core.record_request("GET", "/before", 200, 1.0)
    with pytest.raises(TypeError) as raised:
        getattr(_core, name)(*args, **kwargs)
    assert str(raised.value) == message
    assert type(raised.value) is TypeError
    assert [m.path for m in _core.get_requests()] == ["/before"]
    assert _core.get_max_requests() == 10000
    assert _core.aggregate().total_requests == 1


CONVERSION_ERRORS: list[tuple[tuple[Any, ...], type[BaseException], str | None]] = [
    ((1, "/x", 200, 1.0), TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
    (("GET", b"/x", 200, 1.0), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (("GET", "/x", "200", 1.0), TypeError,
     "argument 'status_code': 'str' object cannot be interpreted as an integer"),
    (("GET", "/x", 200.0, 1.0), TypeError,
     "argument 'status_code': 'float' object cannot be interpreted as an integer"),
    (("GET", "/x", 70000, 1.0), OverflowError, "out of range integral type conversion attempted"),
    (("GET", "/x", -1, 1.0), OverflowError, "out of range integral type conversion attempted"),
    (("GET", "/x", 2**80, 1.0), OverflowError, None),
    (("GET", "/x", 200, "1.0"), TypeError, "argument 'duration_ms': must be real number, not str"),
    (("GET", "/x", 200, None), TypeError, "argument 'duration_ms': must be real number, not NoneType"),
    (("GET", "/x", 200, 10**400), OverflowError, None),
    (("GET", "/x", 200, RaisingTypeErrorSubclass()), TypeErrorSubclass, "subclass passes unchanged"),
    (("\ud800", "/x", 200, 1.0), UnicodeEncodeError, None),
    (("GET", "/\udfff", 200, 1.0), UnicodeEncodeError, None),
]  # fmt: skip


@pytest.mark.parametrize(("args", "error", "message"), CONVERSION_ERRORS)
def test_record_request_rejects_and_records_nothing(
    args: tuple[Any, ...], error: type[BaseException], message: str | None
) -> None:
    with pytest.raises(error) as raised:
        _core.record_request(*args)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert _core.get_requests() == []
    assert _core.aggregate().total_requests == 0


def test_plain_type_error_is_rewrapped_with_its_cause() -> None:
    with pytest.raises(TypeError) as raised:
        _core.record_request("GET", "/x", 200, TypeErrorWithCause())
    assert str(raised.value) == "argument 'duration_ms': no number here"
    assert isinstance(raised.value.__cause__, KeyError)
    with pytest.raises(TypeError) as plain:
        _core.set_max_requests(2.5)
    assert str(plain.value).startswith("argument 'max': ")
    assert plain.value.__cause__ is None


def test_accepted_conversions() -> None:
    class Millis:
        def __float__(self) -> float:
            return 7.25

    _core.record_request("GET", "/a", 200, 5)
    _core.record_request(
        method="POST", path=Text("/b"), status_code=Index(404), duration_ms=Millis()
    )
    _core.record_request("GET", "/c", True, 2**1023)
    first, second, third = _core.get_requests()
    assert first.duration_ms == 5.0 and type(first.duration_ms) is float
    assert (second.method, second.path, second.status_code, second.duration_ms) == (
        "POST", "/b", 404, 7.25)  # fmt: skip
    assert type(second.path) is str
    assert (third.status_code, third.duration_ms) == (1, float(2**1023))
    _core.record_request("G\u00e9T", "/\u2603/\U0001f600", 0, 0.0)
    assert _core.get_requests()[-1].path == "/\u2603/\U0001f600"
    _core.record_request("GET", "a\0b", 65535, 1.0)
    assert _core.get_requests()[-1].path == "a\0b"


def test_set_max_requests_conversions() -> None:
    _core.set_max_requests(Index(7))
    assert _core.get_max_requests() == 7
    _core.set_max_requests(2**64 - 1)
    assert _core.get_max_requests() == 2**64 - 1
    for bad, error in [(-1, OverflowError), (2**64, OverflowError), ("5", TypeError)]:
        with pytest.raises(error):
            _core.set_max_requests(bad)
        assert _core.get_max_requests() == 2**64 - 1


def test_set_multiproc_dir_argument() -> None:
    with pytest.raises(TypeError) as raised:
        _core.set_multiproc_dir(5)
    assert str(raised.value) == "argument 'dir': 'int' object cannot be converted to 'PyString'"
    assert _core.set_multiproc_dir() is None
    assert _core.set_multiproc_dir(None) is None
    assert _core.multiproc_enabled() is False


def test_second_initialisation_returns_the_same_module() -> None:
    out = run_python(
        """
        import importlib, sys
        import vornik._core as first
        first.record_request("GET", "/kept", 200, 1.0)
        del sys.modules["vornik._core"]
        second = importlib.import_module("vornik._core")
        print(second is first, second.get_requests()[0].path, second.__all__ == first.__all__)
        """
    )
    assert out.split() == ["True", "/kept", "True"]


def test_sub_interpreter_import_fails_and_main_module_keeps_working() -> None:
    # Refused before the main interpreter imports and after: a sub-interpreter that
    # comes first must not lock the main one out. It loads the extension modules from
    # their files: `import vornik` would stop at the package's import of _core before
    # _routes is tried, and finding them by module name would import the package in the
    # main interpreter first.
    out = run_python(
        """
        import importlib.util, pathlib, sys
        try:
            import _testcapi
        except ImportError:
            print("no-testcapi")
            raise SystemExit
        package = pathlib.Path(importlib.util.find_spec("vornik").origin).parent
        files = [
            (name, str(next(package.glob(name.split(".")[1] + ".*.so"))))
            for name in ("vornik._core", "vornik._routes")
        ]
        assert "vornik" not in sys.modules
        code = (
            "import importlib.util, sys\\n"
            "for name, origin in %r:\\n"
            "    spec = importlib.util.spec_from_file_location(name, origin)\\n"
            "    try:\\n"
            "        importlib.util.module_from_spec(spec)\\n"
            "        print('imported', name)\\n"
            "    except ImportError as error:\\n"
            "        print('refused', error)\\n"
            "sys.stdout.flush()\\n"
        ) % (files,)
        sys.stdout.flush()
        print("status", _testcapi.run_in_subinterp(code))
        sys.stdout.flush()
        import vornik._core as core, vornik._routes as routes
        core.record_request("GET", "/after", 200, 1.0)
        routes.record_request("GET", "/after", 200, 1.0, "/after")
        print("main", core.aggregate().total_requests, routes.series_count())
        sys.stdout.flush()
        print("status", _testcapi.run_in_subinterp(code))
        """
    )
    if out.strip() == "no-testcapi":
        pytest.skip("this interpreter has no _testcapi to start a sub-interpreter")
    refusal = (
        r"refused vornik\.(_core|_routes) does not support sub-interpreters: it keeps "
        r"process-wide state and loads only in the main interpreter, not in "
        r"sub-interpreter [1-9][0-9]*"
    )
    lines = out.splitlines()
    assert len(lines) == 7 and lines[2:4] == ["status 0", "main 2 1"], out
    assert lines[6] == "status 0", out
    for line, module in zip(lines[:2] + lines[4:6], ["_core", "_routes"] * 2, strict=True):
        match = re.fullmatch(refusal, line)
        assert match is not None and match.group(1) == module, out
