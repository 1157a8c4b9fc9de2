"""Property tests: arbitrary arguments never crash the process and fail only in the ways
the module documents, and arbitrary sequences of store operations agree with a small
reference model of the store and its aggregate."""

from __future__ import annotations

import contextlib
import math
import operator
import struct
import warnings
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from support import Boom, Text, TypeErrorSubclass, bits, signed_nan, window_figures
from vornik import _core

# When a test fails, hypothesis's pytest plugin imports its patch writer, whose
# dependencies raise deprecation warnings on import; in this suite warnings are errors,
# and one raised in a report hook aborts the whole run. Importing it once here, quietly,
# leaves the failure to be reported as a failure.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    with contextlib.suppress(ImportError):
        import hypothesis.extra._patching  # noqa: F401

PROPERTY_SETTINGS = settings(
    max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


class Integer(int):
    pass


class Real(float):
    pass


@dataclass(eq=False)
class Hooked:
    """An object with an `__index__` or a `__float__`, which returns `result` or raises."""

    hook: str
    result: Any
    error: type[BaseException] | None

    def __repr__(self) -> str:
        return f"Hooked({self.hook}, {self.result!r}, {self.error})"


def _call_hook(self: Any) -> Any:
    if self.error is not None:
        raise self.error("from the hook")
    return self.result


class HookedIndex(Hooked):
    __index__ = _call_hook


class HookedFloat(Hooked):
    __float__ = _call_hook


class HookedBoth(Hooked):
    __index__ = _call_hook
    __float__ = _call_hook


def mostly(
    common: st.SearchStrategy[Any], rare: st.SearchStrategy[Any], one_in: int = 8
) -> st.SearchStrategy[Any]:
    return st.integers(0, one_in - 1).flatmap(lambda i: rare if i == 0 else common)


# Some texts carry lone surrogates, which cannot be encoded as UTF-8.
texts = mostly(
    st.text(max_size=12) | st.sampled_from(["", " ", "\t\u3000", "GET", "\0", "\u00e9\U0001f600"]),
    st.text(st.characters(exclude_categories=()), max_size=4)
    | st.sampled_from(["\ud800", "a\udfffb"]),
    one_in=6,
)
hook_errors = st.sampled_from([None, None, Boom, TypeError, TypeErrorSubclass, OverflowError])
hooked = st.builds(
    lambda kind, result, error: kind(kind.__name__, result, error),
    st.sampled_from([HookedIndex, HookedFloat, HookedBoth]),
    # Exact ints and floats, or something of the wrong type: subclasses would only draw
    # the interpreter's deprecation warning.
    st.integers() | st.floats() | st.just("1") | st.none(),
    hook_errors,
)
values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-2, max_value=70000),
    st.integers(min_value=2**63 - 2, max_value=2**64 + 2),
    st.floats(),
    texts,
    texts.map(Text),
    st.integers().map(Integer),
    st.floats().map(Real),
    st.binary(max_size=4),
    st.complex_numbers(max_magnitude=1e6),
    st.decimals(allow_nan=False),
    st.fractions(),
    st.just(object()),
    st.lists(st.integers(), max_size=2),
    st.tuples(st.integers()),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=1),
    hooked,
)

NO_ARGUMENTS = [
    "hello",
    "snapshot",
    "get_requests",
    "clear_requests",
    "get_max_requests",
    "get_multiproc_dir",
    "multiproc_enabled",
    "aggregate",
    "metrics_text",
]


# --- Reference conversions -----------------------------------------------------------
# Each returns the converted value or raises what the module's conversion raises.


