"""list_ports, and what find_devices refuses before it opens anything."""

import math
import os
import sys

import pytest
import ZelkorHardwareAPI as zh


def test_list_ports(tmp_path):
    ports = zh.list_ports()
    for port in ports:
        assert type(port) is zh.PortInfo and port.description
        assert repr(port).startswith(f"PortInfo(device={port.device!r}, by_id=")
        if sys.platform.startswith("linux"):
            assert os.path.exists(port.device) and not port.device.startswith("/dev/pts/")
    assert len({p.device for p in ports}) == len(ports)
    # A root with no sys/ in it: nothing to list (the listing itself is tested in C++).
    assert zh.list_ports(root=tmp_path) == zh.list_ports(root=bytes(tmp_path)) == []
    for record in (zh.PortInfo, zh.FoundDevice):
        with pytest.raises(TypeError):
            record()


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"ports": "/dev/ttyUSB0"}, TypeError),  # one name, not a list of them
        ({"ports": b"/dev/ttyUSB0"}, TypeError),
        ({"ports": 3}, TypeError),
        ({"ports": ["/dev/ttyUSB0", 3]}, TypeError),
        ({"ports": ["/dev/tty\0USB0"]}, ValueError),
        *[({"ports": [], "timeout": t}, ValueError) for t in (0, -1, math.nan, math.inf, 3601)],
        ({"ports": [], "timeout": "1"}, TypeError),
    ],
)
def test_find_devices_refuses_bad_arguments(arguments, error):
    with pytest.raises(error):
        zh.find_devices(**arguments)
    assert zh.find_devices(ports=iter(()), timeout=0.1) == []
