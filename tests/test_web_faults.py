"""`quillomar serve` against hostile clients and failing workers, as a
real process on a free loopback port."""

import http.client
import json
import os
import re
import signal
import socket
import time

import pytest

pytest.importorskip("uvicorn")

import quillomar  # noqa: E402
from web_server import children, running  # noqa: E402


def wait_for(condition, what, bound=60):
    deadline = time.monotonic() + bound  # a bound on waiting, not a check
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def port_of(server):
    return int(server.url.rsplit(":", 1)[1].strip("/"))


def raw(server, data, timeout=20):
    """Everything the server sends back for ``data`` until it closes."""
    with socket.create_connection(("127.0.0.1", port_of(server)), timeout=timeout) as s:
        s.sendall(data)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk


def request(server, path, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port_of(server), timeout=30)
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


BIG = 64 * 1024  # fits in the socket buffers, so the whole head is sent


@pytest.mark.parametrize(
    "head",
    [
        b"GET /health HTTP/1.1\r\nHost: x\r\nX: " + b"a" * BIG + b"\r\n\r\n",
        b"GET /health HTTP/1.1\r\nHost: x\r\n" + b"X-A: b\r\n" * (BIG // 8) + b"\r\n",
        b"GET /health?" + b"q" * BIG + b" HTTP/1.1\r\nHost: x\r\n\r\n",
    ],
    ids=["one-header", "many-headers", "request-line"],
)
def test_oversized_heads_are_refused(head):
    with running() as server:
        answer = raw(server, head)
        assert answer.startswith(b"HTTP/1.1 400"), answer[:80]
        assert request(server, "/health")[0] == 200
        assert server.stop()[0] == 0


@pytest.mark.parametrize(
    "sent",
    [
        b"",
        b"GET /health HTTP/1.1\r\nHost: x\r\n",
        b"GET /health HTTP/1.1\r\nHost: x\r\n\r\nGET /health HT",
    ],
    ids=["nothing", "half-a-head", "pipelined-half"],
)
def test_half_sent_requests_are_disconnected(sent):
    with running("--read-timeout", "0.3") as server:
        with socket.create_connection(("127.0.0.1", port_of(server)), timeout=30) as s:
            s.sendall(sent)
            got = b""
            while True:  # ends when the server closes; the socket timeout bounds it
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        assert got.count(b"HTTP/1.1 200") == sent.count(b"\r\n\r\n")
        assert server.stop()[0] == 0


def test_open_file_limit_fits_the_connection_cap():
    with running("--max-connections", "3000") as server:
        wait_for(lambda: children(server.proc.pid), "no worker")
        worker = children(server.proc.pid)[0]
        limits = open(f"/proc/{worker}/limits").read()
        soft, hard = re.search(r"Max open files\s+(\d+)\s+(\d+)", limits).groups()
        if int(hard) < 3000 + 256:
            pytest.skip(f"the hard limit of open files is {hard}")
        assert int(soft) >= 3000
        server.stop()


def test_a_killed_worker_is_replaced_and_nothing_stops():
    with running("--workers", "2") as server:
        wait_for(lambda: len(children(server.proc.pid)) == 2, "no workers")
        before = set(children(server.proc.pid))
        victim = min(before)
        os.kill(victim, signal.SIGKILL)
        wait_for(
            lambda: len(set(children(server.proc.pid)) - {victim}) == 2,
            "the killed worker was not replaced",
        )
        assert server.proc.poll() is None
        for _ in range(20):
            assert request(server, "/complete?q=yoga")[0] == 200
        code, err = server.stop()
        assert code == 0, err
        assert f"worker {victim} stopped unexpectedly (signal 9); starting another" in err


def test_a_stopped_worker_is_replaced_and_a_stop_is_bounded():
    with running("--workers", "2", "--watchdog", "0.5", "--drain", "1") as server:
        wait_for(lambda: len(children(server.proc.pid)) == 2, "no workers")
        hung = min(children(server.proc.pid))
        os.kill(hung, signal.SIGSTOP)
        wait_for(lambda: hung not in children(server.proc.pid), "the hung worker stayed")
        wait_for(lambda: len(children(server.proc.pid)) == 2, "no replacement")
        assert request(server, "/health")[0] == 200
        # Now one that hangs while the server is asked to stop.
        os.kill(min(children(server.proc.pid)), signal.SIGSTOP)
        code, err = server.stop(timeout=30)
        assert f"worker {hung} made no progress" in err
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port_of(server)), timeout=5)


