"""A short tour of brambleloft: a string table and a task graph."""
from brambleloft import DAG, CuckooHash


def table_tour():
    print("== CuckooHash: a str -> str table")
    capitals = CuckooHash(16)
    for country, city in [("France", "Paris"), ("Japan", "Tokyo"), ("Peru", "Lima"), ("Kenya", "Nairobi")]:
        capitals.insert(country, city)
    print("Japan ->", capitals.get("Japan"))
    print("Chile ->", capitals.get("Chile"), "(absent keys answer None)")

    # Each key has exactly two candidate slots, one per table.
    print("slots of 'Peru':", capitals.hash1("Peru"), "in table 1,", capitals.hash2("Peru"), "in table 2")

    # The table grows as it fills and never loses a stored pair. insert answers False when the
    # pair found no slot even after growing once, which is always the case for a key that
    # already holds two values: retrying would only grow the table again, so a refusal is
    # reported, not retried.
    refused = [n for n in range(200) if not capitals.insert(f"country-{n}", f"city-{n}")]
    print(f"200 more inserts, {len(refused)} refused; country-123 ->", capitals.get("country-123"))

    print("remove('Peru') ->", capitals.remove("Peru"), "then get('Peru') ->", capitals.get("Peru"))

    # Insertion never replaces: one key may hold two values, get answers one of them.
    versions = CuckooHash(8)
    versions.insert("release", "1.0")
    versions.insert("release", "2.0")
    print("a third value for the key is refused:", not versions.insert("release", "3.0"))
    print("a key with two values answers", versions.get("release"), end="; ")
    versions.remove("release")
    print("after one remove:", versions.get("release"))


def graph_tour():
    print("\n== DAG: the tasks of a build")
    build = DAG()
    for task, needs in [("compile", "fetch"), ("test", "compile"), ("package", "compile"), ("publish", "package")]:
        build.add_edge(needs, task)  # an edge runs from a prerequisite to what depends on it
    print("fetch must come before publish:", build.has_path("fetch", "publish"))
    print("test leads to publish:", build.has_path("test", "publish"))
    print("make fetch depend on publish? accepted:", build.add_edge("publish", "fetch"), "(it would close a cycle)")
    print("add compile -> test again? accepted:", build.add_edge("compile", "test"), "(duplicate edge)")

    # A finished task gives its index back; the next new task reuses it.
    index = build.get_or_create_index("test")
    build.finish_node("test")
    print(f"'test' finished and freed index {index}; 'lint' gets index", build.get_or_create_index("lint"))
    print("the freed task has no edges left: compile leads to test?", build.has_path("compile", "test"))


if __name__ == "__main__":
    table_tour()
    graph_tour()
