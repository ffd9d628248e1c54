"""A Handle subclass that records every message its callbacks receive."""
import time

import ZelkorHardwareAPI as zh


class Recorder(zh.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.messages = []  # (kind, the callback's arguments), in order

    def OnReceiveHandleInfo(self, *args):
        self.messages.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.messages.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.messages.append(("error", args))

    def until(self, kind, test=lambda values: True, limit=5.0):
        """Receives until a message of `kind` passes `test`; returns its values."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            seen = len(self.messages)
            self.Receive()
            for got, values in self.messages[seen:]:
                if got == kind and test(values):
                    return values
        raise AssertionError(f"no matching {kind} message within {limit} s: {self.messages[-5:]}")
