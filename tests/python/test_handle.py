import gc
import struct

import pytest
import ZelkorHardwareAPI as zh
from recorder import Recorder

INFO = bytes([0xD0, 0x05, 0x34, 0x12, 0x07, 0x02, 0x09])
ERROR = bytes([0xDF, 0x01, 0x00, 0x07])
QUATERNION = [1.0, -0.5, 0.25, 0.10000000149011612]  # 0.1 as f32, widened exactly


def status(user_data=b""):
    return (
        b"\xda"
        + struct.pack("<HBB4fB", 0x0201, 3, 0x80, *QUATERNION, len(user_data))
        + bytes(user_data)
    )


@pytest.fixture
def stream(device):
    return zh.SerialStream(device.path)


@pytest.mark.parametrize(
    "message,result,call",
    [
        (INFO, 6, ("info", (5, 0x1234, 7, 2, 9))),
        (status(), 21, ("status", (0x0201, QUATERNION, 3, 0x80, 0, []))),
        (
            status(b"\xaa\xbb\xcc"),
            24,
            ("status", (0x0201, QUATERNION, 3, 0x80, 3, [170, 187, 204])),
        ),
        (
            status(bytes(range(255))),
            276,
            ("status", (0x0201, QUATERNION, 3, 0x80, 255, list(range(255)))),
        ),
        (ERROR, 3, ("error", (1, 7))),
    ],
    ids=["info", "status, no user data", "status, 3 bytes", "status, 255 bytes", "error"],
)
@pytest.mark.parametrize("argument", [(), (7,)], ids=["no argument", "data_received 7"])
def test_subclass_receives_every_message_kind(device, stream, message, result, call, argument):
    handle = Recorder(stream)
    device.send(message + b"\x55")
    assert handle.Receive(*argument) == result
    assert handle.messages == [call]
    name, args = call
    assert [type(a) for a in handle.messages[0][1]] == [type(a) for a in args]
    if name == "status":
        assert all(type(x) is float for x in handle.messages[0][1][1])
    assert handle.Receive() == -1, "the byte after the message is the next code"
    assert len(handle.messages) == 1


def test_plain_handle_consumes_messages_silently(device, stream):
    handle = zh.Handle(stream)
    assert type(handle) is zh.Handle
    device.send(INFO + status(b"\x01\x02\x03") + b"\x55" + ERROR + status(bytes(16)))
    assert [handle.Receive() for _ in range(5)] == [6, 24, -1, 3, 37]
    assert device.drain() == b""


@pytest.mark.parametrize(
    "missing,message",
    [
        ("OnReceiveHandleInfo", INFO),
        ("OnReceiveHandleStatusMessage", status(b"\x01")),
        ("OnReceiveHandleErrorResponse", ERROR),
    ],
)
def test_missing_callback_raises_naming_it_and_consumes_the_message(
    device, stream, missing, message
):
    partial = type(
        "Partial",
        (zh.Handle,),
        {
            name: (lambda self, *args: None)
            for name in (
                "OnReceiveHandleInfo",
                "OnReceiveHandleStatusMessage",
                "OnReceiveHandleErrorResponse",
            )
            if name != missing
        },
    )
    handle = partial(stream)
    device.send(message + INFO)
    text = f'Tried to call pure virtual function "Zelkor::HardwareAPI::Devices::Handle::{missing}"'
    with pytest.raises(RuntimeError) as caught:
        handle.Receive()
    assert str(caught.value) == text
    if missing != "OnReceiveHandleInfo":
        assert handle.Receive() == 6


class Failure(Exception):
    pass


def test_raising_callback_propagates_unchanged(device, stream):
    failure = Failure("from the callback")

    class Raising(Recorder):
        def OnReceiveHandleStatusMessage(self, *args):
            super().OnReceiveHandleStatusMessage(*args)
            raise failure

    handle = Raising(stream)
    device.send(status(b"\x01\x02") + ERROR)
    with pytest.raises(Failure) as caught:
        handle.Receive()
    assert caught.value is failure
    assert handle.Receive() == 3
    assert [name for name, _ in handle.messages] == ["status", "error"]


