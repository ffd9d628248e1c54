"""zelkor serve takes the servo's settings from the library's table of them: an option for each,
with the table's default, that reaches the Servo as its keyword (a sentinel's number as None),
and a value out of range refused by the library's own check, naming the option."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

import pytest
import ZelkorHardwareAPI as zh
from zelkor import remote_commands
from zelkor.__main__ import parser

SERVE = ["serve", "/dev/ttyUSB0", "--key", "lab/arm1", "--listen", "tcp/127.0.0.1:7447"]
TABLE: Tuple[Tuple[Any, ...], ...] = getattr(zh, "_servo_settings")  # noqa: B009


def keywords(*options: str) -> Dict[str, Any]:
    return remote_commands.servo_keywords(parser().parse_args(SERVE + list(options)))


def test_every_setting_is_an_option_whose_default_is_the_servos(
    capsys: pytest.CaptureFixture[str],
) -> None:
    names = [row[0] for row in TABLE]
    # The table the Servo's keywords come from: every scalar setting, in its order.
    assert names[:3] == ["rate_hz", "max_force", "realtime"] and "law_timeout" in names
    assert "workspace_min" not in names
    signature = (zh.Servo.__init__.__doc__ or "").split("\n", 1)[0]
    with pytest.raises(SystemExit):
        parser().parse_args(["serve", "--help"])
    help_text = capsys.readouterr().out
    defaults = keywords()
    assert list(defaults) == names
    for name, _kind, default, _unit, _doc, _sentinel, _means in TABLE:
        assert f" {name}: " in signature, name
        assert remote_commands.option_of(name) in help_text, name
        assert defaults[name] == default, name


@pytest.mark.parametrize(
    "options,name,value",
    [
        (["--rate", "500"], "rate_hz", 500.0),
        (["--rate", "0"], "rate_hz", None),  # measured when the loop starts
        (["--max-force", "2.5"], "max_force", 2.5),
        (["--reply-timeout", "0.2"], "reply_timeout", 0.2),
        (["--give-up-after", "30"], "give_up_after", 30.0),
        (["--law-timeout", "0.2"], "law_timeout", 0.2),
        (["--max-failures", "7"], "max_failures", 7),
        (["--max-failures", "0"], "max_failures", None),
        (["--cpu", "-1"], "cpu", None),
        (["--cpu", "0"], "cpu", 0),
        (["--passivity"], "passivity", True),
        (["--pipeline"], "pipeline", True),
        (["--max-velocity", "0.5"], "max_velocity", 0.5),
    ],
)
def test_an_option_reaches_the_servo_as_its_keyword(
    options: List[str], name: str, value: Any
) -> None:
    assert keywords(*options)[name] == value


@pytest.mark.parametrize(
    "options,says",
    [
        (["--rate", "30000"], "--rate 30000: rate_hz must be from 1 to 20000 Hz, or 0 (measured)"),
        (["--rate", "-1"], "--rate -1: rate_hz must be from 1 to 20000 Hz, or 0 (measured)"),
        (["--max-force", "0"], "--max-force 0: max_force must be more than 0 and at most 20 N"),
        (
            ["--max-failures", "-1"],
            "--max-failures -1: max_failures must be from 1 to 4294967295, or 0 (left to "
            "give_up_after)",
        ),
        (
            ["--cpu", "65536"],
            "--cpu 65536: cpu must be from 0 to 65535, or -1 (left to the system)",
        ),
        (["--law-timeout", "0"], "--law-timeout 0: law_timeout must be from 0.001 to 60 s"),
        (["--reply-timeout", "nan"], "--reply-timeout nan: reply_timeout must be a finite number"),
    ],
)
def test_a_setting_out_of_range_is_refused_naming_its_option(options: List[str], says: str) -> None:
    with pytest.raises(ValueError) as error:
        keywords(*options)
    assert str(error.value) == says
