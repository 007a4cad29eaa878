"""Loggers of the kit."""

import logging


def get_logger(name):
    """Return the standard-library logger called ``name``."""
    return logging.getLogger(name)
