#include "read/database.h"

#include <algorithm>
#include <atomic>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "format/directory.h"
#include "format/errors.h"
#include "format/page_chain.h"
#include "format/row_offsets.h"
#include "read/track_check.h"
#include "util/prefetch.h"
#include "util/side_by_side.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// What the two parts of a load in two parts may spend between them: each
// takes from it in chunks, so that the two rarely meet.
class SharedBudget {
 public:
  explicit SharedBudget(std::uint64_t limit) : left_(limit) {}

  // Takes `bytes` when that many are left; returns whether it did.
  bool take(std::uint64_t bytes) {
    std::uint64_t left = left_.load(std::memory_order_relaxed);
    do {
      if (bytes > left) return false;
    } while (!left_.compare_exchange_weak(left, left - bytes, std::memory_order_relaxed));
    return true;
  }

 private:
  std::atomic<std::uint64_t> left_;
};

// Counts down what one load may still spend. Once a charge does not fit,
// the load stops: the image repeats rows or strings far beyond what any
// sound file holds. A part of a load in two parts starts with nothing and
// takes what it spends from the budget the parts share.
class DecodeBudget {
 public:
  explicit DecodeBudget(std::uint64_t limit) : limit_(limit), left_(limit) {}
  DecodeBudget(std::uint64_t limit, SharedBudget& shared) : limit_(limit), left_(0), shared_(&shared) {}