def test_calling_the_base_method_from_its_override_raises(device, stream):
    class Chaining(Recorder):
        def OnReceiveHandleInfo(self, *args):
            zh.Handle.OnReceiveHandleInfo(self, *args)

    handle = Chaining(stream)
    device.send(INFO)
    with pytest.raises(RuntimeError, match="pure virtual function.*OnReceiveHandleInfo"):
        handle.Receive()


def test_callback_that_is_not_callable(device, stream):
    class NotCallable(Recorder):
        OnReceiveHandleErrorResponse = 5

    handle = NotCallable(stream)
    device.send(ERROR)
    with pytest.raises(TypeError, match="Object of type 'int' is not an instance of 'function'"):
        handle.Receive()


def test_callbacks_called_from_python(stream):
    handle = Recorder(stream)
    # The binding's methods make the virtual call, which the trampoline hands back to Python;
    # single values become the first element of their buffer, the rest zeros.
    zh.Handle.OnReceiveHandleStatusMessage(handle, 1, 2.5, 3, 4, 3, 9)
    zh.Handle.OnReceiveHandleInfo(handle)
    zh.Handle.OnReceiveHandleErrorResponse(handle, error_code=8)
    assert handle.messages == [
        ("status", (1, [2.5, 0.0, 0.0, 0.0], 3, 4, 3, [9, 0, 0])),
        ("info", (0, 0, 0, 0, 0)),
        ("error", (0, 8)),
    ]
    # The record overload runs the library's empty body, never Python.
    record = zh.HandleInfoResponse(1, 2, 3, 4, 5)
    zh.Handle.OnReceiveHandleInfo(handle, record)
    zh.Handle.OnReceiveHandleInfo(handle, response=record)
    assert len(handle.messages) == 3

    plain = zh.Handle(stream)
    assert plain.OnReceiveHandleStatusMessage(1, 2.5, 3, 4, 3, 9) is None
    with pytest.raises(TypeError):
        plain.OnReceiveHandleStatusMessage(1)  # quaternion and user_data default to None


def test_send_device_wakeup(device, stream):
    zh.Handle(stream).SendDeviceWakeup()
    assert device.receive(2, 0.3) == b"\x0a"


@pytest.mark.parametrize(
    "args,sent",
    [
        ((0x1234, 0, 0x55), b"\xdb\x34\x12\x00"),
        ((0x0102, 3, 0xAA), b"\xdb\x02\x01\x03\xaa\x00\x00"),
        ((0x0102, 3, b"\xaa\xbb\xcc"), b"\xdb\x02\x01\x03\xaa\xbb\xcc"),
        ((0x0102, 2, bytearray(b"\xaa\xbb\xcc")), b"\xdb\x02\x01\x02\xaa\xbb"),
        ((0xFFFF, 3, [0, 128, 255]), b"\xdb\xff\xff\x03\x00\x80\xff"),
        ((1, 2, (7, 8)), b"\xdb\x01\x00\x02\x07\x08"),
        ((1, 2, memoryview(b"\x07\x08")), b"\xdb\x01\x00\x02\x07\x08"),
        ((1, 0, b""), b"\xdb\x01\x00\x00"),
        ((1, 255, bytes(range(255)) + b"ignored"), b"\xdb\x01\x00\xff" + bytes(range(255))),
    ],
    ids=[
        "int, no length",
        "int",
        "bytes",
        "bytearray, shorter length",
        "list",
        "tuple",
        "memoryview",
        "empty bytes",
        "255 bytes of a longer buffer",
    ],
)
def test_send_handle_state(device, stream, args, sent):
    assert zh.Handle(stream).SendHandleState(*args) is None
    assert device.receive(len(sent) + 1, 0.3) == sent


