#include "cuckoo_hash/slot_table.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "cuckoo_hash/page_memory.hpp"
#include "errors/fault.hpp"

namespace brambleloft {

namespace {
// Below this, heap memory cleared with memset is cheaper than a mapping of its own.
constexpr std::size_t kMapFrom = std::size_t{256} << 10;
// Up to this, the pages are taken when the table is made, in one call: faulting
// them in one by one as slots fill costs far more per page. Larger tables take
// their pages as slots are written, so their memory follows their use.
constexpr std::size_t kPopulateUpTo = std::size_t{4} << 20;
// Tables whose pages are taken up front sit on 2 MiB pages from this size on
// (page_memory.hpp): a cold lookup then rarely misses the TLB. Others keep 4 KiB
// pages, so that their memory grows only with the pages that slots are written to
// (a sparsely used CuckooHash(10**8) stays small).
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;
constexpr std::size_t kSmallPage = 4096;

// `expected` writes at random slots leave a page untouched with odds of about
// exp(-expected / pages): from one write per page on, most pages are touched.
bool take_pages_now(std::size_t bytes, std::uint64_t expected) {
  return bytes <= kPopulateUpTo || expected >= bytes / kSmallPage;
}
}  // namespace

std::size_t SlotTable::bytes_for(std::uint64_t length) {
  const std::uint64_t used_words = (length + 63) / 64;
  const std::uint64_t summary_words = (used_words + 63) / 64;
  std::uint64_t words;
  std::size_t bytes;
  if (__builtin_add_overflow(length, used_words + summary_words, &words) ||
      __builtin_mul_overflow(words, sizeof(std::uint64_t), &bytes))
    throw std::bad_alloc();
  return bytes;
}

void SlotTable::lay_out(void* memory, std::uint64_t length) noexcept {
  length_ = length;
  words_ = static_cast<std::uint64_t*>(memory);
  used_ = words_ + length;
  summary_ = used_ + (length + 63) / 64;
}

// The first room is taken as growth takes more, so both follow the same page rules.
SlotTable::SlotTable(std::uint64_t length) {
  reserve(length, 0);
  set_length(length);
}

void SlotTable::reserve(std::uint64_t length, std::uint64_t expected) {
  if (length > kMaxLength) raise_fault("capacity overflow");
  const std::size_t bytes = bytes_for(length);
  if (bytes <= bytes_) return;
  const bool populate = take_pages_now(bytes, expected);
  const bool huge = populate && bytes >= kHugeFrom;
  void* memory;
  std::size_t room;
  if (mapped_) {
    const PageMapping mapping = remap_pages({words_, bytes_}, bytes, huge, populate);
    memory = mapping.address;
    room = mapping.bytes;
  } else if (bytes >= kMapFrom) {
    const PageMapping mapping = map_pages(bytes, huge, populate);
    if (words_ != nullptr) std::memcpy(mapping.address, words_, bytes_);
    std::free(words_);
    memory = mapping.address;
    room = mapping.bytes;
    mapped_ = true;
  } else {
    memory = std::realloc(words_, bytes);
    if (memory == nullptr) throw std::bad_alloc();
    std::memset(static_cast<char*>(memory) + bytes_, 0, bytes - bytes_);
    room = bytes;
  }
  // Heap memory is all written by now; a mapping not populated keeps what it had.
  if (populate || !mapped_) populated_ = room;
  bytes_ = room;
  lay_out(memory, length_);
}

void SlotTable::clear_record() noexcept {
  // Only the words the summary marks: a sparsely used table's record stays untouched.
  const std::uint64_t groups = (length_ + 4095) / 4096;
  for (std::uint64_t g = 0; g < groups; ++g) {
    for (std::uint64_t words = summary_[g]; words != 0; words &= words - 1)
      used_[g * 64 + static_cast<std::uint64_t>(__builtin_ctzll(words))] = 0;
    summary_[g] = 0;
  }
}

void SlotTable::set_length(std::uint64_t length) noexcept {
  // An empty table's whole block is zero, and so is any room beyond it: the block
  // needs no clearing under its new layout.
  lay_out(words_, length);
}

SlotTable::SlotTable(SlotTable&& other) noexcept
    : words_(std::exchange(other.words_, nullptr)),
      used_(std::exchange(other.used_, nullptr)),
      summary_(std::exchange(other.summary_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      bytes_(std::exchange(other.bytes_, 0)),
      populated_(std::exchange(other.populated_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

SlotTable::~SlotTable() { release(); }

void SlotTable::release() noexcept {
  if (words_ == nullptr) return;
  if (mapped_) {
    unmap_pages({words_, bytes_});
  } else {
    std::free(words_);
  }
  words_ = used_ = summary_ = nullptr;
}

}  // namespace brambleloft
