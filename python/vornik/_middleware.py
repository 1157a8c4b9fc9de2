"""What the WSGI and ASGI middlewares share: names, the endpoint's methods, text hygiene."""

from __future__ import annotations

#: Environ or scope key an application may set to the route template of the
#: request; it takes precedence over what the middleware finds out by itself.
ROUTE_KEY = "vornik.route"

#: Path recorded, with ``path_template=True``, for a request that the
#: framework's router did not match (404s from scanners, typos, ...).
UNMATCHED = "<unmatched>"

METRICS_METHODS = ("GET", "HEAD")


def encodable(value: str) -> str:
    """The text itself, with anything UTF-8 cannot carry (lone surrogates) replaced."""
    if value.isascii():
        return value
    return value.encode("utf-8", "replace").decode("utf-8")


def check_metrics_path(metrics_path: str | None) -> None:
    if metrics_path is not None and not metrics_path.startswith("/"):
        raise ValueError(f"metrics_path must start with '/', got {metrics_path!r}")
