"""Exceptions of the user's code as Node.js shows them.

A Catch node gets "TypeName: text" as the message, the type name as the
error's code and the traceback as its stack. The traceback shows the user's
frames only: the worker's own frames (this package) say nothing about the
user's fault.
"""

import os
import traceback

_HOST_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _is_host_frame(frame):
    return os.path.abspath(frame.filename).startswith(_HOST_DIR)


def _prune(summary, seen):
    if summary is None or id(summary) in seen:
        return
    seen.add(id(summary))
    summary.stack = traceback.StackSummary.from_list(
        [frame for frame in summary.stack if not _is_host_frame(frame)]
    )
    _prune(summary.__cause__, seen)
    _prune(summary.__context__, seen)
    for group in getattr(summary, "exceptions", None) or ():
        _prune(group, seen)


def type_name(error):
    kind = type(error)
    if kind.__module__ in ("builtins", "__main__") or kind.__module__.startswith("nalo_node_"):
        return kind.__qualname__
    return f"{kind.__module__}.{kind.__qualname__}"


def describe(error):
    """``{"type", "message", "stack"}`` of an exception of the user's code."""
    summary = traceback.TracebackException.from_exception(error)
    _prune(summary, set())
    text = str(error)
    name = type_name(error)
    return {
        "type": name,
        "message": f"{name}: {text}" if text else name,
        "stack": "".join(summary.format()).rstrip("\n"),
    }
