"""How reads of one shared instance scale with threads, on a free-threaded CPython.

    PYTHONPATH=<module dir> python3.13t bench/parallel_reads.py [--keys N] [--seconds S]

Each thread calls get on the same CuckooHash of N keys (present keys, str objects of its own,
in a shuffled order of its own) for S seconds; the same for dict.get on one shared dict, the interpreter's own floor
(reference counting on a shared object costs there too). Prints calls per second with 1 and 2
threads and the scaling, 2 threads against 1, best of --repeat runs.
"""
import argparse
import random
import sys
import threading
import time

from brambleloft import CuckooHash


def throughput(get, keys, threads, seconds):
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def reader(slot):
        # Keys of the thread's own, as a real reader has: shared key objects would measure the
        # interpreter's reference counting on them, not the lookups.
        order = [key.encode().decode() for key in keys]
        random.Random(slot).shuffle(order)
        start.wait()
        chunks = [order[i : i + 1000] for i in range(0, len(order), 1000)]
        done = 0
        while not stop.is_set():
            for key in chunks[done // 1000 % len(chunks)]:
                get(key)
            done += 1000
        counts[slot] = done

    workers = [threading.Thread(target=reader, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, {args.keys:,} keys")
    keys = [f"key-{i:07d}" for i in range(args.keys)]
    table = CuckooHash(args.keys)
    shared = {}
    for key in keys:
        table.insert(key, "value-" + key)
        shared[key] = "value-" + key
    rows = {}
    for label, get in (("CuckooHash.get", table.get), ("dict.get", shared.get)):
        one = max(throughput(get, keys, 1, args.seconds) for _ in range(args.repeat))
        two = max(throughput(get, keys, 2, args.seconds) for _ in range(args.repeat))
        rows[label] = two / one
        print(f"{label:<16} 1 thread {one / 1e6:6.2f} M/s   2 threads {two / 1e6:6.2f} M/s   scaling {two / one:.2f}x")
    print(f"CuckooHash scaling / dict scaling: {rows['CuckooHash.get'] / rows['dict.get']:.0%}")


if __name__ == "__main__":
    main()
