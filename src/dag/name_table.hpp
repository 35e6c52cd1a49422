// The graph's name registry: node names to slot indices.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dag/linear_probing.hpp"
#include "errors/fault.hpp"
#include "random/keyed_hash.hpp"

namespace brambleloft {

// One open-addressing table with linear probing, at most three quarters full. A cell
// holds the name, its index and the name's hash, so a lookup reads one or two cache
// lines and compares hashes before names, where a node-based map would chase a
// bucket, a node and the node before it. Names come from callers, so the hash is
// randomly keyed: no caller can aim names at one probe run.
//
// Invariants: the number of cells is 0 or a power of two, and size_ <= 3/4 of it;
// each entry sits in the probe run from its home cell (hash & mask) with no empty
// cell between; an empty cell has index kEmpty and an empty name.
//
// Insertion never allocates: reserve_one_more() makes the room first.
class NameTable {
 public:
  using Index = std::uint64_t;

  NameTable() = default;
  NameTable(NameTable&& other) noexcept
      : cells_(std::move(other.cells_)), size_(std::exchange(other.size_, 0)), hash_(other.hash_) {
    other.cells_.clear();
  }
  NameTable& operator=(NameTable&&) = delete;

  std::size_t size() const noexcept { return size_; }

  // The index of the name, or nullptr. O(1) expected.
  const Index* find(std::string_view name) const noexcept {
    if (size_ == 0) return nullptr;
    const Cell& cell = cells_[find_cell(name, hash_(name))];
    return cell.index == kEmpty ? nullptr : &cell.index;
  }

  // Makes room for one more name without changing the content. Throws
  // std::bad_alloc with the table unchanged. Amortised O(1).
  void reserve_one_more() {
    if (4 * (size_ + 1) <= 3 * cells_.size()) return;
    const std::size_t capacity = cells_.empty() ? 16 : 2 * cells_.size();
    check_array_length(cells_, capacity);
    std::vector<Cell> grown(capacity);  // the only step that can fail
    for (Cell& cell : cells_) {
      if (cell.index == kEmpty) continue;
      std::size_t at = cell.hash & (capacity - 1);
      while (grown[at].index != kEmpty) at = (at + 1) & (capacity - 1);
      grown[at] = std::move(cell);
    }
    cells_.swap(grown);
  }

  // Requires: the name is absent and reserve_one_more() ran since the last insert.
  void insert(std::string name, Index index) noexcept {
    const std::uint64_t hash = hash_(name);
    Cell& cell = cells_[find_cell(name, hash)];
    cell.hash = hash;
    cell.index = index;
    cell.name = std::move(name);
    ++size_;
  }

  // Removes the name if present; O(1) expected.
  void erase(std::string_view name) noexcept {
    if (size_ == 0) return;
    const std::size_t hole = find_cell(name, hash_(name));
    if (cells_[hole].index == kEmpty) return;
    const std::size_t mask = cells_.size() - 1;
    const std::size_t hole_left = close_hole(
        cells_.data(), mask, hole, [](const Cell& cell) { return cell.index == kEmpty; },
        [&](const Cell& cell) { return cell.hash & mask; });
    cells_[hole_left] = Cell{};  // gives a long name's buffer back
    --size_;
  }

 private:
  static constexpr Index kEmpty = std::numeric_limits<Index>::max();

  struct Cell {
    std::uint64_t hash = 0;
    Index index = kEmpty;
    std::string name;
  };

  // The cell holding the name, or the empty cell where it would go.
  std::size_t find_cell(std::string_view name, std::uint64_t hash) const noexcept {
    const std::size_t mask = cells_.size() - 1;
    std::size_t at = hash & mask;
    while (cells_[at].index != kEmpty && (cells_[at].hash != hash || cells_[at].name != name)) {
      at = (at + 1) & mask;
    }
    return at;
  }

  std::vector<Cell> cells_;  // none, or a power of two
  std::size_t size_ = 0;
  KeyedStringHash hash_;
};

}  // namespace brambleloft
