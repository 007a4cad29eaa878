"""apt-get update against an archive caught mid-sync: a signed archive served on
loopback whose index files differ in size from what its InRelease lists."""

import functools
import gzip
import hashlib
import http.server
import os
import pathlib
import shutil
import subprocess
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
UPDATE = ROOT / "tools" / "apt-update.sh"

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("NALO_TARGET"))
    or os.geteuid() != 0
    or not (shutil.which("apt-get") and shutil.which("gpg")),
    reason="needs apt-get and gpg as root on the build machine",
)

ARCH = "amd64"


def packages(version):
    return (
        f"Package: nalo-probe\nVersion: {version}\nArchitecture: {ARCH}\n"
        f"Filename: pool/nalo-probe_{version}_{ARCH}.deb\nSize: 1\nSHA256: {'0' * 64}\n"
        "Description: probe\n\n"
    ).encode()


def write_suite(dists, gpg, suite, version, stale):
    index = dists / suite / "main" / f"binary-{ARCH}"
    index.mkdir(parents=True)
    files = {"Packages": packages(version)}
    files["Packages.gz"] = gzip.compress(files["Packages"], mtime=0)
    sums = "".join(
        f" {hashlib.sha256(data).hexdigest()} {len(data)} main/binary-{ARCH}/{name}\n"
        for name, data in files.items()
    )
    (dists / suite / "Release").write_text(
        f"Suite: {suite}\nCodename: {suite}\nDate: Sat, 01 Jan 2000 00:00:00 UTC\n"
        f"Architectures: {ARCH}\nComponents: main\nSHA256:\n{sums}"
    )
    subprocess.run(
        [*gpg, "--clearsign", "-o", dists / suite / "InRelease", dists / suite / "Release"],
        check=True,
    )
    if stale:
        # The index of another day: its size is not the signed one.
        files = {"Packages": packages(version + ".1") * 2}
        files["Packages.gz"] = gzip.compress(files["Packages"], mtime=0)
    for name, data in files.items():
        (index / name).write_bytes(data)


@pytest.fixture(scope="module")
def archive_key(tmp_path_factory):
    home = tmp_path_factory.mktemp("gnupg")
    gpg = ["gpg", "--homedir", str(home), "--batch", "--quiet", "--pinentry-mode", "loopback"]
    gpg += ["--passphrase", ""]
    subprocess.run([*gpg, "--quick-gen-key", "nalo test archive", "ed25519", "sign", "never"])
    keyring = home / "archive.gpg"
    keyring.write_bytes(subprocess.run([*gpg, "--export"], check=True, capture_output=True).stdout)
    yield gpg, keyring
    # Signing started an agent for this home: it goes with the key.
    subprocess.run(["gpgconf", "--homedir", str(home), "--kill", "all"])


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(directory):
    handler = functools.partial(QuietHandler, directory=str(directory))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def update(tmp_path, archive_key, stale_suite):
    gpg, keyring = archive_key
    suites = {"rel": "1.0", "rel-security": "1.1"}
    for suite, version in suites.items():
        write_suite(tmp_path / "www" / "dists", gpg, suite, version, suite == stale_suite)
    server = serve(tmp_path / "www")
    apt = tmp_path / "apt"
    for sub in ("etc/apt.conf.d", "etc/preferences.d", "state/lists/partial", "cache", "log"):
        (apt / sub).mkdir(parents=True)
    (apt / "status").write_text("")
    url = f"http://127.0.0.1:{server.server_address[1]}"
    (apt / "etc" / "sources.list").write_text(
        "".join(f"deb [signed-by={keyring}] {url} {suite} main\n" for suite in suites)
    )
    conf = apt / "apt.conf"
    conf.write_text(
        f'Dir::State "{apt}/state"; Dir::State::status "{apt}/status"; Dir::Cache "{apt}/cache";'
        f' Dir::Etc "{apt}/etc"; Dir::Etc::Parts "{apt}/etc/apt.conf.d"; Dir::Log "{apt}/log";'
        f' APT::Architecture "{ARCH}"; APT::Architectures {{ "{ARCH}"; }};'
        ' APT::Sandbox::User "root"; Acquire::Languages "none"; Acquire::http::Proxy "DIRECT";\n'
    )
    env = {"PATH": os.environ["PATH"], "APT_CONFIG": str(conf)}
    env |= {"NALO_APT_TRIES": "2", "NALO_APT_BACKOFF": "0"}
    try:
        run = subprocess.run(["sh", UPDATE], env=env, capture_output=True, text=True, timeout=120)
        policy = subprocess.run(
            ["apt-cache", "policy", "nalo-probe"], env=env, capture_output=True, text=True
        ).stdout
    finally:
        server.shutdown()
        server.server_close()
    candidate = next((line.split()[1] for line in policy.splitlines() if "Candidate:" in line), "")
    return run, candidate


@pytest.mark.parametrize(
    "stale_suite, status, candidate, warning",
    [
        (None, 0, "1.1", None),
        # Only the security suite is half-synced: the release alone serves.
        ("rel-security", 0, "1.0", "warning: the archive's rel-security suite is unusable ("),
        # The release's own index is half-synced: nothing can be resolved.
        ("rel", 1, None, None),
    ],
)
def test_update_outlasts_a_half_synced_suite(
    tmp_path, archive_key, stale_suite, status, candidate, warning
):
    run, got = update(tmp_path, archive_key, stale_suite)
    assert run.returncode == status, run.stderr
    lines = run.stderr.splitlines()
    if stale_suite:
        assert "try 1 of 2" in lines[0]
        assert "unexpected size" in run.stderr
    if warning:
        assert len(lines) == 2 and lines[1].startswith(warning), lines
    elif status == 0:
        assert lines == []
    if candidate:
        assert got == candidate
