"""The search page in a real headless Chromium, against `quillomar serve`.

Chromium comes from Debian's packages (tools/install_chromium.sh, run by
`make test`, installs it when missing); Playwright drives it and never
downloads a browser of its own.
"""

import os
import shutil
import subprocess
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

import pytest

pytest.importorskip("uvicorn")
sync_api = pytest.importorskip("playwright.sync_api")

from web_server import ROOT, running  # noqa: E402

CHROMIUM = Path("/usr/bin/chromium")


def chromium_path():
    if not CHROMIUM.exists():
        if shutil.which("apt-get") is None:
            pytest.skip("no /usr/bin/chromium and no apt-get to install it with")
        subprocess.run([str(ROOT / "tools" / "install_chromium.sh")], check=True)
    return str(CHROMIUM)


@pytest.fixture(scope="module")
def server():
    with running() as s:
        yield s
        s.stop()


@pytest.fixture(scope="module")
def browser():
    executable = chromium_path()
    # The sanitizer run preloads its runtimes into every child; the
    # browser and its driver are not built for them.
    saved = os.environ.pop("LD_PRELOAD", None)
    try:
        playwright = sync_api.sync_playwright().start()
        b = playwright.chromium.launch(
            executable_path=executable, headless=True, args=["--no-sandbox"]
        )
    finally:
        if saved is not None:
            os.environ["LD_PRELOAD"] = saved
    yield b
    b.close()
    playwright.stop()


@pytest.fixture
def page(browser, server):
    context = browser.new_context(viewport={"width": 900, "height": 800})
    p = context.new_page()
    p.goto(server.url)
    yield p
    context.close()


def shown_query(page, query):
    page.wait_for_function("q => document.getElementById('results').dataset.query === q", arg=query)


def titles(page):
    return page.locator("#results li .title").all_inner_texts()


def test_misspelt_query_typed_key_by_key(page):
    page.locator("#q").press_sequentially("gutiar cho", delay=40)
    shown_query(page, "gutiar cho")
    assert any(t.startswith("Guitar") for t in titles(page)[:3]), titles(page)
    status = page.locator("#status")
    assert "No exact match" in status.inner_text()
    assert status.locator(".typed").inner_text() == "gutiar cho"
    assert page.locator("#results .fuzzy").count() >= 1
    assert page.locator("#results .id").first.inner_text().startswith("id ")


def test_arrows_enter_and_escape(page):
    box = page.locator("#q")
    box.press_sequentially("yoga", delay=40)
    shown_query(page, "yoga")
    rows = page.locator("#results li")
    assert rows.count() >= 2
    # The arrows pass the suggested searches above the videos first.
    above = page.locator("#suggestions li").count()
    for key in ["ArrowDown"] * above + ["ArrowDown", "ArrowDown", "ArrowUp", "ArrowDown"]:
        box.press(key)
    assert [rows.nth(i).get_attribute("aria-selected") for i in range(2)] == ["false", "true"]
    assert box.get_attribute("aria-activedescendant") == "result-1"
    second_title = rows.nth(1).locator(".title").inner_text()
    second_id = rows.nth(1).locator(".id").inner_text().split()[1]
    box.press("Enter")
    chosen = page.locator("#chosen")
    assert second_title in chosen.inner_text()
    assert chosen.get_attribute("data-video") == second_id
    box.press("Escape")
    assert rows.count() == 0
    box.press("Escape")
    assert box.input_value() == ""


@pytest.mark.parametrize(
    "typed, meant",
    [("chords guitar", "guitar chords"), ("openings", "chess openings")],
)
def test_suggested_searches_picked_by_arrows_or_click(page, typed, meant):
    box = page.locator("#q")
    box.press_sequentially(typed, delay=30)
    shown_query(page, typed)
    texts = page.locator("#suggestions li")
    listed = texts.all_inner_texts()
    assert any(t.startswith(meant) for t in listed), listed
    row = next(i for i, t in enumerate(listed) if t.startswith(meant))
    # What was typed is marked in the suggestion.
    assert page.locator(f"#suggestion-{row} mark").count() == len(typed.split())
    if row == 0:
        texts.nth(0).dispatch_event("mousedown")
    else:
        for _ in range(row + 1):
            box.press("ArrowDown")
        assert box.get_attribute("aria-activedescendant") == f"suggestion-{row}"
        box.press("Enter")
    assert box.input_value() == meant
    shown_query(page, meant)
    assert page.locator("#results li").count() >= 1


