"""The worker's behaviour towards the user's code and towards Node.js."""

import os
import signal
import time

import pytest

ECHO = "def on_input(msg, node):\n    return msg\n"


def test_hello_says_which_interpreter_runs(worker):
    assert worker.hello["executable"] and worker.hello["pid"] == worker.process.pid


def test_node_identity_and_credentials_come_over_the_pipe(worker):
    code = (
        "import os\n"
        "def on_input(msg, node):\n"
        "    return {'who': [node.id, node.type, node.name, node.z], 'creds': node.credentials,\n"
        "            'env': [v for v in os.environ.values() if 'hunter2' in v]}\n"
    )
    worker.open(code, credentials={"password": "hunter2"}, name="mine")
    (done,) = worker.message({})
    assert done["v"] == {
        "who": ["n1", "python", "mine", "f1"],
        "creds": {"password": "hunter2"},
        "env": [],
    }


SHAPES = [
    ("None", []),
    ("[msg, None]", [[{"n": 1}, None]]),
    ("[[msg, msg], msg]", [[[{"n": 1}, {"n": 1}], {"n": 1}]]),
]


@pytest.mark.parametrize("returned, outputs", SHAPES, ids=[r for r, _ in SHAPES])
def test_return_shapes_pass_as_they_are(worker, returned, outputs):
    worker.open(f"def on_input(msg, node):\n    return {returned}\n")
    (done,) = worker.message({"n": 1})
    assert [done["v"]] if done["v"] is not None else [] == outputs


def test_sends_logs_and_status_are_tied_to_the_message_being_handled(worker):
    code = (
        "import threading\n"
        "def on_input(msg, node):\n"
        "    node.send({'first': 1})\n"
        "    node.status(text='busy', fill='blue')\n"
        "    node.warn('careful')\n"
        "    node.error('went wrong')\n"
        "    t = threading.Thread(target=node.send, args=({'late': 1},))\n"
        "    t.start(); t.join()\n"
        "    return msg\n"
    )
    worker.open(code)
    seen = worker.message({"n": 1}, seq=7)
    assert [(f["t"], f["seq"], f["v"]) for f in seen] == [
        ("send", 7, {"first": 1}),
        ("status", 7, {"text": "busy", "fill": "blue"}),
        ("log", 7, None),
        ("log", 7, None),
        ("send", None, {"late": 1}),
        ("done", 7, {"n": 1}),
    ]
    assert [(f["level"], f["text"]) for f in seen if f["t"] == "log"] == [
        ("warn", "careful"),
        ("error", "went wrong"),
    ]


def test_an_exception_names_type_text_and_the_users_lines_only(worker, tmp_path):
    user_file = tmp_path / "handler.py"
    user_file.write_text(
        "def helper():\n    {}['gone']\n\ndef on_input(msg, node):\n    helper()\n"
    )
    worker.open(None, source={"file": str(user_file)})
    (error,) = worker.message({})
    described = error["error"]
    assert described["type"] == "KeyError" and described["message"] == "KeyError: 'gone'"
    stack = described["stack"]
    assert f'File "{user_file}", line 5, in on_input' in stack
    assert f'File "{user_file}", line 2, in helper' in stack
    assert "nalo_sdk" not in stack and stack.endswith("KeyError: 'gone'")


FAILING_OPENS = [
    ("def setup(node):\n    raise RuntimeError('no camera')\n", "RuntimeError: no camera", 2),
    ("def on_input(msg, node)\n    pass\n", "SyntaxError: expected ':'", 1),
    ("import no_such_module_here\n", "ModuleNotFoundError: No module named", 1),
    ("on_input = 3\n", "TypeError: on_input is a int, not a function", None),
]


@pytest.mark.parametrize(
    "code, words, line", FAILING_OPENS, ids=["setup", "syntax", "import", "hook"]
)
def test_a_node_whose_code_fails_to_start_is_reported_and_the_worker_goes_on(
    worker, code, words, line
):
    failed = worker.open(code, name="broken")
    assert failed["t"] == "open_failed" and failed["error"]["message"].startswith(words)
    if line is not None:
        assert f'File "<node broken>", line {line}' in failed["error"]["stack"]
    assert worker.open(ECHO, node_id="n2")["t"] == "opened"
    assert worker.message({"ok": 1}, node_id="n2")[-1]["v"] == {"ok": 1}