@pytest.mark.parametrize(
    "args,error",
    [
        ((1, 4, b"\x01\x02\x03"), ValueError),
        ((1, 1, []), ValueError),
        ((1, 1, [256]), TypeError),
        ((1, 1, [-1]), TypeError),
        ((1, 1, [1.0]), TypeError),
        ((1, 1, "a"), TypeError),
        ((1, 1, 256), TypeError),
        ((1, 0), TypeError),  # user_data defaults to None
        ((65536, 0, b""), TypeError),
        ((1, 256, bytes(256)), TypeError),
    ],
)
def test_send_handle_state_rejects_bad_arguments_and_sends_nothing(device, stream, args, error):
    with pytest.raises(error):
        zh.Handle(stream).SendHandleState(*args)
    assert device.drain() == b""


def test_handle_needs_a_stream_and_keeps_it_alive(device):
    with pytest.raises(TypeError, match="SerialStream is required"):
        zh.Handle(None)
    handle = Recorder(zh.SerialStream(device.path))
    gc.collect()
    device.send(ERROR)
    assert handle.Receive() == 3


def test_device_has_no_constructor():
    with pytest.raises(TypeError):
        zh.Device()
    assert not issubclass(zh.Handle, zh.Device)


def test_docstrings():
    assert "send handle state" in zh.Handle.SendHandleState.__doc__
    assert zh.Handle.Receive.__doc__.split("\n\n")[1] == "Receive data from the handle"
    assert "data_received: " in zh.Handle.Receive.__doc__


def test_records():
    error = zh.HandleErrorResponse(0xFFFF, 7)
    assert (error.device_id, error.error_code) == (0xFFFF, 7)
    error.error_code = 9
    assert error.error_code == 9

    info = zh.HandleInfoResponse(1, 2, 3, 4, 5)
    assert (
        info.device_id,
        info.device_model_number,
        info.hardware_version,
        info.firmware_version,
    ) == (2, 3, 4, 5)
    assert not hasattr(info, "tool_data_remaining")

    record = zh.HandleStatusResponse(1, 2.5, 3, 4, 3, 9)
    assert (
        record.device_id,
        record.error_flag,
        record.handle_connection_sensor,
        record.user_data_length,
    ) == (1, 3, 4, 3)
    assert record.quaternion() == [2.5, 0.0, 0.0, 0.0]
    assert record.user_data() == [9, 0, 0]
    record.quaternion()[0] = 7.0
    record.user_data()[0] = 7
    assert record.quaternion()[0] == 2.5 and record.user_data()[0] == 9, "new lists each call"
    record.user_data_length = 255
    assert record.user_data() == [9] + [0] * 254
    record.user_data_length = 0
    assert record.user_data() == [] and len(record.quaternion()) == 4


@pytest.mark.parametrize(
    "make",
    [
        lambda: zh.HandleErrorResponse(65536, 0),
        lambda: zh.HandleErrorResponse(0, 256),
        lambda: zh.HandleErrorResponse(-1, 0),
        lambda: zh.HandleErrorResponse(0),
        lambda: zh.HandleInfoResponse(256, 0, 0, 0, 0),
        lambda: zh.HandleInfoResponse(0, 0, 0, 0, 1.5),
        lambda: zh.HandleStatusResponse(0, 0.0, 0, 0, 256, 0),
        lambda: zh.HandleStatusResponse(0, None, 0, 0, 0, 0),
        lambda: zh.HandleStatusResponse(0, 0.0, 0, 0, 1, [1]),
    ],
)
def test_records_reject_out_of_range_values(make):
    with pytest.raises(TypeError):
        make()


def test_record_attributes_reject_out_of_range_values():
    error = zh.HandleErrorResponse(1, 2)
    with pytest.raises(TypeError):
        error.device_id = 65536
    with pytest.raises(TypeError):
        zh.HandleStatusResponse(0, 0.0, 0, 0, 0, 0).user_data_length = 256
    assert error.device_id == 1
