"""The HTTP app in process, through httpx's ASGI transport."""

import asyncio
import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from starlette.applications import Starlette  # noqa: E402
from starlette.routing import Mount  # noqa: E402

import quillomar  # noqa: E402
from quillomar import Autocomplete  # noqa: E402
from quillomar.sample import sample_titles  # noqa: E402
from quillomar.web import create_app  # noqa: E402
from quillomar.web.app import _STATIC  # noqa: E402
from quillomar.web.params import Limits, parse_complete  # noqa: E402


@pytest.fixture(scope="module")
def autocomplete():
    return Autocomplete(quillomar.sample_index())


@pytest.fixture(scope="module")
def app(autocomplete):
    return create_app(autocomplete, titles=sample_titles())


def get(app, path, **params):
    async def go():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await client.get(path, params=params or None)

    return asyncio.run(go())


def raw_get(app, query_string: bytes, path="/complete"):
    """Status and body for query-string bytes exactly as given, which an
    HTTP client would percent-encode."""
    scope = {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "root_path": "",
        "query_string": query_string,
        "headers": [],
        "client": ("127.0.0.1", 1),
        "server": ("test", 80),
    }
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope, receive, send))
    status = sent[0]["status"]
    body = b"".join(m.get("body", b"") for m in sent[1:])
    return status, body


def titles_of(response):
    return [r.get("title", "") for r in response.json()["results"]]


@pytest.mark.parametrize(
    "q, topic, corrected",
    [
        ("gutiar chords", "Guitar", True),  # misspelt
        ("pyhton tutorial", "Python", True),
        ("sourdough bred", "Sourdough", True),
        ("yoga", "Yoga", False),  # a whole term
        ("sourdo", "Sourdough", False),  # half-typed
    ],
)
def test_complete_ranks_the_expected_videos(app, q, topic, corrected):
    r = get(app, "/complete", q=q)
    assert r.status_code == 200
    assert r.headers["content-type"].startswith("application/json")
    body = r.json()
    assert body["query"] == q
    assert body["corrected"] is corrected
    assert any(t.startswith(topic) for t in titles_of(r)[:3]), titles_of(r)
    assert body["took_ms"] >= 0
    # Matches from the start come first, by score within each search.
    start = [item for item in body["results"] if item["how"] == "start"]
    assert body["results"][: len(start)] == start
    for corrected_rows in (False, True):
        scores = [item["score"] for item in start if item["corrected"] is corrected_rows]
        assert scores == sorted(scores, reverse=True)
    assert all(
        set(item) == {"id", "score", "corrected", "how", "title"} for item in body["results"]
    )
    for s in body["suggestions"]:
        assert set(s) == {"text", "score", "how", "corrected", "highlight"}


def test_answers_are_the_search_box_objects(app, autocomplete):
    """The web layer adds titles and nothing else: same ids, same order."""
    for q in ("gutiar", "chess open", "Machine  LEA", "z"):
        expected = autocomplete.complete(q)
        body = get(app, "/complete", q=q).json()
        assert body["query"] == expected.query
        assert body["corrected"] == expected.corrected
        assert [(r["id"], r["score"], r["corrected"]) for r in body["results"]] == [
            (s.video, s.score, s.corrected) for s in expected.results
        ]


@pytest.mark.parametrize(
    "params, check",
    [
        ({"limit": "2"}, lambda b: len(b["results"]) <= 2),
        ({"limit": "1"}, lambda b: len(b["results"]) == 1),
        # No node spells the misspelling itself: no edits, no videos.
        ({"max_dist": "0"}, lambda b: b["results"] == []),
        ({"max_dist": "2", "limit": "3"}, lambda b: 1 <= len(b["results"]) <= 3),
        ({"cache_buster": "123"}, lambda b: len(b["results"]) >= 1),
    ],
)
def test_limit_and_max_dist_reach_the_search(app, params, check):
    r = get(app, "/complete", q="gutiar chords", **params)
    assert r.status_code == 200
    assert check(r.json()), r.json()


def test_without_titles_results_have_no_title(autocomplete):
    r = get(create_app(autocomplete), "/complete", q="yoga")
    assert r.json()["results"]
    assert all("title" not in item for item in r.json()["results"])


LONGEST = "a" * Limits().max_query_length


@pytest.mark.parametrize(
    "query_string, message",
    [
        (b"", "q is required"),
        (b"limit=3", "q is required"),
        (b"q=", "q is empty"),
        (b"q=" + LONGEST.encode() + b"b", "longer than 256"),
        (b"q=%FF%FE", "not valid UTF-8"),
        (b"q=caf%C3", "not valid UTF-8"),  # cut inside a character
        (b"q=%ED%A0%80", "not valid UTF-8"),  # a lone surrogate, encoded
        (b"q=\xff", "not valid UTF-8"),  # a raw byte, not encoded
        (b"q=a&q=b", "more than once"),
        (b"q=a&limit=abc", "limit must be an integer"),
        (b"q=a&limit=1.5", "limit must be an integer"),
        (b"q=a&limit=", "limit must be an integer"),
        (b"q=a&limit=0", "not 0"),
        (b"q=a&limit=101", "not 101"),
        (b"q=a&limit=99999999999999999999", "limit must be an integer"),
        (b"q=a&limit=%D9%A1", "limit must be an integer"),  # Arabic-Indic one
        (b"q=a&limit=1_0", "limit must be an integer"),
        (b"q=a&max_dist=-1", "not -1"),
        (b"q=a&max_dist=3", "not 3"),
        (b"q=a&max_dist=two", "max_dist must be an integer"),
        (b"q=a&max_dist=--1", "max_dist must be an integer"),
    ],
)
def test_bad_requests_get_400_json(app, query_string, message):
    status, body = raw_get(app, query_string)
    assert status == 400
    assert message in json.loads(body)["error"]


