"""Built-in classes bound where the module's record classes were: the host's
own static types (whose dictionaries live per interpreter from 3.12 on) are
called as any other callable, and fail as they would."""
import os

import pytest

from conftest import assert_child_ok, run_python

from conftest import TOOLS

CHILD = '''
import sys
sys.path.insert(0, %(tools)r)
import karvo_writer as W, karvoreader as K
path = sys.argv[1]
open(path, "wb").write(W.single_spectrum_file(values=[1.0, 2.0]))
spa = K.SPAFile(path)
index = spa.find_indextype(2)
%(rebind)s = %(cls)s
try:
    K.SPAFile(path).read(index)
except TypeError as e:
    print("TypeError", e)
print("OK")
'''


@pytest.mark.parametrize("rebind", ["K.IndexEntry", "K.TYPE_CLASS[2]"])
@pytest.mark.parametrize("cls", ["object", "int"])
def test_builtin_class_in_place_of_a_record_class(tmp_path, rebind, cls):
    p = run_python(CHILD % {"tools": TOOLS, "rebind": rebind, "cls": cls}, str(tmp_path / "one.spa"))
    out = assert_child_ok(p)
    assert "TypeError" in out
