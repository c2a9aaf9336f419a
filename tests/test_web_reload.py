"""Swapping a replaced index file in, refusing bad ones; the titles table."""

import gzip
import logging
import os
import uuid

import pytest

pytest.importorskip("starlette")

import quillomar  # noqa: E402
from quillomar.web import TitlesError, read_titles  # noqa: E402
from quillomar.web.app import load_autocomplete  # noqa: E402
from quillomar.web.reloader import IndexHolder, Watcher  # noqa: E402


def write_index(path, terms):
    quillomar.save(quillomar.build_index([(t, v, 5) for t, v in terms]), path)


def videos(holder, q):
    return [s.video for s in holder.current.autocomplete.complete(q).results]


@pytest.fixture
def served(tmp_path):
    path = str(tmp_path / "live.idx")
    write_index(path, [("alpha", 1)])
    holder = IndexHolder(load_autocomplete(path), path)
    return path, holder, Watcher(holder, load_autocomplete)


def test_replacement_is_swapped_in(served):
    path, holder, watcher = served
    assert not watcher.check()  # nothing changed yet
    write_index(path, [("alpha", 2), ("beta", 3)])
    assert watcher.check()
    assert holder.current.generation == 2
    assert videos(holder, "alpha") == ["2"]
    assert videos(holder, "beta") == ["3"]
    assert not watcher.check()  # the same file is not loaded twice


def test_a_request_keeps_the_index_it_started_with(served):
    path, holder, watcher = served
    in_hand = holder.current
    write_index(path, [("beta", 3)])
    watcher.check()
    assert [s.video for s in in_hand.autocomplete.complete("alpha").results] == ["1"]


BAD_FILES = [
    b"",
    b"not an index at all",
    b"\x00" * 3,
]


@pytest.mark.parametrize("content", BAD_FILES)
def test_bad_replacement_is_refused_and_logged(served, caplog, content):
    path, holder, watcher = served
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(content)
    os.replace(tmp, path)
    with caplog.at_level(logging.ERROR, logger="quillomar.web"):
        assert not watcher.check()
    assert "refused new index" in caplog.text
    assert holder.current.generation == 1
    assert videos(holder, "alpha") == ["1"]
    # Not retried while the bad file stays; taken once a good one replaces it.
    assert not watcher.check()
    write_index(path, [("gamma", 4)])
    assert watcher.check()
    assert videos(holder, "gamma") == ["4"]


def test_truncated_replacement_is_refused(served):
    path, holder, watcher = served
    good = open(path, "rb").read()
    write_index(path + ".big", [(f"term {i}", i) for i in range(200)])
    with open(path + ".big", "rb") as f:
        data = f.read()
    with open(path, "wb") as f:  # a writer that is not atomic, caught midway
        f.write(data[: len(data) // 2])
    assert not watcher.check()
    # The index in service maps the file that was rewritten under it: it
    # refuses to answer from changed bytes (a decoded one went on serving).
    with pytest.raises(OSError, match="changed in place"):
        holder.current.autocomplete.complete("alpha")
    with open(path, "wb") as f:
        f.write(data)
    assert watcher.check()
    assert good != data


def test_missing_file_keeps_serving(served):
    path, holder, watcher = served
    os.remove(path)
    assert not watcher.check()
    assert videos(holder, "alpha") == ["1"]


def test_watcher_thread_swaps_and_stops(served):
    path, holder, watcher = served
    watcher.interval = 0.01
    watcher.start()
    try:
        write_index(path, [("delta", 9)])
        for _ in range(3000):  # a generous bound, not a timing assertion
            if holder.current.generation == 2:
                break
            watcher._stop.wait(0.01)
    finally:
        watcher.stop()
    assert videos(holder, "delta") == ["9"]
    assert not watcher._thread.is_alive()


U = uuid.UUID("12345678-1234-5678-1234-567812345678")


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("t.tsv", "video\ttitle\n42\tFour, two\n", {"42": "Four, two"}),
        ("t.csv", 'title,video\n"Say ""hi""",7\n', {"7": 'Say "hi"'}),
        ("t.csv", "Video,Title,extra\n007,Bond,x\n\n", {"7": "Bond"}),
        ("t.csv", f"video,title\n{str(U).upper()},Upper\n{U.hex},Bare\n", {str(U): "Bare"}),
        ("t.tsv.gz", "video\ttitle\n1\tZipped\n", {"1": "Zipped"}),
        ("t.csv", "\ufeffvideo,title\n3,Spreadsheet\n", {"3": "Spreadsheet"}),
    ],
)
def test_read_titles(tmp_path, name, content, expected):
    path = tmp_path / name
    data = content.encode("utf-8")
    path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    assert read_titles(path) == expected


