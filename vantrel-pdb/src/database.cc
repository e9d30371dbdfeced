#include "vantrel_pdb/database.h"

#include <string>

#include "vantrel_pdb/row_offsets.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

PdbError malformed(std::string what) { return PdbError(pdb_error::Io{std::move(what)}); }

// Decodes every row location of `kind` into `out` with Record::parse.
template <class Record>
std::expected<void, PdbError> decode_table(Bytes image, const Database& db, std::uint32_t kind,
                                           std::vector<Record>& out) {
  auto locations = db.row_locations(kind);
  out.reserve(locations.size());
  for (std::uint64_t location : locations) {
    auto record = Record::parse(image, location);
    if (!record) return std::unexpected(record.error());
    out.push_back(std::move(*record));
  }
  return {};
}

}  // namespace

std::expected<std::vector<std::uint64_t>, PdbError> table_row_offsets(Bytes image, std::uint32_t page_size,
                                                                      const TableEntry& entry) {
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
    append_row_offsets(page, page_size, start, result);
    if (p == entry.last_page) return result;
    p = decode_fixed32(page.data() + f::kNextPageOffset);
  }
}

std::expected<Database, PdbError> Database::from_bytes(Bytes image) {
  Database db;
  if (!in_bounds(image, 0, f::kFileHeaderSize)) {
    return std::unexpected(malformed("image of " + std::to_string(image.size()) + " bytes has no file header"));
  }
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
    auto rows = table_row_offsets(image, db.page_size, entry);
    if (!rows) return std::unexpected(rows.error());
    db.row_locations_by_kind[entry.kind] = std::move(*rows);
  }

  namespace k = table_kind;
  std::expected<void, PdbError> ok;
  if (!(ok = decode_table(image, db, k::tracks, db.tracks)) || !(ok = decode_table(image, db, k::genres, db.genres)) ||
      !(ok = decode_table(image, db, k::artists, db.artists)) ||
      !(ok = decode_table(image, db, k::albums, db.albums)) || !(ok = decode_table(image, db, k::labels, db.labels)) ||
      !(ok = decode_table(image, db, k::keys, db.keys)) || !(ok = decode_table(image, db, k::colors, db.colors)) ||
      !(ok = decode_table(image, db, k::playlist_tree, db.playlist_tree)) ||
      !(ok = decode_table(image, db, k::playlist_entries, db.playlist_entries)) ||
      !(ok = decode_table(image, db, k::artwork, db.artwork)) ||
      !(ok = decode_table(image, db, k::kind16_rows, db.kind16_rows)) ||
      !(ok = decode_table(image, db, k::history_playlists, db.history_playlists)) ||
      !(ok = decode_table(image, db, k::history_entries, db.history_entries))) {
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
