"""Render karvo's notebook views as pictures, to look at them:

    python docs/render_views.py [OUT] [--no-screenshots]

writes into OUT (a new temporary folder when not given) one standalone HTML
page per view: a Series and a Spectrum (their ``_repr_html_``), the Dataset
of the karvo engine (xarray's own HTML repr of it, as opened and after
``load_coordinates``) and read_many's table
(pandas' HTML repr), each of the bundled examples and of a larger series
made here with our own writer (600 spectra of 1500 points, a band growing
along time, a few gaps of NaN).  Each page is then shot with headless
Chromium into a PNG beside it (``--no-screenshots`` skips that, as does a
machine without Chromium).  The pictures are for looking at, not kept.
"""
from __future__ import annotations

import argparse
import html
import math
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLES = os.path.join(ROOT, "examples")
CHROMIUM = ("chromium", "chromium-browser", "google-chrome")
WINDOW = "1000,800"
# The example files state their units as codes 1 and 17; the pages name
# them as a lab would in karvo.unit_names, so the names show where they go.
UNIT_NAMES = {1: "cm⁻¹", 17: "absorbance"}


def write_large_series(path: str, n: int = 600, title: bytes = b"Curing of an epoxy film") -> str:
    """n spectra from 4000 to 400 of 1500 float32 points, one each 10 s: a
    band at 1650 growing along time, a baseline drifting, and NaN where the
    detector saturated (spectra 200 to 219, points 700 to 759)."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    try:
        import karvo_writer as kw
    finally:
        sys.path.pop(0)
    points = 1500
    xs = [4000.0 - 3600.0 * j / (points - 1) for j in range(points)]

    def values(k: int) -> list[float]:
        height = 1.5 * k / (n - 1)
        row = [0.05 + 0.02 * k / n + height * math.exp(-(((x - 1650.0) / 40.0) ** 2))
               + 0.3 * math.exp(-(((x - 2900.0) / 60.0) ** 2)) for x in xs]
        if 200 <= k < 220:
            row[700:760] = [float("nan")] * 60
        return row

    kw.write_series(
        path, n_spectra=n, num_points=points, element_size=4, mini_header_type=3,
        values=values, file_id=title,
        titles=lambda k: b"scan %d" % k,
        spectral=dict(first_x=4000.0, last_x=400.0, x_units=1, y_units=17),
        dimensions=[dict(dimension_type=1, first_dim=0, last_dim=10 * (n - 1), scale_dim=1.0,
                         num_elements=n, unit_ID=1, short_label=b"t", long_label=b"time (s)")])
    return path


# What a notebook's style sheet does to pandas' tables (which carry none of
# their own), roughly: on one line each cell, no borders, rows striped.
NOTEBOOK_CSS = ("table.dataframe{border-collapse:collapse;border:none;font-size:12px}"
                "table.dataframe th,table.dataframe td{white-space:nowrap;padding:2px 8px;border:none;"
                "text-align:right}table.dataframe tbody tr:nth-child(odd){background:#f5f5f5}")


def page(title: str, body: str) -> str:
    return ("<!doctype html>\n<html><head><meta charset=\"utf-8\">"
            f"<title>{html.escape(title)}</title><style>{NOTEBOOK_CSS}</style></head>"
            "<body style=\"margin:16px;font-family:sans-serif\">"
            f"<h3 style=\"font-weight:normal\">{html.escape(title)}</h3>\n{body}\n</body></html>\n")


def views(folder: str) -> dict[str, tuple[str, str]]:
    """Each view's name -> (what it shows, its HTML)."""
    import karvo

    series = os.path.join(EXAMPLES, "reaction_band_growth.series")
    film = os.path.join(EXAMPLES, "polystyrene_film_absorbance")
    large = write_large_series(os.path.join(folder, "curing.series"))
    out: dict[str, tuple[str, str]] = {}
    saved = dict(karvo.unit_names)
    karvo.unit_names.update(UNIT_NAMES)
    try:
        with karvo.open(series) as s:
            out["series"] = ("karvo.Series of the example", s._repr_html_())
        with karvo.open(large) as s:
            out["series_large"] = ("karvo.Series of 600 spectra x 1500 points", s._repr_html_())
        with karvo.open(film) as sp:
            out["spectrum"] = ("karvo.Spectrum of the film example", sp._repr_html_())
        try:
            import xarray as xr
        except ImportError:
            print("xarray is not installed: no Dataset page", file=sys.stderr)
        else:
            from karvo.xarray_backend import load_coordinates

            with xr.open_dataset(series, engine="karvo") as ds:
                out["dataset"] = ('xr.open_dataset(example, engine="karvo")', ds._repr_html_())
                out["dataset_loaded"] = ("... then load_coordinates(ds)", load_coordinates(ds)._repr_html_())
        try:
            other = write_large_series(os.path.join(folder, "curing_2.series"), 40, b"Curing, second film")
            _, _, table = karvo.read_many([large, other])
        except ImportError:
            print("pandas is not installed: no read_many page", file=sys.stderr)
        else:
            out["read_many"] = ("read_many's table of two series", table._repr_html_())
    finally:
        karvo.unit_names.clear()
        karvo.unit_names.update(saved)
    return out


def write_pages(folder: str) -> list[str]:
    """The HTML pages of every view, written into folder; their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for name, (title, body) in views(folder).items():
        path = os.path.join(folder, name + ".html")
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(page(title, body))
        paths.append(path)
    return paths


def chromium() -> str | None:
    for name in CHROMIUM:
        found = shutil.which(name) or (f"/usr/bin/{name}" if os.access(f"/usr/bin/{name}", os.X_OK) else None)
        if found:
            return found
    return None


def screenshot(browser: str, page_path: str, png_path: str, profile: str) -> None:
    """page_path shot by headless Chromium into png_path."""
    done = subprocess.run(
        [browser, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
         f"--user-data-dir={profile}", f"--screenshot={png_path}", f"--window-size={WINDOW}",
         "file://" + os.path.abspath(page_path)],
        capture_output=True, text=True, timeout=180, check=False)
    if done.returncode != 0 or not os.path.exists(png_path):
        raise RuntimeError(f"{browser} could not shoot {page_path} (exit {done.returncode}):\n{done.stderr[-2000:]}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("out", nargs="?", help="folder for the pages and pictures (default: a new temporary one)")
    parser.add_argument("--no-screenshots", action="store_true", help="write the HTML pages only")
    args = parser.parse_args(argv)
    folder = args.out or tempfile.mkdtemp(prefix="karvo-views-")
    pages = write_pages(folder)
    browser = None if args.no_screenshots else chromium()
    if browser is None and not args.no_screenshots:
        print("no Chromium found: HTML pages only", file=sys.stderr)
    shots: list[Any] = []
    if browser is not None:
        with tempfile.TemporaryDirectory(prefix="karvo-chromium-") as profile:
            for path in pages:
                png_path = os.path.splitext(path)[0] + ".png"
                screenshot(browser, path, png_path, profile)
                shots.append(png_path)
    print("\n".join(pages + shots))
    return 0


if __name__ == "__main__":
    sys.exit(main())
