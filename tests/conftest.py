"""Test setup: the package under test comes from the staged build
(build/python, or NALO_STAGE_DIR), unless NALO_TEST_INSTALLED=1 asks for an
installed copy. The shared test code (tests/support: models, fakes, cases)
and the development tools (tools/devkit: throwaway servers, the demo) are
put on the import path."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"

if os.environ.get("NALO_TEST_INSTALLED") != "1":
    stage = pathlib.Path(os.environ.get("NALO_STAGE_DIR", ROOT / "build" / "python"))
    if not (stage / "nalo_sdk").is_dir():
        raise RuntimeError(f"no staged build in {stage}: run 'make build' first")
    sys.path.insert(0, str(stage))
sys.path[1:1] = [str(ROOT / "tests" / "support"), str(ROOT / "tools")]

pytest_plugins = ["redis_server"]
