// DAG against the plain reference graph of the differential test: random sequences
// of every operation, names and indices mixed, each compared in answer, fault and
// state, with DAG's invariants checked after every step.
#include <cstdint>
#include <limits>
#include <string>

#include "dag/dag.hpp"
#include "fuzz_input.hpp"
#include "support/reference_dag.hpp"

namespace brambleloft::fuzz {
namespace {

constexpr int kMaxOperations = 300;

// A small pool, so that names come back and edges meet; now and then raw bytes.
std::string next_name(Input& input) {
  const std::uint8_t choice = input.byte();
  if (choice < 240) return choice % 11 == 0 ? std::string() : "n" + std::to_string(choice % 11);
  return input.bytes(choice % 6);
}

// Mostly a slot or just past the last one; sometimes far beyond.
std::uint64_t next_index(Input& input, const DAG& dag) {
  const std::uint8_t choice = input.byte();
  if (choice >= 248) return std::numeric_limits<std::uint64_t>::max() - (choice & 3);
  return choice % (dag.slot_count() + 2);
}

}  // namespace
}  // namespace brambleloft::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brambleloft;
  using namespace brambleloft::fuzz;
  report_stream();
  Input input(data, size);
  DAG dag;
  reference::ReferenceDag model;
  for (int i = 0; i < kMaxOperations && !input.empty(); ++i) {
    reference::Operation op;
    op.call = static_cast<reference::Call>(input.below(reference::kCallCount));
    op.first = next_name(input);
    op.second = next_name(input);
    op.from = next_index(input, dag);
    op.to = next_index(input, dag);
    if (const auto wrong = reference::apply(dag, model, op))
      mismatch("DAG differs from the reference", *wrong, i);
  }
  return 0;
}
