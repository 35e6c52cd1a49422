#include "cuckoo_hash/pair_store.hpp"

#include <cstdlib>
#include <new>
#include <utility>

#include "cuckoo_hash/page_memory.hpp"

namespace brambleloft {

PairStore::PairStore(PairStore&& other) noexcept
    : free_(other.free_),
      chunks_(std::exchange(other.chunks_, nullptr)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      next_chunk_(std::exchange(other.next_chunk_, kFirstChunk)),
      large_(std::exchange(other.large_, nullptr)),
      reserved_(std::exchange(other.reserved_, 0)) {
  other.free_.fill(nullptr);
}

PairStore::~PairStore() { release_all(); }

void PairStore::release_all() noexcept {
  while (chunks_ != nullptr) {
    Chunk* chunk = std::exchange(chunks_, chunks_->next);
    if (chunk->mapped != 0) {
      unmap_pages({chunk, chunk->mapped});
    } else {
      std::free(chunk);
    }
  }
  while (large_ != nullptr) std::free(std::exchange(large_, large_->next));
  free_.fill(nullptr);
  cursor_ = end_ = nullptr;
  reserved_ = 0;
}

std::size_t PairStore::block_size(std::uint64_t key_size, std::uint64_t value_size) {
  const bool long_form = key_size >= PairBlock::kLongSizes || value_size >= PairBlock::kLongSizes;
  const std::uint64_t header = long_form                              ? PairBlock::kLongHeader
                               : key_size > PairBlock::kDigestedAbove ? PairBlock::kDigestHeader
                                                                      : PairBlock::kShortHeader;
  std::uint64_t size;
  if (__builtin_add_overflow(header, key_size, &size) || __builtin_add_overflow(size, value_size, &size) ||
      __builtin_add_overflow(size, kGrain - 1, &size))
    throw std::bad_alloc();
  return size & ~(kGrain - 1);
}

std::size_t PairStore::block_size(const PairBlock* block) noexcept {
  return block_size(block->key().size(), block->value().size());
}

const PairBlock* PairStore::add(std::string_view key, std::string_view value, const KeyDigests& digests) {
  // Most pairs: a short key, a value under 4 GiB, an 8-byte header and a size that
  // cannot overflow.
  const bool plain = key.size() <= PairBlock::kDigestedAbove && value.size() < PairBlock::kLongSizes;
  const std::size_t size =
      plain ? (PairBlock::kShortHeader + key.size() + value.size() + kGrain - 1) & ~(kGrain - 1)
            : block_size(key.size(), value.size());
  void* memory = size <= kLargestSmall ? allocate_small(size) : allocate_large(size);
  auto* block = static_cast<PairBlock*>(memory);
  char* bytes = static_cast<char*>(memory);
  std::size_t header = PairBlock::kShortHeader;
  if (plain) [[likely]] {
    block->key_size_ = static_cast<std::uint32_t>(key.size());
    block->value_size_ = static_cast<std::uint32_t>(value.size());
  } else {
    const std::uint32_t first_and_padding[2] = {digests.first, 0};
    std::memcpy(bytes + 8, &digests.second, sizeof digests.second);
    std::memcpy(bytes + 16, first_and_padding, sizeof first_and_padding);
    if (key.size() >= PairBlock::kLongSizes || value.size() >= PairBlock::kLongSizes) {
      block->key_size_ = PairBlock::kLongSizes;
      block->value_size_ = 0;
      const std::uint64_t sizes[2] = {key.size(), value.size()};
      std::memcpy(bytes + PairBlock::kDigestHeader, sizes, sizeof sizes);
      header = PairBlock::kLongHeader;
    } else {
      block->key_size_ = static_cast<std::uint32_t>(key.size());
      block->value_size_ = static_cast<std::uint32_t>(value.size());
      header = PairBlock::kDigestHeader;
    }
  }
  if (!value.empty()) std::memcpy(bytes + header, value.data(), value.size());
  if (!key.empty()) std::memcpy(bytes + header + value.size(), key.data(), key.size());
  return block;
}

void PairStore::release(const PairBlock* block) noexcept {
  const std::size_t size = block_size(block);
  void* memory = const_cast<PairBlock*>(block);
  if (size <= kLargestSmall) {
    auto* free_block = static_cast<FreeBlock*>(memory);
    free_block->next = free_[size / kGrain];
    free_[size / kGrain] = free_block;
    return;
  }
  LargeLink* link = static_cast<LargeLink*>(memory) - 1;
  (link->prev != nullptr ? link->prev->next : large_) = link->next;
  if (link->next != nullptr) link->next->prev = link->prev;
  std::free(link);
  reserved_ -= sizeof(LargeLink) + size;
}

void* PairStore::allocate_small(std::size_t size) {
  if (FreeBlock* reused = free_[size / kGrain]) {
    free_[size / kGrain] = reused->next;
    return reused;
  }
  if (static_cast<std::size_t>(end_ - cursor_) < size) {
    // The rest of the old chunk (under kLargestSmall bytes) stays unused.
    Chunk* chunk;
    std::size_t bytes;
    if (next_chunk_ < kHugePage) {
      bytes = next_chunk_;
      chunk = static_cast<Chunk*>(std::malloc(bytes));
      if (chunk == nullptr) throw std::bad_alloc();
      chunk->mapped = 0;
      next_chunk_ *= kChunkGrowth;
    } else {
      const PageMapping mapping = map_pages(kHugePage, true, false);
      bytes = mapping.bytes;
      chunk = static_cast<Chunk*>(mapping.address);
      chunk->mapped = bytes;
    }
    chunk->next = chunks_;
    chunks_ = chunk;
    reserved_ += bytes;
    cursor_ = reinterpret_cast<char*>(chunk + 1);
    end_ = reinterpret_cast<char*>(chunk) + bytes;
  }
  return std::exchange(cursor_, cursor_ + size);
}

void* PairStore::allocate_large(std::size_t size) {
  if (size > SIZE_MAX - sizeof(LargeLink)) throw std::bad_alloc();
  auto* link = static_cast<LargeLink*>(std::malloc(sizeof(LargeLink) + size));
  if (link == nullptr) throw std::bad_alloc();
  link->prev = nullptr;
  link->next = large_;
  if (large_ != nullptr) large_->prev = link;
  large_ = link;
  reserved_ += sizeof(LargeLink) + size;
  return link + 1;
}

}  // namespace brambleloft
