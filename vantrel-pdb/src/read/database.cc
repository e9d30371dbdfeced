#include "read/database.h"

#include <string>
#include <type_traits>

#include "format/directory.h"
#include "format/errors.h"
#include "format/page_chain.h"
#include "format/row_offsets.h"
#include "read/track_check.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// Counts down what one load may still spend. Once a charge does not fit,
// the load stops: the image repeats rows or strings far beyond what any
// sound file holds.
class DecodeBudget {
 public:
  explicit DecodeBudget(std::uint64_t limit) : limit_(limit), left_(limit) {}

  std::expected<void, PdbError> charge(std::uint64_t bytes) {
    if (bytes > left_) {
      left_ = 0;
      return std::unexpected(errors::damaged("decoded rows and text exceed " + std::to_string(limit_) + " bytes (" +
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

// The walk of table_row_locations; with a budget, each page walked and each
// row found is charged to it.
std::expected<std::vector<std::uint64_t>, PdbError> walk_table(Bytes image, std::uint32_t page_size,
                                                               const TableEntry& entry, DecodeBudget* budget) {
  std::vector<std::uint64_t> result;
  f::PageChain chain(image, page_size, entry);
  while (chain.next()) {
    const std::size_t before = result.size();
    append_row_locations(chain.page(), page_size, chain.start(), result);
    if (budget) {
      auto ok = budget->charge(kDecodeCostPerPageWalked + sizeof(std::uint64_t) * (result.size() - before));
      if (!ok) return std::unexpected(ok.error());
    }
  }
  if (auto walked = chain.status(); !walked) return std::unexpected(walked.error());
  return result;
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

std::expected<std::vector<std::uint64_t>, PdbError> table_row_locations(Bytes image, std::uint32_t page_size,
                                                                        const TableEntry& entry) {
  return walk_table(image, page_size, entry, nullptr);
}

std::expected<std::vector<std::uint64_t>, PdbError> row_locations_of_kind(Bytes image, std::uint32_t kind) {
  auto directory = f::Directory::read(image);
  if (!directory) return std::unexpected(directory.error());
  // The reader keeps the rows of the later entry when a kind occurs twice.
  auto last = directory->last_of(kind);
  if (!last) return std::vector<std::uint64_t>{};
  return table_row_locations(image, directory->page_size(), directory->entry(*last));
}

std::expected<Database, PdbError> Database::from_bytes(Bytes image, Decoding decoding) {
  auto directory = f::Directory::read(image);
  if (!directory) return std::unexpected(directory.error());
  Database db;
  DecodeBudget budget(decode_budget(image.size()));
  db.page_size = directory->page_size();
  db.tables = directory->entries();
  for (const TableEntry& entry : db.tables) {
    auto rows = walk_table(image, db.page_size, entry, &budget);
    if (!rows) return std::unexpected(rows.error());
    db.row_locations_by_kind[entry.kind] = std::move(*rows);
  }

  namespace k = table_kind;
  std::expected<void, PdbError> ok;
  auto decode = [&](std::uint32_t kind, auto& out) {
    const bool keep =
        decoding == Decoding::kAllRecords || (decoding == Decoding::kRecordsButTracks && kind != k::tracks);
    return ok = decode_table(image, db, kind, out, budget, keep);
  };
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
