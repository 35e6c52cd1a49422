#!/usr/bin/env python3
"""Checks abi3t wheels (tagged cp3X-abi3.abi3t) against the stable ABI.

    check_abi3t.py WHEEL...

abi3audit knows the stable ABI's functions and data up to 3.15, but not the abi3t module export:
it takes PyModExport_<name> for a symbol outside the stable ABI. So its JSON report is read here,
and a wheel passes when every extension in it is an .abi3t.so that uses nothing newer than the
wheel's Python tag and nothing outside the stable ABI but its own PyModExport_<name>. What abi3t
adds to abi3, an opaque PyObject, is the compiler's to enforce (Py_TARGET_ABI3T).
"""
import json
import subprocess
import sys
import tempfile
from pathlib import Path


def problems(wheel: str, report: dict) -> list:
    found = []
    extensions = report["specs"][wheel]["wheel"]  # keyed by the argument as given
    if not extensions:
        found.append("holds no extension module")
    for extension in extensions:
        name, result = extension["name"], extension["result"]
        if not name.endswith(".abi3t.so"):
            found.append(f"{name}: not named *.abi3t.so")
        export = "PyModExport_" + Path(name).name.split(".")[0]
        foreign = sorted(set(result["non_abi3_symbols"]) - {export})
        if foreign:
            found.append(f"{name}: symbols outside the stable ABI: {', '.join(foreign)}")
        if not result["is_abi3_baseline_compatible"]:
            found.append(f"{name}: needs the stable ABI of {result['computed']}, "
                         f"tagged for {result['baseline']}")
    return found


def main(wheels: list) -> int:
    if not wheels:
        raise SystemExit("usage: check_abi3t.py WHEEL...")
    with tempfile.TemporaryDirectory() as folder:
        output = Path(folder) / "report.json"
        # Its exit status counts the export hook as a violation; the report says what it found.
        subprocess.run(["abi3audit", "--report", "--output", str(output), *wheels], check=False)
        report = json.loads(output.read_text())
    failed = False
    for wheel in wheels:
        found = problems(wheel, report)
        for problem in found:
            print(f"{Path(wheel).name}: {problem}")
        if not found:
            print(f"{Path(wheel).name}: stable ABI only, with its abi3t export hook")
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
