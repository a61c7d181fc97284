"""The stub package against the module: what the stub says of each record's
attributes (names, order, types) and of each callable's parameters is what
the module does. The type checker's own stub test sees names only: the
module's functions carry no signature, and record attributes exist on
instances alone."""
import ast
import io
import os

import pytest

import karvo_writer as W
import karvoreader as K
from conftest import CHECKOUT

STUB = os.path.join(CHECKOUT, "src", "karvoreader-stubs", "__init__.pyi")


def stub_tree():
    with open(STUB) as fh:
        return ast.parse(fh.read())


def stub_classes():
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}


def stub_functions():
    """(owner class name or None, function node) for every public callable."""
    out = []
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            out.append((None, node))
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            out += [(node.name, f) for f in node.body if isinstance(f, ast.FunctionDef)]
    return out


def annotated_attributes(cls_node):
    return [(n.target.id, ast.unparse(n.annotation)) for n in cls_node.body
            if isinstance(n, ast.AnnAssign) and "ClassVar" not in ast.unparse(n.annotation)]


def test_every_module_name_is_in_the_stub():
    names = set()
    for node in stub_tree().body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname)
    public = {n for n in vars(K) if not n.startswith("__")}
    assert {n for n in names if not n.startswith("_")} == public


def sample_records():
    """One record of each class, read from our writer's bytes."""
    data = {
        "FileHeader": W.pack_file_header(entries=[(2, 400)]),
        "IndexEntry": W.pack_index_entry(2, 400),
        "IndexEntryExtended": W.pack_index_entry(2, 400, extended=True),
        "MainSpectralHeader": W.pack_main_spectral_header(),
        "BenchInfo": W.pack_bench_info(),
        "SeriesHeader": W.pack_series_header(),
        "Dimension": W.pack_dimension(),
        "DataBlobFormat": W.pack_data_blob_format(mini_hdr=True),
        "LinkToData": W.pack_link_to_data(),
        "SeriesSpecheader": W.pack_series_specheader(),
        "SeriesSpecheaderVer3": W.pack_series_specheader(ver3=True),
        "DiskResidentArray": W.pack_disk_resident_array(dimensions=[{}]),
    }
    return {name: getattr(K, name)(io.BytesIO(raw)) for name, raw in data.items()}


def inherited_attributes(name, classes):
    node = classes[name]
    own = annotated_attributes(node)
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            return inherited_attributes(base.id, classes) + own
    return own


@pytest.mark.parametrize("name", list(W.FIELDS))
def test_record_attributes_match_the_stub(name):
    classes = stub_classes()
    rec = sample_records()[name]
    want = inherited_attributes(name, classes)
    assert [n for n, _ in want] == list(vars(rec))
    for attr, annotation in want:
        value = getattr(rec, attr)
        kind = annotation.split("[")[0]
        assert type(value).__name__ == kind, (attr, annotation, value)
        if kind == "list":
            item = annotation[len("list["):-1]
            assert all(isinstance(v, getattr(K, item)) for v in value)


def positional_only(fn):
    return [a.arg for a in fn.args.posonlyargs]


def either_way(fn):
    return [a.arg for a in fn.args.args if a.arg != "self"]


@pytest.mark.parametrize("owner,fn", stub_functions(), ids=lambda v: getattr(v, "name", v))
def test_parameters_match_the_stub(owner, fn):
    target = getattr(K, fn.name) if owner is None else getattr(getattr(K, owner), fn.name)
    if owner is not None and fn.name == "__init__":
        target = getattr(K, owner)             # the constructor, called through its class
        self_args = ()
    elif owner is not None:
        self_args = (object.__new__(getattr(K, owner)),)
    else:
        self_args = ()
    dummies = {n: None for n in either_way(fn)}
    if positional_only(fn):
        with pytest.raises(TypeError, match="keyword"):
            target(*self_args, **{n: None for n in positional_only(fn)})
        return
    # Every parameter by keyword: the call binds, whatever the dummy values make it do next.
    try:
        target(*self_args, **dummies)
    except TypeError as e:
        assert "argument" not in str(e), e
    except Exception:
        pass
    with pytest.raises(TypeError, match="argument"):
        target(*self_args, **dict(dummies, unknown_parameter=None))


def test_stub_signatures_are_well_formed():
    # Nothing in the stub is left unannotated.
    for owner, fn in stub_functions():
        params = fn.args.posonlyargs + fn.args.args
        assert fn.returns is not None, fn.name
        assert all(a.annotation is not None for a in params if a.arg != "self"), fn.name
