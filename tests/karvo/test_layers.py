"""The package's layers: what each module imports when it loads points down
(or within its own layer), never up, and no circle runs through the imports;
``import karvo`` loads no optional library."""
import ast
import os
import subprocess
import sys

import pytest

import karvo

PACKAGE = os.path.dirname(os.path.abspath(karvo.__file__))

# Lowest first. A module may import at load time only from its own rank or
# below; views and integrations are imported inside the functions that need them.
RANKS = [
    ("karvo._native", "karvo._errors", "karvo._extras"),
    ("karvo._storage",),
    ("karvo._core",),
    ("karvo._views",),
    ("karvo._xarray",),
    ("karvo._export",),
    ("karvo", "karvo.xarray_backend"),
    ("karvo._cli", "karvo.cli", "karvo.__main__"),
]

OPTIONAL = {"pandas", "xarray", "dask", "distributed", "fsspec", "s3fs", "aiohttp", "matplotlib", "pyarrow",
            "zarr", "h5py", "h5netcdf", "tqdm", "botocore", "aiobotocore"}


def rank(module):
    best = None
    for k, names in enumerate(RANKS):
        for name in names:
            if (module == name or module.startswith(name + ".")) and (best is None or len(name) > best[1]):
                best = (k, len(name))
    return best[0]


def modules():
    """Every module of the package by its dotted name: (path, is a package)."""
    found = {"karvo._native": (None, False)}
    for folder, dirs, files in os.walk(PACKAGE, followlinks=True):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for f in files:
            if f.endswith(".py"):
                dotted = os.path.relpath(os.path.join(folder, f[:-3]), os.path.dirname(PACKAGE)).replace(os.sep, ".")
                package = dotted.endswith(".__init__")
                found[dotted[:-len(".__init__")] if package else dotted] = (os.path.join(folder, f), package)
    return found


def load_time_imports(module, path, package, known):
    """The package's modules that ``module`` imports when it loads: at its
    top level, in a try, not under TYPE_CHECKING, not inside a function."""
    tree = ast.parse(open(path, encoding="utf-8").read())
    here = module if package else module.rsplit(".", 1)[0]
    statements = []
    for node in tree.body:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.dump(node.test):
            continue
        statements += node.body if isinstance(node, ast.Try) else [node]
    out = set()
    for node in statements:
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = here.split(".")[:len(here.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            for alias in node.names:
                out.add(f"{target}.{alias.name}" if f"{target}.{alias.name}" in known else target)
        elif isinstance(node, ast.Import):
            out.update(alias.name for alias in node.names)
    return {t for t in out if t in known and t != module}


def test_imports_at_load_time_point_down_and_close_no_circle():
    known = modules()
    graph = {m: load_time_imports(m, path, package, known) for m, (path, package) in known.items() if path}
    upward = sorted(f"{m} imports {t}" for m, targets in graph.items() for t in targets if rank(t) > rank(m))
    assert not upward
    visiting, done, circles = [], set(), []

    def walk(m):
        visiting.append(m)
        for t in sorted(graph.get(m, ())):
            if t in visiting:
                circles.append(" -> ".join(visiting[visiting.index(t):] + [t]))
            elif t not in done:
                walk(t)
        visiting.pop()
        done.add(m)
    for m in sorted(graph):
        if m not in done:
            walk(m)
    assert not circles


@pytest.mark.parametrize("statement", ["import karvo", "import karvo.cli"])
def test_importing_karvo_loads_no_optional_library(statement):
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", statement], capture_output=True,
                          encoding="utf-8", timeout=120)
    assert done.returncode == 0, done.stderr
    # "import time: self [us] | cumulative | imported package"
    loaded = {line.rsplit("|", 1)[1].strip().split(".")[0] for line in done.stderr.splitlines()
              if line.startswith("import time:") and "|" in line}
    assert "karvo" in loaded
    assert not loaded & OPTIONAL
