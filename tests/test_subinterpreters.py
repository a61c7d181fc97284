"""Both extension modules in sub-interpreters: the isolated kind (a GIL of
its own, 3.12 on) and the legacy kind that shares the main GIL. Each
interpreter gets modules, types and names of its own; the import-time line
still goes out once per process. Every case runs in a child process."""
import importlib.util
import os
import sys

import pytest

from conftest import assert_child_ok, run_python

from conftest import TOOLS
KARVO_DIR = os.path.dirname(importlib.util.find_spec("karvo").origin)
BANNER = "karvoreader: compiled version"

# The host's interface to sub-interpreters moved in 3.13 (_interpreters).
PRELUDE = '''
import os, sys, threading
sys.path.insert(0, %(tools)r)
import karvo_writer as W
try:
    import _interpreters as _I
except ImportError:
    import _xxsubinterpreters as _I

def new_interpreter(kind):
    if hasattr(_I, "new_config"):
        return _I.create(_I.new_config(kind))
    if sys.version_info >= (3, 12):
        return _I.create(isolated=(kind == "isolated"))
    assert kind == "legacy"
    return _I.create()

def run(sid, code):
    sys.stdout.flush()
    if hasattr(_I, "exec"):
        err = _I.exec(sid, code)
        if err is not None:
            raise RuntimeError(err.formatted)
    else:
        _I.run_string(sid, code)

series_path = os.path.abspath("s.spa")
W.write_series(series_path, n_spectra=3, num_points=4)
single_path = os.path.abspath("one.spa")
with open(single_path, "wb") as fh:
    fh.write(W.single_spectrum_file(values=[1.0, 2.0]))

# karvoreader in full; karvo._native under a bare package (the karvo package
# itself needs numpy, which refuses isolated interpreters).
WORK = """if True:
    import os, sys, types
    sys.path[:0] = [p for p in %%(path)r if p not in sys.path]
    if "karvo" not in sys.modules:
        pkg = types.ModuleType("karvo")
        pkg.__path__ = [%(karvo_dir)r]
        sys.modules["karvo"] = pkg
    import karvoreader as K
    import karvo._native as N
    def work(tag, rounds=1, rebind=True):
        for _ in range(rounds):
            assert len(list(K.open_file(%%(series)r).open_series())) == 4
            spa = K.SPAFile(%%(single)r)
            assert spa.read(spa.find_indextype(2)).num_points == 2
            f = N.open(%%(series)r)
            assert f.info["held"] == 3 and len(f.x()) == 32
            f.close()
            try:
                N.open(%%(single)r + ".absent")
            except FileNotFoundError:
                pass
        def say(*words):  # one write: lines of interpreters running at once stay whole
            sys.stdout.flush()
            os.write(1, (" ".join(words) + "\\\\n").encode())
        say(tag, "read", type(K.SPAFile.read).__name__, type(K.open_file(%%(series)r).open_series()).__name__)
        if rebind:  # stays in this interpreter's module
            K.TYPE_CLASS = {}
            try:
                K.SPAFile(%%(single)r).read(0)
            except KeyError:
                say(tag, "rebinding held")
        sys.stdout.flush()
""" %% dict(series=series_path, single=single_path, path=sys.path)
'''


def child(tmp_path, body):
    code = PRELUDE % dict(tools=TOOLS, karvo_dir=KARVO_DIR) + body
    return assert_child_ok(run_python(code, dev=True, cwd=str(tmp_path), timeout=300))


KINDS = [
    pytest.param("isolated", marks=pytest.mark.skipif(sys.version_info < (3, 12),
                                                      reason="interpreters with a GIL of their own came in 3.12")),
    "legacy",
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("order", ["sub first", "main first", "sub gone first"])
def test_each_interpreter_has_modules_of_its_own(tmp_path, kind, order):
    main = 'exec(WORK); work("main", rebind=False)\n'
    sub = 'sid = new_interpreter(%r)\nrun(sid, WORK + "work(\'sub\')")\n' % kind
    if order == "main first":
        body = main + sub
    else:
        body = sub + ("_I.destroy(sid)\n" if order == "sub gone first" else "") + main
    # the main module keeps its own registry whatever the sub-interpreter rebinds
    body += 'import karvoreader as K\nprint(type(K.SPAFile(single_path).read(0)).__name__)\nprint("OK")\n'
    out = child(tmp_path, body).splitlines()
    assert out.count(BANNER) == 1, out
    assert {"sub read function generator", "sub rebinding held", "main read function generator"} <= set(out), out
    assert out[-2:] == ["MainSpectralHeader", "OK"], out


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a GIL of their own came in 3.12")
def test_isolated_interpreters_read_at_once(tmp_path):
    # Interpreters on their own GILs run our code truly at the same time:
    # nothing they use (types, names, the blocking hooks) may be shared.
    out = child(tmp_path, '''
sids = [new_interpreter("isolated") for _ in range(3)]
errors = []
def go(k, sid):
    try:
        run(sid, WORK + "work('t%d', rounds=400)" % k)
    except Exception as e:
        errors.append(e)
threads = [threading.Thread(target=go, args=(k, sid)) for k, sid in enumerate(sids)]
for t in threads: t.start()
exec(WORK)
work("main", rounds=400, rebind=False)
for t in threads: t.join()
assert not errors, errors
for sid in sids:
    _I.destroy(sid)
assert type(K.SPAFile(single_path).read(0)).__name__ == "MainSpectralHeader"
print("OK")
''')
    assert sorted(l.split()[0] for l in out.splitlines() if "rebinding held" in l) == ["t0", "t1", "t2"]
    assert out.count(BANNER) == 1, out
