"""debian/ against the tree it packages: the version, the dependencies of
what the kit imports, and the manual page of the command."""

import ast
import pathlib
import re
import sys

from nalo_sdk.redis import sweep

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEBIAN = ROOT / "debian"
SOURCE = ROOT / "src" / "nalo_sdk"
# The Debian package of each module from outside the standard library that
# the kit imports.
PACKAGE_OF = {
    "cv2": "python3-opencv",
    "numpy": "python3-numpy",
    "paho": "python3-paho-mqtt",
    "redis": "python3-redis",
}


def imported_modules():
    names = set()
    for path in SOURCE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                names |= {alias.name.split(".")[0] for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                names.add(node.module.split(".")[0])
    for path in SOURCE.rglob("*.cpp"):
        names |= {
            m.split(".")[0] for m in re.findall(r'import_module\("([\w.]+)"\)', path.read_text())
        }
    return names - set(sys.stdlib_module_names) - {"nalo_sdk"}


def control_depends():
    control = (DEBIAN / "control").read_text()
    field = re.search(r"^Depends:(.*(?:\n .*)*)", control, re.M).group(1)
    return {dep.strip() for dep in field.split(",") if dep.strip() and "${" not in dep}


def test_version_is_the_projects():
    version = re.search(r'^version = "(.+)"', (ROOT / "pyproject.toml").read_text(), re.M)[1]
    top = (DEBIAN / "changelog").read_text().splitlines()[0]
    assert re.fullmatch(rf"nalo-sdk \({re.escape(version)}-\d+\) \S+; urgency=\w+", top), top


def test_the_package_depends_on_exactly_what_the_kit_imports():
    modules = imported_modules()
    unknown = modules - PACKAGE_OF.keys()
    assert not unknown, f"name the Debian packages of {unknown} in debian/control and here"
    assert control_depends() == {PACKAGE_OF[name] for name in modules}


def test_manual_page_documents_every_option_of_the_command():
    page = (DEBIAN / "nalo-sweep.1").read_text().replace("\\-", "-")
    section = page.split(".SH OPTIONS")[1].split(".SH")[0]
    headings = re.findall(r"^\.B[IR]? (.*)", section, re.M)
    documented = {opt for line in headings for opt in re.findall(r"(?<![\w-])--?[a-z][\w-]*", line)}
    options = {opt for action in sweep._parser()._actions for opt in action.option_strings}
    assert documented == options
