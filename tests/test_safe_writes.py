"""Writing index files destroys nothing: special files, links, permissions
and owners, interrupted builds, builds that run out of memory."""

import fcntl
import hashlib
import os
import signal
import socket
import stat
import subprocess
import sys
import textwrap

import pytest

from quillomar import _atomic
from test_cli import RECORDS_TSV, run


def _special(kind, path):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        os.mkdir(path)
    else:
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(path))
        return server
    return None


@pytest.mark.parametrize("kind", ["fifo", "directory", "socket"])
def test_a_special_file_at_the_output_is_refused_and_kept(tmp_path, kind):
    target = tmp_path / "out.idx"
    held = _special(kind, target)
    try:
        mode = os.lstat(target).st_mode
        with pytest.raises(_atomic.NotRegularFileError, match="not a regular file"):
            _atomic.write_atomic(target, b"index")
        assert os.lstat(target).st_mode == mode
        assert [p.name for p in tmp_path.iterdir()] == ["out.idx"]  # no temporary left
    finally:
        if held is not None:
            held.close()


def test_build_onto_a_fifo_is_one_line_and_exit_2(tmp_path):
    records = tmp_path / "records.tsv"
    records.write_text(RECORDS_TSV, encoding="utf-8")
    fifo = tmp_path / "out.idx"
    os.mkfifo(fifo)
    proc = run("build", records, "-o", fifo, check_status=2)
    assert "a FIFO, not a regular file" in proc.stderr
    assert len(proc.stderr.splitlines()) == 1
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_symbolic_link_is_followed_and_kept(tmp_path):
    (tmp_path / "real").mkdir()
    real = tmp_path / "real" / "v1.idx"
    real.write_bytes(b"old")
    link = tmp_path / "current.idx"
    link.symlink_to(real)
    _atomic.write_atomic(link, b"new")
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert real.read_bytes() == b"new"
    assert sorted(p.name for p in (tmp_path / "real").iterdir()) == ["v1.idx"]


def test_a_rebuild_keeps_mode_and_owner(tmp_path):
    target = tmp_path / "out.idx"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)
    owner = (1234, 1234) if os.geteuid() == 0 else None
    if owner:
        os.chown(target, *owner)
    _atomic.write_atomic(target, b"new")
    found = os.stat(target)
    assert stat.S_IMODE(found.st_mode) == 0o640
    if owner:
        assert (found.st_uid, found.st_gid) == owner
    assert target.read_bytes() == b"new"


def test_stale_temporaries_go_and_live_ones_stay(tmp_path):
    target = tmp_path / "out.idx"
    stale = tmp_path / ".out.idx.dead1234.tmp"
    live = tmp_path / ".out.idx.live5678.tmp"
    other = tmp_path / ".other.idx.dead1234.tmp"
    for path in (stale, live, other):
        path.write_bytes(b"partial")
        os.utime(path, (1, 1))  # long untouched
    with open(live, "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)  # a writer still at work
        _atomic.write_atomic(target, b"new")
    assert not stale.exists()
    assert live.exists() and other.exists()


_INTERRUPTED = textwrap.dedent(
    """
    import os, signal, sys, time
    from quillomar import cli
    from quillomar._atomic import write_atomic_with

    def fill(fd):
        os.write(fd, b"x" * 100000)
        os.kill(os.getpid(), getattr(signal, sys.argv[2]))
        time.sleep(30)  # the signal arrives long before

    cli._stop_on_signals()
    try:
        write_atomic_with(sys.argv[1], fill)
    except cli.Stopped as stop:
        sys.exit(128 + stop.signum)
    """
)


@pytest.mark.parametrize("name", ["SIGTERM", "SIGHUP"])
def test_a_signal_during_the_write_removes_the_temporary(tmp_path, name):
    target = tmp_path / "out.idx"
    target.write_bytes(b"old")
    proc = subprocess.run(
        [sys.executable, "-c", _INTERRUPTED, str(target), name],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 128 + getattr(signal, name), proc.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["out.idx"]
    assert target.read_bytes() == b"old"


def test_running_out_of_memory_is_one_line_and_exit_2(tmp_path):
    records = tmp_path / "records.csv"
    with open(records, "w") as out:
        out.write("term,video,count\n")
        for i in range(40000):  # distinct 96-letter terms: millions of trie nodes
            term = "".join(hashlib.sha256(b"%d/%d" % (i, half)).hexdigest()[:48] for half in (0, 1))
            out.write(f"{term},{i},1\n")
    target = tmp_path / "out.idx"
    proc = run("build", records, "-o", target, "--max-memory", "64M", check_status=2)
    assert "out of memory" in proc.stderr and "--max-memory of 64.0M" in proc.stderr
    assert len(proc.stderr.splitlines()) == 1
    assert [p.name for p in tmp_path.iterdir()] == ["records.csv"]


@pytest.mark.parametrize("size", ["12", "lots", "1.5Q"])
def test_max_memory_takes_sizes_only(tmp_path, size):
    proc = run(
        "build", tmp_path / "r.csv", "-o", tmp_path / "o", "--max-memory", size, check_status=2
    )
    assert "--max-memory" in proc.stderr
