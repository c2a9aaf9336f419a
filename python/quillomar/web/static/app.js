// Search as you type. Each request carries a sequence number; an answer is
// shown only when it is newer than the one on screen, and requests older
// than the answer shown are aborted, so a slow answer to an earlier
// keystroke never replaces the answer to a later one.
"use strict";
(function () {
  const DEBOUNCE_MS = 80;
  const input = document.getElementById("q");
  const list = document.getElementById("results");
  const suggested = document.getElementById("suggestions");
  const status = document.getElementById("status");
  const chosen = document.getElementById("chosen");
  const form = document.getElementById("search");

  let sent = 0;          // sequence number of the latest request
  let shown = 0;         // sequence number of the answer on screen
  const pending = new Map();  // sequence number -> AbortController
  let items = [];        // results on screen
  let texts = [];        // suggested searches on screen, above the results
  let active = -1;       // highlighted row (suggestions, then results), -1 for none
  let timer = 0;
  let stale = 0;         // answers dropped or aborted as out of date

  function dropped() {
    list.dataset.stale = String(++stale);
  }

  // A title is shown shortened: at most TITLE_CHARS code points, and at
  // most MARKS combining marks on one letter, so no title can widen or
  // stretch the list whatever the titles table holds.
  const TITLE_CHARS = 160;
  const MARKS = 3;
  const MARK_RUN = new RegExp("(\\p{M}{" + MARKS + "})\\p{M}+", "gu");

  function shorten(text) {
    const chars = Array.from(text.replace(MARK_RUN, "$1"));
    return chars.length > TITLE_CHARS ? chars.slice(0, TITLE_CHARS - 1).join("") + "…" : chars.join("");
  }

  // Text from outside (titles, what was typed) goes in its own bidi
  // isolate: whatever direction controls it holds end at its edge and
  // cannot reorder the page's own text around it.
  function isolated(tag, cls, text) {
    const node = el(tag, cls, text);
    node.dir = "auto";
    return node;
  }

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // A suggested search, its matched ranges marked.
  function marked(text, ranges) {
    const chars = Array.from(text);  // ranges count code points
    const out = [];
    let at = 0;
    for (const [begin, end] of ranges) {
      if (begin > at) out.push(chars.slice(at, begin).join(""));
      out.push(el("mark", "", chars.slice(begin, end).join("")));
      at = end;
    }
    if (at < chars.length) out.push(chars.slice(at).join(""));
    return out;
  }

  const HOW = { word: "another word", order: "another order" };

  function clearList() {
    items = [];
    texts = [];
    active = -1;
    list.replaceChildren();
    suggested.replaceChildren();
    list.dataset.query = "";
    input.setAttribute("aria-expanded", "false");
    input.removeAttribute("aria-activedescendant");
  }

  function render(seq, typed, answer) {
    shown = seq;
    for (const [n, controller] of pending) {
      if (n < seq) { controller.abort(); pending.delete(n); }
    }
    items = answer.results;
    texts = answer.suggestions || [];
    active = -1;
    suggested.replaceChildren(...texts.map((t, i) => {
      const li = el("li");
      li.id = "suggestion-" + i;
      li.setAttribute("role", "option");
      li.setAttribute("aria-selected", "false");
      li.dataset.text = t.text;
      const text = el("span", "text");
      text.append(...marked(t.text, t.highlight));
      li.append(text);
      if (HOW[t.how]) li.append(el("span", "how", HOW[t.how]));
      if (t.corrected) li.append(el("span", "fuzzy", "≈"));
      li.addEventListener("mousedown", (e) => { e.preventDefault(); pick(i); });
      return li;
    }));
    list.replaceChildren(...items.map((r, i) => {
      const li = el("li");
      li.id = "result-" + i;
      li.setAttribute("role", "option");
      li.setAttribute("aria-selected", "false");
      li.append(isolated("span", "title", r.title ? shorten(r.title) : "video " + r.id));
      li.append(el("span", "score", r.score.toFixed(3)));
      const meta = el("span", "id", "id " + r.id);
      if (r.corrected) meta.append(" ", el("span", "fuzzy", "≈ close match"));
      if (HOW[r.how]) meta.append(" ", el("span", "how", HOW[r.how]));
      li.append(meta);
      li.addEventListener("mousedown", (e) => { e.preventDefault(); choose(i); });
      return li;
    }));
    list.dataset.query = answer.query;
    input.setAttribute("aria-expanded", items.length || texts.length ? "true" : "false");
    status.replaceChildren();
    if (!items.length) {
      status.append("No videos for “", isolated("bdi", "typed", shorten(typed)), "”");
    } else if (answer.corrected) {
      status.append("No exact match for “", isolated("bdi", "typed", shorten(typed)),
                    "”: showing close matches");
    } else {
      status.append(items.length + " videos, " + answer.took_ms.toFixed(1) + " ms");
    }
  }

  async function search(seq, typed) {
    const controller = new AbortController();
    pending.set(seq, controller);
    try {
      const response = await fetch("complete?q=" + encodeURIComponent(typed),
                                   { signal: controller.signal });
      const answer = await response.json();
      if (seq <= shown) { dropped(); return; }  // a newer one is on screen
      if (!response.ok) {
        shown = seq;
        clearList();
        status.textContent = answer.error || "error " + response.status;
        return;
      }
      render(seq, typed, answer);
    } catch (err) {
      if (err.name === "AbortError") dropped();
      else if (seq === sent) {
        status.textContent = "The server did not answer.";
      }
    } finally {
      pending.delete(seq);
    }
  }

  function onInput() {
    clearTimeout(timer);
    const typed = input.value;
    const seq = ++sent;
    chosen.textContent = "";
    if (!typed.trim()) {
      shown = seq;  // answers still on their way are for older text
      clearList();
      status.textContent = "";
      return;
    }
    timer = setTimeout(() => search(seq, typed), DEBOUNCE_MS);
  }

  // Row n of the suggestions followed by the results.
  function rowAt(n) {
    return document.getElementById(
      n < texts.length ? "suggestion-" + n : "result-" + (n - texts.length));
  }

  function highlight(i) {
    const count = texts.length + items.length;
    if (!count) return;
    active = (i + count) % count;
    for (let n = 0; n < count; n++) {
      rowAt(n).setAttribute("aria-selected", n === active ? "true" : "false");
    }
    const row = rowAt(active);
    input.setAttribute("aria-activedescendant", row.id);
    row.scrollIntoView({ block: "nearest" });
  }

  // A suggested search goes into the box and is searched.
  function pick(i) {
    const t = texts[i];
    if (!t) return;
    input.value = t.text;
    onInput();
  }

  function enter() {
    if (active >= 0 && active < texts.length) pick(active);
    else choose(active < 0 ? 0 : active - texts.length);
  }

  function choose(i) {
    const r = items[i];
    if (!r) return;
    chosen.replaceChildren("Chosen: ");
    if (r.title) chosen.append(isolated("bdi", "", shorten(r.title)), " ");
    chosen.append("(video " + r.id + ")");
    chosen.dataset.video = r.id;
    form.dispatchEvent(new CustomEvent("video-chosen", { detail: r }));
  }

  input.addEventListener("input", onInput);
  input.addEventListener("keydown", (e) => {
    if (e.key === "ArrowDown") { e.preventDefault(); highlight(active + 1); }
    else if (e.key === "ArrowUp") { e.preventDefault(); highlight(active < 0 ? -1 : active - 1); }
    else if (e.key === "Enter") { e.preventDefault(); enter(); }
    else if (e.key === "Escape") {
      e.preventDefault();
      if (items.length || texts.length) { shown = sent; clearList(); status.textContent = ""; }
      else { input.value = ""; onInput(); }
    }
  });
  form.addEventListener("submit", (e) => e.preventDefault());
})();
