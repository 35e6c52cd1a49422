#include "cuckoo_hash/page_memory.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace brambleloft {

namespace {
#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14; older headers lack the name
#endif

void* map_anonymous(std::size_t bytes, int flags) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

// A 2 MiB-aligned range of `bytes` (a multiple of kHugePage): map one huge page
// more and give back what lies outside the aligned range.
void* map_aligned(std::size_t bytes) {
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  auto* raw = static_cast<char*>(map_anonymous(bytes + kHugePage, 0));
  if (raw == nullptr) return nullptr;
  const auto at = reinterpret_cast<std::uintptr_t>(raw);
  char* start = raw + ((kHugePage - at % kHugePage) % kHugePage);
  if (start != raw) munmap(raw, static_cast<std::size_t>(start - raw));
  if (char* end = start + bytes; end != raw + bytes + kHugePage)
    munmap(end, static_cast<std::size_t>(raw + bytes + kHugePage - end));
  return start;
}
}  // namespace

PageMapping map_pages(std::size_t bytes, bool huge, bool populate) {
  PageMapping mapping;
  if (!huge) {
    mapping.address = map_anonymous(bytes, populate ? MAP_POPULATE : 0);
    if (mapping.address == nullptr) throw std::bad_alloc();
    mapping.bytes = bytes;
    return mapping;
  }
  if (bytes > SIZE_MAX - (kHugePage - 1)) throw std::bad_alloc();
  mapping.bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  mapping.address = map_aligned(mapping.bytes);
  if (mapping.address == nullptr) throw std::bad_alloc();
  // Advice before the first touch: pages faulted in earlier would stay small.
  madvise(mapping.address, mapping.bytes, MADV_HUGEPAGE);
  if (populate && madvise(mapping.address, mapping.bytes, MADV_POPULATE_WRITE) != 0) {
    // Only a lack of memory is an error here. Other failures (a kernel older than
    // the advice, a pending signal) leave the pages to come as they are written.
    if (errno == ENOMEM || errno == EFAULT) {
      unmap_pages(mapping);
      throw std::bad_alloc();
    }
  }
  return mapping;
}

PageMapping remap_pages(const PageMapping& mapping, std::size_t bytes, bool huge, bool populate) {
  const std::size_t unit = huge ? kHugePage : 4096;
  if (bytes > SIZE_MAX - (unit - 1)) throw std::bad_alloc();
  PageMapping moved;
  moved.bytes = (bytes + unit - 1) / unit * unit;
  void* target = nullptr;
  int flags = MREMAP_MAYMOVE;
  if (huge) {
    // Into a 2 MiB-aligned range, where the kernel can back the new part with huge
    // pages and move huge pages already held as they are.
    target = map_aligned(moved.bytes);
    if (target == nullptr) throw std::bad_alloc();
    flags |= MREMAP_FIXED;
  }
  moved.address = mremap(mapping.address, mapping.bytes, moved.bytes, flags, target);
  if (moved.address == MAP_FAILED) {
    if (target != nullptr) munmap(target, moved.bytes);
    throw std::bad_alloc();
  }
  if (huge) madvise(moved.address, moved.bytes, MADV_HUGEPAGE);
  if (populate) madvise(moved.address, moved.bytes, MADV_POPULATE_WRITE);
  return moved;
}

void unmap_pages(const PageMapping& mapping) noexcept {
  if (mapping.address != nullptr) munmap(mapping.address, mapping.bytes);
}

}  // namespace brambleloft