def test_security_headers_and_redirects_from_the_path_only():
    with running() as server:
        for path in ["/", "/complete?q=yoga", "/static/app.js"]:
            status, headers, _ = request(server, path)
            assert status == 200
            assert headers["x-content-type-options"] == "nosniff"
            assert "script-src 'self'" in headers["content-security-policy"]
        status, headers, _ = request(server, "/complete/?q=yoga", {"Host": "evil.example"})
        assert status == 308
        assert headers["location"] == "/complete?q=yoga"
        server.stop()


def write_index(path, term, video):
    quillomar.save(quillomar.build_index([(term, video, 5)]), path)


def test_several_indexes_each_reloaded_on_its_own(tmp_path):
    write_index(tmp_path / "en.idx", "river", 1)
    write_index(tmp_path / "de.idx", "fluss", 2)
    with running(
        "en=en.idx",
        "de=de.idx",
        "--reload-on-change",
        "--poll-interval",
        "0.05",
        "--access-log",
        cwd=tmp_path,
    ) as server:

        def ids(path):
            status, _, body = request(server, path)
            assert status == 200, body
            return [r["id"] for r in json.loads(body)["results"]]

        assert ids("/complete?q=river") == ["1"]  # the first is the default
        assert ids("/complete?q=fluss&index=de") == ["2"]
        assert ids("/complete?q=fluss&index=en") == []
        status, _, body = request(server, "/complete?q=fluss&index=fr")
        assert status == 400 and b"index must be one of en, de" in body
        before = set(children(server.proc.pid))
        write_index(tmp_path / "de.new", "strasse", 3)
        os.replace(tmp_path / "de.new", tmp_path / "de.idx")

        def generations():
            indexes = json.loads(request(server, "/health")[2])["indexes"]
            return {name: i["generation"] for name, i in indexes.items()}

        wait_for(lambda: generations() == {"en": 1, "de": 2}, "de was not swapped alone")
        # Old workers accept connections until they have drained.
        wait_for(lambda: not before & set(children(server.proc.pid)), "old workers stayed")
        assert ids("/complete?q=strasse&index=de") == ["3"]
        assert ids("/complete?q=river") == ["1"]
        code, err = server.stop()
        assert code == 0, err
    logged = [json.loads(line) for line in err.splitlines() if line.startswith("{")]
    assert [(e["path"], e["index"], e["status"]) for e in logged[:4]] == [
        ("/complete", "en", 200),
        ("/complete", "de", 200),
        ("/complete", "en", 200),
        ("/complete", None, 400),
    ]


def metric(text, name, **labels):
    total = 0.0
    for line in text.splitlines():
        if line.startswith(name + "{") and all(f'{k}="{v}"' in line for k, v in labels.items()):
            total += float(line.rsplit(" ", 1)[1])
    return total


def test_metrics_add_up_across_workers_and_replacements():
    with running("--workers", "2") as server:
        wait_for(lambda: len(children(server.proc.pid)) == 2, "no workers")
        for _ in range(40):  # fresh connections, spread over both workers
            assert request(server, "/complete?q=yoga")[0] == 200
        assert request(server, "/complete?q=")[0] == 400
        os.kill(min(children(server.proc.pid)), signal.SIGKILL)
        wait_for(lambda: len(children(server.proc.pid)) == 2, "no replacement")
        text = request(server, "/metrics")[2].decode()
        ok = dict(route="/complete", status="200")
        assert metric(text, "quillomar_http_requests_total", **ok) == 40
        assert metric(text, "quillomar_http_requests_total", route="/complete", status="400") == 1
        assert (
            metric(text, "quillomar_http_request_duration_seconds_count", route="/complete") == 41
        )
        assert metric(text, "quillomar_index_generation", index="default") == 1
        assert "quillomar_index_load_seconds" in text
        server.stop()
