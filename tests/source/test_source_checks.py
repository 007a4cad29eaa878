import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = sorted(
    p
    for p in (ROOT / "src").rglob("*")
    if p.suffix in (".cpp", ".hpp", ".h", ".cc") and p.is_file()
)

# C API calls that return a borrowed reference: a Ref must borrow them.
BORROWED = tuple(
    """
    PyDict_GetItem PyDict_GetItemWithError PyDict_GetItemString PyList_GetItem PyList_GET_ITEM
    PyTuple_GetItem PyTuple_GET_ITEM PyModule_GetDict PyEval_GetBuiltins PyEval_GetGlobals
    PySys_GetObject PyImport_GetModuleDict PyErr_Occurred PyWeakref_GetObject PyCell_GET
    PyMethod_GET_FUNCTION PyMethod_GET_SELF PyExceptionInstance_Class Py_TYPE
""".split()
)
# C API calls that return a new reference: a Ref must steal them.
NEW = tuple(
    """
    PyObject_GetAttr PyObject_GetAttrString PyObject_Call PyObject_CallOneArg PyObject_CallNoArgs
    PyObject_CallObject PyObject_Vectorcall PyObject_VectorcallMethod PyObject_CallMethod
    PyObject_Str PyObject_Repr PyObject_Format PyObject_GetItem PyObject_GetIter PyIter_Next
    PyUnicode_FromString PyUnicode_FromFormat PyUnicode_InternFromString PyUnicode_Concat
    PyUnicode_Replace PyLong_FromLong PyLong_FromSsize_t PyFloat_FromDouble PyList_New PyDict_New
    PyTuple_New PySet_New PySequence_List PySequence_Tuple PyImport_ImportModule
    PyImport_ImportModuleLevel PyImport_GetModule PyNumber_Float PyNumber_Index
    PyErr_GetHandledException PyModule_GetNameObject PyMethod_New
""".split()
)
# Calls that steal the reference they are given: never hand them a Ref's.
STEALING = tuple(
    """
    PyTuple_SET_ITEM PyList_SET_ITEM PyTuple_SetItem PyList_SetItem PyModule_AddObject PyErr_Restore
""".split()
)


def strip(text):
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(
        lambda m: re.sub(r"[^\n]", " ", m.group())
        if m.group()[0] == "/"
        else m.group()[0] + " " * (len(m.group()) - 2) + m.group()[-1],
        text,
    )


def line_of(code, pos):
    return code.count("\n", 0, pos) + 1


# The interpreter's guard, or the core's wrapper of it (compat.hpp, where the
# wrapper itself is defined, is the one file that names it otherwise).
ENTER = r"(?:Py_EnterRecursiveCall|compat::enter_recursive_call)"
LEAVE = r"(?:Py_LeaveRecursiveCall|compat::leave_recursive_call)"


def recursion_guard_problems(text):
    code = strip(text)
    problems = []
    for enter in re.finditer(ENTER + r"\s*\(", code):
        where = line_of(code, enter.start())
        guard = re.compile(r"if\s*\(\s*" + ENTER + r"\s*\([^;{]*\)\s*\)\s*\{\s*return\b[^;]*;\s*\}")
        start = code.rfind("if", 0, enter.start())
        match = guard.match(code, start) if start >= 0 else None
        if not match:
            problems.append(
                f"line {where}: Py_EnterRecursiveCall is not an 'if (...) {{ return ...; }}' guard"
            )
            continue
        depth = 0
        for token in re.finditer(
            r"[{}]|\b(?:return|goto|throw|break|continue|co_return)\b|" + LEAVE + r"\s*\(\s*\)",
            code[match.end() :],
        ):
            t = token.group()
            if t == "{":
                depth += 1
            elif t == "}":
                depth -= 1
                if depth < 0:
                    problems.append(f"line {where}: the block ends before Py_LeaveRecursiveCall")
                    break
            elif re.match(LEAVE, t):
                if depth != 0:
                    problems.append(
                        f"line {where}: Py_LeaveRecursiveCall only on some paths "
                        f"(inside a nested block)"
                    )
                break
            else:
                problems.append(
                    f"line {where}: '{t}' between Py_EnterRecursiveCall and its "
                    "Py_LeaveRecursiveCall"
                )
                break
        else:
            problems.append(f"line {where}: no Py_LeaveRecursiveCall follows")
    leaves = len(re.findall(LEAVE + r"\s*\(", code))
    enters = len(re.findall(ENTER + r"\s*\(", code))
    if leaves != enters:
        problems.append(f"{enters} Py_EnterRecursiveCall but {leaves} Py_LeaveRecursiveCall")
    return problems


