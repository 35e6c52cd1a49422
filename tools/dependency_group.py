#!/usr/bin/env python3
"""Prints one dependency group of pyproject.toml as requirement lines, for pip install -r.

    dependency_group.py NAME [PYPROJECT]

Groups that include others are expanded. Markers stay on their lines: the pip that installs
them weighs them for the interpreter it installs into, however old that pip is.
"""
import sys
import tomllib
from pathlib import Path


def requirements(groups, name, seen=()):
    if name in seen:
        raise SystemExit(f"dependency group {name!r} includes itself")
    if name not in groups:
        raise SystemExit(f"pyproject.toml has no dependency group {name!r}")
    for entry in groups[name]:
        if isinstance(entry, str):
            yield entry
        else:
            yield from requirements(groups, entry["include-group"], (*seen, name))


def main(argv):
    if len(argv) not in (1, 2):
        raise SystemExit("usage: dependency_group.py NAME [PYPROJECT]")
    pyproject = Path(argv[1] if len(argv) == 2 else Path(__file__).resolve().parent.parent / "pyproject.toml")
    groups = tomllib.loads(pyproject.read_text())
    for line in requirements(groups.get("dependency-groups", {}), argv[0]):
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
