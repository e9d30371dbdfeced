// What reading a library gives: tracks and playlists as records, tracks read
// where their rows lie, how much of an image a decoding keeps, and what a
// check of an image finds and a salvage keeps. The types of this header are
// made by a Library and by check() and salvage() (library.h); a program only
// reads them. Nothing here names a byte offset of the format.
#ifndef VANTREL_PDB_READING_H_
#define VANTREL_PDB_READING_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel_pdb/api.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// The library's own, named here only: not exported.
class Catalog;
struct TrackTableState;

VANTREL_PDB_API_BEGIN

// What a decoding of an image keeps beyond checking it. Every level checks
// every row as a full decoding does (the same errors in the same order), so
// that a damaged image fails whichever is chosen.
enum class Decoding {
  kRowLocations,      // where the rows are, no record: for changes made in place
  kRecordsButTracks,  // every record but the tracks' (their rows are read where they lie)
  kAllRecords,        // every record, the tracks' too
};

// A text of a track, as TrackInfo holds it.
enum class TrackText {
  kTitle,
  kArtist,
  kAlbum,
  kGenre,
  kKey,
  kLabel,
  kArtworkPath,
  kAudioPath,
  kAnalysisPath,
  kComment,
};

// A track as a program reads it: its fields, its names resolved (the first
// artist, album, genre, key, label and artwork row, in table order, with the
// id the track names, "" when there is none).
struct TrackInfo {
  std::uint32_t id = 0;
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string key;
  std::string label;
  std::string artwork_path;
  std::string audio_path;
  std::string analysis_path;
  std::string comment;
  std::uint32_t tempo = 0;  // beats per minute × 100, as stored
  double bpm = 0;           // tempo / 100
  std::uint32_t bitrate = 0;
  std::uint32_t sample_rate = 0;
  std::uint32_t file_size = 0;
  std::uint16_t duration = 0;  // seconds
  std::uint16_t sample_depth = 0;
  std::uint16_t file_type = 0;
  std::uint8_t rating = 0;
};

// A playlist or folder as a program reads it, with its tracks and children.
struct PlaylistInfo {
  std::uint32_t id = 0;
  std::uint32_t parent_id = 0;  // 0 at the top level
  std::uint32_t sort_order = 0;
  std::string name;
  bool is_folder = false;
  std::vector<std::uint32_t> tracks;    // track ids in playing order
  std::vector<std::uint32_t> children;  // ids of the nodes under it, by sort order
};

// How many rows of each kind a program sees in a library: what a short
// report of a written database says.
struct LibraryCounts {
  std::size_t tracks = 0;     // track rows
  std::size_t playlists = 0;  // playlist tree nodes that are not folders
  std::size_t folders = 0;
  std::size_t entries = 0;  // playlist entry rows
  std::size_t artwork = 0;  // artwork rows
};

// A track read where its row lies: each field is read from the row when
// asked for, each text decoded into the caller's buffer, so that a program
// that walks every track once (a report, a listing) makes no record per
// track. Valid while what made it lasts (TrackRows says how long).
class TrackView {
 public:
  // The fixed fields of a track, read from its row in one call.
  struct Numbers {
    std::uint32_t id = 0;
    std::uint32_t tempo = 0;  // beats per minute × 100
    std::uint32_t bitrate = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t file_size = 0;
    std::uint16_t duration = 0;  // seconds
    std::uint16_t sample_depth = 0;
    std::uint16_t file_type = 0;
    std::uint8_t rating = 0;
  };
  Numbers numbers() const;
  std::uint32_t id() const;

  // A name the track refers to by id (artist, album, genre, key, label,
  // artwork path), as a view of the library's own copy; "" for a text
  // stored in the row itself, which append_text() reads.
  std::string_view name(TrackText field) const;
  // Appends text `field`, as TrackInfo holds it, to `out`. Fails as
  // Library::tracks() fails on that text (a damaged string), `out` then
  // unchanged.
  std::expected<void, PdbError> append_text(TrackText field, std::string& out) const;
  // Hints that this track will soon be read, and changes nothing: its
  // row's bytes start loading into the cache. A reader that goes through
  // many tracks calls it some tracks ahead of the one it reads, so that each
  // row arrives while it works on the ones before (a large library's rows
  // are far from the cache, and the processor does not fetch ahead across
  // the image's pages by itself).
  void prefetch_row() const;

  // The whole record, as Library::tracks() gives it.
  std::expected<TrackInfo, PdbError> info() const;
  // The same record written over `info`, whose texts keep their memory: a
  // program that reads track after track into the same records allocates
  // only when a text outgrows the one before it. Fails as info() fails,
  // `info` then holding part of the track.
  std::expected<void, PdbError> read_into(TrackInfo& info) const;

 private:
  friend class TrackRows;
  TrackView(Bytes image, std::uint64_t row, const Catalog* catalog) : image_(image), row_(row), catalog_(catalog) {}

  Bytes image_;
  std::uint64_t row_ = 0;
  const Catalog* catalog_ = nullptr;
};

// The tracks of one state of a library in table order, read where their
// rows lie (Library::track_rows). Valid until the library changes; const,
// and safe to read from several threads at once.
class TrackRows {
 public:
  std::size_t size() const { return rows_.size(); }

  // Track `index`, which must be below size(). Fails when its row's fixed
  // part runs past the end of the image (which the library's checks rule
  // out for every row they passed).
  std::expected<TrackView, PdbError> at(std::size_t index) const;

