"""`python -m vornik serve`: the exporter beside the workers, started as a process of its own
on a free loopback port."""

from __future__ import annotations

import gzip
import http.client
import re
import select
import signal
import socket
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import vornik
from support import TIMEOUT_S, RequestingWorker, environment, metric, run_as_nobody, wait_gone
from vornik import _routes, serve

HOST = "127.0.0.1"

Answer = tuple[int, dict[str, str], bytes]


class Exporter:
    """`python -m vornik serve` on a free port, until stopped."""

    def __init__(self, helpers: list[subprocess.Popen[str]], *args: str, **env: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vornik", "serve", "--bind", f"{HOST}:0", *args],
            env=environment(**env),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        helpers.append(self.process)
        assert self.process.stderr is not None
        ready, _, _ = select.select([self.process.stderr], [], [], TIMEOUT_S)
        assert ready, "the exporter said nothing"
        started = self.process.stderr.readline()
        found = re.fullmatch(r"vornik serve: serving .* on http://127\.0\.0\.1:(\d+)/metrics\n",
                             started)  # fmt: skip
        assert found, started + self.process.communicate(timeout=TIMEOUT_S)[1]
        self.port = int(found.group(1))

    def get(self, method: str = "GET", path: str = "/metrics", timeout: float = 10,
            **headers: str) -> Answer:  # fmt: skip
        conn = http.client.HTTPConnection(HOST, self.port, timeout=timeout)
        try:
            conn.request(method, path, headers={k.replace("_", "-"): v for k, v in headers.items()})
            response = conn.getresponse()
            answer = {k.lower(): v for k, v in response.getheaders()}
            return response.status, answer, response.read()
        finally:
            conn.close()

    def document(self, **headers: str) -> str:
        status, _, body = self.get(**headers)
        assert status == 200
        return body.decode()

    def stop(self, sig: int = signal.SIGTERM, timeout: float = TIMEOUT_S) -> tuple[int, str]:
        """Its exit status and all else it wrote on standard error."""
        self.process.send_signal(sig)
        _, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, err


def contents(directory: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in directory.iterdir()}


def test_serves_the_workers_of_a_directory_that_comes_later(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    shards = tmp_path / "shards"
    exporter = Exporter(helpers, "--dir", str(shards))
    # Started before the server: the families, at zero.
    document = exporter.document()
    assert metric(document, "vrk_requests_total") == 0
    assert not shards.exists()

    workers = [RequestingWorker(shards, helpers) for _ in range(2)]
    workers[0].requests(3)
    workers[1].requests(2)
    before = contents(shards)
    for _ in range(3):
        document = exporter.document()
        assert metric(document, "vrk_requests_total") == 5
        assert metric(document, "vrk_workers") == 2
        # The process figures are the exporter's own: a thread answers this scrape.
        assert metric(document, "vrk_process_threads") >= 2
    assert contents(shards) == before, "the exporter changed the directory of live workers"

    # The same negotiation as the middlewares' endpoint.
    status, headers, body = exporter.get(Accept="application/openmetrics-text; version=1.0.0",
                                         Accept_Encoding="gzip")  # fmt: skip
    assert (status, headers["content-type"]) == (200, _routes.OPENMETRICS_CONTENT_TYPE)
    assert headers["content-encoding"] == "gzip"
    assert gzip.decompress(body).decode().endswith("# EOF\n")
    status, headers, body = exporter.get("HEAD")
    assert (status, body, headers["content-type"]) == (200, b"", vornik.PROMETHEUS_CONTENT_TYPE)
    assert int(headers["content-length"]) > 0
    status, headers, _ = exporter.get("POST")
    assert (status, headers["allow"]) == (405, "GET, HEAD")
    assert exporter.get(path="/other")[0] == 404
    assert exporter.get(path="/metrics?name=x")[0] == 200

    # A worker that exits is folded like any merge folds it: its requests stay counted.
    assert workers[0].stop() == 0
    wait_gone([workers[0].pid])
    document = exporter.document()
    assert (metric(document, "vrk_requests_total"), metric(document, "vrk_workers")) == (5, 1)
    assert not any(str(workers[0].pid) in name for name in contents(shards))
    assert not any(str(exporter.process.pid) in name for name in contents(shards))
    assert exporter.stop() == (0, "")


def test_bearer_token(tmp_path: Path, helpers: list[subprocess.Popen[str]]) -> None:
    token = tmp_path / "token"
    token.write_text("s3cret-1\n")
    exporter = Exporter(helpers, "--dir", str(tmp_path / "shards"), "--bearer-token-file",
                        str(token))  # fmt: skip
    for sent in ({}, {"Authorization": "Bearer s3cret-2"}, {"Authorization": "s3cret-1"}):
        status, headers, body = exporter.get(**sent)
        assert (status, body) == (401, b"")
        assert headers["www-authenticate"].startswith("Bearer")
    assert exporter.get(Authorization="Bearer s3cret-1")[0] == 200

    rotated = tmp_path / "rotated"
    rotated.write_text("s3cret-2\n")
    rotated.replace(token)
    assert exporter.get(Authorization="Bearer s3cret-1")[0] == 401
    assert exporter.get(Authorization="Bearer s3cret-2")[0] == 200
    code, said = exporter.stop(signal.SIGINT)
    assert (code, said) == (0, "")  # nothing logged, the token least of all


def raw_exchange(port: int, request: bytes) -> bytes:
    """All the exporter answers on one connection to ``request``, until it closes it."""
    with socket.create_connection((HOST, port), timeout=TIMEOUT_S) as sock:
        sock.sendall(request)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
        return answer


def test_a_body_or_a_target_it_cannot_read_gets_one_answer(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    exporter = Exporter(helpers, "--dir", str(tmp_path))
    # The body is never read: the connection closes after the answer, so that no request is
    # made of it (behind a proxy that reuses connections, answers would shift).
    for request in (
        b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 16\r\n\r\nGET /x HTTP/1.1\r\n",
        b"POST /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
    ):
        answer = raw_exchange(exporter.port, request)
        assert answer.count(b"HTTP/1.1 ") == 1, answer
        assert b"\r\nConnection: close\r\n" in answer
    # A target that urlsplit refuses is a bad request, and nothing to log.
    answer = raw_exchange(
        exporter.port, b"GET http://[/metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    )
    assert answer.startswith(b"HTTP/1.1 400 ")
    assert exporter.get()[0] == 200
    assert exporter.stop() == (0, "")


def test_a_directory_that_cannot_be_read_is_answered_503_and_said_once(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    shards = tmp_path / "shards"
    RequestingWorker(shards, helpers).requests(3)
    exporter = Exporter(helpers, "--dir", str(shards))
    assert metric(exporter.document(), "vrk_requests_total") == 3
    shards.rename(tmp_path / "away")
    shards.write_text("")  # a file where the directory was: counters at 0 would read as resets
    for _ in range(2):
        status, _, body = exporter.get()
        assert (status, body) == (503, f"cannot read the shard directory {str(shards)!r}: Not a directory\n".encode())  # fmt: skip
    shards.unlink()
    (tmp_path / "away").rename(shards)
    assert metric(exporter.document(), "vrk_requests_total") == 3
    assert exporter.stop() == (
        0,
        f"vornik serve: cannot read the shard directory {str(shards)!r}: Not a directory; "
        "scrapes are answered 503\n"
        f"vornik serve: the shard directory {str(shards)!r} can be read again\n",
    )


def test_a_signal_while_a_connection_is_handed_over_stops_the_exporter(tmp_path: Path) -> None:
    """The signal lands in the main thread wherever it is, also in the server's hand-over of
    a connection to its thread, whose errors the server would log and serve on."""
    exporter = serve.start(str(tmp_path), (HOST, 0), None)

    def signalled(request: socket.socket, client_address: object) -> None:
        serve._stop(signal.SIGTERM, None)

    exporter.process_request = signalled  # type: ignore[method-assign]
    stopped: list[BaseException] = []

    def serving() -> None:
        try:
            exporter.serve_forever(poll_interval=0.05)
        except BaseException as error:
            stopped.append(error)

    loop = threading.Thread(target=serving)
    loop.start()
    try:
        socket.create_connection((HOST, exporter.bound[1]), timeout=TIMEOUT_S).close()
        loop.join(TIMEOUT_S)
        assert not loop.is_alive(), "the exporter served on after the signal"
        assert [type(error) for error in stopped] == [serve._Stop]
    finally:
        if loop.is_alive():
            exporter.shutdown()
        exporter.server_close()


@pytest.mark.parametrize("case", ["a file", "port taken", "no token file", "empty token", "no dir"])
def test_what_cannot_be_served_is_one_line_and_exit_2(tmp_path: Path, case: str) -> None:
    (tmp_path / "a-file").write_text("")
    (tmp_path / "empty").write_text("\n")
    shards = ["--dir", str(tmp_path / "shards")]
    with socket.socket() as taken:
        taken.bind((HOST, 0))
        taken.listen()
        args, told = {
            "a file": (["--dir", str(tmp_path / "a-file")],
                       r"cannot read the shard directory '.*a-file': Not a directory"),
            "port taken": ([*shards, "--bind", f"{HOST}:{taken.getsockname()[1]}"],
                           r"cannot listen on 127\.0\.0\.1:\d+: Address already in use"),
            "no token file": ([*shards, "--bearer-token-file", str(tmp_path / "missing")],
                              r"cannot read the bearer token file '.*missing': No such file or directory"),
            "empty token": ([*shards, "--bearer-token-file", str(tmp_path / "empty")],
                            r"the bearer token file '.*empty' holds no token"),
            "no dir": ([], r"no shard directory: give --dir or set VRK_MULTIPROC_DIR"),
        }[case]  # fmt: skip
        result = subprocess.run([sys.executable, "-m", "vornik", "serve", *args],
                                capture_output=True, text=True, timeout=TIMEOUT_S,
                                env=environment(VRK_MULTIPROC_DIR=""))  # fmt: skip
    assert (result.returncode, result.stdout) == (2, "")
    assert re.fullmatch(rf"python -m vornik serve: error: {told}\n", result.stderr), result.stderr


def test_a_directory_the_user_cannot_read(tmp_path: Path) -> None:
    closed = tmp_path / "closed"
    closed.mkdir(mode=0o700)
    tmp_path.chmod(0o755)

    def start_as_nobody() -> list[str]:
        said = []
        for directory in (closed, closed / "shards"):
            try:
                serve.start(str(directory), (HOST, 0), None).server_close()
            except serve.CannotServe as error:
                said.append(str(error))
        return said

    assert run_as_nobody(start_as_nobody) == [
        f"cannot read the shard directory {str(closed)!r}: Permission denied",
        f"cannot read the shard directory {str(closed / 'shards')!r}: Permission denied",
    ]


def test_slow_clients_hold_up_no_scrape(
    tmp_path: Path, helpers: list[subprocess.Popen[str]]
) -> None:
    shards = tmp_path / "shards"
    RequestingWorker(shards, helpers).requests(4)
    exporter = Exporter(helpers, "--dir", str(shards))
    # Clients that connect and stall half way through their request, and one that asks
    # and never reads: each holds a thread until its socket times out, and only that.
    stalled = []
    for _ in range(16):
        sock = socket.create_connection((HOST, exporter.port), timeout=10)
        sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: x")
        stalled.append(sock)
    reader = socket.create_connection((HOST, exporter.port), timeout=10)
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    reader.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n" * 64)
    stalled.append(reader)
    try:
        # Scrapes in parallel, each allowed half the time a stalled client may hold its
        # thread (a loaded machine may keep one past Prometheus' default 1 s).
        with ThreadPoolExecutor(max_workers=8) as pool:
            answers = list(pool.map(lambda _: exporter.get(timeout=5.0), range(64)))
        assert all(status == 200 for status, _, _ in answers)
        assert {metric(body, "vrk_requests_total") for _, _, body in answers} == {4}
        # Stopping, the exporter waits for no client (each may keep it 10 s).
        assert exporter.stop(timeout=5) == (0, "")
    finally:
        for sock in stalled:
            sock.close()
