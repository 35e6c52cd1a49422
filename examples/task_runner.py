"""Runs the tasks of a Makefile-like file in dependency order on a thread pool.

    python3 examples/task_runner.py [TASK_FILE] [--workers N]

Each rule reads "target: prerequisites", followed by indented recipe lines; the only
recipe understood is "sleep SECONDS", standing in for real work. Every prerequisite
becomes an edge of a DAG, from the prerequisite to the task that needs it, so a rule
that would close a cycle is refused before anything runs. A task starts as soon as its
last prerequisite has finished, and finish_node drops it from the graph when it is done.
"""
import argparse
import concurrent.futures
import os
import sys
import time

from brambleloft import DAG

HERE = os.path.dirname(os.path.abspath(__file__))


class CycleError(Exception):
    pass


def parse(path):
    """{task: seconds} and [(line number, prerequisite, task)], in file order."""
    durations, edges, current = {}, [], None
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            text = line.split("#", 1)[0].rstrip()
            if not text:
                continue
            if line[0] in " \t":  # a recipe line of the current rule
                verb, _, seconds = text.strip().partition(" ")
                if current is None or verb != "sleep":
                    sys.exit(f"{path}:{number}: only 'sleep SECONDS' recipes inside a rule are understood")
                durations[current] += float(seconds)
                continue
            target, colon, prerequisites = text.partition(":")
            if not colon:
                sys.exit(f"{path}:{number}: expected 'target: prerequisites'")
            current = target.strip()
            durations.setdefault(current, 0.0)
            for prerequisite in prerequisites.split():
                durations.setdefault(prerequisite, 0.0)
                edges.append((number, prerequisite, current))
    return durations, edges


def build_graph(path, durations, edges):
    graph = DAG()
    for task in durations:
        graph.add_node(task)
    needed_by = {task: [] for task in durations}
    waiting_for = {task: 0 for task in durations}
    for number, prerequisite, task in edges:
        if graph.add_edge(prerequisite, task):
            needed_by[prerequisite].append(task)
            waiting_for[task] += 1
        elif prerequisite == task or graph.has_path(task, prerequisite):
            raise CycleError(
                f"{path}:{number}: refusing '{task}: {prerequisite}' (the edge {prerequisite} -> {task}): "
                f"{prerequisite} already depends on {task}, so this edge would close a cycle")
        # otherwise the edge is a repeat of one already stored: nothing to do
    return graph, needed_by, waiting_for


def run(graph, durations, needed_by, waiting_for, workers):
    order = []
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        running = {}

        def start(task):
            running[pool.submit(time.sleep, durations[task])] = task

        for task, count in waiting_for.items():
            if count == 0:
                start(task)
        while running:
            done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                task = running.pop(future)
                future.result()
                graph.finish_node(task)  # forgets the task, its edges and frees its index
                order.append((time.perf_counter() - started, task))
                for dependent in needed_by[task]:
                    waiting_for[dependent] -= 1
                    if waiting_for[dependent] == 0:
                        start(dependent)
    return order, time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("task_file", nargs="?", default=os.path.join(HERE, "tasks.txt"))
    parser.add_argument("--workers", type=int, default=4)
    args = parser.parse_args()

    durations, edges = parse(args.task_file)
    try:
        graph, needed_by, waiting_for = build_graph(args.task_file, durations, edges)
    except CycleError as error:
        print(error, file=sys.stderr)
        return 1

    order, wall = run(graph, durations, needed_by, waiting_for, args.workers)
    for at, task in order:
        print(f"{at:6.2f} s  finished {task}")
    serial = sum(durations.values())
    print(f"ran {len(order)} tasks with {args.workers} workers in {wall:.2f} s "
          f"(one after another: {serial:.2f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
