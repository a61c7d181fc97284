"""karvo on damaged, cut and foreign files: a clear error naming the file and
the reason, or what a cut series still holds; never a crash or a leaked file."""
import os
import pickle
import warnings

import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo_writer import SeriesFile, pack_main_spectral_header, single_spectrum_file


def series_bytes(**kw):
    return SeriesFile(**kw).to_bytes()


def written(tmp_path, name, truncate=None, **kw):
    """(path, SeriesFile) of a series written to tmp_path/name, cut at `truncate`."""
    sf = SeriesFile(**kw)
    sf.truncate = truncate(sf.layout) if callable(truncate) else truncate
    path = str(tmp_path / name)
    sf.write(path)
    return path, sf


def elf_binary():
    return b"\x7fELF\x02\x01\x01" + bytes(400)


def text_file():
    return b"wavenumber,absorbance\n" + b"4000.0,0.01\n" * 40


def header_promising_entries():
    return W.pack_file_header(file_type=11, entries=[(325, 400)], num_sections=50)


def single_with_values_cut():
    data = single_spectrum_file(values=[1.0] * 10)
    return data[:-6]


def single_without_header():
    b = W.SpaBuilder(file_type=1)
    b.add(3, bytes(8))
    return b.build()


def header_past_end():
    b = W.SpaBuilder(file_type=1)
    b.add_entry(2, 10 ** 9)
    return b.build()


@pytest.mark.parametrize("data, message", [
    (b"", "the file is empty"),
    (text_file(), "neither a single spectrum (1) nor a series (11) (the content looks like text)"),
    (elf_binary(), "not a spectral data file (the content looks like an ELF program binary)"),
    (single_spectrum_file(values=[1.0])[:303], "303 bytes are too short for the file header (304 bytes)"),
    (header_promising_entries(), "the directory of 50 compact entries (800 bytes from offset 304) runs past "
                                 "the end of the file (320 bytes)"),
    (W.pack_file_header(file_type=10), "file type 10 (offset 288)"),
    (single_without_header(), "without a main spectral header"),
    (header_past_end(), "the main spectral header at offset 1000000000 (140 bytes) runs past the end"),
    (single_spectrum_file(values=[1.0, 2.0], values_section=False), "no values section (section type 3)"),
    (series_bytes(link_type=1, link=dict(filename=b"elsewhere.dat")),
     'linked external data (link type 1, file name "elsewhere.dat")'),
    (series_bytes(array_element_size=2), "element size 2"),
    (series_bytes(omit=(325,)), "without a series header"),
    (series_bytes(omit=(300,)), "without a disk resident array"),
    (series_bytes(section_number=3, blob_section_type=302, link=dict(section_number=5)),
     "number 5 among the sections of type 302, and the directory holds 4 of them"),
    (series_bytes(spectral_hdr=False), "no main spectral header, so the number of points"),
    (series_bytes(n_spectra=1, num_points=4, spectral=dict(num_points=2 ** 32 - 1), max_spectra=1),
     "num_points 4294967295 of 4-byte values"),
    (series_bytes(n_spectra=0, num_points=0, mini_hdr=False, max_spectra=4 * 10 ** 9),
     "no byte of the file stands for the 4000000000 spectra"),
])
@pytest.mark.parametrize("opener", [karvo.open, karvo.read])
def test_format_errors_name_the_file_and_the_reason(write, fds, data, message, opener):
    path = write(data, "sample")
    with pytest.raises(karvo.FormatError) as e:
        opener(path)
    assert str(e.value).startswith(path + ": ") and message in str(e.value)
    assert isinstance(e.value, ValueError) and e.value.path == path
    fds.assert_clean()


def test_dimensions_past_the_end(write, fds):
    data = bytearray(series_bytes(n_spectra=1, num_points=2))
    sf = SeriesFile(n_spectra=1, num_points=2)
    dra = sf.builder.offset(1)
    data[dra + 564:dra + 568] = (10 ** 6).to_bytes(4, "little")
    with pytest.raises(karvo.FormatError, match="lists 1000000 dimensions"):
        karvo.open(write(bytes(data)))
    fds.assert_clean()


def test_single_spectrum_with_values_cut(write, fds):
    with pytest.raises(karvo.TruncatedError, match="should hold 10 values .* the file holds 8 of them") as e:
        karvo.read(write(single_with_values_cut()))
    assert isinstance(e.value, EOFError)
    fds.assert_clean()


def test_file_system_errors_stay_oserrors(tmp_path, fds):
    with pytest.raises(FileNotFoundError) as e:
        karvo.open(tmp_path / "missing")
    assert e.value.filename == str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as e:
        karvo.open(os.fsencode(tmp_path / "missing"))
    assert e.value.filename == os.fsencode(tmp_path / "missing")
    with pytest.raises(IsADirectoryError):
        karvo.open(tmp_path)
    with pytest.raises(karvo.FormatError, match="not a regular file"):
        karvo.open("/dev/null")
    fds.assert_clean()


def test_bytes_and_pathlike_paths(write, tmp_path):
    path = write(single_spectrum_file(values=[2.0]), "spectrum")
    assert karvo.read(os.fsencode(path))[1].tolist() == [2.0]
    assert karvo.open(tmp_path / "spectrum").path == path