  // The `count` tracks from `first` (first + count at most size()).
  TrackRows subrange(std::size_t first, std::size_t count) const {
    return TrackRows(image_, rows_.subspan(first, count), catalog_);
  }

 private:
  friend class Library;
  friend class TrackTable;
  TrackRows(Bytes image, std::span<const std::uint64_t> rows, const Catalog* catalog)
      : image_(image), rows_(rows), catalog_(catalog) {}

  Bytes image_;
  std::span<const std::uint64_t> rows_;
  const Catalog* catalog_ = nullptr;
};

// The tracks of one state of a library (Library::track_table), each field
// read from the track's row when asked for. The table holds its own copy of
// the image and of the name tables, so a later change of the library leaves
// it as it was; it makes no record per track, so a listing that reads one
// field of every track pays for that field alone. Its methods are const and
// safe to call from several threads at once.
// TrackView's fixed fields as a record, every text "": what
// TrackTable::numbers gives.
TrackInfo numbers_of(const TrackView::Numbers& numbers);

class TrackTable {
 public:
  TrackTable(const TrackTable&) = delete;
  TrackTable& operator=(const TrackTable&) = delete;
  ~TrackTable();

  // The number of tracks, in table order.
  std::size_t size() const;

  // Track `index` (which must be below size()) as Library::tracks() gives
  // it. Fails as tracks() fails on that track.
  std::expected<TrackInfo, PdbError> info(std::size_t index) const;
  // Its fixed fields (id, tempo, bpm, bitrate, ...); every text is "".
  std::expected<TrackInfo, PdbError> numbers(std::size_t index) const;
  // One of its texts, as info() gives it.
  std::expected<std::string, PdbError> text(std::size_t index, TrackText field) const;

 private:
  friend class Library;
  explicit TrackTable(std::unique_ptr<const TrackTableState> state);
  TrackRows rows() const;
  std::unique_ptr<const TrackTableState> state_;
};

// --- What a check finds (check() in library.h) ---
//
// Each finding has a stable code and a fixed severity (finding_kinds() lists
// them all): an error where the file's structure is broken (what a player
// reads is incomplete, ambiguous or unreadable: rows lost, a load that
// fails, a walk that never ends), a warning where the file reads whole but
// something in it leads nowhere (a name that is gone, a playlist whose
// folder is gone, a text that needed replacement characters) or bookkeeping
// disagrees with the rows (counts, free space, the page a table takes next).

enum class Severity { kError, kWarning };

// "error" or "warning".
std::string_view severity_name(Severity severity);

// One kind of finding: its code, its severity and what it means.
struct FindingKind {
  std::string_view code;
  Severity severity;
  std::string_view meaning;
};

// Every code that check() gives, each with its one severity, grouped as
// the check goes: file, directory, chains, pages, rows, references.
std::span<const FindingKind> finding_kinds();

// The kind of finding with `code`, or nullptr.
const FindingKind* find_finding_kind(std::string_view code);

// One fault. Where a place applies it is given: the page (its index in the
// file), the table (its kind; table_name() names it), the row (its slot
// number within the page), the offset (a byte position in the file) and
// the id (of the row concerned: the track whose artist is missing, the
// second row holding an id).
struct Finding {
  Severity severity = Severity::kError;
  std::string code;
  std::string message;
  std::optional<std::uint32_t> page;
  std::optional<std::uint32_t> table;
  std::optional<std::uint32_t> row;
  std::optional<std::uint64_t> offset;
  std::optional<std::uint32_t> id;
};

// The name of a table kind: "tracks", "genres", "artists", "albums",
// "labels", "keys", "colors", "playlistTree", "playlistEntries",
// "historyPlaylists", "historyEntries", "artwork", and "kindN" for any
// other kind N.
std::string table_name(std::uint32_t kind);

// The row slots of one table: live rows (present flag set) and deleted
// ones (slot in use, flag clear), over the pages of its chain that the
// check could read.
struct TableRows {
  std::uint32_t kind = 0;
  std::uint64_t present = 0;
  std::uint64_t absent = 0;
};

// What check() gives: the findings and the image's counts.
struct Findings {
  // The first findings in the order found, at most the limit.
  std::vector<Finding> list;
  // Every finding, listed or not.
  std::uint64_t errors = 0;
  std::uint64_t warnings = 0;
  // Whole pages in the file.
  std::uint64_t pages = 0;
  // One entry per table kind of the directory, in ascending kind order
  // (two entries of one kind add up).
  std::vector<TableRows> rows;

  // True when no finding is an error.
  bool ok() const { return errors == 0; }
};

inline constexpr std::size_t kDefaultFindingLimit = 1000;

// --- What a salvage keeps (salvage() in library.h) ---

// The rows of one table: how many the new database holds, and how many of
// the damaged image's could not be kept (rows that no longer decode, or
// that salvage leaves out). Rows of pages that cannot be read at all are
// not counted: check() names those pages.
struct TableLoss {
  std::uint32_t kind = 0;
  std::uint64_t kept = 0;
  std::uint64_t lost = 0;
};

// Every table the reader decodes, in ascending kind order.
struct Loss {
  std::vector<TableLoss> tables;

  // All rows lost, over every table.
  std::uint64_t lost() const;
};

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READING_H_
