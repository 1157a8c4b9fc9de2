"""The demo's worker processes: wsgiref servers sharing one listening socket.

The parent binds the socket and forks; every worker accepts from the inherited
socket, so the kernel spreads connections over them, and writes its shard into
the one shard directory they share.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import socket
import socketserver
from typing import TYPE_CHECKING, Any
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

from .. import _core
from ..wsgi import MetricsMiddleware
from .app import demo_app, with_worker_header
from .config import HOST, DemoConfig

if TYPE_CHECKING:
    from multiprocessing.context import ForkProcess

    from _typeshed.wsgi import WSGIApplication


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass


class _WorkerServer(WSGIServer):
    """A wsgiref server on an already bound, shared listening socket."""

    def __init__(self, sock: socket.socket, app: WSGIApplication, parent_pid: int) -> None:
        socketserver.BaseServer.__init__(self, sock.getsockname(), _QuietHandler)
        self.socket = sock
        host, port = sock.getsockname()[:2]
        self.server_name = host
        self.server_port = port
        self.parent_pid = parent_pid
        self.setup_environ()
        self.set_app(app)

    def get_request(self) -> tuple[socket.socket, Any]:
        # The listening socket is non-blocking, so that a worker that loses
        # the race for a connection goes back to waiting instead of blocking.
        conn, addr = self.socket.accept()
        conn.setblocking(True)
        return conn, addr

    def service_actions(self) -> None:
        if os.getppid() != self.parent_pid:
            raise SystemExit(0)


def _worker_main(sock: socket.socket, shard_dir: str, parent_pid: int, config: DemoConfig) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _core.set_multiproc_dir(shard_dir)
    _core.snapshot()  # the baseline of this worker's CPU figure
    app = demo_app(config.alert_cpu_percent, config.alert_memory_rss_mb)
    server = _WorkerServer(
        sock, with_worker_header(MetricsMiddleware(app, path_template=True)), parent_pid
    )
    server.serve_forever(poll_interval=0.25)


class CannotListen(Exception):
    """The demo's address cannot be had (taken, or a port this user may not bind)."""


def listen(port: int) -> socket.socket:
    """The shared listening socket on the loopback interface."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, port))
        sock.listen(128)
        sock.setblocking(False)
    except OSError as error:
        sock.close()
        raise CannotListen(f"cannot listen on {HOST}:{port}: {error.strerror}") from error
    except BaseException:
        sock.close()
        raise
    return sock


def start_workers(sock: socket.socket, shard_dir: str, config: DemoConfig) -> list[ForkProcess]:
    """Fork ``config.workers`` workers serving ``sock``; they exit when this process goes."""
    ctx = multiprocessing.get_context("fork")
    workers: list[ForkProcess] = []
    try:
        for _ in range(config.workers):
            worker = ctx.Process(
                target=_worker_main,
                args=(sock, shard_dir, os.getpid(), config),
                name="vornik-demo-worker",
                daemon=True,
            )
            worker.start()
            workers.append(worker)
    except BaseException:
        stop(workers)
        raise
    return workers


def stop(workers: list[ForkProcess]) -> None:
    for worker in workers:
        if worker.is_alive():
            worker.terminate()
    for worker in workers:
        worker.join(5.0)
        if worker.is_alive():
            worker.kill()
            worker.join(5.0)
