"""Plain Python models of what the classes answer, shared by the property tests and the soak."""


class ModelFault(Exception):
    """The internal fault the module must raise, by its message."""


def bounds_message(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


class GraphModel:
    """DAG by name and by index, with its faults; plain sets and searches."""

    def __init__(self):
        self.graph, self.names, self.added, self.free = [], {}, set(), []

    def allocate(self):
        if self.free:
            index = self.free.pop()
            self.graph[index] = set()
        else:
            index = len(self.graph)
            self.graph.append(set())
        return index

    def index_of(self, name):
        if name not in self.names:
            self.names[name] = self.allocate()
        return self.names[name]

    def reaches(self, start, target):
        seen, todo = set(), [start]
        while todo:
            node = todo.pop()
            if node == target:
                return True
            if node >= len(self.graph):
                raise ModelFault(bounds_message(len(self.graph), node))
            if node not in seen:
                seen.add(node)
                todo.extend(self.graph[node] or ())
        return False

    def release(self, index):
        if index >= len(self.graph):
            raise ModelFault(bounds_message(len(self.graph), index))
        if self.graph[index] is not None:
            self.graph[index] = None
            for successors in self.graph:
                if successors is not None:
                    successors.discard(index)
            self.free.append(index)

    def live_index(self, name):
        index = self.names.get(name)
        if index is not None and self.graph[index] is None:
            raise ModelFault("graph slot must exist for active node")
        return index

    def run(self, method, *args):
        """The answer of DAG.<method>(*args) on converted arguments; ModelFault for a fault."""
        if method == "add_node":
            (name,) = args
            fresh = name not in self.names or self.names[name] not in self.added
            self.added.add(self.index_of(name))
            return fresh
        if method in ("finish_node", "remove_node"):
            index = self.names.get(args[0])
            if index is not None:
                self.release(index)
                self.added.discard(index)
                del self.names[args[0]]
            return None
        if method == "add_edge":
            source, target = args
            if source == target:
                return False
            known = self.live_index(source), self.live_index(target)
            if None not in known:
                if known[1] in self.graph[known[0]] or self.reaches(known[1], known[0]):
                    return False
            self.graph[self.index_of(source)].add(self.index_of(target))
            return True
        if method == "has_path":
            if args[0] not in self.names or args[1] not in self.names:
                return False
            return self.reaches(self.names[args[0]], self.names[args[1]])
        if method == "get_or_create_index":
            return self.index_of(args[0])
        if method == "allocate_index":
            return self.allocate()
        if method == "release_index":
            return self.release(args[0])
        if method == "would_create_cycle":
            return self.reaches(args[1], args[0])
        raise ValueError(method)
