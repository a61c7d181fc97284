"""A campaign folder as a lab leaves one, made with our own writer: series
titled or not, with mini headers of two types and without, files of another
axis, a cut series, and files that aren't spectral data."""
from xarray_files import series

# on the axis most files share: 8 points from 4000 to 400
SHARED = ["a_titled", "b_untitled", "c_plain", "f_cut"]
OTHER_AXIS = ["d_points", "e_range"]      # 9 points; x from 3000
NOT_SPECTRAL = ["g_picture.kvr", "h_empty"]
CUT_HOLDS = 2                             # of the 4 spectra f_cut's header promises


def make_campaign(folder):
    """Writes the campaign into folder (made if needed); returns it."""
    folder.mkdir(exist_ok=True)
    series(folder / "a_titled", n_spectra=3, num_points=8, title="run A")
    series(folder / "b_untitled", n_spectra=2, num_points=8, seed=100.0, mini_header_type=3,
           mini={"start_time": 3_000_000_000})
    series(folder / "c_plain", n_spectra=2, num_points=8, seed=200.0, mini_hdr=False)
    series(folder / "d_points", n_spectra=2, num_points=9, seed=400.0)
    series(folder / "e_range", n_spectra=2, num_points=8, seed=500.0, spectral=dict(first_x=3000.0))
    cut = series(folder / "f_cut", n_spectra=4, num_points=8, seed=300.0)
    with open(folder / "f_cut", "r+b") as fh:
        fh.truncate(cut.layout.values_offset(CUT_HOLDS) + 5)
    (folder / "g_picture.kvr").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(600))
    (folder / "h_empty").write_bytes(b"")
    return folder
