import contextlib
import io

import pytest
import ZelkorHardwareAPI as zh


def test_versions_and_docstrings():
    assert zh.get_cpp_version() == "0.0.6-pre"
    assert zh.__version__ == "dev"
    assert zh.__doc__ == "Python Implementation of the Zelkor Hardware API"
    assert zh.get_cpp_version.__doc__.endswith("Get the version of the CPP library\n")
    assert zh.print_cpp_version.__doc__.endswith("Print the version of the CPP library\n")
    assert zh.SerialStream.__doc__.startswith("A serial port that the devices talk through")
    assert zh.UUID.__doc__.startswith("A device identity: 16 bytes")


def test_print_cpp_version_writes_to_the_process_stdout(capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected):
        assert zh.print_cpp_version() is None
    assert redirected.getvalue() == ""
    assert capfd.readouterr().out == "Library version: 0.0.6-pre\n"


@pytest.mark.parametrize("args", [(), ("a", "b"), (3,), (None,), (["COM1"],)])
def test_serial_stream_rejects_wrong_arguments(args):
    with pytest.raises(TypeError):
        zh.SerialStream(*args)


@pytest.mark.parametrize("args", [(1,), (None,)])
def test_uuid_takes_no_arguments(args):
    assert isinstance(zh.UUID(), zh.UUID)
    with pytest.raises(TypeError):
        zh.UUID(*args)


def test_missing_port_gives_a_silent_stream(capfd):
    stream = zh.SerialStream("/dev/zelkor-no-such-port")
    assert isinstance(stream, zh.SerialStream)
    assert capfd.readouterr() == ("", "")
