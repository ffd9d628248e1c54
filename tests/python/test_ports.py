"""list_ports and the checks find_devices makes before it opens anything."""

import math
import os
import sys

import pytest
import ZelkorHardwareAPI as zh


def test_list_ports_on_this_machine():
    ports = zh.list_ports()
    assert isinstance(ports, list)
    for port in ports:
        assert type(port) is zh.PortInfo
        assert isinstance(port.device, str) and port.description
        if sys.platform.startswith("linux"):
            assert os.path.exists(port.device)
            assert not port.device.startswith("/dev/pts/")
    assert [p.device for p in ports] == sorted({p.device for p in ports}, key=natural)


def natural(name):
    head = name.rstrip("0123456789")
    return head, int(name[len(head) :] or -1)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads sysfs")
def test_list_ports_reads_the_given_root(tmp_path):
    usb = tmp_path / "sys/devices/usb1/1-1"
    tty = usb / "1-1:1.0/ttyUSB3"
    (tty / "tty/ttyUSB3").mkdir(parents=True)
    for name, value in {"idVendor": "0403", "idProduct": "6015", "product": "Ünïcode"}.items():
        (usb / name).write_text(value + "\n", encoding="utf-8")
    (usb / "1-1:1.0/bInterfaceNumber").write_text("00\n")
    os.symlink(tmp_path / "sys/bus/usb-serial", tty / "subsystem")
    os.symlink(tmp_path / "sys/bus/usb-serial/drivers/ftdi_sio", tty / "driver")
    os.symlink("../..", tty / "tty/ttyUSB3/device")
    (tmp_path / "sys/class/tty").mkdir(parents=True)
    os.symlink(tty / "tty/ttyUSB3", tmp_path / "sys/class/tty/ttyUSB3")
    (tmp_path / "dev").mkdir()
    (tmp_path / "dev/ttyUSB3").touch()

    (port,) = zh.list_ports(root=tmp_path)
    device = str(tmp_path / "dev/ttyUSB3")
    assert repr(port) == (
        f"PortInfo(device={device!r}, by_id=None, description='Ünïcode', manufacturer=None, "
        "vid=0x0403, pid=0x6015, serial_number=None, driver='ftdi_sio', latency_timer_ms=None, "
        "console=False)"
    )
    assert (port.vid, port.pid, port.serial_number) == (0x0403, 0x6015, None)
    assert zh.list_ports(root=str(tmp_path / "nothing")) == []


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"ports": "/dev/ttyUSB0"}, TypeError),
        ({"ports": b"/dev/ttyUSB0"}, TypeError),
        ({"ports": 3}, TypeError),
        ({"ports": ["/dev/ttyUSB0", 3]}, TypeError),
        ({"ports": ["/dev/tty\0USB0"]}, ValueError),
        ({"ports": [], "timeout": 0}, ValueError),
        ({"ports": [], "timeout": -1}, ValueError),
        ({"ports": [], "timeout": math.nan}, ValueError),
        ({"ports": [], "timeout": math.inf}, ValueError),
        ({"ports": [], "timeout": 3601}, ValueError),
        ({"ports": [], "timeout": "1"}, TypeError),
    ],
)
def test_find_devices_refuses_bad_arguments(arguments, error):
    with pytest.raises(error):
        zh.find_devices(**arguments)


def test_records_are_made_by_the_module_only():
    for record in (zh.PortInfo, zh.FoundDevice):
        with pytest.raises(TypeError):
            record()
    assert zh.find_devices([], timeout=0.1) == []
    assert zh.find_devices(ports=iter(()), timeout=0.1) == []
