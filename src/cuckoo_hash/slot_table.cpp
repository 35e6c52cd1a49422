#include "cuckoo_hash/slot_table.hpp"

#include <cstdlib>
#include <new>
#include <utility>

#include "cuckoo_hash/page_memory.hpp"
#include "errors/fault.hpp"

namespace brambleloft {

namespace {
// Below this, calloc's memset is cheaper than a mapping of its own.
constexpr std::size_t kMapFrom = std::size_t{256} << 10;
// Up to this, the pages are taken when the table is made, in one call: faulting
// them in one by one as slots fill costs far more per page. Larger tables take
// their pages as slots are written, so their memory follows their use.
constexpr std::size_t kPopulateUpTo = std::size_t{4} << 20;
// Tables in this range sit on 2 MiB pages (page_memory.hpp): a cold lookup then
// rarely misses the TLB. They are the tables whose pages are taken up front anyway;
// larger ones keep 4 KiB pages, so that their memory still grows only with the
// pages that slots are written to (a sparsely used CuckooHash(10**8) stays small).
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;
constexpr std::size_t kHugeUpTo = kPopulateUpTo;
}  // namespace

SlotTable::SlotTable(std::uint64_t length) : length_(length) {
  if (length > kMaxLength) raise_fault("capacity overflow");
  if (length == 0) return;
  const std::uint64_t used_words = (length + 63) / 64;
  const std::uint64_t summary_words = (used_words + 63) / 64;
  std::uint64_t words;
  if (__builtin_add_overflow(length, used_words + summary_words, &words) ||
      __builtin_mul_overflow(words, sizeof(std::uint64_t), &bytes_))
    throw std::bad_alloc();
  void* memory;
  if (bytes_ >= kMapFrom) {
    const PageMapping mapping =
        map_pages(bytes_, bytes_ >= kHugeFrom && bytes_ <= kHugeUpTo, bytes_ <= kPopulateUpTo);
    memory = mapping.address;
    bytes_ = mapping.bytes;
    mapped_ = true;
  } else {
    memory = std::calloc(words, sizeof(std::uint64_t));
    if (memory == nullptr) throw std::bad_alloc();
  }
  words_ = static_cast<std::uint64_t*>(memory);
  used_ = words_ + length;
  summary_ = used_ + used_words;
}

SlotTable::SlotTable(SlotTable&& other) noexcept
    : words_(std::exchange(other.words_, nullptr)),
      used_(std::exchange(other.used_, nullptr)),
      summary_(std::exchange(other.summary_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

SlotTable& SlotTable::operator=(SlotTable&& other) noexcept {
  if (this != &other) {
    release();
    words_ = std::exchange(other.words_, nullptr);
    used_ = std::exchange(other.used_, nullptr);
    summary_ = std::exchange(other.summary_, nullptr);
    length_ = std::exchange(other.length_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

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
