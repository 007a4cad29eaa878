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
