"""CuckooHash at scale: cost per call against the number of keys, beside dict and the floor.

Run with `make bench` (or `PYTHONPATH=<build dir> python3 bench/cuckoo_scale.py`). Prints a
Markdown table of ns per call and draws it as a chart (--chart, default
bench/cuckoo_scale.png; needs matplotlib).

For each size N (12-character keys and values):
- get hit: every key once per pass, in an order unrelated to insertion, from
  CuckooHash(2N) holding the N pairs, from a dict, and through the floor's `echo`
  (bench/floor: the unavoidable part of the call, no table);
- insert: the N pairs into a fresh CuckooHash(2N), into a fresh dict, and through the
  floor's `pair`.
Each figure is the fastest of several passes; compare within one run only.
"""
import argparse
import gc
import os
import random
import sys
import time

from bench import load_floor, pyplot, twelve  # bench/bench.py, beside this file
from brambleloft import CuckooHash

SIZES = (1_000, 10_000, 100_000, 1_000_000)


def per_call(run, items, repeats):
    """ns per item of the fastest of `repeats` passes; run(items) makes one pass."""
    best = float("inf")
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter_ns()
            run(items)
            best = min(best, (time.perf_counter_ns() - start) / len(items))
    finally:
        gc.enable()
    return best


def lookups(get):
    def run(keys):
        for k in keys:
            get(k)

    return run


def inserts(make):
    def run(pairs):
        target = make()
        for k, v in pairs:
            target(k, v)

    return run


def measure(n, floor, repeats):
    keys = [twelve("k", i) for i in range(n)]
    pairs = [(k, twelve("v", i)) for i, k in enumerate(keys)]
    order = random.Random(n).sample(keys, n)
    table = CuckooHash(2 * n)
    for k, v in pairs:
        table.insert(k, v)
    reference = dict(pairs)
    row = {
        "get": [per_call(lookups(table.get), order, repeats), per_call(lookups(reference.get), order, repeats)],
        "insert": [
            per_call(inserts(lambda: CuckooHash(2 * n).insert), pairs, repeats),
            per_call(inserts(lambda: {}.__setitem__), pairs, repeats),
            per_call(inserts(lambda: floor.pair), pairs, repeats),
        ],
    }
    row["get"].append(per_call(lookups(floor.echo), order, repeats))
    return row


def draw(results, path):
    plt = pyplot()
    if plt is None:
        return

    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    titles = {"get": "get hit, every key once, shuffled", "insert": "insert into a fresh table"}
    floors = {"get": "floor (echo)", "insert": "floor (pair)"}
    sizes = sorted(results)
    for ax, operation in zip(axes, ("get", "insert")):
        lines = [("brambleloft", "o-"), ("dict", "s--"), (floors[operation], "^:")]
        for side, (label, style) in enumerate(lines):
            ax.plot(sizes, [results[n][operation][side] for n in sizes], style, label=label)
        ax.set_xscale("log")
        ax.set_xlabel("keys N (CuckooHash(2N))")
        ax.set_ylabel("ns per call")
        ax.set_ylim(bottom=0)
        ax.set_title(titles[operation])
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("chart: %s" % path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "cuckoo_scale.png"))
    parser.add_argument("--no-chart", action="store_true")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    floor = load_floor()
    results = {n: measure(n, floor, args.repeats if n < 1_000_000 else 3) for n in SIZES}

    print(f"Python {sys.version.split()[0]}; ns per call, fastest of {args.repeats} passes")
    heading = "| N | get: brambleloft | dict | floor echo | insert: brambleloft | dict | floor pair |"
    print(heading)
    print("|---" * (heading.count("|") - 1) + "|")
    for n in SIZES:
        cells = []
        for operation in ("get", "insert"):
            cells += ["%.0f" % f for f in results[n][operation]]
        print("| %s | %s |" % (format(n, ","), " | ".join(cells)))
    if not args.no_chart:
        draw(results, args.chart)


if __name__ == "__main__":
    main()
