"""``python -m vornik serve``: the metrics document of a shard directory, on a port of its own.

The exporter runs beside the server, not inside it: a scrape never waits in the
application's listen queue behind the requests that keep its workers busy. Each scrape
reads the directory afresh through the native reader, which writes nothing there but
the folds of dead workers that any merge does; the exporter opens no shard and claims
no slot, so it is no worker of its own directory. Its ``vrk_process_*`` figures are the
exporter's own.

Every connection has a thread of its own, and every read or write on it a timeout, so a
slow client delays nobody else.
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import socketserver
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import FrameType
from urllib.parse import urlsplit

from . import __version__
from ._middleware import BearerToken, metrics_answer
from ._routes import directory_document

#: Outside the range 9100-9999 where the common exporters take their ports; documented in
#: the README.
DEFAULT_PORT = 19190
DEFAULT_BIND = f"127.0.0.1:{DEFAULT_PORT}"
METRICS_PATH = "/metrics"

#: Seconds a client may take over any one read or write of its connection.
CLIENT_TIMEOUT_S = 10.0

PROG = "python -m vornik serve"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--dir",
        default=os.environ.get("VRK_MULTIPROC_DIR"),
        help="the shard directory of the server's workers (default: $VRK_MULTIPROC_DIR); "
        "it may not exist yet",
    )
    parser.add_argument(
        "--bind",
        default=DEFAULT_BIND,
        type=_address,
        metavar="HOST:PORT",
        help=f"address to serve {METRICS_PATH} on (default: {DEFAULT_BIND}; [::1]:PORT "
        "for IPv6, port 0 for any free one)",
    )
    parser.add_argument(
        "--bearer-token-file",
        metavar="FILE",
        help="answer only scrapes that send the token this file holds "
        "(Authorization: Bearer ...), as Prometheus' credentials_file; read again when it "
        "changes",
    )


class CannotServe(Exception):
    """What keeps the exporter from starting, said in one line."""


def _address(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon or not port.isdigit() or int(port) > 65535 or not host:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST:PORT")
    return host.removeprefix("[").removesuffix("]"), int(port)


class _Handler(BaseHTTPRequestHandler):
    server: _Exporter
    server_version = f"vornik/{__version__}"
    sys_version = ""
    protocol_version = "HTTP/1.1"  # Prometheus keeps its connection between scrapes
    timeout = CLIENT_TIMEOUT_S

    def do_GET(self) -> None:
        self._answer()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_GET

    def _answer(self) -> None:
        if self.headers.get("Content-Length", "0").strip() not in ("", "0") or self.headers.get(
            "Transfer-Encoding"
        ):
            # A body is never read, so the connection cannot carry a request after it: its
            # bytes would be taken for one.
            self.close_connection = True
        try:
            path = urlsplit(self.path).path
        except ValueError:  # an authority urlsplit refuses, such as "http://[/metrics"
            self._send_empty(400)
            return
        if path != METRICS_PATH:
            self._send_empty(404)
            return
        headers: dict[str, str] = {}
        for name, value in self.headers.items():
            key = name.lower()
            headers[key] = f"{headers[key]}, {value}" if key in headers else value
        try:
            answer = metrics_answer(self.command, headers, self.server.token, self.server.document)
        except CannotServe as error:
            # Zeros would read as counters reset; no answer says that the figures are amiss.
            body = f"{error}\n".encode()
            self._send(
                503,
                [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body)))],
                body,
            )
            return
        self._send(answer.status, answer.headers, answer.body)

    def _send_empty(self, status: int) -> None:
        self._send(
            status, [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", "0")], b""
        )

    def _send(self, status: int, headers: list[tuple[str, str]], body: bytes) -> None:
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        """Says nothing per request: a scrape every few seconds would fill the log."""


class _Exporter(ThreadingHTTPServer):
    daemon_threads = True  # a client still connected never holds up the exit
    request_queue_size = 64

    def __init__(self, address: tuple[str, int], directory: str, token: BearerToken | None):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.directory = directory
        self.token = token
        self._readable = True  # checked at start
        self._readable_lock = threading.Lock()
        super().__init__(address, _Handler)

    def server_bind(self) -> None:
        # HTTPServer's would look the host's name up, which may wait on a resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.bound

    @property
    def bound(self) -> tuple[str, int]:
        """The host and the port it listens on (the port given as 0 chosen)."""
        host, port = self.socket.getsockname()[:2]
        return host, port

    def handle_error(self, request: object, client_address: object) -> None:
        error = sys.exc_info()[1]
        if isinstance(error, OSError):
            return  # the client went away or took too long: only its connection is closed
        print(f"vornik serve: no answer to {client_address}: {error!r}", file=sys.stderr)

    def document(self, openmetrics: bool) -> str:
        """The directory's document; raises CannotServe while the directory cannot be read,
        which is said once on standard error, as is its end."""
        try:
            _check_directory(self.directory)
        except CannotServe as error:
            self._say_readable(False, f"{error}; scrapes are answered 503")
            raise
        self._say_readable(True, f"the shard directory {self.directory!r} can be read again")
        return directory_document(self.directory, openmetrics=openmetrics)

    def _say_readable(self, readable: bool, message: str) -> None:
        with self._readable_lock:
            if readable == self._readable:
                return
            self._readable = readable
        print(f"vornik serve: {message}", file=sys.stderr, flush=True)


def _check_directory(directory: str) -> None:
    """Raises CannotServe for a directory that exists and cannot be read; one that does
    not exist yet is served as it comes."""
    try:
        os.listdir(directory)
    except FileNotFoundError:
        return
    except OSError as error:
        raise CannotServe(
            f"cannot read the shard directory {directory!r}: {error.strerror}"
        ) from None
    if not os.access(directory, os.R_OK | os.X_OK):
        raise CannotServe(f"cannot read the shard directory {directory!r}: Permission denied")


class _Stop(BaseException):
    """SIGTERM or SIGINT. Not an Exception: the server's loop hands those to handle_error
    and goes on, and the signal may come while it is handing a connection to its thread."""


def _stop(signum: int, frame: FrameType | None) -> None:
    raise _Stop


def start(directory: str | None, bind: tuple[str, int], token_file: str | None) -> _Exporter:
    """The exporter, listening; raises CannotServe."""
    if not directory:
        raise CannotServe("no shard directory: give --dir or set VRK_MULTIPROC_DIR")
    _check_directory(directory)
    try:
        token = None if token_file is None else BearerToken(token_file)
    except OSError as error:
        raise CannotServe(
            f"cannot read the bearer token file {token_file!r}: {error.strerror}"
        ) from None
    except ValueError:
        raise CannotServe(f"the bearer token file {token_file!r} holds no token") from None
    try:
        return _Exporter(bind, directory, token)
    except OSError as error:
        host, port = bind
        raise CannotServe(f"cannot listen on {host}:{port}: {error.strerror or error}") from None


def run(args: argparse.Namespace) -> int:
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, _stop)
    try:
        try:
            exporter = start(args.dir, args.bind, args.bearer_token_file)
        except CannotServe as error:
            # Scripts may match on this message: part of the contract.
            print(f"{PROG}: error: {error}", file=sys.stderr)
            return 2
        with exporter:
            host, port = exporter.bound
            shown = f"[{host}]" if exporter.address_family == socket.AF_INET6 else host
            print(
                f"vornik serve: serving {args.dir} on http://{shown}:{port}{METRICS_PATH}",
                file=sys.stderr,
                flush=True,
            )
            exporter.serve_forever()
    except _Stop:
        pass
    return 0