def test_wrong_kind_for_the_class(write, fds):
    single = write(single_spectrum_file(values=[1.0]))
    series = write(series_bytes())
    with pytest.raises(karvo.FormatError, match="single-spectrum file, not a series"):
        karvo.Series(single)
    with pytest.raises(karvo.FormatError, match="series file, not a single spectrum"):
        karvo.Spectrum(series)
    fds.assert_clean()


def test_bad_truncated_option(write):
    with pytest.raises(ValueError, match="truncated must be one of"):
        karvo.open(write(series_bytes()), truncated="skip")


# -- cut series -------------------------------------------------------------------

def cut_points(sf):
    lay = sf.layout
    return [
        (lay.spectrum_offset(3), 3, 0),                        # on a spectrum boundary
        (lay.spectrum_offset(3) + 5, 3, 5),                    # inside a mini header
        (lay.values_offset(5) + 3, 5, lay.mini_size + 3),      # inside the values
        (lay.spectrum_offset(0) + 1, 0, 1),                    # inside the first spectrum
    ]


@pytest.mark.parametrize("layout", [dict(mini_header_type=3), dict(mini_hdr=False, element_size=8)])
@pytest.mark.parametrize("which", range(4))
def test_cut_series_warns_and_gives_what_it_holds(tmp_path, fds, layout, which):
    sf = SeriesFile(n_spectra=8, num_points=4, **layout)
    cut, held, partial = cut_points(sf)[which]
    if partial >= sf.layout.stride:
        pytest.skip("no such cut in this layout")
    path, _ = written(tmp_path, "cut", cut, n_spectra=8, num_points=4, **layout)
    with pytest.warns(karvo.TruncatedWarning) as w:
        s = karvo.open(path)
    message = str(w[0].message)
    assert message.startswith(path + ": the series header promises 8 spectra, the file holds %d" % held)
    assert w[0].filename == __file__
    for opener in (karvo.read, karvo.Series):
        with pytest.warns(karvo.TruncatedWarning) as w2:
            opener(path)
        assert w2[0].filename == __file__
    assert (w[0].message.expected, w[0].message.found) == (8, held)
    assert (len(s), s.expected_spectra, s.truncated) == (held, 8, True)
    want = np.array([sf.values(k) for k in range(held)]).reshape(held, 4)
    assert np.array_equal(np.asarray(s), want)
    if sf.mini_hdr:
        assert len(s.meta) == len(s.titles) == held
    with pytest.raises(IndexError):
        s[held]
    s.close()

    with pytest.raises(karvo.TruncatedError) as e:
        karvo.open(path, truncated="raise")
    assert (e.value.expected, e.value.found) == (8, held) and str(e.value) == message
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(karvo.open(path, truncated="ignore")) == held
        x, Y = karvo.read(path, truncated="ignore")
        assert np.array_equal(Y, want)
    fds.assert_clean()


def test_errors_and_warnings_pickle_with_their_details():
    for e in (karvo.FormatError("p: bad", "p"), karvo.TruncatedError("p: cut", "p", 8, 3),
              karvo.TruncatedWarning("p: cut", "p", 8, 3)):
        again = pickle.loads(pickle.dumps(e))
        assert type(again) is type(e) and str(again) == str(e)
        assert vars(again) == vars(e)


def test_warning_raised_as_error_closes_the_file(tmp_path, fds):
    path, _ = written(tmp_path, "cut", lambda lay: lay.spectrum_offset(2), n_spectra=4, num_points=2)
    with warnings.catch_warnings():
        warnings.simplefilter("error", karvo.TruncatedWarning)
        with pytest.raises(karvo.TruncatedWarning) as e:
            karvo.open(path)
        fds.assert_clean()      # while the traceback still holds the frames
        with pytest.raises(karvo.TruncatedWarning):
            karvo.read(path)
        fds.assert_clean()
    assert e.value.found == 2


def test_series_cut_inside_its_data_headers(tmp_path, fds):
    path, _ = written(tmp_path, "cut", lambda lay: lay.blob_offset + 150, n_spectra=3, num_points=4, bench_hdr=True)
    with pytest.raises(karvo.TruncatedError, match="bench info of the series data"):
        karvo.open(path, truncated="ignore")
    fds.assert_clean()


def test_file_cut_after_open_is_reported_on_read(tmp_path, fds):
    path, sf = written(tmp_path, "shrinking", n_spectra=50, num_points=100, mini_header_type=3)
    with karvo.open(path) as s:
        os.truncate(path, sf.layout.spectrum_offset(20))
        assert np.array_equal(s[3], np.array(sf.values(3), np.float32))
        with pytest.raises(karvo.TruncatedError, match="became shorter"):
            np.asarray(s)
        with pytest.raises(karvo.TruncatedError):
            s.meta
    fds.assert_clean()


def test_more_spectra_than_promised_are_not_read(tmp_path):
    path, _ = written(tmp_path, "longer", n_spectra=6, num_points=2, max_spectra=4)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = karvo.open(path)
    assert len(s) == 4 and not s.truncated


def test_main_header_only_in_a_longer_section(write):
    # A main spectral header section longer than the header itself is fine.
    b = W.SpaBuilder(file_type=1, file_id=b"long")
    b.add(2, pack_main_spectral_header(num_points=2) + bytes(60))
    b.add(3, np.array([1.5, 2.5], "<f4").tobytes())
    assert karvo.read(write(b.build()))[1].tolist() == [1.5, 2.5]
