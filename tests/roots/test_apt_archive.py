"""Which archive the roots come from: this machine's apt sources, in either
format, unless DEBIAN_MIRROR / DEBIAN_SECURITY_MIRROR say otherwise."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HELPER = ROOT / "tools" / "apt-archive.sh"
CODENAME = next(
    (
        line.split("=", 1)[1].strip().strip('"')
        for line in pathlib.Path("/etc/os-release").read_text().splitlines()
        if line.startswith("VERSION_CODENAME=")
    ),
    "",
)

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("NALO_TARGET")) or not shutil.which("apt-get") or not CODENAME,
    reason="needs apt-get and a release codename on the build machine",
)

ONE_LINE = f"""deb [arch=amd64] http://lan.test/debian/ {CODENAME} main
deb http://lan.test/debian {CODENAME}-updates main
deb http://lan.test/debian-security {CODENAME}-security main
"""
DEB822 = f"""Types: deb
URIs: http://other.test/apt
Suites: nodistro
Components: main

Types: deb deb-src
URIs: http://proxy.test:3142/debian
Suites: {CODENAME} {CODENAME}-updates
Components: main contrib

Types: deb
URIs: http://proxy.test:3142/debian-security
Suites: {CODENAME}-security
Components: main
"""
MAIN_ONLY = f"deb http://lan.test/debian {CODENAME} main\n"


def archive(tmp_path, files, **env):
    etc = tmp_path / "etc"
    (etc / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (etc / name).write_text(text)
    conf = tmp_path / "apt.conf"
    conf.write_text(
        f'Dir::Etc "{etc}"; Dir::Etc::Parts "{etc}/none"; Dir::State "{tmp_path}/state";\n'
    )
    script = (
        f'. "{HELPER}" && debian_archive && echo "$mirror|$security_mirror" && sources_lines rel'
    )
    return subprocess.run(
        ["bash", "-c", script],
        env={"PATH": os.environ["PATH"], "APT_CONFIG": str(conf), **env},
        capture_output=True,
        text=True,
    )


@pytest.mark.parametrize(
    "files, env, first_line, suites",
    [
        (
            {"sources.list": ONE_LINE},
            {},
            "http://lan.test/debian|http://lan.test/debian-security",
            3,
        ),
        (
            {"sources.list.d/debian.sources": DEB822},
            {},
            "http://proxy.test:3142/debian|http://proxy.test:3142/debian-security",
            3,
        ),
        (
            {"sources.list": ONE_LINE},
            {"DEBIAN_MIRROR": "http://pinned.test/debian/"},
            "http://pinned.test/debian|http://lan.test/debian-security",
            3,
        ),
        # No security archive: the roots go without that suite, and say so.
        ({"sources.list": MAIN_ONLY}, {}, "http://lan.test/debian|", 2),
    ],
)
def test_the_archive_is_the_machines(tmp_path, files, env, first_line, suites):
    run = archive(tmp_path, files, **env)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == first_line
    assert [line.split()[-2] for line in lines[1:]] == ["rel", "rel-updates", "rel-security"][
        :suites
    ]
    assert ("security" in run.stderr) == (suites == 2)


def test_a_machine_without_a_source_is_told_what_to_set(tmp_path):
    run = archive(tmp_path, {"sources.list": "deb http://other.test/apt nodistro main\n"})
    assert run.returncode == 1
    assert "DEBIAN_MIRROR" in run.stderr and "DEBIAN_SECURITY_MIRROR" in run.stderr
