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

using Methods = MethodTable<
    MethodRow<&DAG::add_node, "add_node", Access::Exclusive, "node">,
    MethodRow<&DAG::finish_node, "finish_node", Access::Exclusive, "node">,
    MethodRow<&DAG::remove_node, "remove_node", Access::Exclusive, "node">,
    MethodRow<&DAG::add_edge, "add_edge", Access::Exclusive, "from_node", "to_node">,
    MethodRow<&DAG::has_path, "has_path", Access::SharedSerial, "start", "end">,
    MethodRow<&DAG::get_or_create_index, "get_or_create_index", Access::Exclusive, "node">,
    MethodRow<&DAG::allocate_index, "allocate_index", Access::Exclusive, "node">,
    MethodRow<&DAG::release_index, "release_index", Access::Exclusive, "index">,
    MethodRow<&DAG::would_create_cycle, "would_create_cycle", Access::SharedSerial, "from", "to">>;

constexpr ClassDefinition definition = define_class<DAG, DAG()>(Methods{});

}  // namespace

const ClassDefinition& dag_class() { return definition; }

}  // namespace brambleloft
