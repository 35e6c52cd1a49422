// A compact set of slot indices, for the graph's successor and predecessor sets.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>

#include "dag/linear_probing.hpp"
#include "errors/fault.hpp"

namespace brambleloft {

// Entries are kept in 32 bits: the graph keeps its slot numbers below 2^32 - 1. Most
// nodes of a sparse graph have a small degree, so the first four entries live inline
// and such a node allocates nothing. Up to kLinearLimit entries sit in a
// heap array searched by a linear scan, which beats hashing at that size; beyond that
// the array becomes an open-addressing table with linear probing, at most half full,
// so membership stays O(1) expected for any degree. Indices are handed out by the
// graph, not chosen by a caller, so an unkeyed multiplicative hash is enough.
//
// Invariants: size_ <= capacity_; capacity_ is kInline (entries inline), a power of
// two up to kLinearLimit (entries packed at the front of heap_), or a power of two
// above it (a table where kEmpty marks a free cell, holding each entry in the probe
// run from its home cell). No entry equals kEmpty: every entry is below kIndexLimit.
//
// Insertion never allocates: reserve_one_more() makes the room first, so a graph
// operation can take every allocation it needs before it changes anything.
class IndexSet {
 public:
  using Index = std::uint64_t;
  using Cell = std::uint32_t;
  // Every index stored must be below this.
  static constexpr Index kIndexLimit = std::numeric_limits<Cell>::max();

  IndexSet() noexcept : inline_{} {}
  IndexSet(IndexSet&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
    std::memcpy(&inline_, &other.inline_, sizeof inline_);
    other.size_ = 0;
    other.capacity_ = kInline;
  }
  IndexSet& operator=(IndexSet&&) = delete;
  IndexSet(const IndexSet&) = delete;
  ~IndexSet() { release(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // O(1) expected; O(size) scan while size <= kLinearLimit.
  bool contains(Index index) const noexcept {
    if (hashed()) return table()[find_cell(index)] == index;
    const Cell* entries = packed();
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (entries[i] == index) return true;
    }
    return false;
  }

  // Makes room for one more entry without changing the content. Throws
  // std::bad_alloc with the set unchanged. Amortised O(1).
  void reserve_one_more() {
    if (!hashed()) {
      if (size_ < capacity_) return;
      regrow(capacity_ < kLinearLimit ? 2 * capacity_ : kFirstTable);
    } else if (2 * (std::uint64_t{size_} + 1) > capacity_) {
      regrow(std::uint64_t{capacity_} * 2);
    }
  }

  // Requires: index is absent and reserve_one_more() ran since the last insert.
  void insert(Index index) noexcept {
    if (hashed()) {
      table()[find_cell(index)] = static_cast<Cell>(index);
    } else {
      packed()[size_] = static_cast<Cell>(index);
    }
    ++size_;
  }

  // Removes the index if present; O(1) expected. Keeps the capacity.
  void erase(Index index) noexcept {
    if (!hashed()) {
      Cell* entries = packed();
      for (std::uint32_t i = 0; i < size_; ++i) {
        if (entries[i] == index) {
          entries[i] = entries[--size_];
          return;
        }
      }
      return;
    }
    Cell* cells = table();
    const std::uint64_t hole = find_cell(index);
    if (cells[hole] != index) return;
    const std::uint64_t hole_left = close_hole(
        cells, capacity_ - 1, hole, [](Cell cell) { return cell == kEmpty; },
        [&](Cell cell) { return home_cell(cell); });
    cells[hole_left] = kEmpty;
    --size_;
  }

  // Empties the set and gives its memory back.
  void clear() noexcept {
    release();
    size_ = 0;
    capacity_ = kInline;
  }

  // Calls stop(index) for the entries, in no particular order, until one answers
  // true; whether one did. O(capacity).
  template <class Stop>
  bool any_of(Stop&& stop) const {
    if (hashed()) {
      const Cell* cells = table();
      for (std::uint64_t i = 0; i < capacity_; ++i) {
        if (cells[i] != kEmpty && stop(cells[i])) return true;
      }
    } else {
      const Cell* entries = packed();
      for (std::uint32_t i = 0; i < size_; ++i) {
        if (stop(entries[i])) return true;
      }
    }
    return false;
  }

  // The cells that hold the entries, for loops that want no callback: the packed
  // entries, or every cell of the table, where a cell without an entry fails is_entry.
  std::span<const Cell> cells() const noexcept {
    return hashed() ? std::span<const Cell>(table(), capacity_) : std::span<const Cell>(packed(), size_);
  }
  static constexpr bool is_entry(Cell cell) noexcept { return cell != kEmpty; }

  template <class Visit>
  void for_each(Visit&& visit) const {
    any_of([&](Index index) {
      visit(index);
      return false;
    });
  }

 private:
  static constexpr std::uint32_t kInline = 4;
  static constexpr std::uint32_t kLinearLimit = 16;
  static constexpr std::uint32_t kFirstTable = 4 * kLinearLimit;
  static constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 31;
  static constexpr Cell kEmpty = std::numeric_limits<Cell>::max();

  bool hashed() const noexcept { return capacity_ > kLinearLimit; }
  Cell* packed() noexcept { return capacity_ == kInline ? inline_ : heap_; }
  const Cell* packed() const noexcept { return capacity_ == kInline ? inline_ : heap_; }
  Cell* table() noexcept { return heap_; }
  const Cell* table() const noexcept { return heap_; }

  std::uint64_t home_cell(Index index) const noexcept {
    // Fibonacci hashing: the top bits of the product spread consecutive indices.
    return (index * 0x9E3779B97F4A7C15ull) >> (64 - std::countr_zero(capacity_));
  }
  // The cell holding index, or the empty cell where it would go.
  std::uint64_t find_cell(Index index) const noexcept {
    const Cell* cells = table();
    const std::uint64_t mask = capacity_ - 1;
    std::uint64_t cell = home_cell(index);
    while (cells[cell] != index && cells[cell] != kEmpty) cell = (cell + 1) & mask;
    return cell;
  }

  void regrow(std::uint64_t capacity) {
    if (capacity > kMaxCapacity) raise_fault("capacity overflow");
    // The only step that can fail; plain operator new, like the standard containers.
    auto* fresh = static_cast<Cell*>(::operator new(capacity * sizeof(Cell)));
    IndexSet grown;
    grown.heap_ = fresh;
    grown.capacity_ = static_cast<std::uint32_t>(capacity);
    if (grown.hashed()) std::fill(fresh, fresh + capacity, kEmpty);
    for_each([&](Index index) { grown.insert(index); });
    release();
    heap_ = fresh;
    capacity_ = grown.capacity_;
    grown.capacity_ = kInline;
    grown.size_ = 0;
  }

  void release() noexcept {
    if (capacity_ != kInline) ::operator delete(heap_);
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
  union {
    Cell inline_[kInline];
    Cell* heap_;
  };
};

}  // namespace brambleloft
