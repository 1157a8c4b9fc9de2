"""Request and process metrics for Python web applications, from a small native core.

The functions and classes of the native core are re-exported here; the WSGI and
ASGI middlewares live in :mod:`vornik.wsgi` and :mod:`vornik.asgi`, and
``python -m vornik demo`` runs an instrumented example application.
"""

from . import _core
from ._core import *  # noqa: F403

__version__ = "0.4.3"

__all__: list[str] = []
__all__ += _core.__all__
