"""Draw the README's picture of the report page: the sample strategy on three days of
sample data, the page opened in headless Chromium (playwright), the top of its plots
captured to docs/report.png.

    python tools/docs/report_screenshot.py [CHROMIUM]
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

from playwright.sync_api import sync_playwright

from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross

TARGET = Path(__file__).resolve().parents[2] / "docs" / "report.png"


def main() -> None:
    chromium = sys.argv[1] if len(sys.argv) > 1 else shutil.which("chromium")
    with tempfile.TemporaryDirectory() as tmp:
        write_sample_data(Path(tmp) / "data", days=3, seed=1)
        start, end = sample_period(3)
        result = Backtest(MovingAverageCross(fast=20, slow=80), ["2330:Stock", "TXFR1:Future"], start, end,
                          data_dir=Path(tmp) / "data").run()
        page = result.report(Path(tmp) / "run.html")
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
            tab = browser.new_page(viewport={"width": 1100, "height": 900})
            tab.goto(page.as_uri())
            tab.wait_for_function("window.reportReady === true", timeout=60_000)
            TARGET.parent.mkdir(exist_ok=True)
            tab.locator("#lines").screenshot(path=str(TARGET))
            browser.close()
    print(f"{TARGET}: {TARGET.stat().st_size:,} bytes")


if __name__ == "__main__":
    main()