def as_text(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'PyString'")
    value.encode("utf-8")  # lone surrogates raise UnicodeEncodeError
    return str(value)


def as_index(value: Any) -> int:
    return int(value) if isinstance(value, int) else operator.index(value)


def as_status(value: Any) -> int:
    number = as_index(value)
    if not -(2**63) <= number < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    if not 0 <= number <= 65535:
        raise OverflowError("out of range integral type conversion attempted")
    return number


def as_double(value: Any) -> float:
    if isinstance(value, float):
        return struct.unpack("d", struct.pack("d", value))[0]
    if hasattr(type(value), "__float__"):
        result = type(value).__float__(value)
        if type(result) is not float:
            raise TypeError("__float__ returned non-float")
        return result
    if hasattr(type(value), "__index__"):
        return float(operator.index(value))
    raise TypeError("must be real number")


def as_u64(value: Any) -> int:
    number = as_index(value)
    if not 0 <= number < 2**64:
        raise OverflowError("out of range")
    return number


def as_optional_text(value: Any) -> str | None:
    return None if value is None else as_text(value)


def as_optional_double(value: Any) -> float | None:
    return None if value is None else as_double(value)


# name -> [(parameter, conversion, required)]
SIGNATURES: dict[str, list[tuple[str, Callable[[Any], Any], bool]]] = {
    "record_request": [
        ("method", as_text, True),
        ("path", as_text, True),
        ("status_code", as_status, True),
        ("duration_ms", as_double, True),
    ],
    "set_max_requests": [("max", as_u64, True)],
    "set_multiproc_dir": [("dir", as_optional_text, False)],
    "check_alerts": [
        ("cpu_percent", as_optional_double, False),
        ("memory_rss_mb", as_optional_double, False),
        ("memory_virtual_mb", as_optional_double, False),
    ],
}


@dataclass
class Expected:
    converted: list[Any] = field(default_factory=list)
    error: type[BaseException] | None = None
    prefix: str | None = None  # start of the message of a re-raised plain TypeError


def expected_outcome(name: str, args: list[Any], kwargs: dict[str, Any]) -> Expected:
    if name in NO_ARGUMENTS:
        return Expected(error=TypeError) if args or kwargs else Expected()
    parameters = SIGNATURES[name]
    names = [p for p, _, _ in parameters]
    if len(args) > len(parameters):
        return Expected(error=TypeError, prefix=f"{name}() takes ")
    bound: dict[str, Any] = dict(zip(names, args, strict=False))
    for keyword, value in kwargs.items():
        if keyword not in names:
            return Expected(error=TypeError, prefix=f"{name}() got an unexpected keyword")
        if keyword in bound:
            return Expected(error=TypeError, prefix=f"{name}() got multiple values")
        bound[keyword] = value
    if any(required and p not in bound for p, _, required in parameters):
        return Expected(error=TypeError, prefix=f"{name}() missing ")
    outcome = Expected()
    for parameter, convert, _ in parameters:
        try:
            outcome.converted.append(convert(bound.get(parameter)))
        except Exception as error:  # noqa: BLE001 - the type is what is being predicted
            outcome.error = type(error)
            if type(error) is TypeError:
                outcome.prefix = f"argument '{parameter}': "
            elif (
                convert is as_status
                and type(error) is OverflowError
                and "out of range" in str(error)
            ):
                outcome.prefix = "out of range integral type conversion attempted"
            return outcome
    return outcome


@pytest.fixture(scope="module")
def scratch(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("dirs")


ALERT_METRICS = ["cpu_percent", "memory_rss_mb", "memory_virtual_mb"]

# Code points with the Unicode White_Space property.
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)
}


def is_blank(text: str) -> bool:
    return all(ch in WHITE_SPACE for ch in text)


def confine(value: Any, scratch: Path) -> Any:
    """Keeps a directory argument below the scratch directory, whatever its text; blank
    texts stay blank."""
    if not isinstance(value, str) or is_blank(value):
        return value
    return type(value)(f"{scratch}/{value.replace('..', '_')}")


def store_state() -> tuple[int, int, int, int]:
    agg = _core.aggregate()
    return (
        len(_core.get_requests()),
        agg.total_requests,
        agg.total_errors,
        _core.get_max_requests(),
    )


# Values of about the right kind for each parameter, so that calls get past the binding
# and reach the conversions and the operations behind them.
LIKELY = {
    "method": texts | texts.map(Text),
    "path": texts | texts.map(Text),
    "status_code": mostly(
        st.integers(-5, 70000) | st.sampled_from([399, 400, 65535, 65536, 2**63]), hooked
    ),
    "duration_ms": mostly(st.floats() | st.integers(-(2**1100), 2**1100), hooked),
    "max": mostly(st.integers(-2, 100) | st.integers(2**64 - 2, 2**64 + 1), hooked),
    "dir": st.none() | texts,
    "cpu_percent": mostly(st.none() | st.floats() | st.integers(-10, 10), hooked),
    "memory_rss_mb": mostly(st.none() | st.floats() | st.integers(-10, 10), hooked),
    "memory_virtual_mb": mostly(st.none() | st.floats() | st.integers(-10, 10), hooked),
}
KEYWORDS = st.sampled_from([*LIKELY, "bogus"])


