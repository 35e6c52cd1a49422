"""A CuckooHash as the memo of an expensive str -> str function, beside a dict.

    python3 examples/string_table.py [--requests N] [--users N]

The function derives a 64-character token from a user name by many rounds of
PBKDF2; the requests ask for tokens of a skewed mix of users, so most are repeats
that the memo answers. The table is sized for the number of users expected: it grows
by its initial size each time it fills, so a table made far too small pays for many
growths (see the README on choosing the initial capacity).
"""
import argparse
import hashlib
import os
import random
import subprocess
import sys
import time

from brambleloft import CuckooHash

SALT = b"brambleloft example"


def token(user):
    """The expensive function: tens of microseconds per call."""
    return hashlib.pbkdf2_hmac("sha256", user.encode(), SALT, 100).hex()


def user_name(i):
    return f"user-{i:07d}"


def requests(count, users, seed):
    """User names, a few very popular and most rarely asked for."""
    rng = random.Random(seed)
    return [user_name(int(users * rng.random() ** 3)) for _ in range(count)]


class Memo:
    """Remembers the function's answers in a CuckooHash."""

    def __init__(self, function, expected):
        self.function = function
        self.table = CuckooHash(expected)  # sized for the keys expected, not grown from a few slots
        self.computed = 0

    def __call__(self, key):
        value = self.table.get(key)
        if value is None:
            value = self.function(key)
            self.computed += 1
            # A False only means the pair is not kept: the next request computes it again.
            self.table.insert(key, value)
        return value


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fill(kind, count):
    """Resident bytes per pair that a new table or dict of `count` pairs keeps. The values
    have the tokens' length, which is all that memory depends on."""
    pairs = ((user_name(i), hashlib.sha256(user_name(i).encode()).hexdigest()) for i in range(count))
    before = resident_bytes()
    if kind == "CuckooHash":
        kept = CuckooHash(count)
        for key, value in pairs:
            kept.insert(key, value)
    else:
        kept = {key: value for key, value in pairs}
    return (resident_bytes() - before) / count


def measured_in_child(kind, count):
    """fill() in a fresh interpreter, so that neither side inherits the other's free memory."""
    command = [sys.executable, os.path.abspath(__file__), "--memory-of", kind, "--users", str(count)]
    return float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=300_000)
    parser.add_argument("--users", type=int, default=30_000)
    parser.add_argument("--memory-of", choices=["CuckooHash", "dict"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_of:
        print(fill(args.memory_of, args.users))
        return 0
    names = requests(args.requests, args.users, seed=7)

    memo = Memo(token, args.users)
    start = time.perf_counter()
    tokens = [memo(name) for name in names]
    memo_seconds = time.perf_counter() - start
    assert tokens[-1] == token(names[-1])

    start = time.perf_counter()
    for name in names[:2_000]:
        token(name)
    plain_seconds = (time.perf_counter() - start) / 2_000 * len(names)

    computed = memo.computed
    print(f"{len(names):,} requests for {computed:,} distinct users: "
          f"{len(names) - computed:,} answered by the memo ({(len(names) - computed) / len(names):.0%})")
    print(f"with the memo: {memo_seconds:.2f} s; calling the function every time: about {plain_seconds:.1f} s")
    ours, theirs = measured_in_child("CuckooHash", computed), measured_in_child("dict", computed)
    print(f"memory for {computed:,} pairs: CuckooHash {ours:.0f} B per pair, "
          f"dict with its str objects {theirs:.0f} B per pair ({ours / theirs:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
