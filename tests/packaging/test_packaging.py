import pathlib

import nalo_sdk

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCE = ROOT / "src" / "nalo_sdk"


def test_every_kit_module_is_installed_and_no_source_of_the_native_modules():
    staged = pathlib.Path(nalo_sdk.__file__).parent
    wanted = {
        p.relative_to(SOURCE)
        for pattern in ("*.py", "*.pyi", "py.typed")
        for p in SOURCE.rglob(pattern)
    }
    have = {
        p.relative_to(staged)
        for p in staged.rglob("*")
        if p.is_file() and "__pycache__" not in p.parts
    }
    assert wanted <= have, "list the missing files in meson.build"
    extras = {p for p in have - wanted if not p.name.endswith(".so")}
    assert not extras
    assert {p.name.split(".")[0] for p in have if p.name.endswith(".so")} >= {"flowsweep"}