def test_an_older_answer_never_replaces_a_newer_one(page):
    """The answer to "yog" is held back until "yoga" has been answered and
    shown; when it finally arrives the page must keep showing "yoga"."""
    held = []

    def hold_yog(route):
        q = parse_qs(urlsplit(route.request.url).query).get("q")
        if q == ["yog"] and not held:
            held.append(route)
        else:
            route.continue_()

    page.route("**/complete?*", hold_yog)
    box = page.locator("#q")
    box.press_sequentially("yog", delay=40)
    for _ in range(600):  # until the request for "yog" is in hand
        if held:
            break
        page.wait_for_timeout(50)
    assert held, "the page never asked for 'yog'"
    box.press("a")
    shown_query(page, "yoga")
    newer = titles(page)
    try:
        held[0].continue_()
    except sync_api.Error:
        pass  # the page aborted it already, which is one way to drop it
    page.wait_for_function("() => Number(document.getElementById('results').dataset.stale) >= 1")
    shown_query(page, "yoga")
    assert titles(page) == newer


def test_readable_on_a_phone(browser, server):
    context = browser.new_context(
        viewport={"width": 375, "height": 740},
        device_scale_factor=2,
        is_mobile=True,
        has_touch=True,
    )
    p = context.new_page()
    p.goto(server.url)
    p.locator("#q").press_sequentially("machine lea", delay=40)
    shown_query(p, "machine lea")
    assert p.evaluate("document.documentElement.scrollWidth <= window.innerWidth")
    size = p.evaluate(
        "parseFloat(getComputedStyle(document.querySelector('#results .title')).fontSize)"
    )
    assert size >= 14
    context.close()


MARKED = "Z" + "\u0301" * 300
LONG = "word" * 2500  # 10,000 characters, no space to break at


@pytest.fixture(scope="module")
def hostile_server(tmp_path_factory):
    """Titles a table may hold by mistake or malice."""
    import quillomar

    where = tmp_path_factory.mktemp("hostile")
    quillomar.save(quillomar.build_index([("zalgo", 1, 9), ("zalgo long", 2, 8)]), where / "h.idx")
    (where / "titles.tsv").write_text(f"video\ttitle\n1\t{MARKED}\n2\t{LONG}\n")
    with running(str(where / "h.idx"), "--titles", str(where / "titles.tsv")) as s:
        yield s
        s.stop()


@pytest.mark.parametrize("width", [390, 900])
def test_hostile_titles_stay_inside_their_rows(browser, hostile_server, width):
    context = browser.new_context(viewport={"width": width, "height": 800})
    p = context.new_page()
    p.goto(hostile_server.url)
    p.locator("#q").press_sequentially("zalgo", delay=20)
    shown_query(p, "zalgo")
    assert p.locator("#results li").count() == 2
    assert p.evaluate("document.documentElement.scrollWidth <= window.innerWidth")
    heights = p.evaluate(
        "[...document.querySelectorAll('#results li')].map(li => li.getBoundingClientRect().height)"
    )
    assert max(heights) < 200, heights
    context.close()


def test_typed_direction_controls_stay_in_the_typed_text(page):
    """A right-to-left override typed into the box must not reorder the
    page's own words around it: the status still reads left to right."""
    page.locator("#q").fill("\u202eqqxqq")
    page.locator("#status .typed").wait_for()
    xs = page.evaluate(
        """() => {
        const status = document.getElementById('status');
        return [...status.childNodes].map(node => {
            const range = document.createRange();
            range.selectNodeContents(node);
            return range.getBoundingClientRect().left;
        });
    }"""
    )
    assert xs == sorted(xs), xs  # lead-in, typed text, closing quote
