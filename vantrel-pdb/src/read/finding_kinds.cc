// The codes of the check with their severities and meanings: the one list
// that the check, the tool's report and the documentation follow.
#include <array>
#include <string>

#include "format/format.h"
#include "read/finding_sink.h"

namespace vantrel_pdb {

namespace {

constexpr Severity kError = Severity::kError;
constexpr Severity kWarning = Severity::kWarning;

constexpr std::array<FindingKind, static_cast<std::size_t>(checker::Code::kCount)> kKinds{{
    {"file-length", kError, "the file is empty or not a whole number of 4096-byte pages: its end is cut off"},
    {"page-size", kError, "the file header gives a page size other than 4096"},
    {"table-count", kError, "the file header lists more than 200 tables"},
    {"table-missing", kError, "the directory has no table of one of the kinds 0 to 19 that every database holds"},
    {"table-duplicate", kError,
     "two directory entries hold the same table kind: the reader lists the later, the editor appends to the earlier"},
    {"next-unused-page", kWarning,
     "the file header's next unused page is not past every page in use, so a later edit would refuse to add pages"},
    {"page-unreachable", kWarning, "pages that no table's chain reaches and no table takes next: space lost"},
    {"chain-link", kError, "a table's chain starts at, or links to, page 0 or a page past the end of the file"},
    {"chain-loop", kError, "a table's chain comes back to a page it has passed"},
    {"page-shared", kError, "a page lies on the chains of two tables"},
    {"page-identity", kError, "a page does not carry its own index"},
    {"page-table", kError, "a page of a table's chain carries another table's kind; its rows are not read"},
    {"page-type", kError,
     "a table's first page is not a table header page, or a later page is marked as one and hides its rows"},
    {"empty-candidate", kWarning,
     "the page a table takes next is not where its last page links, or is page 0, in use, another table's, or not "
     "below the next unused page"},
    {"first-data-page", kWarning, "a table header page names another first data page than its chain has"},
    {"row-directory", kError, "a page claims more than 511 row slots"},
    {"row-count", kWarning, "a page's count of present rows disagrees with its present flags"},
    {"heap-overflow", kError, "a page's heap and row index together need more than the page"},
    {"free-size", kWarning, "a page's free size disagrees with its heap and row index"},
    {"row-outside-heap", kError, "a row starts, or its fixed fields end, outside its page's heap"},
    {"row-overlap", kError, "a row, or one of its strings, overlaps another row or string of its page"},
    {"string-kind", kError, "a string of a row has an unknown kind byte: the reader refuses the whole file"},
    {"string-cut", kError, "a string of a row runs past its page's heap"},
    {"text-replaced", kWarning,
     "a text holds bytes that are not valid UTF-8 (or UTF-16 with unpaired surrogates) and reads with U+FFFD"},
    {"duplicate-id", kError, "a row has the id of an earlier row of its table: lookups find only the first"},
    {"missing-artist", kWarning, "a track or an album names an artist that no artist row has"},
    {"missing-album", kWarning, "a track names an album that no album row has"},
    {"missing-genre", kWarning, "a track names a genre that no genre row has"},
    {"missing-key", kWarning, "a track names a key that no key row has"},
    {"missing-label", kWarning, "a track names a label that no label row has"},
    {"missing-artwork", kWarning, "a track names artwork that no artwork row has"},
    {"missing-track", kWarning, "a playlist entry or a history entry names a track that no track row has"},
    {"missing-playlist", kWarning,
     "a playlist entry names a playlist that is not in the tree, or a history entry a history playlist that is "
     "gone"},
    {"entry-in-folder", kWarning, "a playlist entry names a folder, which holds no tracks"},
    {"orphan-playlist", kWarning, "a playlist or folder names a parent that is not in the tree"},
    {"parent-not-folder", kWarning, "a playlist or folder names a parent that is a playlist, not a folder"},
    {"playlist-cycle", kError,
     "a playlist's chain of parents never reaches the top level: it comes back to itself, or leads into a loop"},
}};

}  // namespace

std::string_view severity_name(Severity severity) { return severity == Severity::kError ? "error" : "warning"; }

std::span<const FindingKind> finding_kinds() { return kKinds; }

const FindingKind* find_finding_kind(std::string_view code) {
  for (const FindingKind& kind : kKinds) {
    if (kind.code == code) return &kind;
  }
  return nullptr;
}

std::string table_name(std::uint32_t kind) {
  namespace k = table_kind;
  switch (kind) {
    case k::tracks: return "tracks";
    case k::genres: return "genres";
    case k::artists: return "artists";
    case k::albums: return "albums";
    case k::labels: return "labels";
    case k::keys: return "keys";
    case k::colors: return "colors";
    case k::playlist_tree: return "playlistTree";
    case k::playlist_entries: return "playlistEntries";
    case k::history_playlists: return "historyPlaylists";
    case k::history_entries: return "historyEntries";
    case k::artwork: return "artwork";
    default: return "kind" + std::to_string(kind);
  }
}

namespace checker {

const FindingKind& kind_of(Code code) { return kKinds[static_cast<std::size_t>(code)]; }

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  // Two digits at least (0x05), no leading zeros beyond.
  int shift = 60;
  while (shift > 4 && ((value >> shift) & 0xF) == 0) shift -= 4;
  std::string out = "0x";
  for (; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
  return out;
}

}  // namespace checker

}  // namespace vantrel_pdb
