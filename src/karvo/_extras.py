"""Optional libraries of the command, imported when a task needs them."""
from __future__ import annotations

import importlib
from types import ModuleType


class MissingDependency(ImportError):
    """A task needs a library that is not installed; the message says what to install.
    An ImportError, as a missing library is wherever Python reports one."""


def require(module: str, extra: str, task: str) -> ModuleType:
    """Import ``module`` or say which extra of the distribution brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        raise MissingDependency(
            f"{task} needs {top}, which is not installed: "
            f'pip install "karvoreader[{extra}]"') from exc


def optional(module: str) -> ModuleType | None:
    """Import ``module`` if it is installed (for features that do without it)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None
