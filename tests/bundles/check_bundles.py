#!/usr/bin/env python3
"""Checks the unpacked download: its launcher, and every ELF file of the setup bundle and of
the helper bundle inside it.

  needed      every NEEDED library is on the allow-list or found through the file's own
              RUNPATH inside the bundle, and every Qt program has its platform plugin and qt.conf
  resolution  with the bundles in place, the loader (ldd) finds every library and takes every
              bundled one from the bundle; the system's copy counts only where an allowed
              system library needs the same library and so has loaded it first
"""
import os
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bundles"))
from bundle_libraries import is_elf, needed, read_allow_list  # noqa: E402


def runpath(path):
    out = subprocess.run(["readelf", "-d", "-W", str(path)], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        if "(RUNPATH)" in line or "(RPATH)" in line:
            value = line.split("[", 1)[1].rsplit("]", 1)[0]
            return [Path(entry.replace("$ORIGIN", str(path.parent))).resolve() for entry in value.split(":")]
    return []


def check_needed(bundle, elf, allowed, problems):
    folders = runpath(elf)
    names = needed(elf)
    for name in names:
        if name in allowed:
            continue
        inside = [f for f in folders if bundle in f.parents and (f / name).is_file()]
        if not inside:
            problems.append(f"{elf.relative_to(bundle.parent)} needs {name}, neither allowed nor in its bundle")
    if any(name.startswith("libQt6Gui") for name in names):
        contents = next(p for p in elf.parents if p.name == "Contents")
        for part in ("PlugIns/platforms/libqxcb.so", "MacOS/qt.conf"):
            if not (contents / part).is_file():
                problems.append(f"{bundle.name} uses Qt without {part}")


def resolved(path):
    """(soname, where the loader finds it) for everything `path` loads."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("LD_")}
    out = subprocess.run(["ldd", str(path)], capture_output=True, text=True, env=env).stdout
    return [tuple(part.strip() for part in line.split(" => ", 1)) for line in out.splitlines() if " => " in line]


def loaded_for_allowed(allowed):
    """What the allowed libraries of this computer load themselves."""
    names = set()
    for name in allowed:
        path = Path("/lib/x86_64-linux-gnu") / name
        if path.exists():
            names.update(library for library, _ in resolved(path))
    return names


def check_resolution(bundle, elf, problems, system_names):
    contents = next(p for p in elf.parents if p.name == "Contents")
    for name, target in resolved(elf):
        if target.startswith("not found"):
            problems.append(f"{elf.relative_to(bundle.parent)}: {name} is not found")
        elif (contents / "Frameworks" / name).exists() and name not in system_names:
            if not Path(target.split(" (")[0]).resolve().is_relative_to(contents.resolve()):
                problems.append(f"{elf.relative_to(bundle.parent)}: {name} resolves to {target}")


def main():
    mode, archive, allow_list = sys.argv[1:4]
    allowed = read_allow_list(allow_list)
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        with tarfile.open(archive) as tar:
            tops = {Path(member.name).parts[0] for member in tar.getmembers()}
            tar.extractall(folder)
        if tops != {Path(archive).name.removesuffix(".tar.xz")}:
            problems.append(f"the archive holds {sorted(tops)} instead of one folder named after it")
        top = Path(folder) / sorted(tops)[0]
        launcher = top / "Tavrino Sharing Setup"
        if not os.access(launcher, os.X_OK):
            problems.append("the download has no executable launcher")
        elves = [p for p in sorted(top.rglob("*")) if is_elf(p)]
        if len(elves) < 4:
            problems.append(f"only {len(elves)} ELF files in the download")
        system_names = loaded_for_allowed(allowed) if mode == "resolution" else None
        for elf in elves:
            bundle = next(p for p in elf.parents if p.suffix == ".app")
            if mode == "needed":
                check_needed(bundle, elf, allowed, problems)
            else:
                check_resolution(bundle, elf, problems, system_names)
    for problem in problems:
        print(problem)
    print(f"{mode}: {len(elves)} ELF files, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