  std::expected<void, PdbError> charge(std::uint64_t bytes) {
    if (bytes > left_ && shared_ != nullptr) {
      const std::uint64_t wanted = bytes - left_;
      if (shared_->take(std::max(wanted, kSharedChunk))) {
        left_ += std::max(wanted, kSharedChunk);
      } else if (shared_->take(wanted)) {
        left_ += wanted;
      }
    }
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
  // What a part takes from the shared budget at a time.
  static constexpr std::uint64_t kSharedChunk = std::uint64_t{1} << 20;

  std::uint64_t limit_;
  std::uint64_t left_;
  SharedBudget* shared_ = nullptr;
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
  // Room for every slot the pages list, found by a walk of their headers
  // first: a vector doubling as it goes fills fresh memory twice over. A
  // damaged image may list far more slots than it has rows; the room is
  // kept within the image's size, and the rows found past it still fit.
  std::uint64_t slots = 0;
  for (f::PageChain counted(image, page_size, entry); counted.next();) slots += listed_slots(counted.page());
  result.reserve(std::min<std::uint64_t>(slots, image.size() / sizeof(std::uint64_t)));
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

// How many rows ahead of the one checked a track row is fetched.
constexpr std::size_t kRowsAhead = 16;

// Decodes every row location of `locations` into `out` with Record::parse.
// The records are charged before any is made, their text as it is decoded.
// Without `keep` the rows are only checked, charged alike, and dropped.
template <class Record>
std::expected<void, PdbError> decode_table(Bytes image, std::span<const std::uint64_t> locations,
                                           std::vector<Record>& out, DecodeBudget& budget, bool keep) {
  if (auto ok = budget.charge(sizeof(Record) * std::uint64_t{locations.size()}); !ok) return ok;
  if (!keep) {
    for (std::size_t i = 0; i < locations.size(); ++i) {
      const std::uint64_t location = locations[i];
      if constexpr (std::is_same_v<Record, Track>) {
        if (i + kRowsAhead < locations.size())
          prefetch_bytes(image, locations[i + kRowsAhead], track_row::kTypicalRowBytes);
      }
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

using RowLocations = std::unordered_map<std::uint32_t, std::vector<std::uint64_t>>;

// Which tables a part of a load takes.
enum class Part { kAll, kMain, kHelper };

// The tables a helper thread loads while the caller loads the others: the
// track rows and the history entries. The check of every track's texts is
// about as much work as the named rows and the playlist entries together,
// which the caller takes.
bool helper_takes(std::uint32_t kind) {
  namespace k = table_kind;
  return kind == k::tracks || kind == k::history_entries;
}

bool takes(Part part, std::uint32_t kind) {
  return part == Part::kAll || (part == Part::kHelper) == helper_takes(kind);
}

// Walks the tables of `part` into `rows` (in directory order, a later entry
// of a kind replacing an earlier one) and decodes them into `db` in the
// order from_bytes documents, charging `budget`.
std::expected<void, PdbError> load_part(Bytes image, Database& db, RowLocations& rows, DecodeBudget& budget,
                                        Decoding decoding, Part part) {
  for (const TableEntry& entry : db.tables) {
    if (!takes(part, entry.kind)) continue;
    auto walked = walk_table(image, db.page_size, entry, &budget);
    if (!walked) return std::unexpected(walked.error());
    rows[entry.kind] = std::move(*walked);
  }

  namespace k = table_kind;
  std::expected<void, PdbError> ok;
  auto decode = [&](std::uint32_t kind, auto& out) {
    if (!takes(part, kind)) return true;
    const bool keep =
        decoding == Decoding::kAllRecords || (decoding == Decoding::kRecordsButTracks && kind != k::tracks);
    auto it = rows.find(kind);
    const std::span<const std::uint64_t> locations =
        it == rows.end() ? std::span<const std::uint64_t>() : std::span<const std::uint64_t>(it->second);
    return (ok = decode_table(image, locations, out, budget, keep)).has_value();
  };
  if (!decode(k::tracks, db.tracks) || !decode(k::genres, db.genres) || !decode(k::artists, db.artists) ||
      !decode(k::albums, db.albums) || !decode(k::labels, db.labels) || !decode(k::keys, db.keys) ||
      !decode(k::colors, db.colors) || !decode(k::playlist_tree, db.playlist_tree) ||
      !decode(k::playlist_entries, db.playlist_entries) || !decode(k::artwork, db.artwork) ||
      !decode(k::kind16_rows, db.kind16_rows) || !decode(k::history_playlists, db.history_playlists) ||
      !decode(k::history_entries, db.history_entries)) {
    return std::unexpected(ok.error());
  }
  return {};
}

// The load of `db` (its page size and tables set) in two parts at once, one
// on a helper thread, the two spending from one budget, so that together
// they never hold more than one load may. The parts charge between them
// what one load charges, and only a load that fails nowhere is kept: one
// load would have succeeded with the same records. Otherwise returns false
// and leaves it to one load to meet the failure it meets first (a sound
// image within a chunk of the budget's end may be loaded twice).
bool load_in_two_parts(Bytes image, Database& db, Decoding decoding) {
  const std::uint64_t limit = decode_budget(image.size());
  SharedBudget shared(limit);
  RowLocations helper_rows;
  DecodeBudget own_budget(limit, shared), helper_budget(limit, shared);
  std::expected<void, PdbError> own = {}, helper = {};
  side_by_side([&] { own = load_part(image, db, db.row_locations_by_kind, own_budget, decoding, Part::kMain); },
               [&] { helper = load_part(image, db, helper_rows, helper_budget, decoding, Part::kHelper); });
  if (!own || !helper) return false;
  db.row_locations_by_kind.merge(helper_rows);
  return true;
}

// A Database with the page size and the tables of `image`'s directory.
std::expected<Database, PdbError> empty_database(Bytes image) {
  auto directory = f::Directory::read(image);
  if (!directory) return std::unexpected(directory.error());
  Database db;
  db.page_size = directory->page_size();
  db.tables = directory->entries();
  return db;
}

std::expected<Database, PdbError> load_in_one_part(Bytes image, Decoding decoding) {
  auto db = empty_database(image);
  if (!db) return std::unexpected(db.error());
  DecodeBudget budget(decode_budget(image.size()));
  if (auto ok = load_part(image, *db, db->row_locations_by_kind, budget, decoding, Part::kAll); !ok) {
    return std::unexpected(ok.error());
  }
  return db;
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
  if (image.size() >= kSideBySideImageBytes) {
    auto db = empty_database(image);
    if (!db) return std::unexpected(db.error());
    if (load_in_two_parts(image, *db, decoding)) return db;
    // What the two parts made is freed before the load in one part.
  }
  return load_in_one_part(image, decoding);
}

std::expected<Database, PdbError> Database::from_bytes_in_one_part_for_testing(Bytes image, Decoding decoding) {
  return load_in_one_part(image, decoding);
}

std::span<const std::uint64_t> Database::row_locations(std::uint32_t kind) const {
  auto it = row_locations_by_kind.find(kind);
  if (it == row_locations_by_kind.end()) return {};
  return it->second;
}

}  // namespace vantrel_pdb
