r"""Clear the Redis keys of a Node-RED stream from the command line.

    nalo-sweep --flow FILE|URL --node ID [--redis URL] [--out-key KEY] [--dry-run]
    python3 -m nalo_sdk.redis.sweep ...      (the same, without the installed command)

The stream of a node is the node itself and every node downstream of it in
the flow; its keys are the keys ``redis_<id>_*`` of each of them and the
node's output key (``--out-key``, default ``redis_<node>_0``). The flow is a
flows file or the base URL of a running Node-RED (``http://host:1880``), whose
admin API is sent the bearer token ``NALO_NODE_RED_TOKEN`` when set. The cleanup is
the one the nodes run: the keys that ``FlowsweepManager`` collects, deleted
with ``NaloRedis.delete_many``. With ``--dry-run`` the existing keys that
would be deleted are listed, one per line on standard output, and nothing is
deleted. The report and any error go to standard error.

Key names are binary in Redis; the listing shows each on one line, written
so that it reads back to the very name: a backslash as ``\\``, a newline,
carriage return or tab as ``\n``, ``\r``, ``\t``, another ASCII control
character or a byte that is not UTF-8 as ``\xNN`` (the byte), any other
character that does not print (a line separator, a format character) as
``\uNNNN`` or ``\UNNNNNNNN``. No password of the Redis URL is ever shown.

Exit status: 0 on success; 1 when Redis fails (unreachable, an error reply);
2 for a bad command line, flows file or node id; 141 (128 + SIGPIPE, as a
shell reports a command killed by SIGPIPE) when standard output or error is
a pipe whose reader has gone, as with ``| head``: the command then stops
quietly, and a dry run has deleted nothing.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
from typing import TYPE_CHECKING

import redis

from nalo_sdk.nodered import FlowError, NaloFlow
from nalo_sdk.redis.client import DEFAULT_URL, NaloRedis, key_bytes
from nalo_sdk.redis.utils import gen_redis_key_local

if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

    from nalo_sdk.redis.flowsweep import FlowsweepManager

COMMAND = "nalo-sweep"
MODULE_COMMAND = "python3 -m nalo_sdk.redis.sweep"
EXIT_OK = 0
EXIT_REDIS = 1
EXIT_USAGE = 2
# What a shell reports for a command killed by SIGPIPE, as a C tool is when
# its reader goes away (Python ignores the signal and raises instead).
EXIT_PIPE = 128 + signal.SIGPIPE

# Characters that make a SCAN pattern match more than the node's own keys.
GLOB_CHARS = frozenset("*?[]\\")
# How the listing writes the characters that have a short escape.
SHORT_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


# What a failing Redis raises: error replies, lost connections and timeouts
# (RedisError), a cluster that cannot be set up (RedisClusterException), and
# socket errors that the client lets through unwrapped (OSError).
REDIS_ERRORS = (redis.RedisError, redis.exceptions.RedisClusterException, OSError)


def prog() -> str:
    """The command's name as the operator typed it: the installed script, or
    the module run by the interpreter."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return name if name.startswith(COMMAND) else MODULE_COMMAND


def stream_node_ids(manager: FlowsweepManager) -> list[str]:
    """The ids of the node and of every node downstream of it."""
    node = manager.node_config
    found = manager._discover_downstream_nodes(node, set())
    return [node["id"]] + [entry["node_id"] for entry in found]


def overreach(flow: NaloFlow, ids: Iterable[str]) -> str | None:
    """Why the stream's key patterns would also match keys of nodes outside
    the stream, or None. The pattern of a node is redis_<id>_*: an id with
    glob characters matches other names, and an id that another node's id
    continues with "_" matches that node's keys."""
    stream = set(ids)
    risky = sorted(node_id for node_id in stream if GLOB_CHARS & set(node_id))
    if risky:
        return f"node ids {risky} hold glob characters, so their key patterns match other keys"
    # Each id outside the stream is checked at its own "_" only, at the
    # lengths of stream ids: the work grows with the flow, not with the
    # number of pairs of ids.
    lengths = {len(node_id) for node_id in stream}
    shadowed = sorted(
        (other[:cut], other)
        for other in flow._nodes
        if other not in stream
        for cut, char in enumerate(other)
        if char == "_" and cut in lengths and other[:cut] in stream
    )
    if shadowed:
        pairs = ", ".join(f"{other!r} (under {node_id!r})" for node_id, other in shadowed)
        return f"the key patterns of the stream also match the keys of nodes outside it: {pairs}"
    return None


def listed(key: str | bytes) -> str:
    """A key name as one line of the dry-run listing (see the module's
    description)."""
    text = key_bytes(key).decode("utf-8", "surrogateescape")
    parts = []
    for char in text:
        code = ord(char)
        if char in SHORT_ESCAPES:
            parts.append(SHORT_ESCAPES[char])
        elif 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8
            parts.append(f"\\x{code - 0xDC00:02x}")
        elif char.isprintable():
            parts.append(char)
        elif code < 0x80:
            parts.append(f"\\x{code:02x}")
        elif code <= 0xFFFF:
            # Not \x: that is a byte, and U+0085 is the bytes C2 85.
            parts.append(f"\\u{code:04x}")
        else:
            parts.append(f"\\U{code:08x}")
    return "".join(parts)


