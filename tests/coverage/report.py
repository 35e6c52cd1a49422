"""The enforced line figure of `make coverage`: gcovr's per-line data for src/ with
the lines of unreachable.txt left out.

    report.py COVERAGE_JSON MIN_PERCENT
"""
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def unreachable_lines():
    """{file: set of line numbers}, and notes on entries that no longer match."""
    lines, notes = {}, []
    with open(os.path.join(HERE, "unreachable.txt"), encoding="utf-8") as listing:
        for entry in listing:
            if not entry.strip() or entry.startswith("#"):
                continue
            path, anchor, offset, count, _why = (part.strip() for part in entry.split(" | ", 4))
            with open(os.path.join(ROOT, path), encoding="utf-8") as source:
                matches = [n for n, text in enumerate(source, 1) if re.search(anchor, text)]
            if len(matches) != 1:
                notes.append(f"{path}: /{anchor}/ matches {len(matches)} lines, not one: counted as usual")
                continue
            first = matches[0] + int(offset)
            lines.setdefault(path, set()).update(range(first, first + int(count)))
    return lines, notes


def main(report_path, minimum):
    with open(report_path, encoding="utf-8") as report:
        files = json.load(report)["files"]
    excluded, notes = unreachable_lines()
    covered = total = left_out = 0
    for entry in files:
        skip = excluded.get(entry["file"], set())
        for line in entry["lines"]:
            if line["gcovr/noncode"] or line["gcovr/excluded"]:
                continue
            number, ran = line["line_number"], line["count"] > 0
            if number in skip and not ran:
                left_out += 1
                continue
            if number in skip:
                notes.append(f"{entry['file']}:{number} is listed as unreachable but ran: counted")
            total += 1
            covered += ran
    for note in notes:
        print("note:", note)
    percent = 100.0 * covered / total if total else 100.0
    print(f"reachable lines: {percent:.1f}% ({covered} out of {total}); "
          f"{left_out} lines no test can reach are listed in tests/coverage/unreachable.txt")
    if percent < minimum:
        print(f"coverage below the minimum of {minimum}%")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], float(sys.argv[2])))
