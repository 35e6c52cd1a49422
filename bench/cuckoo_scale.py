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

Then long keys, whose cost must not grow with the length of keys already stored:
- fill: CuckooHash(16) filled with 2,000 keys of 100 KB (growing some 100 times on the
  way), against a dict given the same keys as fresh str objects (a str keeps its hash
  once computed, so each side gets its own copies); for reference, the same keys into
  CuckooHash(4,000), which never grows, copied (str.encode), and hashed only (hash1, hash2);
- after a 50 MB key: 40 short keys inserted into CuckooHash(4) holding one key of
  50 MB (growing on the way), in all and the slowest one, beside the same without it;
- growth by key length: a growth of CuckooHash(20,000) holding 20,000 pairs (as in
  bench.py's growth row), per pair re-placed, for keys of 12 to 1,024 bytes. Keys over
  64 bytes keep their digests; shorter ones are hashed again.
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
KEY_LENGTHS = (12, 32, 64, 65, 256, 1024)


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


def timed(run):
    """Seconds that run() takes, with the collector off."""
    gc.disable()
    try:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    finally:
        gc.enable()


def long_key(i, length):
    # A new str object at each call, so its hash is not known yet.
    return (f"{i:09d}:" * (length // 10 + 1))[:length]


def copies_kept():
    kept = []
    return lambda k, v: kept.append(k.encode())


def digests_only():
    table = CuckooHash(1)
    return lambda k, v: (table.hash1(k), table.hash2(k))


def long_key_fill(repeats, count=2_000, length=100_000):
    """Seconds to take `count` keys of `length` characters: CuckooHash(16), a dict, and
    for reference CuckooHash(2 * count), which never grows, a copy of each key's bytes
    (str.encode), which is what storing them takes from fresh memory, and the XXH32 and
    XXH64 digests of each key alone."""
    sides = {
        "CuckooHash(16)": lambda: CuckooHash(16).insert,
        "dict": lambda: {}.__setitem__,
        "CuckooHash(4,000)": lambda: CuckooHash(2 * count).insert,
        "copies (str.encode)": copies_kept,
        "digests only (hash1, hash2)": digests_only,
    }
    best = dict.fromkeys(sides, float("inf"))
    for _ in range(repeats):
        for side, make in sides.items():
            keys = [long_key(i, length) for i in range(count)]
            target = make()

            def fill():
                for k in keys:
                    target(k, "v")

            best[side] = min(best[side], timed(fill))
            del keys, target
    return best


def after_big_key(repeats, big_length=50_000_000, count=40):
    """(total, slowest) seconds of `count` short inserts into CuckooHash(4), with and
    without a key of `big_length` characters stored first, and into a dict with it."""
    big = "x" * big_length
    rows = {}
    for label, first in (("CuckooHash(4) holding the 50 MB key", big), ("CuckooHash(4) alone", None),
                         ("dict holding the 50 MB key", big)):
        total, slowest = float("inf"), float("inf")
        for _ in range(repeats):
            if label.startswith("dict"):
                target = {}.__setitem__
            else:
                target = CuckooHash(4).insert
            if first is not None:
                target(first, "v")
            times = [timed(lambda: target(f"short-{i}", "v")) for i in range(count)]
            total, slowest = min(total, sum(times)), min(slowest, max(times))
        rows[label] = (total, slowest)
    return rows


def growth_by_key_length(repeats, n=20_000):
    """ns per pair re-placed by one growth, for keys of each length in KEY_LENGTHS."""
    figures = {}
    for length in KEY_LENGTHS:
        keys = [long_key(i, length) for i in range(n - 2)]
        best = float("inf")
        for _ in range(repeats):
            table = CuckooHash(n)
            for k in keys:
                table.insert(k, "v")
            table.insert("twice", "a")
            table.insert("twice", "b")
            # A third pair of one key is always refused, after exactly one growth.
            elapsed = timed(lambda: table.insert("twice", "c"))
            best = min(best, elapsed * 1e9 / n)
        figures[length] = best
    return figures


def long_keys(repeats):
    fill = long_key_fill(repeats)
    print(f"\nLong keys, fastest of {repeats} passes")
    print("| 2,000 keys of 100 KB into | time | / dict |")
    print("|---|---|---|")
    for side, seconds in fill.items():
        print(f"| {side} | {seconds:.3f} s | {seconds / fill['dict']:.2f} |")
    print("\n| 40 short inserts | in all | slowest |")
    print("|---|---|---|")
    for label, (total, slowest) in after_big_key(repeats).items():
        print(f"| {label} | {total * 1e3:.3f} ms | {slowest * 1e3:.3f} ms |")
    figures = growth_by_key_length(repeats)
    print("\n| key length (bytes) | " + " | ".join(str(n) for n in KEY_LENGTHS) + " |")
    print("|---" * (len(KEY_LENGTHS) + 1) + "|")
    print("| growth, ns per pair re-placed | " + " | ".join(f"{figures[n]:.0f}" for n in KEY_LENGTHS) + " |")


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


def scale(args):
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "cuckoo_scale.png"))
    parser.add_argument("--no-chart", action="store_true")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--long-key-repeats", type=int, default=3)
    parser.add_argument("--part", choices=("all", "scale", "long-keys"), default="all")
    args = parser.parse_args()
    if args.part != "long-keys":
        scale(args)
    if args.part != "scale":
        long_keys(args.long_key_repeats)


if __name__ == "__main__":
    main()