EPILOG = f"""\
environment:
  NALO_REDIS_URL       the Redis URL when --redis is not given
  NALO_NODE_RED_TOKEN  the bearer token sent to the admin API of a Node-RED
                       given to --flow as a URL
  NALO_LOG_LEVEL       the level of the cleanup's log lines on standard error:
                       DEBUG, INFO (default), WARNING, ERROR or a number

exit status:
  {EXIT_OK}    success
  {EXIT_REDIS}    Redis failed (unreachable, an error reply)
  {EXIT_USAGE}    a bad command line, flow or node id
  {EXIT_PIPE}  the reader of standard output or error went away (as with | head)
"""


def _parser():
    parser = argparse.ArgumentParser(
        prog=prog(),
        description="Delete the Redis keys of a node's stream: the node and "
        "every node downstream of it in a Node-RED flow.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--flow",
        required=True,
        metavar="FILE|URL",
        help="a Node-RED flows JSON file, or the http:// or https:// base URL of a running "
        "Node-RED (its httpAdminRoot), whose deployed flows are read",
    )
    parser.add_argument("--node", required=True, metavar="ID", help="id of the stream's first node")
    parser.add_argument(
        "--redis",
        metavar="URL",
        default=None,
        help="redis:// rediss:// unix:// or, for a Redis Cluster, redis+cluster://host:port "
        f"URL (default: $NALO_REDIS_URL, else {DEFAULT_URL})",
    )
    parser.add_argument(
        "--out-key",
        metavar="KEY",
        default=None,
        help="the node's primary output key (default: redis_<node>_0)",
    )
    parser.add_argument(
        "--dry-run", action="store_true", help="list the keys that would be deleted, delete nothing"
    )
    return parser


def _fail(status, message):
    print(f"{prog()}: error: {message}", file=sys.stderr)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit status."""
    try:
        try:
            return _run(argv)
        finally:
            # Written out here, also after --help, not at exit, where a
            # closed pipe could only be reported with a traceback.
            sys.stdout.flush()
    except BrokenPipeError:
        return _pipe_closed()


def _pipe_closed():
    """The reader of standard output or error has gone: stop quietly. The
    streams are pointed at /dev/null, so that the interpreter's own flush at
    exit finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass  # a stream without a descriptor (replaced by the caller)
    os.close(devnull)
    return EXIT_PIPE


def _run(argv):
    args = _parser().parse_args(argv)

    # The compiled cleanup is loaded here, not at the top, so that --help
    # works from a source tree that has not been built.
    from nalo_sdk.redis.flowsweep import FlowsweepManager

    try:
        flow = NaloFlow(args.flow, node_id=args.node)
        node = flow.parse_flow()["cur_node"]
    except FlowError as error:
        return _fail(EXIT_USAGE, str(error))

    out_key = args.out_key if args.out_key is not None else gen_redis_key_local(args.node, 0)
    # redis-py logs each seed of a cluster it cannot reach with a traceback,
    # which logging would print for want of a handler; the error line below
    # says what failed.
    logging.getLogger("redis").addHandler(logging.NullHandler())
    try:
        wrapper = NaloRedis(args.redis)
    except ValueError as error:
        text = str(error)
        return _fail(EXIT_USAGE, text if text.startswith("bad Redis") else f"bad Redis URL: {text}")
    except REDIS_ERRORS as error:
        # A cluster client connects at once: a node that is down or not in
        # cluster mode fails here. The message names the URL, masked.
        return _fail(EXIT_REDIS, f"cannot connect: {error}")
    manager = FlowsweepManager(wrapper, flow, node, out_key)

    try:
        ids = stream_node_ids(manager)
    except Exception as error:  # a flow the walk cannot follow
        return _fail(EXIT_USAGE, f"cannot walk the flow from {args.node!r}: {error}")
    problem = overreach(flow, ids)
    if problem:
        return _fail(EXIT_USAGE, f"{problem}; refusing to sweep")

    with wrapper:
        if args.dry_run:
            try:
                # The output key is always part of the list the cleanup
                # deletes, whether or not it is there: list what exists.
                keys = wrapper.existing(sorted(manager._collect_stream_redis_keys()))
            except Exception as error:  # as the cleanup counts any error a failure
                return _fail(EXIT_REDIS, f"cannot list the stream's keys: {error}")
            for key in keys:
                print(listed(key))
            print(
                f"dry run: {len(keys)} keys of {len(set(ids))} nodes would be deleted",
                file=sys.stderr,
            )
            return EXIT_OK

        # The cleanup's own two steps, run here so that the count and the
        # error reach the operator directly rather than through its log.
        try:
            keys = manager._collect_stream_redis_keys()
            deleted = wrapper.delete_many(keys)
        except Exception as error:  # as the cleanup counts any error a failure
            return _fail(EXIT_REDIS, f"Failed to clear Redis keys: {error}")
        print(
            f"deleted {deleted} of {len(keys)} keys of {len(set(ids))} nodes",
            file=sys.stderr,
        )
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
