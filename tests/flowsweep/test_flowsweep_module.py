import pathlib
import shutil

import pytest

from common import run_python


def test_globals_in_order():
    # In a fresh interpreter: tests that rebind globals change the order.
    code = (
        "import typing, nalo_sdk.redis.flowsweep as m, nalo_sdk.redis.utils as u\n"
        "print([n for n in vars(m) if not n.startswith('__')])\n"
        "print(m.Any is typing.Any, m.List is typing.List,"
        " m.gen_redis_key_local is u.gen_redis_key_local)\n"
    )
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "['Any', 'Dict', 'Set', 'List', 'get_logger', 'gen_redis_key_local', 'logger', "
        "'FlowsweepManager', 'clear_stream_redis_keys']",
        "True True True",
    ]


def test_class_namespace_and_docstrings(fs):
    cls = fs.FlowsweepManager
    assert (
        [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
        == """
        __init__ _discover_downstream_nodes _collect_stream_redis_keys clear_stream_keys
        reset_cleanup_flag
    """.split()
    )
    assert (cls.__module__, cls.__qualname__) == ("nalo_sdk.redis.flowsweep", "FlowsweepManager")
    first_lines = {
        fs: "Redis stream cleanup utilities for clearing KV stores across Node-RED flows.",
        cls: "Manages Redis key cleanup for Node-RED streams.",
        cls.__init__: "Initialize the FlowsweepManager.",
        cls._discover_downstream_nodes: "Recursively discover all downstream nodes from a given"
        " node.",
        cls._collect_stream_redis_keys: "Collect all existing Redis keys related to this stream.",
        cls.clear_stream_keys: "Clear all Redis KV stores related to this stream.",
        fs.clear_stream_redis_keys: "Convenience function to clear Redis keys for a Node-RED"
        " stream.",
    }
    for obj, line in first_lines.items():
        assert obj.__doc__.split("\n")[0] == line
    assert cls.reset_cleanup_flag.__doc__ == "Reset the cleanup flag to allow re-running cleanup."
    assert fs.__doc__.endswith("\n") and cls.__doc__.endswith("\n    ")
    assert fs.clear_stream_redis_keys.__doc__.endswith("\n    ")
    for method in (cls.__init__, cls._discover_downstream_nodes, cls.clear_stream_keys):
        assert method.__doc__.endswith("\n        ")
        assert all(x.startswith("        ") for x in method.__doc__.split("\n")[1:] if x)


def test_manager_keeps_what_it_is_given(fs):
    config = {}
    mgr = fs.FlowsweepManager(None, None, config, "k")
    assert mgr.node_config is config and mgr._keys_cleared is False
    mgr._keys_cleared = True
    assert mgr.__init__(1, 2, {"id": 1}, "j") is None
    assert (mgr.redis_wrapper, mgr.redis_out_key, mgr._keys_cleared) == (1, "j", False)


def staged_copy(tmp_path):
    import nalo_sdk

    shutil.copytree(pathlib.Path(nalo_sdk.__file__).parent, tmp_path / "nalo_sdk")
    return tmp_path


def run_import(path):
    return run_python("import nalo_sdk.redis.flowsweep as m; print(m.logger)", path)


@pytest.mark.parametrize(
    "edit, expected",
    [
        (
            lambda p: (p / "nalo_sdk/redis/utils.py").unlink(),
            "ModuleNotFoundError: No module named 'nalo_sdk.redis.utils'",
        ),
        (
            lambda p: (p / "nalo_sdk/redis/utils.py").write_text("x = 1\n"),
            "ImportError: cannot import name gen_redis_key_local",
        ),
        (
            lambda p: (p / "nalo_sdk/logging.py").write_text(
                "def get_logger(name):\n    raise RuntimeError('no logger for ' + name)\n"
            ),
            "RuntimeError: no logger for REDIS_FLOWSWEEP",
        ),
    ],
    ids=["utils-missing", "name-missing", "get-logger-raises"],
)
def test_import_fails_as_a_whole(tmp_path, edit, expected):
    path = staged_copy(tmp_path)
    edit(path)
    result = run_import(path)
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == expected


def test_get_logger_is_called_once_with_the_module_name(tmp_path):
    path = staged_copy(tmp_path)
    (path / "nalo_sdk/logging.py").write_text(
        "calls = []\n"
        "def get_logger(*args, **kw):\n    calls.append((args, kw))\n    return 'LOGGER'\n"
    )
    result = run_import(path)
    assert result.stdout == "LOGGER\n", result.stderr
