"""Gives a wheel a compressed set of platform tags: the same files under a
name that lists every tag, a WHEEL file with one Tag line per tag, and the
RECORD entry of the WHEEL file renewed.

    python3 tools/arm/retag_wheel.py WHEEL PLATFORM[.PLATFORM...] OUT_DIR

pip on an ARMv7 board (machine armv7l) accepts only wheels tagged for
linux_armv7l, and an ARMv6 board only linux_armv6l; one wheel of ARMv6 code
serves both when it carries both tags. Prints the new wheel's path."""

import base64
import hashlib
import pathlib
import sys
import zipfile


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


def retag(source, platforms, out_dir):
    name, version, python, abi, _ = source.name[: -len(".whl")].split("-")
    target = out_dir / f"{name}-{version}-{python}-{abi}-{platforms}.whl"
    tags = [f"{python}-{abi}-{platform}" for platform in platforms.split(".")]
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
        (wheel_file,) = [n for n in old.namelist() if n.endswith(".dist-info/WHEEL")]
        record_file = wheel_file[: -len("WHEEL")] + "RECORD"
        lines = old.read(wheel_file).decode().splitlines()
        kept = [line for line in lines if not line.startswith("Tag: ")]
        wheel = ("\n".join(kept + [f"Tag: {tag}" for tag in tags]) + "\n").encode()
        record = []
        for line in old.read(record_file).decode().splitlines():
            if line.startswith(wheel_file + ","):
                line = f"{wheel_file},{record_hash(wheel)},{len(wheel)}"
            record.append(line)
        for info in old.infolist():
            if info.filename == wheel_file:
                data = wheel
            elif info.filename == record_file:
                data = ("\n".join(record) + "\n").encode()
            else:
                data = old.read(info)
            new.writestr(info, data, compress_type=zipfile.ZIP_DEFLATED)
    return target


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    print(retag(pathlib.Path(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])))
