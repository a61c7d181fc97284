"""``karvo info`` on several files and on folders: a line per file, folders
walked in sorted order, what isn't spectral data inside them skipped."""
import json
import os
import re

import pytest

from karvo._core.inputs import Found, expand_inputs
from karvo_writer import SeriesFile, single_spectrum_file, write_series
from command import ENV, SERIES, karvo, karvo_process
from campaign import NOT_SPECTRAL, OTHER_AXIS, SHARED, make_campaign


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A folder ``root`` of series, a spectrum, a text file, a nested folder
    and hidden names, the working directory its parent."""
    root = tmp_path / "root"
    (root / "nested" / "deeper").mkdir(parents=True)
    (root / ".hidden").mkdir()
    write_series(str(root / "b_series"), **SERIES)
    (root / "a_spectrum").write_bytes(single_spectrum_file(values=[0.5] * 20, first_x=4000.0, last_x=400.0))
    (root / "notes.txt").write_text("wavenumber,absorbance\n" * 40)
    full = SeriesFile(**SERIES)
    (root / "nested" / "cut").write_bytes(full.to_bytes()[:full.layout.spectrum_offset(3) + 7])
    write_series(str(root / "nested" / "deeper" / "plain64"), n_spectra=4, num_points=16, element_size=8,
                 mini_hdr=False, spectral=dict(first_x=100.0, last_x=250.0))
    (root / ".b_series.tmp1234").write_bytes(b"half written")      # an export's temporary name
    write_series(str(root / ".hidden" / "c"), **SERIES)
    monkeypatch.chdir(tmp_path)
    return "root"


FOUND = ["root/a_spectrum", "root/b_series", "root/nested/cut", "root/nested/deeper/plain64"]
SKIPPED = "karvo: root/notes.txt: skipped: "
# b_series and cut share their axis; the other two are named as differing
OTHER_AXES = ("karvo: the spectral axis of 2 files differs from that of root/b_series and 1 other file of that "
              "axis (40 points, x 3000 to 1000): root/a_spectrum (20 points, x 4000 to 400); "
              "root/nested/deeper/plain64 (16 points, x 100 to 250)")
AXIS_KEYS = ("axis_differs", "axis_reference", "axis_difference")


def test_a_folder_gets_an_aligned_line_per_file(tree):
    out = karvo("info", tree)
    assert out.returncode == 0                    # a skipped file inside a folder isn't an error
    assert out.stderr.startswith(SKIPPED) and out.stderr.splitlines()[1:] == [OTHER_AXES]
    rows = out.stdout.splitlines()
    cells = [re.split(r"\s{2,}", row) for row in rows]
    assert [c[0] for c in cells] == FOUND
    assert cells[0][1:] == ["spectrum", "1 spectrum", "20 points", "x 4000 to 400 (other axis)", "float32"]
    assert cells[1][1:] == ["series", "6 spectra", "40 points", "x 3000 to 1000", "float32", "run 42, in situ"]
    assert cells[2][2] == "3 spectra (cut short: 3 of 6)"
    assert cells[3][2:] == ["4 spectra", "16 points", "x 100 to 250 (other axis)", "float64"]
    for k in range(1, 6):                         # every column starts at one offset
        assert len({row.index(c[k], len(c[0])) for row, c in zip(rows, cells)}) == 1, k


def test_json_lists_every_file_found_as_info_of_each_would(tree):
    out = karvo("info", "--json", tree)
    assert out.returncode == 0 and out.stderr.startswith(SKIPPED)
    docs = json.loads(out.stdout)
    alone = [json.loads(karvo("info", "--json", path).stdout)[0] for path in FOUND]
    assert [d["axis_differs"] for d in docs] == [True, False, False, True]
    assert docs[3]["axis_reference"] == "root/b_series" and docs[3]["axis_difference"].startswith("16 points against 40")
    assert [{k: v for k, v in d.items() if k not in AXIS_KEYS} for d in docs] == \
        [{k: v for k, v in d.items() if k != "axis_differs"} for d in alone]


def test_a_bad_named_input_exits_1_and_the_others_are_shown(tree):
    out = karvo("info", "root/nested", "missing", "root/b_series")
    assert out.returncode == 1
    assert out.stderr.splitlines()[0] == "karvo: missing: No such file or directory"
    assert "differs from that of root/nested/cut and 1 other file" in out.stderr.splitlines()[1]
    assert [row.split()[0] for row in out.stdout.splitlines()] == FOUND[2:] + [FOUND[1]]
    # a named text file is bad, the same file inside a folder is only skipped
    out = karvo("info", "root/nested", "root/notes.txt")
    assert out.returncode == 1 and out.stderr.startswith("karvo: root/notes.txt: ")
    assert "skipped" not in out.stderr


@pytest.mark.parametrize("content", [[], ["notes.txt"], [".only_hidden"]])
@pytest.mark.parametrize("as_json", [False, True])
def test_a_folder_with_nothing_to_show_is_bad(tmp_path, content, as_json):
    for name in content:
        (tmp_path / name).write_text("not spectral\n")
    out = karvo("info", *(["--json"] if as_json else []), tmp_path)
    assert out.returncode == 1
    assert out.stderr.splitlines()[-1] == f"karvo: {tmp_path}: no spectral data file found in this folder"
    if as_json:
        assert json.loads(out.stdout) == [{"path": str(tmp_path),
                                           "error": "no spectral data file found in this folder"}]
    else:
        assert out.stdout == ""


def test_inputs_keep_order_and_say_what_they_skipped(tree, tmp_path):
    os.mkfifo("root/nested/pipe")                                  # reading it would wait
    os.symlink(os.path.abspath("root"), "root/nested/loop")       # would walk forever
    found = expand_inputs([tmp_path / "root" / "nested", "missing", "root"])
    nested = str(tmp_path / "root" / "nested")
    assert found.files[:2] == [Found(os.path.join(nested, "cut"), nested, False),
                               Found(os.path.join(nested, "deeper", "plain64"), nested, False)]
    assert found.files[2] == Found("missing", "missing", True)     # reading it will say why
    assert [f.path for f in found.files[3:]] == FOUND[:2] + ["root/nested/cut", "root/nested/deeper/plain64",
                                                              "root/notes.txt"]
    assert found.skipped == [(os.path.join(nested, "loop"), "a link to a folder, not followed"),
                             (os.path.join(nested, "pipe"), "not a regular file"),
                             ("root/nested/loop", "a link to a folder, not followed"),
                             ("root/nested/pipe", "not a regular file")]


def test_a_deep_tree_is_walked_whole(tmp_path):
    folders = [str(tmp_path)]
    for _ in range(1100):                               # deeper than Python's recursion limit
        folders.append(os.path.join(folders[-1], "d"))
        os.mkdir(folders[-1])
    file = os.path.join(folders[-1], "s")
    write_series(file, **SERIES)
    try:
        out = karvo("info", tmp_path)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split()[:2] == [file, "series"]
    finally:                                            # rmtree recurses too on older Pythons
        os.remove(file)
        for folder in reversed(folders[1:]):
            os.rmdir(folder)


# a UTF-8 locale's standard output; an ASCII one, as the C locale without UTF-8 mode gives
@pytest.mark.parametrize("output, shown", [("utf-8:strict", "\ufffd"), ("ascii:surrogateescape", "?")])
@pytest.mark.parametrize("folder", [False, True])
def test_a_name_outside_the_file_system_encoding_is_shown(tmp_path, folder, output, shown):
    name = os.path.join(os.fsencode(tmp_path), b"r\xff.series")
    write_series(os.fsdecode(name), **SERIES)
    out = karvo_process("info", tmp_path if folder else os.fsdecode(name),
                        env=dict(ENV, PYTHONIOENCODING=output))
    assert out.returncode == 0 and out.stderr == "", out.stderr
    assert out.stdout.startswith(os.path.join(str(tmp_path), "r%s.series" % shown))


@pytest.mark.parametrize("many", [False, True])
def test_a_title_s_control_characters_reach_no_terminal(tmp_path, many):
    """A title is the writer's text: an escape sequence in it (here one that
    retitles the terminal, then one that clears it) is shown, not obeyed."""
    for name in "ab":
        write_series(str(tmp_path / name), **dict(SERIES, file_id=b"run\x1b]0;owned\x07 \x1b[2J42"))
    out = karvo("info", *([tmp_path] if many else [tmp_path / "a"]))
    assert out.returncode == 0, out.stderr
    assert "\x1b" not in out.stdout and "\x07" not in out.stdout and "run?]0;owned? ?[2J42" in out.stdout


@pytest.mark.parametrize("mismatched, status, listed", [(None, 0, SHARED + OTHER_AXIS), ("raise", 1, SHARED + OTHER_AXIS),
                                                        ("skip", 0, SHARED)])
@pytest.mark.parametrize("as_json", [False, True])
def test_files_of_another_axis_are_marked_as_export_would_stack_them(tmp_path, mismatched, status, listed, as_json):
    """Listing, info never fails for a folder of mixed axes unless asked
    (--mismatched raise); skip lists what karvo export would stack."""
    folder = make_campaign(tmp_path / "campaign")
    out = karvo("info", folder, *(["--json"] if as_json else []),
                *(["--mismatched", mismatched] if mismatched else []))
    assert out.returncode == status, out.stderr
    if as_json:
        docs = json.loads(out.stdout)
        shown = {os.path.basename(d["path"]): d for d in docs}
        assert sorted(shown) == sorted(listed)
        assert {name for name, d in shown.items() if d["axis_differs"]} == set(listed) & set(OTHER_AXIS)
        if "d_points" in shown:
            assert shown["d_points"]["axis_reference"] == str(folder / "a_titled")
            assert shown["d_points"]["axis_difference"].startswith("9 points against 8")
    else:
        rows = {os.path.basename(row.split()[0]): row for row in out.stdout.splitlines()}
        assert sorted(rows) == sorted(listed)
        assert {name for name, row in rows.items() if "(other axis)" in row} == set(listed) & set(OTHER_AXIS)
    note = out.stderr.splitlines()[-1]
    a, d, e = (str(folder / n) for n in ("a_titled", "d_points", "e_range"))
    assert {None: f"karvo: the spectral axis of 2 files differs from that of {a} and 3 other files",
            "raise": f"karvo: {d}: its spectral axis differs from that of {a} and 3 other files",
            "skip": f"karvo: karvo info left out 2 files whose spectral axis differs from that of {a}"}[mismatched] \
        in note
    assert d in note and e in note
    assert all(f"{folder / name}: skipped: " in out.stderr for name in NOT_SPECTRAL)
