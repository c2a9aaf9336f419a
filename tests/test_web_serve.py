"""`quillomar serve` as a real process: answers over HTTP, stops cleanly."""

import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("uvicorn")

import quillomar  # noqa: E402
from web_server import _env, children, running  # noqa: E402


def wait_for(condition, what):
    deadline = time.monotonic() + 60  # a bound on waiting, not a check
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_serves_the_sample_and_stops_cleanly(workers, sig):
    with running("--workers", str(workers)) as server:
        status, body = server.get("/complete?q=gutiar%20chords")
        assert status == 200
        assert body["corrected"] is True
        assert any(r["title"].startswith("Guitar") for r in body["results"][:3])
        assert server.get("/health")[1]["version"] == quillomar.__version__
        assert server.get("/complete?q=")[0] == 400
        # Even one worker is a child: the parent supervises it.
        wait_for(lambda: len(children(server.proc.pid)) == workers, "no workers")
        workers_seen = children(server.proc.pid)
        code, err = server.stop(sig)
        assert code == 0, err
        assert "Traceback" not in err
        for pid in workers_seen:
            assert (
                not os.path.exists(f"/proc/{pid}/status")
                or "zombie" in open(f"/proc/{pid}/status").read()
            )


@pytest.mark.parametrize("workers", [1, 2])
def test_serves_a_file_with_titles_and_swaps_it(tmp_path, workers):
    index = tmp_path / "live.idx"
    quillomar.save(quillomar.build_index([("first term", 1, 5)]), index)
    titles = tmp_path / "titles.csv"
    titles.write_text("video,title\n1,The first\n2,The second\n")
    with running(
        str(index),
        "--titles",
        str(titles),
        "--reload-on-change",
        "--poll-interval",
        "0.05",
        "--workers",
        str(workers),
    ) as server:
        first = server.get("/complete?q=first")[1]["results"]
        assert [(r["id"], r["title"]) for r in first] == [("1", "The first")]
        wait_for(lambda: len(children(server.proc.pid)) == workers, "no workers")
        old_workers = set(children(server.proc.pid))
        (tmp_path / "bad.idx").write_bytes(b"garbage")
        os.replace(tmp_path / "bad.idx", index)
        quillomar.save(quillomar.build_index([("second term", 2, 5)]), index)
        # The good file is served by new workers, and the old ones leave.
        wait_for(
            lambda: not old_workers & set(children(server.proc.pid)), "the old workers never left"
        )
        assert server.get("/health")[1]["index"]["generation"] == 2
        assert len(children(server.proc.pid)) == workers
        second = server.get("/complete?q=second")[1]["results"]
        assert [(r["id"], r["title"]) for r in second] == [("2", "The second")]
        code, err = server.stop()
        assert code == 0, err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--reload-on-change"], "needs an INDEX"),
        (["missing.idx"], "cannot read index 'missing.idx'"),
        (["bad.idx"], "'bad.idx' is not a quillomar index"),
        (["--titles", "missing.csv"], "cannot read titles"),
        (["--titles", "bad.csv"], "header naming the columns video and title"),
        (["--workers", "0"], "must be at least 1"),
        (["--port", "70000"], "outside 0..65535"),
        (["--poll-interval", "0"], "outside 0.01..3600"),
        (["--poll-interval", "nan"], "outside 0.01..3600"),
        (["--host", "no such host.invalid"], "cannot resolve host"),
    ],
)
def test_refuses_to_start_with_one_line(tmp_path, args, message):
    (tmp_path / "bad.idx").write_bytes(b"not an index")
    (tmp_path / "bad.csv").write_text("id,name\n")
    proc = subprocess.run(
        [sys.executable, "-m", "quillomar", "serve", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=_env(),
        timeout=120,
    )
    assert proc.returncode == 2
    assert message in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr


def test_a_port_in_use_is_one_line(tmp_path):
    with running() as server:
        port = server.url.rsplit(":", 1)[1].strip("/")
        proc = subprocess.run(
            [sys.executable, "-m", "quillomar", "serve", "--port", port],
            capture_output=True,
            text=True,
            env=_env(),
            timeout=120,
        )
        assert proc.returncode == 2
        assert "cannot listen on 127.0.0.1:" in proc.stderr
        server.stop()


def test_no_request_fails_across_a_swap(tmp_path):
    """Clients on kept-alive connections go on being answered while the
    index is swapped: the old workers close connections only after an
    answer, never under a request."""
    import http.client
    import json
    import threading

    index = tmp_path / "live.idx"
    quillomar.save(quillomar.build_index([("term", 1, 5)]), index)
    with running(
        str(index), "--reload-on-change", "--poll-interval", "0.05", "--workers", "2"
    ) as server:
        port = int(server.url.rsplit(":", 1)[1].strip("/"))
        done = threading.Event()
        failures, answers = [], []

        def client():
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            while not done.is_set():
                try:
                    conn.request("GET", "/complete?q=term")
                    r = conn.getresponse()
                    body = json.loads(r.read())
                    answers.append([x["id"] for x in body["results"]])
                    if r.status != 200:
                        failures.append(r.status)
                except (OSError, http.client.HTTPException) as err:
                    failures.append(repr(err))
                    conn.close()
            conn.close()

        threads = [threading.Thread(target=client) for _ in range(4)]
        for t in threads:
            t.start()
        try:
            wait_for(lambda: len(answers) > 20, "no answers")
            wait_for(lambda: len(children(server.proc.pid)) == 2, "no workers")
            old_workers = set(children(server.proc.pid))
            quillomar.save(quillomar.build_index([("term", 2, 5)]), index)
            wait_for(
                lambda: not old_workers & set(children(server.proc.pid)),
                "the old workers never left",
            )
            seen = len(answers)
            wait_for(lambda: len(answers) > seen + 20, "no answers after the swap")
        finally:
            done.set()
            for t in threads:
                t.join()
        assert failures == []
        assert answers[0] == ["1"], answers[0]
        assert answers[-1] == ["2"], (answers[-40:], failures)
        assert server.stop()[0] == 0
