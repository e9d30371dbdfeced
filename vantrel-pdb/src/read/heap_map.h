// The bytes of one page that rows and strings have claimed so far: a row
// or string that claims a byte already claimed overlaps another. One bit
// per byte, set and tested a word at a time, so that a page costs time in
// proportion to its bytes however its rows are laid out.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_HEAP_MAP_H_
#define VANTREL_PDB_READ_HEAP_MAP_H_

#include <array>
#include <cstdint>

#include "format/format.h"

namespace vantrel_pdb::checker {

class HeapMap {
 public:
  static constexpr std::uint64_t kBytes = format::kPageSize;

  // Forgets every claim.
  void clear() { words_.fill(0); }

  // Claims the page bytes [begin, end): true when none of them was claimed
  // before (they are then claimed), false otherwise (nothing changes). An
  // empty range is always free. Requires: begin <= end <= kBytes.
  bool claim(std::uint64_t begin, std::uint64_t end) {
    if (begin == end) return true;
    if (!for_each_word(begin, end, [](std::uint64_t& word, std::uint64_t mask) { return (word & mask) == 0; })) {
      return false;
    }
    for_each_word(begin, end, [](std::uint64_t& word, std::uint64_t mask) {
      word |= mask;
      return true;
    });
    return true;
  }

 private:
  // Calls visit(word, mask) for each word that [begin, end) touches, with
  // the mask of its bits in the range; stops at the first false.
  template <class Visit>
  bool for_each_word(std::uint64_t begin, std::uint64_t end, Visit visit) {
    const std::uint64_t first = begin / 64;
    const std::uint64_t last = (end - 1) / 64;
    for (std::uint64_t w = first; w <= last; ++w) {
      const std::uint64_t lo = w == first ? begin % 64 : 0;
      const std::uint64_t hi = w == last ? (end - 1) % 64 : 63;
      const std::uint64_t mask =
          (hi == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (hi + 1)) - 1) & ~((std::uint64_t{1} << lo) - 1);
      if (!visit(words_[w], mask)) return false;
    }
    return true;
  }

  std::array<std::uint64_t, kBytes / 64> words_{};
};

}  // namespace vantrel_pdb::checker

#endif  // VANTREL_PDB_READ_HEAP_MAP_H_
