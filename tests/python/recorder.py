"""A Handle subclass that records every message its callbacks receive."""

from __future__ import annotations

import time
from typing import Any, Callable, Tuple

import ZelkorHardwareAPI as zh

# A callback's arguments: ints, and for a status message the quaternion and the user data as
# lists.
Values = Tuple[Any, ...]


class Recorder(zh.Handle):
    def __init__(self, stream: zh.SerialStream) -> None:
        super().__init__(stream)
        self.messages: list[tuple[str, Values]] = []  # (kind, the callback's arguments), in order

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
        /,
    ) -> None:
        self.messages.append(
            (
                "info",
                (
                    tool_data_remaining,
                    device_id,
                    device_model_number,
                    hardware_version,
                    firmware_version,
                ),
            )
        )

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
        /,
    ) -> None:
        self.messages.append(
            (
                "status",
                (
                    device_id,
                    quaternion,
                    error_flag,
                    hall_effect_sensor_level,
                    user_data_length,
                    user_data,
                ),
            )
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int, /) -> None:
        self.messages.append(("error", (device_id, error_code)))

    def until(
        self, kind: str, test: Callable[[Values], bool] = lambda values: True, limit: float = 5.0
    ) -> Values:
        """Receives until a message of `kind` passes `test`; returns its values."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            seen = len(self.messages)
            self.Receive()
            for got, values in self.messages[seen:]:
                if got == kind and test(values):
                    return values
        raise AssertionError(f"no matching {kind} message within {limit} s: {self.messages[-5:]}")