JUNK = [
    "print('hello')",
    "print('no newline', end='')",
    "print('x' * 10000)",
    'print(\'{"t": "done", "seq": 1}\')',
    "os.write(1, b'\\xff\\xfe\\x00raw')",
    "os.write(2, b'\\x00\\x00\\x00\\x05hello')",
    "sys.stdout.buffer.write(b'\\x00' * 70000); sys.stdout.flush()",
]


@pytest.mark.parametrize("junk", JUNK)
def test_what_the_code_writes_on_stdout_or_stderr_is_not_protocol(worker, junk):
    worker.open(f"import os, sys\ndef on_input(msg, node):\n    {junk}\n    return msg\n")
    for seq in (1, 2):
        assert worker.message({"payload": "😀"}, seq=seq) == [
            {"t": "done", "node": "n1", "seq": seq, "v": {"payload": "😀"}}
        ]


HANDLERS_TO_INTERRUPT = [
    "time.sleep(60)",
    "while True: pass",
    "node.send({'s': 1}); time.sleep(60)",
]


@pytest.mark.parametrize("body", HANDLERS_TO_INTERRUPT)
def test_an_interrupt_stops_the_running_handler_only(worker, body):
    worker.open(
        "import time\n"
        "def on_input(msg, node):\n"
        "    if msg.get('stop'):\n"
        f"        {body}\n"
        "    return msg\n"
    )
    worker.send({"t": "msg", "node": "n1", "seq": 1}, {"stop": True})
    worker.send({"t": "interrupt", "seq": 99})  # not the running message: ignored
    time.sleep(0.3)  # let the handler reach its loop or sleep
    worker.send({"t": "interrupt", "seq": 1})
    error = worker.until({"done", "error"})[-1]
    assert error["interrupted"] and error["error"]["type"] == "KeyboardInterrupt"
    assert worker.message({"after": 1}, seq=2)[-1]["v"] == {"after": 1}


@pytest.mark.parametrize("removed", [True, False])
def test_close_runs_the_close_hook(worker, removed):
    worker.open(
        "def close(node, removed):\n"
        "    node.log(f'closing {removed}')\n"
        "def on_input(msg, node):\n    return msg\n"
    )
    worker.send({"t": "close", "node": "n1", "removed": removed})
    log, closed = worker.until({"closed"})
    assert log["text"] == f"closing {removed}" and closed["t"] == "closed"
    (error,) = worker.message({})
    assert error["t"] == "error" and "is not open" in error["error"]["message"]


def test_the_end_of_the_pipe_ends_the_worker_and_what_it_started(worker):
    worker.open(
        "import subprocess\n"
        "def on_input(msg, node):\n"
        "    return {'pid': subprocess.Popen(['sleep', '300']).pid}\n"
    )
    (done,) = worker.message({})
    child = done["v"]["pid"]
    assert worker.end() == -signal.SIGKILL  # it led its group and took it down
    with pytest.raises(ChildProcessError):
        os.waitpid(child, os.WNOHANG)  # not ours to reap: just make sure it is gone
    deadline = time.monotonic() + 20  # SIGKILL is sent, not yet taken
    while _alive(child) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not _alive(child)


def _alive(pid):
    """True while the process runs: a zombie is dead, only not yet reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


ARGUMENTS = [
    ([], {"in": 3, "out": 4}),
    (["--in-fd", "7", "--out-fd=9"], {"in": 7, "out": 9}),
    (["--out-fd", "5"], {"in": 3, "out": 5}),
    (["--in-fd"], None),
    (["--in-fd", "x"], None),
    (["--verbose"], None),
]


@pytest.mark.parametrize("argv, fds", ARGUMENTS)
def test_the_command_line_names_the_pipes(argv, fds):
    from nalo_sdk.host.worker import _arguments

    assert _arguments(argv) == fds
