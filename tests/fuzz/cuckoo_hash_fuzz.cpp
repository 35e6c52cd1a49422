// CuckooHash against a multiset of pairs: random operations on random capacities,
// tiny ones included so that walks give up and the tables grow, with the walk's
// draws taken from the input.
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cuckoo_hash/cuckoo_hash.hpp"
#include "fuzz_input.hpp"

namespace brambleloft::fuzz {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr std::uint64_t kCapacities[] = {0, 1, 1, 2, 2, 3, 4, 5, 7, 8, 16, 61};
constexpr int kMaxOperations = 400;

// A handful of short keys, so that keys repeat and collide; now and then raw bytes.
std::string next_key(Input& input) {
  const std::uint8_t choice = input.byte();
  if (choice < 224) return choice % 13 == 0 ? std::string() : "k" + std::to_string(choice % 13);
  return input.bytes(choice % 9);
}

Pairs contents(const CuckooHash& table) {
  Pairs held;
  for (int t = 1; t <= 2; ++t) {
    for (std::uint64_t i = 0; i < table.capacity(); ++i) {
      const auto pair = table.slot(t, i);
      if (!pair) continue;
      const auto& [key, value] = *pair;
      const std::uint64_t digest =
          t == 1 ? XXH32(key.data(), key.size(), 0) : XXH64(key.data(), key.size(), 0);
      FUZZ_CHECK(digest % table.capacity() == i, key);
      held.emplace_back(key, value);
    }
  }
  std::sort(held.begin(), held.end());
  return held;
}

class Run {
 public:
  Run(Input& input, std::uint64_t capacity) : input_(input), table_(capacity) {}

  void step() {
    const std::string key = next_key(input_);
    switch (input_.below(8)) {
      case 0:
      case 1:
      case 2:
        insert(key, InputSource(input_));
        break;
      case 3: {
        // A walk whose n-th draw fails must leave every pair where it was.
        InputSource failing(input_, 1 + input_.below(64));
        try {
          insert(key, failing);
        } catch (const std::runtime_error&) {
          check_contents();
        }
        break;
      }
      case 4:
        get(key);
        break;
      case 5:
        remove(key);
        break;
      case 6:
        FUZZ_CHECK(table_.hash1(key) == XXH32(key.data(), key.size(), 0) % table_.capacity(), key);
        FUZZ_CHECK(table_.hash2(key) == XXH64(key.data(), key.size(), 0) % table_.capacity(), key);
        break;
      default:
        check_contents();
    }
    if (table_.capacity() <= 64) check_contents();
  }

  void check_contents() {
    FUZZ_CHECK(table_.size() == model_.size(), "size");
    FUZZ_CHECK(table_.capacity() == table_.initial_capacity() * (table_.growth_factor() - 1),
               "capacity steps");
    Pairs expected = model_;
    std::sort(expected.begin(), expected.end());
    FUZZ_CHECK(contents(table_) == expected, "contents");
  }

 private:
  template <class Source>
  void insert(const std::string& key, Source&& rng) {
    const std::string value = "v" + std::to_string(next_value_++);
    if (table_.insert_with(key, value, rng)) {
      model_.emplace_back(key, value);
      FUZZ_CHECK(count(key) <= 2, key);
    } else {
      check_contents();  // refused: nothing stored, nothing lost
    }
  }

  void get(const std::string& key) {
    const auto answer = table_.get(key);
    FUZZ_CHECK(answer.has_value() == (count(key) > 0), key);
    if (answer) FUZZ_CHECK(find(key, *answer) != model_.end(), key);
  }

  void remove(const std::string& key) {
    // The pair that goes is the one get answers.
    const auto answer = table_.get(key);
    const std::string value = answer ? std::string(*answer) : std::string();
    FUZZ_CHECK(table_.remove(key) == answer.has_value(), key);
    if (answer) model_.erase(find(key, value));
  }

  std::size_t count(const std::string& key) const {
    return std::count_if(model_.begin(), model_.end(), [&](const auto& pair) { return pair.first == key; });
  }

  Pairs::iterator find(std::string_view key, std::string_view value) {
    return std::find_if(model_.begin(), model_.end(),
                        [&](const auto& pair) { return pair.first == key && pair.second == value; });
  }

  Input& input_;
  CuckooHash table_;
  Pairs model_;
  std::uint64_t next_value_ = 0;
};

// Without slots every operation that needs an index faults, before any draw, and
// the table stays empty.
void run_without_slots(Input& input) {
  CuckooHash table(0);
  for (int i = 0; i < 8 && !input.empty(); ++i) {
    const std::string key = next_key(input);
    InputSource rng(input);
    FUZZ_CHECK(fault_of([&] { table.insert_with(key, "v", rng); }) == kRemainderFault, key);
    FUZZ_CHECK(fault_of([&] { table.get(key); }) == kRemainderFault, key);
    FUZZ_CHECK(fault_of([&] { table.remove(key); }) == kRemainderFault, key);
    FUZZ_CHECK(fault_of([&] { table.hash1(key); }) == kRemainderFault, key);
    FUZZ_CHECK(fault_of([&] { table.hash2(key); }) == kRemainderFault, key);
    FUZZ_CHECK(table.size() == 0 && table.capacity() == 0, key);
  }
}

}  // namespace
}  // namespace brambleloft::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brambleloft::fuzz;
  report_stream();
  Input input(data, size);
  const std::uint64_t capacity = kCapacities[input.below(std::size(kCapacities))];
  if (capacity == 0) {
    run_without_slots(input);
    return 0;
  }
  Run run(input, capacity);
  for (int i = 0; i < kMaxOperations && !input.empty(); ++i) run.step();
  run.check_contents();
  return 0;
}
