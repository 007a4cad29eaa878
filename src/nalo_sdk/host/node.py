"""The ``node`` object that the user's code gets."""

from nalo_sdk.redis.utils import gen_redis_key_local


class Node:
    """One Node-RED node as its Python code sees it.

    ``id``, ``type``, ``name``, ``z`` (the flow's id) and ``credentials``
    (a dict, delivered over the worker's pipe) describe the node;
    ``settings`` (``nalo_sdk.settings.NodeSettings``) is what the kit takes
    from the host for it (its Redis server, MQTT broker, flows). The
    methods reach the node in Node-RED. Every method may be called from any
    thread. Inside ``on_input`` they refer to the message being handled: a
    message sent then keeps what could not cross to Python (the request and
    response of an ``http in`` node), and ``error`` reaches Catch nodes with
    that message.
    """

    def __init__(self, worker, config):
        self._worker = worker
        self.id = str(config.get("id", ""))
        self.type = str(config.get("type", ""))
        self.name = str(config.get("name") or "")
        self.z = str(config.get("z") or "")
        self.outputs = int(config.get("outputs", 1))
        self.credentials = dict(config.get("credentials") or {})
        self.settings = None  # set by the worker

    def redis_key(self, port=0):
        """The Redis key under which output ``port``'s payloads are kept
        when the node has a Redis server: ``redis_<id>_<port>``."""
        return gen_redis_key_local(self.id, port)

    def __repr__(self):
        return f"<node {self.type} {self.id} {self.name!r}>"

    def send(self, msg):
        """Sends a message, a list per output or a list of lists, as a
        return value of ``on_input`` would. A value that cannot cross to
        Node.js raises ``nalo_sdk.host.frames.CannotCross``."""
        self._worker.emit(self, {"t": "send"}, msg)

    def status(self, status=None, **fields):
        """``status({"fill": "green", "shape": "dot", "text": "ok"})``,
        ``status(text="ok", fill="green")``, ``status("ok")``; ``status()``
        clears it."""
        if isinstance(status, str):
            status = {"text": status}
        shown = dict(status or {}, **fields)
        self._worker.emit(self, {"t": "status"}, shown or {"clear": True})

    def _log(self, level, text, msg=None):
        self._worker.emit(self, {"t": "log", "level": level, "text": str(text)}, msg)

    def log(self, text):
        self._log("info", text)

    def warn(self, text):
        self._log("warn", text)

    def debug(self, text):
        self._log("debug", text)

    def error(self, text, msg=None):
        """Logs an error that Catch nodes see: with ``msg``, or inside
        ``on_input`` with the message being handled."""
        self._log("error", text, msg)
