// A compact set of slot indices, for the graph's successor and predecessor sets.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <utility>

#include "dag/linear_probing.hpp"
#include "errors/fault.hpp"

namespace brambleloft {

// Entries are kept in 32 bits: the graph keeps its slot numbers below 2^32 - 1. Most
// nodes of a sparse graph have a small degree, so the first three entries live inline
// in the set's 16 bytes and such a node allocates nothing. Up to kLinearLimit entries
// sit in a heap array searched by a linear scan, which beats hashing at that size;
// beyond that the array becomes an open-addressing table with linear probing, at most
// half full, so membership stays O(1) expected for any degree. Indices are handed out
// by the graph, not chosen by a caller, so an unkeyed multiplicative hash is enough.
//
// Invariants: size() <= capacity(); the heap flag is clear exactly when the entries
// sit inline (capacity kInline); with it set, words_[0] is the capacity and words_[1..2]
// the heap pointer, the capacity is at most kLinearLimit (entries packed at the front
// of the array) or a power of two above it (a table where kEmpty marks a free cell,
// holding each entry in the probe run from its home cell). No entry equals kEmpty:
// every entry is below kIndexLimit.
//
// Insertion never allocates: reserve_one_more() makes the room first, so a graph
// operation can take every allocation it needs before it changes anything.
class IndexSet {
 public:
  using Index = std::uint64_t;
  using Cell = std::uint32_t;
  // Every index stored must be below this.
  static constexpr Index kIndexLimit = std::numeric_limits<Cell>::max();

  IndexSet() noexcept = default;
  IndexSet(IndexSet&& other) noexcept : size_(std::exchange(other.size_, 0)) {
    std::memcpy(words_, other.words_, sizeof words_);
  }
  IndexSet& operator=(IndexSet&&) = delete;
  IndexSet(const IndexSet&) = delete;
  ~IndexSet() { release(); }

  std::size_t size() const noexcept { return size_ & ~kHeap; }
  bool empty() const noexcept { return size() == 0; }

  // O(1) expected; O(size) scan while size <= kLinearLimit.
  bool contains(Index index) const noexcept {
    if (hashed()) return heap()[find_cell(index)] == index;
    for (const Cell entry : packed()) {
      if (entry == index) return true;
    }
    return false;
  }

  // Makes room for one more entry without changing the content. Throws
  // std::bad_alloc with the set unchanged. Amortised O(1).
  void reserve_one_more() {
    const std::uint64_t capacity = this->capacity();
    if (!hashed()) {
      if (size() < capacity) return;
      regrow(capacity == kInline ? kFirstHeap : capacity < kLinearLimit ? kLinearLimit : kFirstTable);
    } else if (2 * (std::uint64_t{size()} + 1) > capacity) {
      regrow(capacity * 2);
    }
  }

  // Requires: index is absent and reserve_one_more() ran since the last insert.
  void insert(Index index) noexcept {
    if (hashed()) {
      heap()[find_cell(index)] = static_cast<Cell>(index);
    } else {
      cells_for_writing()[size()] = static_cast<Cell>(index);
    }
    ++size_;
  }

  // Removes the index if present; O(1) expected. Keeps the capacity.
  void erase(Index index) noexcept {
    if (!hashed()) {
      Cell* entries = cells_for_writing();
      const std::uint32_t count = size_ & ~kHeap;
      for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i] == index) {
          entries[i] = entries[count - 1];
          --size_;
          return;
        }
      }
      return;
    }
    Cell* cells = heap();
    const std::uint64_t hole = find_cell(index);
    if (cells[hole] != index) return;
    const std::uint64_t hole_left = close_hole(
        cells, capacity() - 1, hole, [](Cell cell) { return cell == kEmpty; },
        [&](Cell cell) { return home_cell(cell); });
    cells[hole_left] = kEmpty;
    --size_;
  }

  // Empties the set and gives its memory back.
  void clear() noexcept {
    release();
    size_ = 0;
  }

  // The cells that hold the entries, for loops that want no callback: the packed
  // entries, or every cell of the table, where a cell without an entry fails is_entry.
  std::span<const Cell> cells() const noexcept {
    return hashed() ? std::span<const Cell>(heap(), capacity()) : packed();
  }
  static constexpr bool is_entry(Cell cell) noexcept { return cell != kEmpty; }

  // Calls visit(index) for every entry, in no particular order. O(capacity).
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Cell cell : cells()) {
      if (is_entry(cell)) visit(Index{cell});
    }
  }

 private:
  static constexpr std::uint32_t kInline = 3;
  // Heap arrays of 6 and 14 cells fill the allocator's 32- and 64-byte blocks.
  static constexpr std::uint32_t kFirstHeap = 6;
  static constexpr std::uint32_t kLinearLimit = 14;
  static constexpr std::uint32_t kFirstTable = 64;
  static constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 31;
  static constexpr Cell kEmpty = std::numeric_limits<Cell>::max();
  // In size_: the entries are on the heap. Sizes stay below 2^30 (kMaxCapacity, half full).
  static constexpr std::uint32_t kHeap = std::uint32_t{1} << 31;

  bool on_heap() const noexcept { return (size_ & kHeap) != 0; }
  std::uint64_t capacity() const noexcept { return on_heap() ? words_[0] : kInline; }
  bool hashed() const noexcept { return capacity() > kLinearLimit; }
  Cell* heap() const noexcept {
    Cell* pointer;
    std::memcpy(&pointer, &words_[1], sizeof pointer);
    return pointer;
  }
  std::span<const Cell> packed() const noexcept { return {on_heap() ? heap() : words_, size()}; }
  Cell* cells_for_writing() noexcept { return on_heap() ? heap() : words_; }

  std::uint64_t home_cell(Index index) const noexcept {
    // Fibonacci hashing: the top bits of the product spread consecutive indices.
    return (index * 0x9E3779B97F4A7C15ull) >> (64 - std::countr_zero(capacity()));
  }
  // The cell holding index, or the empty cell where it would go.
  std::uint64_t find_cell(Index index) const noexcept {
    const Cell* cells = heap();
    const std::uint64_t mask = capacity() - 1;
    std::uint64_t cell = home_cell(index);
    while (cells[cell] != index && cells[cell] != kEmpty) cell = (cell + 1) & mask;
    return cell;
  }

  void regrow(std::uint64_t capacity) {
    if (capacity > kMaxCapacity) raise_fault("capacity overflow");
    // The only step that can fail; plain operator new, like the standard containers.
    auto* fresh = static_cast<Cell*>(::operator new(capacity * sizeof(Cell)));
    IndexSet grown;
    grown.size_ = kHeap;
    grown.words_[0] = static_cast<Cell>(capacity);
    std::memcpy(&grown.words_[1], &fresh, sizeof fresh);
    if (grown.hashed()) std::fill(fresh, fresh + capacity, kEmpty);
    for_each([&](Index index) { grown.insert(index); });
    release();
    size_ = std::exchange(grown.size_, 0);
    std::memcpy(words_, grown.words_, sizeof words_);
  }

  void release() noexcept {
    if (on_heap()) ::operator delete(heap());
  }

  // The size, with kHeap set while the entries are on the heap.
  std::uint32_t size_ = 0;
  // Inline, the entries; on the heap, the capacity and then the pointer, unaligned
  // so that the whole set takes 16 bytes.
  Cell words_[kInline] = {};
};

}  // namespace brambleloft
