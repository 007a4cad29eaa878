"""The worker that runs the Python code of a Node-RED node.

The node package (``node-red/`` in the source tree) starts one worker per
node, or one for several nodes, as ``python3 -m nalo_sdk.host``. The worker
and Node.js talk in frames (``nalo_sdk.host.frames``) on two pipes of their
own, file descriptors 3 (Node.js to Python) and 4 (Python to Node.js), so
that whatever the user's code prints on stdout or stderr stays text that
Node.js logs. Stdin is empty. The worker exits as soon as its input pipe
closes, taking its process group with it when it leads one.

The user's code (``nalo_sdk.host.usercode``) defines any of::

    def setup(node): ...                 # once, when the node starts
    def on_input(msg, node): ...         # per message: a message, None,
                                         # a list per output or a list of lists
    def close(node, removed): ...        # once, when the node stops

and calls ``node.send``, ``node.status``, ``node.log``, ``node.warn``,
``node.error`` (``nalo_sdk.host.node``). The kit's defaults (``NaloRedis()``,
``NaloPublisher()``, ``NaloFlow()``) take the node's Redis server, broker and
deployed flows from the host (``nalo_sdk.settings``); the node's outputs are
kept under its stream keys (``nalo_sdk.host.stream``).
"""
