#!/usr/bin/env python3
"""Fails when a shared object in the named wheels (or a named shared object) asks for an
executable stack: glibc then makes every thread's stack executable when it loads the module,
and newer systems refuse to load it. auditwheel does not check this.

    check_execstack.py FILE...

Needs pyelftools (it comes with auditwheel).
"""

import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

PF_X = 1


def shared_objects(path):
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as wheel:
            for name in wheel.namelist():
                if name.endswith(".so") or ".so." in name:
                    yield f"{path}:{name}", io.BytesIO(wheel.read(name))
    else:
        with open(path, "rb") as file:
            yield path, io.BytesIO(file.read())


def main(paths):
    found, checked = [], 0
    for path in paths:
        for name, data in shared_objects(path):
            checked += 1
            stacks = [s for s in ELFFile(data).iter_segments() if s["p_type"] == "PT_GNU_STACK"]
            if not stacks or stacks[0]["p_flags"] & PF_X:
                found.append(f"{name}: asks for an executable stack")
    for line in found:
        print(line)
    if not checked:
        print("no shared object among: " + " ".join(paths))
        return 1
    if not found:
        print(f"no executable stack in {checked} shared object(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
