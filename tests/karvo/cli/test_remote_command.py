"""The karvo command on URLs: credentials and endpoint from the environment,
--storage-option for the rest; real servers on 127.0.0.1 (tests/servers.py)."""
import json
import os
import shutil
import socket
import subprocess
import sys

import pytest

from karvo.cli import main
from servers import s3_environment
from xarray_files import series


@pytest.fixture
def run_file(tmp_path):
    path = str(tmp_path / "run.series")
    series(path, n_spectra=5, num_points=24, title="remote run")
    return path


def karvo_command(*args, env=None):
    """The command in a child process: what a user's shell runs."""
    code = "import sys; from karvo.cli import main; sys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                          text=True, timeout=120, env=env)


@pytest.mark.parametrize("given, expected", [
    ("anon=true", ("anon", True)),
    ("block_size=1048576", ("block_size", 1048576)),
    ('client_kwargs={"endpoint_url": "http://127.0.0.1:9"}',
     ("client_kwargs", {"endpoint_url": "http://127.0.0.1:9"})),
    ("region=eu-west-1", ("region", "eu-west-1")),
    ("token=", ("token", "")),
    ("note=a=b", ("note", "a=b")),
])
def test_storage_options_are_json_or_text(given, expected):
    from karvo.cli import build_parser
    args = build_parser().parse_args(["info", "--storage-option", given, "x"])
    assert args.storage_options == [expected]


@pytest.mark.parametrize("given", ["anon", "=true", " =1"])
def test_a_storage_option_without_a_key_is_a_usage_error(given, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["info", "--storage-option", given, "x"])
    assert stop.value.code == 2 and "KEY=VALUE" in capsys.readouterr().err


def test_info_of_an_s3_object_with_credentials_from_the_environment(s3, run_file):
    url = s3.put(run_file, "run")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    p = karvo_command("info", "--json", url, env=env)
    assert p.returncode == 0, p.stderr
    remote, = json.loads(p.stdout)
    local, = json.loads(karvo_command("info", "--json", run_file, env=env).stdout)
    assert remote.pop("path") == url
    local.pop("path")
    assert remote == local and remote["spectra"] == 5

    missing = karvo_command("info", url + "-not-there", env=env)
    assert missing.returncode == 1
    assert missing.stderr.startswith(f"karvo: {url}-not-there: ")


def test_storage_options_reach_the_file_system(s3, run_file, monkeypatch, capsys, tmp_path):
    url = s3.put(run_file, "run-options")
    monkeypatch.delenv("AWS_ENDPOINT_URL")        # only the option says where
    given = ["--storage-option", "client_kwargs=" + json.dumps({"endpoint_url": s3.endpoint})]
    assert main(["info", *given, url]) == 0
    assert "remote run" in capsys.readouterr().out
    # the NetCDF export opens the object again through xarray, with them
    xr = pytest.importorskip("xarray")
    assert main(["export", *given, url, "-o", str(tmp_path / "remote.nc")]) == 0
    assert main(["export", run_file, "-o", str(tmp_path / "local.nc")]) == 0
    with xr.open_dataset(tmp_path / "remote.nc") as got, \
            xr.open_dataset(tmp_path / "local.nc") as expected:
        assert got.attrs.pop("source") == url
        assert expected.attrs.pop("source") == os.path.abspath(run_file)
        xr.testing.assert_identical(got, expected)


def test_a_url_the_storage_layer_refuses_is_a_file_not_read(s3, monkeypatch, capsys):
    """Not a fault of karvo's ("please report this"): a read error of that file."""
    with socket.socket() as probe:                  # a port nothing listens on
        probe.bind(("127.0.0.1", 0))
        closed = "http://127.0.0.1:%d" % probe.getsockname()[1]
    monkeypatch.setenv("AWS_ENDPOINT_URL", closed)
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "1")
    for url, error in [("s3://karvo-nowhere/run", "EndpointConnectionError"),
                       ("nosuchprotocol://host/run", "ValueError")]:
        assert main(["export", url, "-o", "never.csv"]) == 1
        assert main(["info", url, url]) == 1
        assert main(["refs", url, "-o", "never.json"]) == 1
        err = capsys.readouterr().err.splitlines()
        assert len(err) == 4 and all(line.startswith(f"karvo: {url}: {error}: ") for line in err), err


def test_export_and_plot_from_an_http_url(http_server, run_file, tmp_path):
    shutil.copyfile(run_file, os.path.join(http_server.root, "cmd-run"))
    url = http_server.url_of("cmd-run")
    assert main(["export", url, "-o", str(tmp_path / "remote.csv")]) == 0
    assert main(["export", run_file, "-o", str(tmp_path / "local.csv")]) == 0
    assert (tmp_path / "remote.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
    pytest.importorskip("matplotlib")
    assert main(["plot", url, "-o", str(tmp_path / "remote.png"), "--spectra", "1:3"]) == 0
    assert (tmp_path / "remote.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_test_server_gets_the_dummy_credentials_alone(monkeypatch, request):
    monkeypatch.setenv("AWS_SESSION_TOKEN", "a-real-token")
    monkeypatch.setenv("AWS_ENDPOINT_URL_S3", "https://s3.example.invalid")
    request.getfixturevalue("s3")
    import botocore.session
    credentials = botocore.session.get_session().get_credentials()
    assert (credentials.access_key, credentials.token) == ("karvo-test-key", None)
    assert "AWS_ENDPOINT_URL_S3" not in os.environ
