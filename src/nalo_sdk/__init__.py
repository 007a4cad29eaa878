"""The nalo_sdk kit: services for the Python code of Node-RED nodes."""

import importlib


def _lazy_exports(package, exports):
    """``__getattr__`` and ``__dir__`` for a package whose names (``exports``:
    name -> module) are imported on first use and then kept."""
    namespace = vars(importlib.import_module(package))

    def __getattr__(name):
        module = exports.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(module), name)
        namespace[name] = value
        return value

    def __dir__():
        return sorted(set(namespace) | set(exports))

    return __getattr__, __dir__