@st.composite
def calls(draw: st.DrawFn) -> tuple[str, list[Any], dict[str, Any]]:
    """A function name and its arguments: mostly well-formed calls with arbitrary values,
    sometimes arbitrary argument lists."""
    name = draw(st.sampled_from(NO_ARGUMENTS + list(SIGNATURES) * 6 + ["record_request"] * 6))
    if draw(st.integers(0, 4)) == 0:
        return (
            name,
            draw(st.lists(values, max_size=5)),
            draw(st.dictionaries(KEYWORDS, values, max_size=3)),
        )
    if name in NO_ARGUMENTS:
        return name, [], {}
    bound = [
        (parameter, draw(mostly(LIKELY[parameter], values)))
        for parameter, _, required in SIGNATURES[name]
        if required or draw(st.booleans())
    ]
    split = draw(st.integers(0, len(bound)))
    return name, [v for _, v in bound[:split]], dict(bound[split:])


# The edges of every range, always tried besides the generated calls.
EDGES = (
    [
        ("record_request", ["GET", "/", status, 1.0], {})
        for status in (0, 399, 400, 65535, 65536, -1, 2**63 - 1, 2**63, -(2**63) - 1)
    ]
    + [("set_max_requests", [n], {}) for n in (0, 1, 2**64 - 1, 2**64, -1, Integer(5), True)]
    + [("record_request", ["GET", "/", 200, d], {}) for d in (2**1023, 2**1024, -0.0)]
    + [("check_alerts", [], {"memory_virtual_mb": 10**400}), ("set_multiproc_dir", [], {})]
)


def with_edges(test: Callable[..., None]) -> Callable[..., None]:
    for edge in EDGES:
        test = example(call=edge)(test)
    return test


@PROPERTY_SETTINGS
@with_edges
@given(call=calls())
def test_arbitrary_arguments(call: tuple[str, list[Any], dict[str, Any]], scratch: Path) -> None:
    name, args, kwargs = call
    if name == "set_multiproc_dir":
        args = [confine(a, scratch) for a in args]
        kwargs = {k: confine(v, scratch) for k, v in kwargs.items()}
    _core.set_multiproc_dir(None)
    _core.clear_requests()
    _core.set_max_requests(10000)
    _core.record_request("GET", "/before", 500, 1.0)
    before = store_state()
    expected = expected_outcome(name, args, kwargs)
    event(f"{name}: {expected.error.__name__ if expected.error else 'accepted'}")

    try:
        result = getattr(_core, name)(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - compared with the prediction below
        assert type(error) is expected.error, (error, expected)
        assert isinstance(error, (TypeError, OverflowError, UnicodeEncodeError, Boom))
        if expected.prefix is not None:
            assert str(error).startswith(expected.prefix), (str(error), expected.prefix)
        # A rejected call changes nothing.
        assert store_state() == before
        assert _core.get_multiproc_dir() is None
        return

    assert expected.error is None, (result, expected)
    converted = expected.converted
    if name == "record_request":
        assert result is None
        newest = _core.get_requests()[-1]
        assert (newest.method, newest.path, newest.status_code) == tuple(converted[:3])
        assert bits(newest.duration_ms) == bits(converted[3])
        assert store_state()[:3] == (2, 2, 1 + (converted[2] >= 400))
    elif name == "set_max_requests":
        assert result is None
        assert _core.get_max_requests() == max(converted[0], 1)
    elif name == "check_alerts":
        assert isinstance(result, list)
        fired = [alert["metric"] for alert in result]
        # Given thresholds that are not NaN may fire, in the order of the three checks.
        candidates = [
            m
            for m, t in zip(ALERT_METRICS, converted, strict=True)
            if t is not None and not math.isnan(t)
        ]
        assert fired == [m for m in candidates if m in fired]
        for alert in result:
            threshold = converted[ALERT_METRICS.index(alert["metric"])]
            assert alert["threshold"] == threshold and alert["value"] > threshold
            assert alert["severity"] == "warning"
        # CPU use is at least zero, and a running process has memory of both kinds.
        for metric, threshold in zip(ALERT_METRICS, converted, strict=True):
            floor_crossed = threshold is not None and (
                threshold < 0 or (threshold == 0 and metric != "cpu_percent")
            )
            if floor_crossed:
                assert metric in fired
    elif name == "set_multiproc_dir":
        assert result is None
        text = converted[0]
        usable = (
            text is not None
            and not is_blank(text)
            and "\0" not in text
            and all(len(part.encode()) <= 255 for part in text.split("/"))
        )
        assert _core.get_multiproc_dir() == (text if usable else None)
    else:
        expected_types = {
            "hello": str,
            "snapshot": _core.Snapshot,
            "get_requests": list,
            "clear_requests": type(None),
            "get_max_requests": int,
            "get_multiproc_dir": type(None),
            "multiproc_enabled": bool,
            "aggregate": _core.AggregatedMetrics,
            "metrics_text": str,
        }
        assert type(result) is expected_types[name]


@PROPERTY_SETTINGS
@given(
    args=st.lists(values, max_size=3),
    kwargs=st.dictionaries(st.text(max_size=3), values, max_size=2),
    receiver=values,
)
def test_value_classes_reject_arbitrary_arguments(
    args: list[Any], kwargs: dict[str, Any], receiver: Any
) -> None:
    _core.record_request("GET", "/", 200, 1.0)
    instances = [_core.get_requests()[-1], _core.aggregate(), _core.snapshot()]
    for instance in instances:
        cls = type(instance)
        with pytest.raises(TypeError):
            cls(*args, **kwargs)
        if args or kwargs:
            with pytest.raises(TypeError):
                instance.to_dict(*args, **kwargs)
        # Unbound methods and getters accept only their own class.
        with pytest.raises(TypeError):
            cls.to_dict(receiver)
        with pytest.raises(TypeError):
            cls.__repr__(receiver)
        first = next(iter(instance.to_dict()))
        if receiver is not None:  # __get__(None, cls) is the descriptor itself
            with pytest.raises(TypeError):
                getattr(cls, first).__get__(receiver, cls)
        with pytest.raises(AttributeError):
            setattr(instance, first, receiver)
    _core.clear_requests()


# --- Reference model of the store and its aggregate ----------------------------------


durations = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, math.inf, -math.inf, 1.0, 1e-300, 5e-324, 1e308]),
    st.builds(signed_nan, st.booleans(), st.integers(0, 2**51 - 1)),
    st.integers(-1000, 1000),
)
statuses = st.integers(0, 65535) | st.sampled_from([399, 400, 499, 500, 599, 65535])


