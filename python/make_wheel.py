#!/usr/bin/env python3
"""Packs a built package folder into a wheel that pip installs without an
index: the files, their RECORD (sha256 of each) and the metadata.

  make_wheel.py --package build/python/tessaline --name tessaline --version 0.1.0 \\
                --requires numpy --out build/dist

The wheel (--print-tag: its tag) is tagged for the interpreter that runs this script (cp311-cp311-
linux_x86_64 with Debian 12's python3), since the package holds an
extension built for it; pip refuses it in other Python versions.
"""
import argparse
import base64
import hashlib
import os
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path


def interpreter_tag() -> str:
    abi = sys.implementation.cache_tag.replace("cpython-", "cp")
    return f"{abi}-{abi}-{sysconfig.get_platform().replace('-', '_').replace('.', '_')}"


def _digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def write_wheel(package: Path, name: str, version: str, out: Path, requires=(), tag=None, summary="") -> Path:
    """Writes <out>/<name>-<version>-<tag>.whl holding `package` (a folder
    imported as `package.name`) and returns its path. The wheel appears whole
    or not at all: it is written beside and renamed into place."""
    tag = tag or interpreter_tag()
    python_tag = tag.split("-")[0]
    info = f"{name}-{version}.dist-info"
    minor = f"{sys.version_info.major}.{sys.version_info.minor}"
    requires_python = f">={minor},<{sys.version_info.major}.{sys.version_info.minor + 1}" if python_tag.startswith("cp") else ""
    metadata = [f"Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    if summary:
        metadata.append(f"Summary: {summary}")
    if requires_python:
        metadata.append(f"Requires-Python: {requires_python}")
    metadata += [f"Requires-Dist: {r}" for r in requires]
    wheel = ["Wheel-Version: 1.0", "Generator: tessaline make_wheel", "Root-Is-Purelib: false", f"Tag: {tag}"]
    files = []
    for path in sorted(package.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            files.append((f"{package.name}/{path.relative_to(package).as_posix()}", path.read_bytes(), path.stat().st_mode))
    files.append((f"{info}/METADATA", ("\n".join(metadata) + "\n").encode(), 0o644))
    files.append((f"{info}/WHEEL", ("\n".join(wheel) + "\n").encode(), 0o644))
    record = [f"{arcname},{_digest(data)},{len(data)}" for arcname, data, _ in files] + [f"{info}/RECORD,,"]
    files.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode(), 0o644))

    out.mkdir(parents=True, exist_ok=True)
    target = out / f"{name}-{version}-{tag}.whl"
    fd, partial = tempfile.mkstemp(prefix=f".{target.name}.", dir=out)
    try:
        with os.fdopen(fd, "wb") as raw, zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as archive:
            for arcname, data, mode in files:
                entry = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
                entry.external_attr = (mode & 0o777 | 0o100000) << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(entry, data)
        os.chmod(partial, 0o644)
        os.replace(partial, target)
    except BaseException:
        os.unlink(partial)
        raise
    return target


def main():
    if sys.argv[1:] == ["--print-tag"]:
        print(interpreter_tag())
        return
    cli = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    cli.add_argument("--package", type=Path, required=True, help="the package folder (its name is the import name)")
    cli.add_argument("--name", required=True)
    cli.add_argument("--version", required=True)
    cli.add_argument("--requires", action="append", default=[], help="a requirement (repeatable)")
    cli.add_argument("--summary", default="")
    cli.add_argument("--out", type=Path, required=True, help="the folder the wheel goes into")
    args = cli.parse_args()
    wheel = write_wheel(args.package, args.name, args.version, args.out, args.requires, summary=args.summary)
    for stale in args.out.glob(f"{args.name}-*.whl"):
        if stale != wheel:
            stale.unlink()
    print(wheel)


if __name__ == "__main__":
    main()
