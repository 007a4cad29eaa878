import inspect
import os
import pathlib
import shutil

import pytest

import nalo_sdk.constants as constants
from common import run_python


def test_globals_in_order():
    # In a fresh interpreter: tests that rebind globals change the order.
    result = run_python(
        "import time, nalo_sdk.constants as c, nalo_sdk.mqtt.utils as m\n"
        "print([n for n in vars(m) if not n.startswith('__')])\n"
        "print(m.time is time, m.PREFIX is c.PREFIX, m.NODE_ID is c.NODE_ID,"
        " m.NODE_TYPE is c.NODE_TYPE, m.__doc__, hasattr(m, '__all__'))\n"
    )
    assert result.stdout.splitlines() == [
        "['time', 'PREFIX', 'NODE_ID', 'NODE_TYPE', 'Category', 'gen_mqtt_key_local', "
        "'meta_info_to_publish']",
        "True True True True None False",
    ], result.stderr


def test_star_import_binds_every_public_name():
    ns = {}
    exec("from nalo_sdk.mqtt.utils import *", ns)
    assert set(ns) - {"__builtins__"} == (
        {"time", "PREFIX", "NODE_ID", "NODE_TYPE", "Category", "gen_mqtt_key_local"}
        | {"meta_info_to_publish"}
    )


def test_category_is_a_plain_class(mu):
    class Category:
        info = "info"
        error = "error"
        warning = "warning"

    cls = mu.Category
    # From 3.13 on the compiler records a class statement's first line and
    # the attributes its methods set; a class made at run time, as by type(),
    # has neither.
    compiled = {"__firstlineno__", "__static_attributes__"}
    assert list(vars(cls)) == [name for name in vars(Category) if name not in compiled]
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (
        "nalo_sdk.mqtt.utils",
        "Category",
        "Category",
    )
    assert cls.__doc__ is None and cls.__bases__ == (object,) and type(cls) is type
    assert (cls.info, cls.error, cls.warning) == ("info", "error", "warning")
    assert mu.meta_info_to_publish.__defaults__[-1] is cls.info


def test_function_signatures(mu):
    key, payload = mu.gen_mqtt_key_local, mu.meta_info_to_publish
    assert str(inspect.signature(key)) == "(node_id)"
    assert str(inspect.signature(payload)) == (
        "(source_name, source_id, source_idx=0, result=None, "
        f"node_id={constants.NODE_ID!r}, node_type={constants.NODE_TYPE!r}, infer_t=0, "
        "category='info')"
    )
    assert key.__defaults__ is None
    assert payload.__defaults__ == (0, None, constants.NODE_ID, constants.NODE_TYPE, 0, "info")
    for fn in (key, payload):
        assert fn.__doc__ is None and fn.__annotations__ == {} and fn.__kwdefaults__ is None
        assert fn.__module__ == "nalo_sdk.mqtt.utils" and fn.__qualname__ == fn.__name__


def test_constants_come_from_the_environment():
    code = "import nalo_sdk.constants as c; print(c.NODE_ID, c.NODE_TYPE, c.PREFIX.REDIS)"
    env = {k: v for k, v in os.environ.items() if not k.startswith("NALO_NODE_")}
    result = run_python(code, environ=env)
    assert result.stdout == "unknown unknown redis\n", result.stderr
    result = run_python(
        "import nalo_sdk.mqtt.utils as m; d = m.meta_info_to_publish('n', 's');"
        " print(d['id'], d['type'])",
        NALO_NODE_ID="cam-7",
        NALO_NODE_TYPE="detector",
    )
    assert result.stdout == "cam-7 detector\n", result.stderr


def staged_copy(tmp_path, constants_source):
    import nalo_sdk

    shutil.copytree(pathlib.Path(nalo_sdk.__file__).parent, tmp_path / "nalo_sdk")
    (tmp_path / "nalo_sdk" / "constants.py").write_text(constants_source)
    return tmp_path


FULL = "PREFIX = 1\nNODE_ID = 2\nNODE_TYPE = 3\n"


@pytest.mark.parametrize(
    "source, expected",
    [
        (FULL.replace("PREFIX = 1\n", ""), "ImportError: cannot import name PREFIX"),
        (FULL.replace("NODE_ID = 2\n", ""), "ImportError: cannot import name NODE_ID"),
        (FULL.replace("NODE_TYPE = 3\n", ""), "ImportError: cannot import name NODE_TYPE"),
        ("raise RuntimeError('no constants')\n", "RuntimeError: no constants"),
    ],
    ids=["no-prefix", "no-node-id", "no-node-type", "constants-raise"],
)
def test_import_fails_as_a_whole(tmp_path, source, expected):
    path = staged_copy(tmp_path, source)
    result = run_python("import nalo_sdk.mqtt.utils", path)
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == expected
