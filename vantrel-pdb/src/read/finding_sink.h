// The codes of the check, and the bounded list they are collected into.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_FINDING_SINK_H_
#define VANTREL_PDB_READ_FINDING_SINK_H_

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vantrel_pdb/reading.h"

namespace vantrel_pdb::checker {

// One per entry of finding_kinds(), in the same order.
enum class Code : std::size_t {
  kFileLength,
  kPageSize,
  kTableCount,
  kTableMissing,
  kTableDuplicate,
  kNextUnusedPage,
  kPageUnreachable,
  kChainLink,
  kChainLoop,
  kPageShared,
  kPageIdentity,
  kPageTable,
  kPageType,
  kEmptyCandidate,
  kFirstDataPage,
  kRowDirectory,
  kRowCount,
  kHeapOverflow,
  kFreeSize,
  kRowOutsideHeap,
  kRowOverlap,
  kStringKind,
  kStringCut,
  kTextReplaced,
  kDuplicateId,
  kMissingArtist,
  kMissingAlbum,
  kMissingGenre,
  kMissingKey,
  kMissingLabel,
  kMissingArtwork,
  kMissingTrack,
  kMissingPlaylist,
  kEntryInFolder,
  kOrphanPlaylist,
  kParentNotFolder,
  kPlaylistCycle,
  kCount,
};

const FindingKind& kind_of(Code code);

// Where a finding applies; absent fields do not apply.
struct Place {
  std::optional<std::uint32_t> page = std::nullopt;
  std::optional<std::uint32_t> table = std::nullopt;
  std::optional<std::uint32_t> row = std::nullopt;
  std::optional<std::uint64_t> offset = std::nullopt;
  std::optional<std::uint32_t> id = std::nullopt;
};

// Appends texts and numbers to one string: str("page ", 7, " of ", name).
inline void append_part(std::string& out, std::string_view text) { out.append(text); }
template <std::integral Int>
void append_part(std::string& out, Int value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}
template <class... Parts>
std::string str(const Parts&... parts) {
  std::string out;
  (append_part(out, parts), ...);
  return out;
}

// "0x1f", for kind bytes and flags.
std::string hex(std::uint64_t value);

// Collects findings into `out`: every one is counted, the first `limit`
// are listed. A message is made only for a finding that is listed, so a
// hostile image with millions of faults costs counts, not strings.
class FindingSink {
 public:
  FindingSink(Findings& out, std::size_t limit) : out_(out), limit_(limit) {}

  // Adds a finding of `code` at `place`; `message()` gives its text.
  template <class Message>
  void add(Code code, const Place& place, Message&& message) {
    const FindingKind& kind = kind_of(code);
    ++(kind.severity == Severity::kError ? out_.errors : out_.warnings);
    if (out_.list.size() >= limit_) return;
    out_.list.push_back({kind.severity, std::string(kind.code), std::forward<Message>(message)(), place.page,
                         place.table, place.row, place.offset, place.id});
  }

 private:
  Findings& out_;
  std::size_t limit_;
};

}  // namespace vantrel_pdb::checker

#endif  // VANTREL_PDB_READ_FINDING_SINK_H_
