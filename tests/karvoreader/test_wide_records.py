"""Records of one wide block (the main spectral header) are read natively
straight into their instance dictionary: the instance must show exactly what
the class shows when called on the same bytes from Python."""
import karvo_writer as W
import karvoreader as K


def test_a_wide_record_read_natively_is_the_record_the_class_reads(write):
    path = write(W.single_spectrum_file(values=[1.0, 2.0, 3.0]))
    spa = K.SPAFile(path)
    idx = spa.find_indextype(2)
    native = spa.read(idx)
    with open(path, "rb") as fh:
        fh.seek(spa.info.sections[idx].section_offset)
        by_class = K.MainSpectralHeader(fh)
    assert len(vars(native)) > 30
    assert list(vars(native).items()) == list(vars(by_class).items())  # names, values and order
    assert [getattr(native, k) for k in vars(by_class)] == list(vars(by_class).values())
    native.num_points = 7
    assert (native.num_points, vars(native)["num_points"]) == (7, 7)
