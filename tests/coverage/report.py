"""The enforced figures of `make coverage`, from gcovr's per-line data for src/: the
share of all lines that ran and of all branches taken (branches into exception
handling left out, as gcovr's summary does). The lines that no test can reach are
listed with their reasons in unreachable.txt; the list must stay true, so an entry
that matches no line, or a listed line that ran, fails the check too.

    report.py COVERAGE_JSON MIN_LINE_PERCENT MIN_BRANCH_PERCENT
"""
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def unreachable_lines():
    """{file: set of line numbers}, and the entries that no longer match one line."""
    lines, notes = {}, []
    with open(os.path.join(HERE, "unreachable.txt"), encoding="utf-8") as listing:
        for entry in listing:
            if not entry.strip() or entry.startswith("#"):
                continue
            path, anchor, offset, count, _why = (part.strip() for part in entry.split(" | ", 4))
            with open(os.path.join(ROOT, path), encoding="utf-8") as source:
                matches = [n for n, text in enumerate(source, 1) if re.search(anchor, text)]
            if len(matches) != 1:
                notes.append(f"{path}: /{anchor}/ matches {len(matches)} lines, not one")
                continue
            first = matches[0] + int(offset)
            lines.setdefault(path, set()).update(range(first, first + int(count)))
    return lines, notes


def main(report_path, min_lines, min_branches):
    with open(report_path, encoding="utf-8") as report:
        files = json.load(report)["files"]
    listed, errors = unreachable_lines()
    lines = [0, 0]
    branches = [0, 0]
    untested = []
    for entry in files:
        skip = listed.get(entry["file"], set())
        for line in entry["lines"]:
            if line["gcovr/noncode"] or line["gcovr/excluded"]:
                continue
            number, ran = line["line_number"], line["count"] > 0
            if ran and number in skip:
                errors.append(f"{entry['file']}:{number} is listed as unreachable but ran")
            elif number in skip:
                continue  # left out of the figure, as unreachable.txt says
            elif not ran:
                untested.append(f"{entry['file']}:{number}")
            lines[0] += ran
            lines[1] += 1
            for branch in line["branches"]:
                if not branch.get("throw"):
                    branches[0] += branch["count"] > 0
                    branches[1] += 1
    line_percent = 100.0 * lines[0] / lines[1] if lines[1] else 100.0
    branch_percent = 100.0 * branches[0] / branches[1] if branches[1] else 100.0
    if untested:
        print("lines that no test runs and unreachable.txt does not list:", " ".join(untested))
    print(f"lines: {line_percent:.1f}% ({lines[0]} out of {lines[1]})")
    print(f"branches: {branch_percent:.1f}% ({branches[0]} out of {branches[1]})")
    if line_percent < min_lines:
        errors.append(f"lines below the minimum of {min_lines}%")
    if branch_percent < min_branches:
        errors.append(f"branches below the minimum of {min_branches}%")
    for error in errors:
        print("error:", error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], float(sys.argv[2]), float(sys.argv[3])))
