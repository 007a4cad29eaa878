import logging

import pytest

from nalo_sdk.logging import get_logger, kit_handler


@pytest.mark.parametrize(
    "env, level",
    [
        (None, logging.INFO),
        ("debug", logging.DEBUG),
        ("ERROR", logging.ERROR),
        ("15", 15),
        ("loud", logging.INFO),  # no level: the default, and a warning
        ("--10", logging.INFO),  # looked like a number to the check, not to int()
        ("²", logging.INFO),
    ],
)
def test_one_handler_and_level_from_env(monkeypatch, capsys, env, level):
    if env is None:
        monkeypatch.delenv("NALO_LOG_LEVEL", raising=False)
    else:
        monkeypatch.setenv("NALO_LOG_LEVEL", env)
    name = f"KIT_TEST_{env}"
    first = get_logger(name)
    assert get_logger(name) is first
    assert first.handlers == [kit_handler()]
    assert get_logger("OTHER_" + name).handlers == first.handlers
    assert first.level == level
    first.error("boom")
    lines = capsys.readouterr().err.splitlines()
    assert lines[-1].endswith(f"ERROR {name}: boom")
    assert ("names no log level" in lines[0]) == (level == logging.INFO and env is not None)