@pytest.mark.parametrize(
    "content, message",
    [
        (b"id,name\n1,x\n", "header naming the columns video and title"),
        (b"", "header naming"),
        (b"video,title\n1\n", ":2: expected 2 fields"),
        (b"video,title\n1,\xff\n", "not UTF-8"),
        (b"\x1f\x8b\x08junk", "damaged gzip"),
    ],
)
def test_read_titles_refuses(tmp_path, content, message):
    path = tmp_path / "t.csv"
    path.write_bytes(content)
    with pytest.raises(TitlesError, match=message):
        read_titles(path)


def test_sample_titles_cover_the_sample_videos():
    from quillomar.sample import sample_titles

    titles = sample_titles()
    ranked = quillomar.sample_index().fuzzy_match_video("guitar", 1, 10)
    assert ranked and all(video in titles for video, _ in ranked)


def test_app_mounted_elsewhere_reloads_in_its_own_process(tmp_path):
    """create_app(reload_on_change=True) watches from its lifespan, for apps
    run by any ASGI server; it stops watching when the app stops."""
    import asyncio

    import httpx

    from quillomar.web import create_app

    path = tmp_path / "live.idx"
    write_index(path, [("alpha", 1)])
    app = create_app(path, reload_on_change=True, poll_interval=0.01)

    async def go():
        async with app.router.lifespan_context(app):
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                write_index(path, [("omega", 8)])
                for _ in range(3000):  # a generous bound, not a timing check
                    health = (await client.get("/health")).json()
                    if health["index"]["generation"] == 2:
                        break
                    await asyncio.sleep(0.01)
                return (await client.get("/complete", params={"q": "omega"})).json()

    assert asyncio.run(go())["results"][0]["id"] == "8"
    assert not app.state.watcher._thread.is_alive()


def damaged_index_bytes():
    """An index the decoder takes whose ranking meets a missing count:
    node 1's payload claims two videos and carries one count."""
    good = quillomar.PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (5, [0], [5])], [1], [b"\x07\0\0\0"], 10
    )
    data = bytearray(good.to_bytes())
    tail = bytes([1, 5, 1, 0, 1, 5])
    pos = data.rindex(tail)
    data[pos : pos + len(tail)] = bytes([1, 5, 2, 0, 0, 1, 5])
    quillomar.PrefixSearch.from_bytes(bytes(data))  # the decoder accepts it
    return bytes(data)


def test_decodable_but_damaged_replacement_is_refused(served, caplog):
    path, holder, watcher = served
    with open(path + ".new", "wb") as f:
        f.write(damaged_index_bytes())
    os.replace(path + ".new", path)
    with caplog.at_level(logging.ERROR, logger="quillomar.web"):
        assert not watcher.check()
    assert "damaged" in caplog.text
    assert videos(holder, "alpha") == ["1"]


def test_damaged_index_in_service_is_a_500_json(tmp_path):
    import asyncio

    import httpx

    from quillomar.web import create_app

    app = create_app(quillomar.PrefixSearch.from_bytes(damaged_index_bytes()))

    async def go():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await client.get("/complete", params={"q": "a"})

    r = asyncio.run(go())
    assert r.status_code == 500
    assert r.json() == {"error": "the index in service is damaged"}