@pytest.mark.parametrize(
    "query_string, query",
    [
        (b"q=" + LONGEST.encode(), LONGEST),  # exactly at the limit
        (b"q=yoga+for", "yoga for"),
        (b"q=caf%C3%A9", "café"),
        (b"q=caf\xc3\xa9", "café"),  # UTF-8 not percent-encoded
        (b"q=%F0%9F%8E%B8", "\U0001f3b8"),  # outside the BMP
        (b"q=a%00b", "a\x00b"),
    ],
)
def test_any_valid_text_is_searched(app, query_string, query):
    status, body = raw_get(app, query_string)
    assert status == 200
    assert json.loads(body)["query"] == query


def test_other_methods_and_paths_are_4xx(app):
    async def go():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return (await client.post("/complete?q=yoga"), await client.get("/nothing-here"))

    post, missing = asyncio.run(go())
    assert post.status_code == 405
    assert missing.status_code == 404


def test_health_reports_version_and_index(app):
    r = get(app, "/health")
    assert r.status_code == 200
    body = r.json()
    assert body["status"] == "ok"
    assert body["version"] == quillomar.__version__
    assert body["index"]["generation"] == 1
    assert body["titles"] == len(sample_titles())


def test_page_and_its_assets_need_no_network(app):
    page = get(app, "/")
    assert page.status_code == 200
    assert page.headers["content-type"].startswith("text/html")
    assets = re.findall(r'(?:src|href)="([^"]+)"', page.text)
    assert sorted(assets) == ["static/app.js", "static/style.css"]
    for asset, kind in zip(sorted(assets), ["javascript", "text/css"]):
        r = get(app, "/" + asset)
        assert r.status_code == 200
        assert kind in r.headers["content-type"]
    for f in _STATIC.iterdir():
        # Everything the page loads comes from this server.
        assert not re.search(r"https?://|//[a-z]", f.read_text()), f.name


def test_mounted_inside_another_app(autocomplete):
    outer = Starlette(routes=[Mount("/search", create_app(autocomplete))])
    page = get(outer, "/search/")
    assert page.status_code == 200 and 'id="q"' in page.text
    r = get(outer, "/search/complete", q="yoga")
    assert r.status_code == 200 and r.json()["results"]
    # The page asks relative to where it was served.
    assert get(outer, "/search/static/app.js").status_code == 200


@pytest.mark.parametrize("index_or_path", ["missing.idx", 42])
def test_create_app_refuses_what_is_not_an_index(tmp_path, monkeypatch, index_or_path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises((OSError, TypeError)):
        create_app(index_or_path)


def test_create_app_loads_a_path(tmp_path):
    path = tmp_path / "sample.idx"
    quillomar.save(quillomar.sample_index(), path)
    app = create_app(path, reload_on_change=True)
    assert get(app, "/complete", q="yoga").json()["results"]
    assert get(app, "/health").json()["index"]["path"] == str(path)


def test_reloading_needs_a_file(autocomplete):
    with pytest.raises(ValueError, match="path"):
        create_app(autocomplete, reload_on_change=True)


# Anything a client can send: only 2xx or 4xx, never a 500, always JSON.
values = st.one_of(
    st.none(),
    st.text(),
    st.integers(-3, 200).map(str),
    st.sampled_from(["", " 1", "1e3", "0x10", "+5", "٣"]),
)


@settings(max_examples=300)
@given(q=values, limit=values, max_dist=values)
def test_property_any_params_get_2xx_or_4xx(app, q, limit, max_dist):
    params = {
        k: v for k, v in (("q", q), ("limit", limit), ("max_dist", max_dist)) if v is not None
    }
    # httpx encodes lone surrogates as it can; the raw-bytes test below
    # covers what it cannot send.
    try:
        r = get(app, "/complete", **params)
    except UnicodeEncodeError:
        return
    assert 200 <= r.status_code < 500
    assert isinstance(r.json(), dict)


@settings(max_examples=300)
@given(query_string=st.binary(max_size=300))
def test_property_any_query_bytes_get_2xx_or_4xx(app, query_string):
    status, body = raw_get(app, query_string)
    assert 200 <= status < 500
    json.loads(body)


@given(st.binary(max_size=60))
def test_parsed_q_is_always_encodable_text(data):
    try:
        params = parse_complete(b"q=" + data, Limits())
    except ValueError:
        return
    params.q.encode("utf-8")  # no surrogates ever reach the search
