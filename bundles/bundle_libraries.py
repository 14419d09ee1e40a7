#!/usr/bin/env python3
"""Makes an application bundle self-contained.

Every library an ELF file of the bundle needs that is not on the allow-list of
system libraries is copied into Contents/Frameworks under its soname, and so on
for what those libraries need; each ELF file that needs a bundled library gets a
RUNPATH relative to $ORIGIN. With --qt-platform-plugin the Qt xcb plugin goes to
Contents/PlugIns/platforms and a qt.conf beside the executables points Qt at the
bundle, so no system Qt is ever picked up. Everything is stripped. The licence
texts of the Debian packages behind the bundled libraries and the static
archives linked in are gathered in Contents/Resources/NOTICES.txt.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
from pathlib import Path


def read_allow_list(path):
    names = set()
    for line in Path(path).read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            names.add(line)
    return names


def is_elf(path):
    if path.is_symlink() or not path.is_file():
        return False
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def needed(path):
    out = subprocess.run(["readelf", "-d", "-W", str(path)], check=True, capture_output=True, text=True).stdout
    return [line.split("[", 1)[1].split("]", 1)[0] for line in out.splitlines() if "(NEEDED)" in line]


def system_libraries():
    """soname -> path of the 64-bit libraries the loader knows."""
    out = subprocess.run(["ldconfig", "-p"], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines()[1:]:
        if "x86-64" not in line or " => " not in line:
            continue
        name, path = line.strip().split(" => ")
        found.setdefault(name.split(" ", 1)[0], path)
    return found


def packages_of(files):
    """file -> the Debian package that installed it, asked in one query."""
    candidates = {}
    for path in files:
        for p in {path, os.path.realpath(path)}:
            candidates[p] = path
            if p.startswith("/usr/lib/"):
                candidates[p[len("/usr"):]] = path
            elif p.startswith("/lib/"):
                candidates["/usr" + p] = path
    out = subprocess.run(["dpkg-query", "-S", *candidates], capture_output=True, text=True).stdout
    owners = {}
    for line in out.splitlines():
        package, owned = line.split(": ", 1)
        if owned in candidates:
            owners[candidates[owned]] = package.split(":", 1)[0]
    for path in files:
        if path not in owners:
            sys.exit(f"No Debian package owns {path}, so its licence cannot be shipped.")
    return owners


def write_notices(path, sources):
    """sources: file taken from the system -> its name in the bundle."""
    origins = {}
    for source, package in packages_of(list(sources)).items():
        origins.setdefault(package, set()).add(sources[source])
    parts = ["Licences of the libraries inside this application, as their Debian packages state them.\n"]
    for package in sorted(origins):
        copyright_file = Path("/usr/share/doc") / package / "copyright"
        if not copyright_file.exists():
            sys.exit(f"The package {package} has no copyright file to ship.")
        files = ", ".join(sorted(origins[package]))
        parts.append(f"\n{'=' * 78}\n{package}: {files}\n{'=' * 78}\n\n{copyright_file.read_text(errors='replace')}")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(parts))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bundle", type=Path)
    parser.add_argument("--allow-list", required=True)
    parser.add_argument("--qt-platform-plugin", help="the Qt xcb platform plugin, for bundles that use Qt")
    parser.add_argument("--archive", action="append", default=[], help="a static archive linked into the bundle")
    parser.add_argument("--skip", action="append", default=[], help="a folder inside the bundle left as it is")
    parser.add_argument("--share-with", type=Path, help="a folder of bundled libraries to hard-link identical files to")
    args = parser.parse_args()

    contents = args.bundle / "Contents"
    frameworks = contents / "Frameworks"
    allowed = read_allow_list(args.allow_list)
    skipped = [contents / s for s in args.skip]
    sources = {}

    if args.qt_platform_plugin:
        platforms = contents / "PlugIns" / "platforms"
        platforms.mkdir(parents=True, exist_ok=True)
        plugin = platforms / Path(args.qt_platform_plugin).name
        shutil.copyfile(args.qt_platform_plugin, plugin)
        sources[args.qt_platform_plugin] = plugin.name
        # Qt reads qt.conf from the folder of the running executable; paths
        # in it are relative to that folder.
        (contents / "MacOS" / "qt.conf").write_text("[Paths]\nPrefix = ..\nPlugins = PlugIns\nLibraries = Frameworks\n")

    pending = [p for p in sorted(contents.rglob("*"))
               if is_elf(p) and not any(s in p.parents for s in skipped)]
    system = system_libraries()
    done = set()
    while pending:
        elf = pending.pop()
        if elf in done:
            continue
        done.add(elf)
        bundled_any = False
        for name in needed(elf):
            if name in allowed:
                continue
            bundled_any = True
            copy = frameworks / name
            if copy.exists():
                continue
            if name not in system:
                sys.exit(f"{elf.name} needs {name}, which this computer does not have.")
            frameworks.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(system[name], copy)
            copy.chmod(0o644)
            sources[system[name]] = name
            pending.append(copy)
        subprocess.run(["strip", "--strip-unneeded", str(elf)], check=True)
        if bundled_any:
            relative = os.path.relpath(frameworks, elf.parent)
            runpath = "$ORIGIN" if relative == "." else f"$ORIGIN/{relative}"
            subprocess.run(["patchelf", "--set-rpath", runpath, str(elf)], check=True)

    for archive in args.archive:
        sources[archive] = Path(archive).name
    if sources:
        write_notices(contents / "Resources" / "NOTICES.txt", sources)

    # The same library in a nested bundle is stored once.
    if args.share_with and frameworks.is_dir() and args.share_with.is_dir():
        for lib in frameworks.iterdir():
            twin = args.share_with / lib.name
            if twin.is_file() and filecmp.cmp(lib, twin, shallow=False):
                lib.unlink()
                os.link(twin, lib)


if __name__ == "__main__":
    main()
