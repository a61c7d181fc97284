"""Redraw the README's picture, docs/example.png, from the bundled example
with the installed ``karvo`` command (``python -m karvo`` where it is not on
the PATH):

    python docs/make_figures.py

tests/test_karvo_cli.py checks that the committed picture is what the
current code draws.
"""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(HERE), "examples", "reaction_band_growth.series")
FIGURE = os.path.join(HERE, "example.png")


def main() -> int:
    script = shutil.which("karvo")
    command = [script] if script else [sys.executable, "-m", "karvo"]
    subprocess.run(command + ["plot", EXAMPLE, "-o", FIGURE], check=True)
    print(FIGURE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
