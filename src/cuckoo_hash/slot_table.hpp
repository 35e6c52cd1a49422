// One table of slot words, with a record of which slots are occupied.
//
// The words come from zeroed pages that the OS hands out lazily (mmap for large
// tables), so making a table of any length costs microseconds and memory grows
// only with the pages that slots are written to. Tables of 1 to 4 MiB, whose pages
// are taken when they are made, sit on 2 MiB pages, which spares cold lookups most
// TLB misses; larger tables keep 4 KiB pages, so a sparsely used one stays small.
// The occupancy record has one bit per slot and one summary bit per 64 slots, so
// visiting the occupied slots in index order costs O(occupied + length / 4096) instead of reading every slot.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brambleloft {

class SlotTable {
 public:
  // Lengths above this were always refused as a capacity overflow; below it,
  // storage that cannot be had is std::bad_alloc.
  static constexpr std::uint64_t kMaxLength = PTRDIFF_MAX / sizeof(std::uint32_t);

  SlotTable() = default;
  // `length` empty slots. Faults: "capacity overflow" above kMaxLength.
  // Throws std::bad_alloc when the memory cannot be had.
  explicit SlotTable(std::uint64_t length);
  SlotTable(SlotTable&& other) noexcept;
  SlotTable& operator=(SlotTable&&) = delete;
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;
  ~SlotTable();

  std::uint64_t length() const noexcept { return length_; }
  // The bytes of the room made resident as they were taken: heap memory, and
  // mappings populated up front. The rest of a mapping becomes resident page by
  // page as slots are written to it.
  std::size_t bytes_populated() const noexcept { return populated_; }

  // Makes room for `length` slots, `expected` of them about to be written, while
  // the slots and the length stay as they are. When that many scattered writes
  // would touch most pages anyway, the missing pages are taken now, in one pass of
  // the kernel, rather than one fault per page. Faults: "capacity overflow" above
  // kMaxLength. Throws std::bad_alloc; the table is unchanged then.
  void reserve(std::uint64_t length, std::uint64_t expected);
  // Empties every slot, calling take(word) for each occupied one by increasing
  // index: O(occupied + length / 4096), each slot cleared while its line is at hand.
  template <class Take>
  void take_all(Take&& take) {
    for_each_occupied([&](std::uint64_t index, std::uint64_t word) {
      take(word);
      words_[index] = 0;
    });
    clear_record();
  }
  // An empty table becomes `length` empty slots long, within the room reserved.
  void set_length(std::uint64_t length) noexcept;

  // The word at `index` (< length). 0 is an empty slot. Swapping the words of two
  // occupied slots keeps the record right; filling and clearing go through below.
  std::uint64_t& operator[](std::uint64_t index) noexcept { return words_[index]; }
  const std::uint64_t& operator[](std::uint64_t index) const noexcept { return words_[index]; }

  // Writes a non-zero word into an empty slot.
  void fill(std::uint64_t index, std::uint64_t word) noexcept {
    words_[index] = word;
    std::uint64_t& bits = used_[index / 64];
    if (bits == 0) summary_[index / 4096] |= std::uint64_t{1} << (index / 64 % 64);
    bits |= std::uint64_t{1} << (index % 64);
  }
  void clear(std::uint64_t index) noexcept {
    words_[index] = 0;
    std::uint64_t& bits = used_[index / 64];
    bits &= ~(std::uint64_t{1} << (index % 64));
    if (bits == 0) summary_[index / 4096] &= ~(std::uint64_t{1} << (index / 64 % 64));
  }

  // Calls visit(index, word) for every occupied slot, by increasing index.
  template <class Visit>
  void for_each_occupied(Visit&& visit) const {
    const std::uint64_t groups = (length_ + 4095) / 4096;
    for (std::uint64_t g = 0; g < groups; ++g) {
      for (std::uint64_t words = summary_[g]; words != 0; words &= words - 1) {
        const std::uint64_t w = g * 64 + static_cast<std::uint64_t>(__builtin_ctzll(words));
        for (std::uint64_t bits = used_[w]; bits != 0; bits &= bits - 1) {
          const std::uint64_t index = w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
          visit(index, words_[index]);
        }
      }
    }
  }

 private:
  void release() noexcept;
  void clear_record() noexcept;
  static std::size_t bytes_for(std::uint64_t length);
  void lay_out(void* memory, std::uint64_t length) noexcept;

  std::uint64_t* words_ = nullptr;
  std::uint64_t* used_ = nullptr;     // one bit per slot
  std::uint64_t* summary_ = nullptr;  // one bit per word of used_
  std::uint64_t length_ = 0;
  std::size_t bytes_ = 0;  // the room: at least bytes_for(length_)
  std::size_t populated_ = 0;
  bool mapped_ = false;
};

}  // namespace brambleloft
