"""The ``karvo`` command as the tests run it: in this interpreter through
``karvo.cli.main`` (``karvo``), or as the installed console script in a
process of its own (``karvo_process``); and the series most of them read."""
import contextlib
import io
import os
import shutil
import subprocess
import sys
from typing import NamedTuple

import numpy as np

from karvo import cli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the checkout
EXAMPLE = os.path.join(ROOT, "examples", "reaction_band_growth.series")

# the script installed beside this interpreter, else one on the PATH, else the module
SCRIPT = shutil.which("karvo", path=os.pathsep.join(
    [os.path.dirname(sys.executable), os.environ.get("PATH", os.defpath)]))
KARVO = [SCRIPT] if SCRIPT else [sys.executable, "-m", "karvo"]


# a relative PYTHONPATH (PYTHONPATH=build/dev) must still work from another folder;
# the command's output is read as UTF-8, whatever the locale of this run
ENV = dict(os.environ, PYTHONIOENCODING="utf-8", PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))


class Done(NamedTuple):
    returncode: int
    stdout: str
    stderr: str


def karvo(*args):
    """``karvo ARGS`` in this interpreter: exit status, standard output and error."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = cli.main([str(a) for a in args])
        except SystemExit as exc:           # argparse: usage errors, --help
            code = exc.code
    return Done(code, out.getvalue(), err.getvalue())


def karvo_process(*args, env=ENV, timeout=300):
    return subprocess.run(KARVO + [str(a) for a in args], capture_output=True, encoding="utf-8",
                          env=env, timeout=timeout)


def has(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


SERIES = dict(n_spectra=6, num_points=40, element_size=4, mini_header_type=3, file_id=b"run 42, in situ",
              spectral=dict(first_x=3000.0, last_x=1000.0),
              values=lambda k: [np.sin(0.3 * j + k) + 0.01 * k for j in range(40)],
              titles=lambda k: b"run %d" % k,
              dimensions=[dict(first_dim=0, last_dim=50, scale_dim=1.0, num_elements=6,
                               short_label=b"t", long_label=b"time (s)")])


def write_mixed(a, b, c, **a_options):
    """Three files on SERIES's axis that stack as float64 with gaps: a, a
    float32 series with mini headers (SERIES, with a_options); b, a float64
    series without; c, a single spectrum. Returns [a, b, c]."""
    from karvo_writer import single_spectrum_file, write_series
    write_series(a, **dict(SERIES, **a_options))
    write_series(b, **dict(SERIES, n_spectra=3, element_size=8, mini_header_type=0,
                           values=lambda k: [1 / 3 + k * 1e-9 * j for j in range(40)]))
    with open(c, "wb") as fh:
        fh.write(single_spectrum_file(values=[np.float32(0.1) * j for j in range(40)],
                                      first_x=3000.0, last_x=1000.0))
    return [a, b, c]
