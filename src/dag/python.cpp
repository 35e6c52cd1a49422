// DAG as Python sees it: one row per method. The queries use scratch space kept in the
// graph (marks, frontiers), so calls from different threads take turns.
#include "binding/entry.hpp"
#include "dag/dag.hpp"

namespace brambleloft {

template <>
struct PythonName<DAG> {
  static constexpr FixedString name{"DAG"};
};

namespace {

PyMethodDef methods[] = {
    method<&DAG::add_node, "add_node", Access::Exclusive, "node">(),
    method<&DAG::finish_node, "finish_node", Access::Exclusive, "node">(),
    method<&DAG::remove_node, "remove_node", Access::Exclusive, "node">(),
    method<&DAG::add_edge, "add_edge", Access::Exclusive, "from_node", "to_node">(),
    method<&DAG::has_path, "has_path", Access::SharedSerial, "start", "end">(),
    method<&DAG::get_or_create_index, "get_or_create_index", Access::Exclusive, "node">(),
    method<&DAG::allocate_index, "allocate_index", Access::Exclusive, "node">(),
    method<&DAG::release_index, "release_index", Access::Exclusive, "index">(),
    method<&DAG::would_create_cycle, "would_create_cycle", Access::SharedSerial, "from", "to">(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDefinition definition = define_class<DAG, DAG()>(methods);

}  // namespace

const ClassDefinition& dag_class() { return definition; }

}  // namespace brambleloft
