"""Loggers of the kit.

Every logger that ``get_logger`` returns writes through one handler shared by
the whole kit: one line per record on standard error, "time level name:
message". The level comes from the environment variable ``NALO_LOG_LEVEL``
(a level name such as DEBUG, INFO, WARNING, ERROR, or a number; default
INFO), read when a logger is first configured. Any other value is reported
in a warning and INFO used instead.

Kit loggers do not pass their records on to the root logger, so a node whose
own code configures the root logger does not print every kit line twice. To
send kit lines somewhere else as well, add a handler to the logger (or set
its ``propagate`` back to True).
"""

import logging
import os
import sys
import threading

LEVEL_ENV = "NALO_LOG_LEVEL"
DEFAULT_LEVEL = logging.INFO
LINE_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

_lock = threading.Lock()
_handler: logging.Handler | None = None


class _StderrHandler(logging.StreamHandler):
    """A stream handler that writes to whatever ``sys.stderr`` is at the time
    of each record, so that a redirected stderr (a test capture, a daemon's
    log file) is followed."""

    def __init__(self):
        super().__init__(sys.stderr)

    @property
    def stream(self):
        return sys.stderr

    @stream.setter
    def stream(self, _value):
        pass


def _level_from_env() -> tuple[int, str | None]:
    """Return the configured level, and the variable's text when it names no
    level (the default level is used then)."""
    text = os.environ.get(LEVEL_ENV, "").strip()
    if not text:
        return DEFAULT_LEVEL, None
    # ASCII digits only: str.isdigit() also takes "²", which int() refuses,
    # and an import of the kit must never fail over a log level.
    digits = text[1:] if text.startswith("-") else text
    if digits.isascii() and digits.isdigit():
        try:
            return int(text), None
        except ValueError:  # more digits than int() reads
            return DEFAULT_LEVEL, text
    level = logging.getLevelName(text.upper())
    # getLevelName answers an unknown name with the text "Level X".
    if isinstance(level, int):
        return level, None
    return DEFAULT_LEVEL, text


def kit_handler() -> logging.Handler:
    """Return the kit's one handler, creating it on first use."""
    global _handler
    with _lock:
        if _handler is None:
            handler = _StderrHandler()
            handler.setFormatter(logging.Formatter(LINE_FORMAT))
            _handler = handler
        return _handler


def get_logger(name: str) -> logging.Logger:
    """Return the standard-library logger ``name``, writing through the kit's
    handler.

    The first call for a name attaches the handler and sets the level from
    ``NALO_LOG_LEVEL``; later calls return the same logger untouched (no
    second handler, and a level the caller has changed since stays)."""
    logger = logging.getLogger(name)
    handler = kit_handler()
    bad_level = None
    with _lock:
        if handler not in logger.handlers:
            level, bad_level = _level_from_env()
            logger.addHandler(handler)
            logger.setLevel(level)
            logger.propagate = False
    if bad_level is not None:
        logger.warning(
            f"{LEVEL_ENV}={bad_level!r} names no log level; "
            f"using {logging.getLevelName(DEFAULT_LEVEL)}"
        )
    return logger
