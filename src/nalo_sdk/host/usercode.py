"""The user's code of one node: written in the node's dialog, a file, or a
module on the interpreter's path.

Code from the dialog runs as a module of its own, named ``nalo_node_<id>``;
its file name in tracebacks is ``<node NAME>`` (the node's name, else its
id), with its lines kept in ``linecache`` so that tracebacks quote them.
"""

import importlib
import importlib.util
import linecache
import re
import sys
import types

HOOKS = ("setup", "on_input", "close")


class UserCode:
    """The hooks that the user's code defines (None for a missing one)."""

    def __init__(self, module):
        self.module = module
        for hook in HOOKS:
            found = getattr(module, hook, None)
            if found is not None and not callable(found):
                raise TypeError(f"{hook} is a {type(found).__name__}, not a function")
            setattr(self, hook, found)


def _module_name(node_id):
    return "nalo_node_" + re.sub(r"\W", "_", str(node_id))


def inline_filename(node_id, name):
    return f"<node {name or node_id}>"


def load(source, node_id, name=""):
    """Loads ``source``: ``{"code": text}``, ``{"file": path}`` or
    ``{"module": dotted name}``. Errors of the user's code propagate."""
    if source.get("module"):
        return UserCode(importlib.import_module(source["module"]))
    module_name = _module_name(node_id)
    if source.get("file"):
        module_spec = importlib.util.spec_from_file_location(module_name, source["file"])
        if module_spec is None:
            raise ImportError(f"cannot load {source['file']!r} as Python code")
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[module_name] = module
        module_spec.loader.exec_module(module)
        return UserCode(module)
    text = source.get("code") or ""
    filename = inline_filename(node_id, name)
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    module = types.ModuleType(module_name)
    module.__file__ = filename
    sys.modules[module_name] = module
    exec(compile(text, filename, "exec"), module.__dict__)
    return UserCode(module)


def unload(node_id, name=""):
    sys.modules.pop(_module_name(node_id), None)
    linecache.cache.pop(inline_filename(node_id, name), None)
