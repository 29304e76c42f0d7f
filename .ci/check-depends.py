#!/usr/bin/python3
"""Checks the Depends of every .deb in a folder against what its binaries need.

    check-depends.py <folder of .deb files> [--target-debs <folder>]
                     [--platform <soname>]...

For every ELF file a package holds, every library in its NEEDED list
(readelf -d) must come from a package that the Depends field names:
  - a library that one of the folder's packages holds (matched by SONAME):
    that package, at exactly the same version, unless it is the package
    itself;
  - any other library: the Debian package that provides it, with a version
    bound (>=).  Without --target-debs that is the host's package owning the
    library (dpkg -S); with it, the package among those .deb files (the
    target's, as prepare-mipsel-sysroot.sh keeps them in <sysroot>/debs)
    that holds it.
  - a --platform library (the board brings its own): named by Depends or
    Recommends.
And no library package ("lib...") of Debian's may stand in Depends without
a binary needing it.  Prints each package's Depends; exits 1 on a fault.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

LIB_DIRS = ("lib", "usr/lib", "lib64", "usr/lib64")


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def fields(deb):
    out = run("dpkg-deb", "-f", str(deb), "Package", "Version", "Architecture", "Depends",
              "Recommends")
    values = {}
    for line in out.splitlines():
        key, _, value = line.partition(":")
        values[key] = value.strip()
    return values


def relations(text):
    """{name: [relation text, ...]} of a Depends-style field (alternatives flattened)."""
    result = {}
    for clause in filter(None, (c.strip() for c in text.split(","))):
        for alt in clause.split("|"):
            m = re.match(r"\s*([a-z0-9][a-z0-9+.-]*)(?::\S+)?\s*(?:\((.*)\))?\s*$", alt)
            if not m:
                raise ValueError(f"unreadable relation: {alt!r}")
            result.setdefault(m.group(1), []).append((m.group(2) or "").strip())
    return result


def dynamic(path):
    """(SONAME or None, [NEEDED...]) of an ELF file."""
    out = run("readelf", "-d", str(path))
    soname = None
    needed = []
    for line in out.splitlines():
        m = re.search(r"\((NEEDED|SONAME)\).*\[(.*)\]", line)
        if m and m.group(1) == "NEEDED":
            needed.append(m.group(2))
        elif m:
            soname = m.group(2)
    return soname, needed


def elf_files(root):
    for path in sorted(Path(root).rglob("*")):
        if path.is_file() and not path.is_symlink():
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    yield path


def host_provider(soname, cache={}):
    """The host package that holds the library, by dpkg -S on where it lives."""
    if soname in cache:
        return cache[soname]
    triple = run("gcc", "-print-multiarch").strip()
    found = None
    for d in (f"lib/{triple}", f"usr/lib/{triple}") + LIB_DIRS:
        path = Path("/") / d / soname
        if not path.exists():
            continue
        # Merged /usr: the package may list the file under either name.
        for candidate in {str(path), os.path.realpath(path),
                          str(path).removeprefix("/usr"), "/usr" + str(path)}:
            r = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
            if r.returncode == 0:
                found = r.stdout.split(":")[0].split(",")[0].strip()
                break
        if found:
            break
    cache[soname] = found
    return found


def target_providers(folder):
    """{file name: package} of the libraries in a folder of .deb files."""
    table = {}
    for deb in sorted(Path(folder).glob("*.deb")):
        name = fields(deb)["Package"]
        for line in run("dpkg-deb", "-c", str(deb)).splitlines():
            path = line.split()[5].removeprefix("./")
            if any(path.startswith(d + "/") for d in LIB_DIRS):
                table.setdefault(os.path.basename(path), name)
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--target-debs")
    parser.add_argument("--platform", action="append", default=[])
    args = parser.parse_args()

    debs = sorted(Path(args.folder).glob("*.deb"))
    if not debs:
        sys.exit(f"check-depends: no .deb files in {args.folder}")
    target = target_providers(args.target_debs) if args.target_debs else None
    host_arch = run("dpkg", "--print-architecture").strip()
    faults = []

    with tempfile.TemporaryDirectory() as tmp:
        packages = {}
        for deb in debs:
            info = fields(deb)
            if target is None and info["Architecture"] not in (host_arch, "all"):
                sys.exit(f"check-depends: {deb.name} is for {info['Architecture']}: "
                         "give that architecture's packages with --target-debs")
            root = Path(tmp) / info["Package"]
            run("dpkg-deb", "-x", str(deb), str(root))
            info["elf"] = {p.relative_to(root): dynamic(p) for p in elf_files(root)}
            packages[info["Package"]] = info
        ours = {}  # SONAME -> package holding it
        for name, info in packages.items():
            for soname, _ in info["elf"].values():
                if soname:
                    ours[soname] = name

        for name, info in packages.items():
            depends = relations(info.get("Depends", ""))
            recommends = relations(info.get("Recommends", ""))
            print(f"{name} ({info['Architecture']}): Depends: {info.get('Depends', '')}")
            justified = set()

            def fault(text):
                faults.append(f"{name}: {text}")
                print(f"  FAULT: {text}")

            for path, (_, needed) in info["elf"].items():
                for lib in needed:
                    if lib in args.platform:
                        provider = ours.get(lib)
                        if provider != name and provider not in depends \
                                and provider not in recommends:
                            fault(f"/{path} needs {lib} (the platform's; on a PC {provider}), "
                                  "neither depended on nor recommended")
                        continue
                    if lib in ours:
                        provider = ours[lib]
                        if provider == name:
                            continue
                        if provider not in depends:
                            fault(f"/{path} needs {lib} from {provider}, not in Depends")
                        elif depends[provider] != [f"= {info['Version']}"]:
                            fault(f"{provider} must be at exactly {info['Version']}, "
                                  f"not {depends[provider]}")
                        continue
                    provider = (target.get(lib) if target is not None
                                else host_provider(lib))
                    if provider is None:
                        fault(f"/{path} needs {lib}, which no known package provides")
                        continue
                    justified.add(provider)
                    if provider not in depends:
                        fault(f"/{path} needs {lib} from {provider}, not in Depends")
                    elif not any(r.startswith(">=") for r in depends[provider]):
                        fault(f"{provider} in Depends without a lower version bound")

            for dep in depends:
                if dep.startswith("lib") and dep not in packages and dep not in justified:
                    fault(f"Depends on {dep}, which none of its binaries needs")
            print(f"  {len(info['elf'])} binaries checked")

    if faults:
        print(f"check-depends: {len(faults)} fault(s)", file=sys.stderr)
        return 1
    print(f"check-depends: {len(packages)} packages consistent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
