"""Each extension module exports its initialization function alone: the
format code and the host layer that both link stay private to each."""
import importlib.util
import shutil
import subprocess

import pytest


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("module, init", [("karvoreader", "PyInit_karvoreader"), ("karvo._native", "PyInit__native")])
def test_only_the_init_function_is_exported(module, init):
    path = importlib.util.find_spec(module).origin
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [init], out[:3000]
