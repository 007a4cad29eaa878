"""Stand-ins for the kit objects that the cleanup is handed."""

from redis_glob import matches


class RecordingLogger:
    """Keeps (level, message) pairs; refuses anything but one str argument."""

    def __init__(self):
        self.lines = []

    def _log(self, level, msg, *rest, **kw):
        assert not rest and not kw and type(msg) is str
        self.lines.append((level, msg))

    def debug(self, msg, *rest, **kw):
        self._log("debug", msg, *rest, **kw)

    def info(self, msg, *rest, **kw):
        self._log("info", msg, *rest, **kw)

    def warning(self, msg, *rest, **kw):
        self._log("warning", msg, *rest, **kw)

    def error(self, msg, *rest, **kw):
        self._log("error", msg, *rest, **kw)

    def messages(self, level=None):
        return [m for lv, m in self.lines if level in (None, lv)]


class FakeWrapper:
    """An in-memory key store answering SCAN patterns with Redis glob rules."""

    def __init__(self, keys=(), scan_error=None, delete_error=None, deleted=None):
        self.keys = set(keys)
        self.patterns = []
        self.deletes = []
        self.scan_error = scan_error
        self.delete_error = delete_error
        self.deleted = deleted

    def scan_keys(self, *, pattern):
        self.patterns.append(pattern)
        if self.scan_error:
            raise fresh(self.scan_error)
        return sorted(k for k in self.keys if matches(pattern, k))

    def delete_many(self, keys):
        self.deletes.append(keys)
        if self.delete_error:
            raise fresh(self.delete_error)
        present = [k for k in set(keys) if k in self.keys]
        self.keys.difference_update(keys)
        return len(present) if self.deleted is None else self.deleted


def fresh(error):
    """A new exception like `error`: raising one object again and again would
    grow its traceback."""
    return type(error)(*error.args)


class FakeFlow:
    """A flow object: only `_nodes` is used, and every read of it is counted."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.reads = 0

    @property
    def _nodes(self):
        self.reads += 1
        return self.nodes


def records(wiring):
    """Node records from {id: [port, port, ...]}; a port is a list of ids."""
    return {nid: {"id": nid, "wires": [list(p) for p in ports]} for nid, ports in wiring.items()}
