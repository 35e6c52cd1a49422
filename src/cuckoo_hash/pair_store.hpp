// One contiguous block per stored pair: a header, the value bytes, then the key
// bytes. A table slot points straight at its block, so a lookup reads the slot and
// then one block (one or two cache lines for pairs up to 48 bytes). A block never
// moves while it is held: walks and growth move only slot words.
// The value comes first so that it starts 8-byte aligned at no cost in padding:
// the interpreter builds a str from aligned ASCII bytes a word at a time, and
// byte by byte otherwise.
//
// Headers: the two lengths in 8 bytes. A key longer than kDigestedAbove bytes
// also keeps its XXH64 and XXH32 digests there (24 bytes), so that walks and
// growth never read it again; a shorter key costs a re-placement a few ns to hash
// again, and its pair no more memory. Lengths of 2^32 - 1 and more take two more
// 64-bit words (40 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brambleloft {

// The XXH32 and XXH64 digests of a key, before any reduction to a slot.
struct KeyDigests {
  std::uint32_t first;
  std::uint64_t second;
};

class PairBlock {
 public:
  static constexpr std::size_t kDigestedAbove = 64;

  std::string_view key() const noexcept {
    if (key_size_ <= kDigestedAbove) [[likely]]
      return {bytes() + kShortHeader + value_size_, key_size_};
    if (key_size_ != kLongSizes) return {bytes() + kDigestHeader + value_size_, key_size_};
    return {bytes() + kLongHeader + long_size(1), long_size(0)};
  }
  std::string_view value() const noexcept {
    if (key_size_ <= kDigestedAbove) [[likely]]
      return {bytes() + kShortHeader, value_size_};
    if (key_size_ != kLongSizes) return {bytes() + kDigestHeader, value_size_};
    return {bytes() + kLongHeader, long_size(1)};
  }
  // Whether the block's key is `key`: the length first, then the bytes inline.
  [[gnu::always_inline]] bool has_key(std::string_view key) const noexcept {
    if (key_size_ <= kDigestedAbove) [[likely]]
      return key_size_ == key.size() &&
             same_bytes(bytes() + kShortHeader + value_size_, key.data(), key.size());
    return this->key() == key;
  }
  // Every block whose key is longer than kDigestedAbove bytes keeps the digests
  // given to PairStore::add (so does every block with a length of 2^32 - 1 or more).
  bool has_digests() const noexcept { return key_size_ > kDigestedAbove; }
  KeyDigests digests() const noexcept {
    KeyDigests digests;
    std::memcpy(&digests.second, bytes() + 8, sizeof digests.second);
    std::memcpy(&digests.first, bytes() + 16, sizeof digests.first);
    return digests;
  }

 private:
  friend class PairStore;
  // Lengths below 2^32 - 1 fit the first 8 bytes; longer pairs mark key_size_ and
  // keep both lengths as 64-bit words after the digests. kLongSizes exceeds
  // kDigestedAbove, so such blocks have digests too.
  static constexpr std::uint32_t kLongSizes = 0xFFFFFFFFu;
  static constexpr std::size_t kShortHeader = 8;
  static constexpr std::size_t kDigestHeader = 24;  // the lengths, XXH64 at 8, XXH32 at 16
  static constexpr std::size_t kLongHeader = 40;

  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this); }
  std::uint64_t long_size(int which) const noexcept {
    std::uint64_t size;
    std::memcpy(&size, bytes() + kDigestHeader + 8 * which, sizeof size);
    return size;
  }

  // Word-wide compare; the last word overlaps the previous one instead of a byte loop.
  [[gnu::always_inline]] static bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    auto word = [](const char* p) {
      std::uint64_t w;
      std::memcpy(&w, p, sizeof w);
      return w;
    };
    auto half = [](const char* p) {
      std::uint32_t w;
      std::memcpy(&w, p, sizeof w);
      return w;
    };
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (word(a + i) != word(b + i)) return false;
      }
      return word(a + n - 8) == word(b + n - 8);
    }
    if (n >= 4) return half(a) == half(b) && half(a + n - 4) == half(b + n - 4);
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  std::uint32_t key_size_;
  std::uint32_t value_size_;
};

// The blocks of one table. Small blocks are carved from chunks and recycled by
// size class (a removed pair's block serves a later pair of the same rounded size;
// chunks go back to the system with the store); large ones are separate allocations,
// linked so that the store can release them all. Blocks are 8-byte aligned, so a
// slot can keep tag bits above the 48 address bits.
//
// Cost: add O(1) plus the copy, release O(1); no operation moves a block.
class PairStore {
 public:
  PairStore() = default;
  // Leaves `other` empty and ready for new pairs.
  PairStore(PairStore&& other) noexcept;
  PairStore& operator=(PairStore&&) = delete;
  PairStore(const PairStore&) = delete;
  PairStore& operator=(const PairStore&) = delete;
  ~PairStore();

  // A new block holding copies of both, and `digests` when it keeps them (see
  // PairBlock::has_digests). Throws std::bad_alloc; nothing changes then.
  const PairBlock* add(std::string_view key, std::string_view value, const KeyDigests& digests);
  // Gives the block back; it must have come from add() on this store.
  void release(const PairBlock* block) noexcept;
  // The bytes held from the system: every chunk, and every large block with its link.
  std::size_t bytes_reserved() const noexcept { return reserved_; }

 private:
  static constexpr std::size_t kGrain = 8;
  static constexpr std::size_t kLargestSmall = 256;
  // Chunks grow fourfold from kFirstChunk; from kHugePage on, each is one 2 MiB
  // page of its own (page_memory.hpp), so that the blocks of a large table, read
  // in random order, share few TLB entries. A store keeps at most one chunk
  // partly used, so the rounding costs at most that chunk's unused rest.
  static constexpr std::size_t kFirstChunk = 4096;
  static constexpr std::size_t kChunkGrowth = 4;

  struct FreeBlock {
    FreeBlock* next;
  };
  struct LargeLink {  // sits before a large block
    LargeLink* prev;
    LargeLink* next;
  };
  struct Chunk {  // sits at the start of its chunk
    Chunk* next;
    std::size_t mapped;  // the bytes of a chunk of its own pages, 0 for malloc's
  };

  static std::size_t block_size(std::uint64_t key_size, std::uint64_t value_size);
  static std::size_t block_size(const PairBlock* block) noexcept;
  void* allocate_small(std::size_t size);
  void* allocate_large(std::size_t size);
  void release_all() noexcept;

  std::array<FreeBlock*, kLargestSmall / kGrain + 1> free_{};
  Chunk* chunks_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  std::size_t next_chunk_ = kFirstChunk;
  LargeLink* large_ = nullptr;
  std::size_t reserved_ = 0;
};

}  // namespace brambleloft