def ownership_problems(text):
    code = strip(text)
    problems = []

    def report(regex, what):
        for m in re.finditer(regex, code):
            problems.append(f"line {line_of(code, m.start())}: {what}: {m.group().strip()}")

    names = "|".join(BORROWED)
    report(
        r"\bPy_(?:X?DECREF|CLEAR|X?SETREF)\s*\([^;]*?\.get\s*\(\s*\)",
        "reference counting by hand on a Ref's reference",
    )
    report(r"\bPy_X?DECREF\s*\(\s*args\s*(?:\[|\.obj)", "release of a borrowed argument")
    report(rf"Ref::steal\s*\(\s*(?:{names})\s*\(", "Ref::steal of a borrowed reference")
    report(r"Ref::steal\s*\(\s*Py_(?:None|True|False)\b", "Ref::steal of a borrowed singleton")
    report(rf"Ref::borrow\s*\(\s*(?:{'|'.join(NEW)})\s*\(", "Ref::borrow of a new reference (leak)")
    report(
        rf"\b(?:{'|'.join(STEALING)})\s*\([^;]*?\.get\s*\(\s*\)\s*\)\s*;",
        "a Ref's reference handed to a call that steals it",
    )
    return problems


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(ROOT / "src")))
def test_sources(path):
    text = path.read_text(encoding="utf-8")
    # The guard's own wrappers (the interpreter's call, the stack check beside
    # it) enter in one function and leave in another by design.
    if path.name not in ("compat.hpp", "stack.hpp"):
        assert recursion_guard_problems(text) == []
    assert ownership_problems(text) == []


def test_there_are_sources():
    assert any(p.name == "ref.hpp" for p in SOURCES) and len(SOURCES) > 10


GOOD_GUARD = """
int f(PyObject *o) {
    if (Py_EnterRecursiveCall(" in f")) {
        return -1;
    }
    Ref r = Ref::steal(PyObject_Str(o));  // a comment with return in it
    Py_LeaveRecursiveCall();
    return r ? 0 : -1;
}
"""


@pytest.mark.parametrize(
    "snippet, problem",
    [
        (
            GOOD_GUARD.replace("    Ref r", "    if (!o) { return -1; }\n    Ref r"),
            "'return' between",
        ),
        (
            GOOD_GUARD.replace(
                "    Py_LeaveRecursiveCall();\n", "    if (r) { Py_LeaveRecursiveCall(); }\n"
            ),
            "only on some paths",
        ),
        (GOOD_GUARD.replace("    Py_LeaveRecursiveCall();\n", ""), "but 0 Py_LeaveRecursiveCall"),
        (
            GOOD_GUARD.replace(
                'if (Py_EnterRecursiveCall(" in f")) {\n        return -1;\n    }',
                'Py_EnterRecursiveCall(" in f");',
            ),
            "is not an 'if",
        ),
        (GOOD_GUARD.replace("Ref r =", "throw 1; Ref r ="), "'throw' between"),
    ],
    ids=["early-return", "nested-leave", "no-leave", "unguarded", "throw"],
)
def test_recursion_guard_check_finds_faults(snippet, problem):
    assert recursion_guard_problems(GOOD_GUARD) == []
    assert any(problem in p for p in recursion_guard_problems(snippet))


@pytest.mark.parametrize(
    "snippet, problem",
    [
        ("Ref r = Ref::steal(PyList_New(0)); Py_DECREF(r.get());", "by hand"),
        ("Py_XSETREF(slot, value.get());", "by hand"),
        ("Ref v = Ref::steal(PyDict_GetItemWithError(d, k));", "steal of a borrowed"),
        ("Ref v = Ref::steal(Py_None);", "borrowed singleton"),
        ("Ref v = Ref::borrow(PyObject_GetAttr(o, n));", "borrow of a new"),
        ("PyTuple_SET_ITEM(t, 0, name.get());", "steals it"),
        ("Py_DECREF(args[0]);", "borrowed argument"),
    ],
    ids=["decref", "setref", "steal-borrowed", "steal-none", "borrow-new", "set-item", "args"],
)
def test_ownership_check_finds_faults(snippet, problem):
    assert any(problem in p for p in ownership_problems(snippet))
    assert (
        ownership_problems('// Py_DECREF(r.get());\nconst char *s = "Ref::steal(Py_None)";') == []
    )


def test_private_interpreter_interfaces_stay_in_the_compat_header():
    private = re.compile(r"\b_Py[A-Za-z]\w*|\bma_version_tag\b|->exc_info\b")
    found = [
        f"{path.relative_to(ROOT)}:{line_of(code, match.start())}: {match.group()}"
        for path in SOURCES
        if path.name != "compat.hpp"
        for code in [strip(path.read_text())]
        for match in private.finditer(code)
    ]
    assert not found
