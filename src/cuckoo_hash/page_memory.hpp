// Zeroed memory straight from the OS, optionally on 2 MiB pages.
//
// A cold lookup pays a TLB miss and a page walk for each 4 KiB page it touches;
// one 2 MiB TLB entry covers 512 of them and its walk is a level shorter. With
// transparent huge pages in "madvise" mode the kernel grants them only to whole,
// 2 MiB-aligned ranges that ask (MADV_HUGEPAGE), so a huge mapping is rounded up
// and aligned here. The price is residency in 2 MiB steps: the first write
// anywhere in a 2 MiB page makes all of it resident. Where the kernel has no huge
// page at hand it silently uses small ones.
#pragma once

#include <cstddef>

namespace brambleloft {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct PageMapping {
  void* address = nullptr;
  std::size_t bytes = 0;  // what was mapped: at least the bytes asked for
};

// At least `bytes` (> 0) zeroed bytes, page-aligned. `huge`: whole 2 MiB pages,
// 2 MiB-aligned and advised as huge. `populate`: made resident now, in one pass
// of the kernel, rather than one fault per page as they are first written.
// Throws std::bad_alloc when the address space or (when populating) the memory
// cannot be had; nothing stays mapped then.
PageMapping map_pages(std::size_t bytes, bool huge, bool populate);
// `mapping` (from map_pages) made at least `bytes` long, its contents kept: moved
// by the kernel's page tables, not copied, and extended by zeroed pages. `huge` and
// `populate` as above, for the new range; a populate that fails only leaves pages
// to come as they are written. Throws std::bad_alloc; `mapping` is intact then.
PageMapping remap_pages(const PageMapping& mapping, std::size_t bytes, bool huge, bool populate);
void unmap_pages(const PageMapping& mapping) noexcept;

}  // namespace brambleloft
