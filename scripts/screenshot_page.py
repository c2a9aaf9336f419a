"""Screenshots of the search page answering a misspelt query, for the docs.

Starts `quillomar serve` on the sample index, types into the page in
Debian's headless Chromium and writes docs/serve-page.png (desktop) and
docs/serve-page-phone.png.
"""

import argparse
import sys
from pathlib import Path

from playwright.sync_api import sync_playwright

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from web_server import running  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--query", default="gutiar cho")
    parser.add_argument("--out", type=Path, default=ROOT / "docs")
    args = parser.parse_args()
    with running() as server, sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"])
        for name, viewport, scale in [
            ("serve-page.png", (820, 620), 1),
            ("serve-page-phone.png", (375, 700), 2),
        ]:
            page = browser.new_page(
                viewport=dict(zip(("width", "height"), viewport)), device_scale_factor=scale
            )
            page.goto(server.url)
            page.locator("#q").press_sequentially(args.query, delay=30)
            page.wait_for_function(
                "q => document.getElementById('results').dataset.query === q", arg=args.query
            )
            page.locator("#q").press("ArrowDown")
            page.screenshot(path=str(args.out / name))
            print(f"wrote {args.out / name}")
        browser.close()
        server.stop()


if __name__ == "__main__":
    main()
