"""`quillomar serve` as a real process on a free loopback port, for tests."""

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ADDRESS = re.compile(r"on (http://127\.0\.0\.1:\d+/)")


def _env():
    env = dict(os.environ)
    if env.get("PYTHONPATH"):  # the tests may run from any directory
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep)
        )
    return env


def children(pid):
    """Direct children of a process, from /proc."""
    found = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        text = (task / "children").read_text()
        found.extend(int(p) for p in text.split())
    return found


class Server:
    def __init__(self, proc, url):
        self.proc = proc
        self.url = url

    def get(self, path):
        """(status, parsed JSON body) of a GET."""
        try:
            with urllib.request.urlopen(self.url + path.lstrip("/"), timeout=30) as r:
                return r.status, json.loads(r.read())
        except urllib.error.HTTPError as err:
            return err.code, json.loads(err.read())

    def stop(self, sig=signal.SIGTERM, timeout=30):
        self.proc.send_signal(sig)
        _, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, err


@contextlib.contextmanager
def running(*args, cwd=None):
    """Start the server with ``args``, yield it once it listens, and kill
    it on the way out if the test did not stop it."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "quillomar", "serve", "--port", "0", *args],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=_env(),
        cwd=cwd,
    )
    try:
        seen = ""
        match = None
        while match is None:
            line = proc.stderr.readline()
            if not line:
                rest = proc.communicate(timeout=30)[1]
                raise AssertionError(f"server did not start: {seen}{rest}")
            seen += line
            match = ADDRESS.search(line)
        yield Server(proc, match.group(1))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=30)
