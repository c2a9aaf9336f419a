"""Installs a built wheel into a fresh virtual environment and runs it there
with no compiler reachable: `quillomar demo`, then `quillomar serve` on a
free loopback port, answering /health and /complete, stopped by SIGTERM.

    python tools/check_wheel.py dist/quillomar-...-manylinux_..._x86_64.whl

The commands run with PATH holding only the environment's own bin folder and
from an empty working folder without PYTHONPATH, so neither g++, cc nor
cmake, nor the source tree, can stand in for what the wheel should carry.
Prints the wheel's size, the install time and the demo's output; exits 1
with one line on stderr when any step fails.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
import venv
from pathlib import Path

COMPILERS = ("g++", "c++", "cc", "gcc", "clang", "clang++", "cmake")
ADDRESS = re.compile(r"on (http://127\.0\.0\.1:\d+/)")
SERVE_START_SECONDS = 60


class CheckFailed(Exception):
    pass


def _env(bin_dir: Path) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env["PATH"] = str(bin_dir)
    env["PYTHONNOUSERSITE"] = "1"
    return env


def _run(args, env, cwd, timeout=600) -> str:
    done = subprocess.run(
        args, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout, check=False
    )
    if done.returncode != 0:
        tail = (done.stderr or done.stdout).strip().splitlines()[-1:] or ["(no output)"]
        raise CheckFailed(f"{' '.join(map(str, args))} exited {done.returncode}: {tail[0]}")
    return done.stdout


def _serve_smoke(python: Path, env, cwd) -> str:
    proc = subprocess.Popen(
        [str(python), "-m", "quillomar", "serve", "--port", "0"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=cwd,
    )
    try:
        deadline = time.monotonic() + SERVE_START_SECONDS
        match = None
        while match is None:
            line = proc.stderr.readline()
            if not line or time.monotonic() > deadline:
                raise CheckFailed(f"quillomar serve did not start: {line.strip()}")
            match = ADDRESS.search(line)
        url = match.group(1)
        with urllib.request.urlopen(url + "health", timeout=30) as r:
            health = json.loads(r.read())
        with urllib.request.urlopen(url + "complete?q=gutiar%20chords", timeout=30) as r:
            results = json.loads(r.read())["results"]
        if not results:
            raise CheckFailed("quillomar serve found no videos for 'gutiar chords'")
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
        if proc.returncode != 0:
            raise CheckFailed(f"quillomar serve exited {proc.returncode} after SIGTERM")
        return f"serve: /health version {health['version']}, {len(results)} results for /complete"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def check(wheel: Path) -> None:
    if not wheel.is_file():
        raise CheckFailed(f"no wheel at {wheel}")
    with tempfile.TemporaryDirectory(prefix="quillomar-wheel-") as tmp:
        root = Path(tmp)
        env_dir, work = root / "env", root / "work"
        work.mkdir()
        venv.EnvBuilder(with_pip=True).create(env_dir)
        bin_dir = env_dir / "bin"
        env = _env(bin_dir)
        reachable = [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
        if reachable:
            raise CheckFailed(f"a compiler is reachable: {', '.join(reachable)}")
        python = bin_dir / "python"
        started = time.monotonic()
        # --only-binary: a dependency without a wheel fails here instead of
        # being compiled.
        _run(
            [python, "-m", "pip", "install", "-q", "--only-binary", ":all:", f"{wheel}[serve]"],
            env,
            work,
        )
        install_seconds = time.monotonic() - started
        where = _run([python, "-c", "import quillomar; print(quillomar.__file__)"], env, work)
        if not where.strip().startswith(str(env_dir)):
            raise CheckFailed(f"quillomar imported from {where.strip()}, not the new environment")
        demo = _run([bin_dir / "quillomar", "demo"], env, work)
        served = _serve_smoke(python, env, work)
    size = wheel.stat().st_size
    print(f"wheel: {wheel.name}, {size:,} bytes ({size / 1024:.0f} KiB)")
    print(f"install into a fresh environment (with the serve extra): {install_seconds:.1f} s")
    print(served)
    print("quillomar demo:")
    print(demo.rstrip())


def main(argv) -> int:
    if len(argv) != 2:
        print("usage: check_wheel.py WHEEL", file=sys.stderr)
        return 2
    try:
        check(Path(argv[1]).resolve())
    except (CheckFailed, subprocess.TimeoutExpired, OSError) as err:
        print(f"check_wheel: {err}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
