"""Resolves "does A need B" over a generated graph of 100,000 packages.

    python3 examples/dependency_resolver.py [--packages N] [--seed S]

Each package needs up to three packages published before it; an edge runs from a
package to each package it needs. Then some old packages ask for a dependency on a
newer one: the DAG stores such an edge only when the newer package does not already
need the old one, so the graph never holds a cycle. Queries then ask whether one
package needs another, directly or through others.
"""
import argparse
import random
import sys
import time

from brambleloft import DAG


def name(i):
    return f"pkg-{i:06d}"


def timed(operations):
    """Runs each zero-argument call; returns the answers and the seconds taken."""
    start = time.perf_counter()
    answers = [operation() for operation in operations]
    return answers, time.perf_counter() - start


def per_operation(seconds, count):
    return f"{seconds / count * 1e6:.2f} µs per operation"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    n, rng = args.packages, random.Random(args.seed)
    graph = DAG()

    # Every package but the first needs 1 to 3 distinct earlier ones: always acyclic.
    needs = [(name(i), name(j)) for i in range(1, n) for j in set(rng.randrange(i) for _ in range(rng.randint(1, 3)))]
    stored, seconds = timed([lambda a=a, b=b: graph.add_edge(a, b) for a, b in needs])
    print(f"built {n:,} packages with {sum(stored):,} dependencies: {per_operation(seconds, len(needs))}")

    # Old packages asking for newer ones: refused whenever the newer one needs the old.
    late = [(name(rng.randrange(n // 10)), name(rng.randrange(n // 2, n))) for _ in range(1_000)]
    stored, seconds = timed([lambda a=a, b=b: graph.add_edge(a, b) for a, b in late])
    refused = len(late) - sum(stored)
    print(f"{len(late):,} late requests: {sum(stored):,} stored, {refused:,} refused as cycles: "
          f"{per_operation(seconds, len(late))}")

    queries = [(name(rng.randrange(n)), name(rng.randrange(n))) for _ in range(100_000)]
    answers, seconds = timed([lambda a=a, b=b: graph.has_path(a, b) for a, b in queries])
    print(f"{len(queries):,} queries 'does A need B': {sum(answers):,} yes: {per_operation(seconds, len(queries))}")

    newest, oldest = name(n - 1), name(0)
    print(f"does {newest} need {oldest}? {'yes' if graph.has_path(newest, oldest) else 'no'}; "
          f"does {oldest} need {newest}? {'yes' if graph.has_path(oldest, newest) else 'no'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