class StoreModel(RuleBasedStateMachine):
    """The store as a bounded deque of durations plus two lifetime counters."""

    @initialize()
    def reset(self) -> None:
        _core.set_multiproc_dir(None)
        _core.clear_requests()
        _core.set_max_requests(10000)
        self.capacity = 10000
        self.window: deque[float] = deque()
        self.total = 0
        self.errors = 0

    @rule(status=statuses, duration=durations)
    def record(self, status: int, duration: Any) -> None:
        _core.record_request("GET", "/model", status, duration)
        self.total += 1
        self.errors += status >= 400
        self.window.append(float(duration))
        while len(self.window) > self.capacity:
            self.window.popleft()

    @rule(status=statuses, duration=durations, times=st.integers(2, 60))
    def record_many(self, status: int, duration: Any, times: int) -> None:
        for _ in range(times):
            self.record(status, duration)

    @rule(capacity=st.integers(0, 40) | st.sampled_from([10000, 2**64 - 1]))
    def set_max_requests(self, capacity: int) -> None:
        _core.set_max_requests(capacity)
        self.capacity = max(capacity, 1)
        while len(self.window) > self.capacity:
            self.window.popleft()

    @rule()
    def clear_requests(self) -> None:
        _core.clear_requests()
        self.window.clear()
        self.total = self.errors = 0

    @invariant()
    def aggregate_agrees(self) -> None:
        agg = _core.aggregate()
        assert (agg.total_requests, agg.total_errors) == (self.total, self.errors)
        rate = self.errors / float(self.total) * 100.0 if self.total else 0.0
        assert agg.error_rate == rate
        assert _core.get_max_requests() == self.capacity
        window = list(self.window)
        stored = [m.duration_ms for m in _core.get_requests()]
        assert [bits(d) for d in stored] == [bits(d) for d in window]
        model = window_figures(window)
        if math.isnan(model["avg_latency_ms"]):
            assert math.isnan(agg.avg_latency_ms)  # which NaN comes out is the FPU's choice
            del model["avg_latency_ms"]
        assert {name: bits(getattr(agg, name)) for name in model} == {
            name: bits(value) for name, value in model.items()
        }


StoreModel.TestCase.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)
test_store_agrees_with_model = StoreModel.TestCase
