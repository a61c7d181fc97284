"""Optional libraries of the command, imported when a task needs them."""
from __future__ import annotations

import importlib
from types import ModuleType


class MissingDependency(ImportError):
    """A task needs a library that is not installed; the message says what to install.
    An ImportError, as a missing library is wherever Python reports one."""


# The packages that each extra of the distribution brings, named in the
# hints: a checkout installed with ``pip install .`` has no distribution of
# that name on the package index, so its extras can't be asked for by name.
_EXTRA_PACKAGES = {
    "remote": "fsspec aiohttp s3fs",
    "xarray": '"dask[array,distributed]" xarray h5netcdf',
    "plot": "matplotlib",
    "parquet": "pyarrow",
    "pandas": "pandas",
    "cli": "tqdm",
}


def install_hint(extra: str, package: str | None = None) -> str:
    """``pip install PACKAGES`` for what the extra brings (or ``package``
    alone), with the extra itself as the other way."""
    packages = package or _EXTRA_PACKAGES[extra]
    return f'pip install {packages} (or pip install "karvoreader[{extra}]")'


def require(module: str, extra: str, task: str) -> ModuleType:
    """Import ``module`` or say which packages bring it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        package = top if extra not in _EXTRA_PACKAGES else None    # "all": the module alone
        raise MissingDependency(
            f"{task} needs {top}, which is not installed: {install_hint(extra, package)}") from exc


def optional(module: str) -> ModuleType | None:
    """Import ``module`` if it is installed (for features that do without it)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None
