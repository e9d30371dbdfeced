// The walk over one table's page chain: the one loop in the library that
// follows next_page links. It is bounded twice: it never steps to a page
// outside the image, and never takes more steps than the image has pages,
// so a chain that loops or never reaches last_page ends with an error
// instead of running on.
#ifndef VANTREL_PDB_FORMAT_PAGE_CHAIN_H_
#define VANTREL_PDB_FORMAT_PAGE_CHAIN_H_

#include <cstdint>
#include <expected>

#include "format/coding.h"
#include "format/format.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb::format {

// Visits the pages of the table that `entry` describes, in chain order from
// first_page to last_page, one at a time; the caller decides what to do
// with each page and may stop early. Typical use:
//
//   PageChain chain(image, page_size, entry);
//   while (chain.next()) use(chain.index(), chain.page());
//   if (auto done = chain.status(); !done) return std::unexpected(done.error());
//
// Only next_page (page offset 12) is read, and only of pages inside the
// image; nothing else of a page is checked (page 0 is visited like any
// other page if a chain names it).
class PageChain {
 public:
  // Requires: `image` outlives the walk and does not change during it.
  PageChain(Bytes image, std::uint64_t page_size, const TableEntry& entry)
      : image_(image), page_size_(page_size), entry_(entry), next_(entry.first_page) {
    if (page_size < kPageHeaderSize) {
      state_ = State::kPageSizeTooSmall;
    } else {
      page_count_ = image.size() / page_size;
    }
  }

  // Moves to the next page of the chain (the first page on the first call)
  // and returns true; returns false once last_page has been visited, or when
  // the chain cannot go on: the page size is below 40, the next page lies
  // outside the image, or the walk has taken as many steps as the image has
  // pages without reaching last_page.
  bool next() {
    if (state_ != State::kWalking) return false;
    if (visited_ > 0 && index_ == entry_.last_page) {
      state_ = State::kDone;
      return false;
    }
    if (visited_ > 0) next_ = decode_fixed32(image_.data() + start() + kNextPageOffset);
    // A sound chain visits each page at most once.
    if (visited_ >= page_count_ || next_ >= page_count_) {
      state_ = State::kBroken;
      return false;
    }
    index_ = next_;
    ++visited_;
    return true;
  }

  // The page that the last successful next() moved to, and its bytes.
  std::uint32_t index() const { return index_; }
  std::uint64_t start() const { return std::uint64_t{index_} * page_size_; }
  Bytes page() const { return image_.subspan(start(), page_size_); }

  // After next() returned false: success when the walk reached last_page,
  // else Damaged ("page size N is too small", or "page chain of table kind K
  // leaves the image or never reaches its last page"). While the walk is
  // still going, or when the caller stopped it early, success.
  std::expected<void, PdbError> status() const;

 private:
  enum class State { kWalking, kDone, kBroken, kPageSizeTooSmall };

  Bytes image_;
  std::uint64_t page_size_;
  TableEntry entry_;
  std::uint64_t page_count_ = 0;
  std::uint64_t visited_ = 0;
  std::uint32_t next_;
  std::uint32_t index_ = 0;
  State state_ = State::kWalking;
};

}  // namespace vantrel_pdb::format

#endif  // VANTREL_PDB_FORMAT_PAGE_CHAIN_H_
