"""The cost of one call on the running interpreter, for comparing interpreters (the README's PyPy
row): CuckooHash.get on 1,000 stored keys and DAG.has_path on one edge, in ns per call.

Run it with each interpreter against its build, e.g. after make build and make
test-source-installs:
    PYTHONPATH=build python3 bench/per_call.py
    build/nox/install-pypy/bin/python bench/per_call.py
Nothing here is asserted.
"""
import sys
import timeit

from brambleloft import DAG, CuckooHash

KEYS = [f"key-{i:08d}" for i in range(1000)]
table = CuckooHash(1024)
for key in KEYS:
    table.insert(key, "v")
graph = DAG()
graph.add_edge("a", "b")


def get_every_key():
    get = table.get
    for key in KEYS:
        get(key)


def has_path_again():
    has_path = graph.has_path
    for _ in KEYS:
        has_path("a", "b")


for name, run in [("CuckooHash.get", get_every_key), ("DAG.has_path", has_path_again)]:
    for _ in range(20):  # PyPy's JIT compiles the loop first
        run()
    # The fastest of many runs: the least disturbed by the machine.
    best = min(timeit.repeat(run, number=100, repeat=20)) / (100 * len(KEYS))
    print(f"{sys.implementation.name} {sys.version.split()[0]} {name}: {best * 1e9:.0f} ns per call")
