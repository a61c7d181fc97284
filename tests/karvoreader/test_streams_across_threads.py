"""Streams used from two threads at once, and streams entered while they run."""
import threading

import pytest

import karvo_writer as W
import karvoreader as K


@pytest.fixture
def series(tmp_path):
    path = str(tmp_path / "s.spa")
    return path, W.write_series(path, n_spectra=300, num_points=1024, bench_hdr=True)


def _walk_all(path, s, rounds, errors):
    try:
        for _ in range(rounds):
            g = K.open_file(path).open_series()
            assert next(g)[0]["n"] == s.num_points
            k = -1
            for k, (head, values) in enumerate(g):
                assert head["title"] == s.title(k)
                assert list(values) == s.values(k)
            assert k == s.n_spectra - 1
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        errors.append(e)


def test_two_threads_walk_separate_streams_of_one_file(series, fds):
    path, s = series
    errors = []
    ts = [threading.Thread(target=_walk_all, args=(path, s, 8, errors)) for _ in range(2)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert errors == []


@pytest.mark.parametrize("kind", ["next", "close"])
@pytest.mark.parametrize("stream", ["series", "linked"])
def test_stream_entered_while_running_refuses(series, fds, monkeypatch, kind, stream):
    # A mini header class that, while the stream runs, calls next() or
    # close() on that very stream.
    path, _ = series
    box = {}

    class Hostile(K.SeriesSpecheader):
        def __init__(self, f):
            super().__init__(f)
            next(box["g"]) if kind == "next" else box["g"].close()

    monkeypatch.setattr(K, "SeriesSpecheader", Hostile)
    if stream == "series":
        g = K.open_file(path).open_series()
    else:
        spa = K.SPAFile(path)
        g = spa.read(spa.find_indextype(300)).read_linked_data(spa, 5)
    box["g"] = g
    next(g)
    with pytest.raises(ValueError, match="generator already executing"):
        next(g)
    assert list(g) == []          # the failure finished the stream


def test_two_threads_sharing_one_stream_get_each_item_once(tmp_path, fds):
    # Spectra of 4 KiB are read ahead in batches, and the file reads let
    # other threads run: the thread that finds the stream busy is refused
    # (ValueError), and no spectrum is lost or repeated.
    path = str(tmp_path / "s.spa")
    W.write_series(path, n_spectra=1000, num_points=1024)
    g = K.open_file(path).open_series()
    got, errors = [], []

    def run():
        while True:
            try:
                got.append(next(g))
            except StopIteration:
                return
            except ValueError as e:
                if "already executing" not in str(e):
                    errors.append(e)
                    return
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
                return

    ts = [threading.Thread(target=run) for _ in range(2)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert errors == []
    titles = sorted(int(head["title"].split()[1]) for head, _ in got if "title" in head)
    assert titles == list(range(1000)) and len(got) == 1001
