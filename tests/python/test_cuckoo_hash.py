"""CuckooHash semantics against an independent model and an independent xxHash."""
import ctypes
import ctypes.util
import random
import shutil
import subprocess

import pytest

from brambleloft import CuckooHash

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


def load_system_xxhash():
    for name in ("libxxhash.so.0", ctypes.util.find_library("xxhash")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.XXH32.restype = ctypes.c_uint32
        lib.XXH32.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32]
        lib.XXH64.restype = ctypes.c_uint64
        lib.XXH64.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64]
        return lib
    return None


XXHASH = load_system_xxhash()
needs_oracle = pytest.mark.skipif(XXHASH is None, reason="Debian's libxxhash.so.0 is not installed")


def oracle(key):
    data = key.encode("utf-8")
    return XXHASH.XXH32(data, len(data), 0), XXHASH.XXH64(data, len(data), 0)


@needs_oracle
@settings(max_examples=300, deadline=None)
@given(key=st.text(alphabet=st.characters(blacklist_categories=("Cs",))), size=st.integers(1, 4096))
def test_indices_are_the_system_digests_modulo_the_capacity(key, size):
    h32, h64 = oracle(key)
    table = CuckooHash(size)
    assert table.hash1(key) == h32 % size
    assert table.hash2(key) == h64 % size


@pytest.mark.skipif(shutil.which("xxhsum") is None, reason="xxhsum is not installed")
@pytest.mark.parametrize("key", ["", "a", "brambleloft", "ключ", "x" * 1000])
def test_indices_agree_with_xxhsum(key):
    def digest(bits):
        out = subprocess.run(["xxhsum", f"-H{bits // 32 - 1}"], input=key.encode(), capture_output=True, check=True)
        return int(out.stdout.split()[0], 16)

    h32, h64 = digest(32), digest(64)
    for size in (1, 2, 1000, 4093, 65536):
        table = CuckooHash(size)
        assert table.hash1(key) == h32 % size
        assert table.hash2(key) == h64 % size


def test_capacity_one_maps_every_key_to_slot_zero():
    table = CuckooHash(1)
    assert {table.hash1(k) for k in ("a", "b", "")} == {0}
    assert {table.hash2(k) for k in ("a", "b", "")} == {0}


def test_new_tables_hold_nothing():
    table = CuckooHash(16)
    for key in ("", "a", "b"):
        assert table.get(key) is None
        assert table.remove(key) is False


def test_keys_are_exact_strings():
    table = CuckooHash(32)
    assert table.insert("Key", "1")
    assert table.insert("\u00e9", "composed")
    assert table.insert("", "empty")
    assert table.get("key") is None
    assert table.get("e\u0301") is None
    assert table.get("\u00e9") == "composed"
    assert table.get("") == "empty"


def test_a_key_holds_at_most_two_values_and_a_third_is_refused():
    table = CuckooHash(1)
    assert table.insert("k", "first") is True
    assert table.insert("k", "second") is True
    hashes_before = (table.hash1("zz"), table.hash2("zz"))
    assert hashes_before == (0, 0)
    assert table.insert("k", "third") is False
    assert table.hash1("k") < 2 and table.hash2("k") < 2  # grew once, to 2
    assert [table.get("k"), table.remove("k"), table.get("k"), table.remove("k"), table.remove("k")] == [
        "first",
        True,
        "second",
        True,
        False,
    ]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("size", [1, 2, 7, 64])
def test_random_operations_never_lose_a_pair(seed, size):
    rng = random.Random(seed)
    table = CuckooHash(size)
    stored = {}  # key -> multiset of values held
    keys = [f"k{i}" for i in range(40)] + [""]
    for step in range(600):
        key = rng.choice(keys)
        action = rng.random()
        if action < 0.55:
            value = f"v{step}"
            ok = table.insert(key, value)
            held = stored.setdefault(key, [])
            if ok:
                held.append(value)
            # True exactly when stored; a key never holds more than two pairs.
            assert ok == (len(held) <= 2 and value in held)
            assert len(held) <= 2
        elif action < 0.8:
            got = table.get(key)
            assert (got is None) == (not stored.get(key))
            if got is not None:
                assert got in stored[key]
        else:
            before = table.get(key)
            ok = table.remove(key)
            assert ok == (before is not None)
            if ok:
                # The pair removed is the one get() answered with; the other stays.
                stored[key].remove(before)
                after = table.get(key)
                assert after == (stored[key][0] if stored[key] else None)
    for key, held in stored.items():
        seen = []
        while True:
            value = table.get(key)
            if value is None:
                break
            seen.append(value)
            assert table.remove(key)
        assert sorted(seen) == sorted(held)


def test_values_and_keys_of_any_length_round_trip():
    table = CuckooHash(8)
    big = "x" * 100_000
    assert table.insert(big, big + "!")
    assert table.insert("nul\0key", "nul\0value")
    assert table.get(big) == big + "!"
    assert table.get("nul\0key") == "nul\0value"
    assert table.get("nul") is None


def test_refused_third_values_keep_every_earlier_pair():
    table = CuckooHash(1000)
    others = {f"other{i}": f"v{i}" for i in range(100)}
    for key, value in others.items():
        assert table.insert(key, value)
    assert table.insert("k", "first") and table.insert("k", "second")
    # Each refusal grows the tables once; the pairs already held all stay.
    assert [table.insert("k", str(i)) for i in range(200)] == [False] * 200
    assert table.hash1("\u00e9") < 1000 * 202
    assert all(table.get(key) == value for key, value in others.items())
    # Growth re-places the two pairs of "k", possibly into each other's tables.
    held = [table.get("k"), table.remove("k"), table.get("k"), table.remove("k"), table.get("k")]
    assert sorted(held[0:3:2]) == ["first", "second"] and held[1:] == [True, held[2], True, None]


@needs_oracle
def test_a_table_of_a_hundred_million_slots_is_made_and_used():
    size = 10**8
    table = CuckooHash(size)
    keys = [f"key{i}" for i in range(1000)]
    assert all(table.insert(key, key.upper()) for key in keys)
    assert all(table.get(key) == key.upper() for key in keys)
    h32, h64 = oracle("key7")
    assert (table.hash1("key7"), table.hash2("key7")) == (h32 % size, h64 % size)
