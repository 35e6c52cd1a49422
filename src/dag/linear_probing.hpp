// What the graph's two open-addressing tables (index sets, the name table) share.
#pragma once

#include <cstddef>
#include <utility>

namespace brambleloft {

// Backward-shift deletion for linear probing over a power-of-two table: the entry at
// `hole` is being removed, and later entries of its probe run move into the hole when
// it lies between their home cell and their own cell, so that no tombstones are
// needed and every entry stays reachable from its home. Returns the cell left over,
// which the caller empties.
template <class Cell, class IsEmpty, class HomeOf>
std::size_t close_hole(Cell* cells, std::size_t mask, std::size_t hole, IsEmpty is_empty,
                       HomeOf home_of) noexcept {
  for (std::size_t next = (hole + 1) & mask; !is_empty(cells[next]); next = (next + 1) & mask) {
    if (((next - home_of(cells[next])) & mask) >= ((next - hole) & mask)) {
      cells[hole] = std::move(cells[next]);
      hole = next;
    }
  }
  return hole;
}

}  // namespace brambleloft
