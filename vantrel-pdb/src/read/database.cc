#include "vantrel_pdb/database.h"

#include <string>
#include <type_traits>

#include "read/track_check.h"
#include "vantrel_pdb/row_offsets.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

PdbError malformed(std::string what) { return PdbError(pdb_error::Io{std::move(what)}); }

// Counts down what one load may still spend. Once a charge does not fit,
// the load stops: the image repeats rows or strings far beyond what any
// sound file holds.
class DecodeBudget {
 public:
  explicit DecodeBudget(std::uint64_t limit) : limit_(limit), left_(limit) {}

  std::expected<void, PdbError> charge(std::uint64_t bytes) {
    if (bytes > left_) {
      left_ = 0;
      return std::unexpected(malformed("decoded rows and text exceed " + std::to_string(limit_) + " bytes (" +
                                       std::to_string(kDecodeBytesPerImageByte) +
                                       " times the image size plus 1 MiB): the image repeats rows or strings"));
    }
    left_ -= bytes;
    return {};
  }

 private:
  std::uint64_t limit_;
  std::uint64_t left_;
};

// Bytes of decoded text a record holds.
std::uint64_t text_bytes(const Track& track) {
  std::uint64_t n = 0;
  for (const std::string& s : track.strings) n += s.size();
  return n;
}
template <class Record>
std::uint64_t text_bytes(const Record& record) {
  if constexpr (requires { record.name; }) {
    return record.name.size();
  } else {
    return 0;
  }
}

// The walk of table_row_offsets; with a budget, each page walked and each
// row found is charged to it.
std::expected<std::vector<std::uint64_t>, PdbError> walk_table(Bytes image, std::uint32_t page_size,
                                                               const TableEntry& entry, DecodeBudget* budget) {
  if (page_size < f::kPageHeaderSize) return std::unexpected(malformed("page size " + std::to_string(page_size) + " is too small"));
  std::uint64_t page_count = image.size() / page_size;
  std::vector<std::uint64_t> result;
  std::uint32_t p = entry.first_page;
  // A sound chain visits each page at most once, so more steps than pages
  // means it loops or never reaches last_page.
  for (std::uint64_t steps = 0;; ++steps) {
    if (steps >= page_count || p >= page_count) {
      return std::unexpected(malformed("page chain of table kind " + std::to_string(entry.kind) +
                                       " leaves the image or never reaches its last page"));
    }
    std::uint64_t start = std::uint64_t{p} * page_size;
    Bytes page = image.subspan(start, page_size);
    std::size_t before = result.size();
    append_row_offsets(page, page_size, start, result);
    if (budget) {
      auto ok = budget->charge(kDecodeCostPerPageWalked + sizeof(std::uint64_t) * (result.size() - before));
      if (!ok) return std::unexpected(ok.error());
    }
    if (p == entry.last_page) return result;
    p = decode_fixed32(page.data() + f::kNextPageOffset);
  }
}

// Checks one row as Record::parse decodes it; returns the bytes of text the
// record would hold. Track rows are only located, the small tables parsed.
template <class Record>
std::expected<std::uint64_t, PdbError> check_row(Bytes image, std::uint64_t location) {
  if constexpr (std::is_same_v<Record, Track>) {
    return check_track_row_text(image, location);
  } else {
    auto record = Record::parse(image, location);
    if (!record) return std::unexpected(record.error());
    return text_bytes(*record);
  }
}

// Decodes every row location of `kind` into `out` with Record::parse. The
// records are charged before any is made, their text as it is decoded.
// Without `keep` the rows are only checked, charged alike, and dropped.
template <class Record>
std::expected<void, PdbError> decode_table(Bytes image, const Database& db, std::uint32_t kind,
                                           std::vector<Record>& out, DecodeBudget& budget, bool keep) {
  auto locations = db.row_locations(kind);
  if (auto ok = budget.charge(sizeof(Record) * std::uint64_t{locations.size()}); !ok) return ok;
  if (!keep) {
    for (std::uint64_t location : locations) {
      auto text = check_row<Record>(image, location);
      if (!text) return std::unexpected(text.error());
      if (auto ok = budget.charge(*text); !ok) return ok;
    }
    return {};
  }
  out.reserve(locations.size());
  for (std::uint64_t location : locations) {
    auto record = Record::parse(image, location);
    if (!record) return std::unexpected(record.error());
    if (auto ok = budget.charge(text_bytes(*record)); !ok) return ok;
    out.push_back(std::move(*record));
  }
  return {};
}

}  // namespace

std::expected<std::vector<std::uint64_t>, PdbError> table_row_offsets(Bytes image, std::uint32_t page_size,
                                                                      const TableEntry& entry) {
  return walk_table(image, page_size, entry, nullptr);
}

std::expected<Database, PdbError> Database::from_bytes(Bytes image, Records records) {
  Database db;
  if (!in_bounds(image, 0, f::kFileHeaderSize)) {
    return std::unexpected(malformed("image of " + std::to_string(image.size()) + " bytes has no file header"));
  }
  DecodeBudget budget(decode_budget(image.size()));
  db.page_size = decode_fixed32(image.data() + f::kPageSizeOffset);
  std::uint32_t table_count = decode_fixed32(image.data() + f::kTableCountOffset);
  if (!in_bounds(image, f::kDirectoryOffset, std::uint64_t{table_count} * f::kTableEntrySize)) {
    return std::unexpected(malformed("table directory of " + std::to_string(table_count) +
                                     " entries runs past the end of the image"));
  }
  db.tables.reserve(table_count);
  for (std::uint32_t i = 0; i < table_count; ++i) {
    const std::uint8_t* e = image.data() + f::kDirectoryOffset + f::kTableEntrySize * i;
    db.tables.push_back({decode_fixed32(e + f::kEntryKindOffset), decode_fixed32(e + f::kEntryEmptyCandidateOffset),
                         decode_fixed32(e + f::kEntryFirstPageOffset), decode_fixed32(e + f::kEntryLastPageOffset)});
  }
  for (const TableEntry& entry : db.tables) {
    auto rows = walk_table(image, db.page_size, entry, &budget);
    if (!rows) return std::unexpected(rows.error());
    db.row_locations_by_kind[entry.kind] = std::move(*rows);
  }

  namespace k = table_kind;
  std::expected<void, PdbError> ok;
  const bool keep = records == Records::kDecoded;
  auto decode = [&](std::uint32_t kind, auto& out) { return ok = decode_table(image, db, kind, out, budget, keep); };
  if (!decode(k::tracks, db.tracks) || !decode(k::genres, db.genres) || !decode(k::artists, db.artists) ||
      !decode(k::albums, db.albums) || !decode(k::labels, db.labels) || !decode(k::keys, db.keys) ||
      !decode(k::colors, db.colors) || !decode(k::playlist_tree, db.playlist_tree) ||
      !decode(k::playlist_entries, db.playlist_entries) || !decode(k::artwork, db.artwork) ||
      !decode(k::kind16_rows, db.kind16_rows) || !decode(k::history_playlists, db.history_playlists) ||
      !decode(k::history_entries, db.history_entries)) {
    return std::unexpected(ok.error());
  }
  return db;
}

std::span<const std::uint64_t> Database::row_locations(std::uint32_t kind) const {
  auto it = row_locations_by_kind.find(kind);
  if (it == row_locations_by_kind.end()) return {};
  return it->second;
}

}  // namespace vantrel_pdb
