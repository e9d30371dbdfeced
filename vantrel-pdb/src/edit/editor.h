// PdbEditor: one edit of one page image. Rows are only ever appended, at the
// end of a table's page chain; every changed page is recorded so that
// to_bytes can stamp it with its table's new page_sequence.
//
// Every operation either succeeds or fails with a PdbError. The editor never
// reads or writes outside its image: a directory entry, chain or page that
// lies outside it, or that would make an append damage other data, fails
// with Damaged before anything is written. The low-level operations
// (allocate_page, append_row) leave the image unchanged on every failure;
// add_track keeps the named rows it appended before a later step failed.
#ifndef VANTREL_PDB_EDIT_EDITOR_H_
#define VANTREL_PDB_EDIT_EDITOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "edit/new_track.h"
#include "format/coding.h"
#include "format/format.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/id_hash.h"

namespace vantrel_pdb {

class PdbEditor;

// Answers the editor's id, name and position questions; internal to the
// library, which chooses how (edit/editor_lookup.h), and not exported.
class EditorLookup;
PdbEditor editor_with_lookup(std::vector<std::uint8_t> image, std::unique_ptr<EditorLookup> lookup);

class PdbEditor {
 public:
  // Takes over `image`; reads page_size from the file header. Nothing is
  // checked. Requires: the image is at least 8 bytes (a shorter one gets
  // page_size 0 and every later operation fails).
  static PdbEditor from_bytes(std::vector<std::uint8_t> image);

  PdbEditor(PdbEditor&&) noexcept;
  PdbEditor& operator=(PdbEditor&&) noexcept;
  ~PdbEditor();

  // Stamps every touched page with its table's stamp and, when anything
  // changed, writes the edit's header sequence (raised once per edit however
  // often this runs); returns a copy of the image. An editor that changed
  // nothing returns its input unchanged.
  std::vector<std::uint8_t> to_bytes();

  // As to_bytes, but hands the image over instead of copying it. The editor
  // must not be used afterwards.
  std::vector<std::uint8_t> into_bytes() &&;

  // The current image, without stamps.
  Bytes image() const { return image_; }
  std::uint32_t page_size() const { return page_size_; }

  // Byte offset of the first directory entry of `kind`, or NoTable. Fails
  // with Damaged when the 28-byte file header or the directory runs past the end
  // of `image`.
  static std::expected<std::uint64_t, PdbError> table_entry_offset(Bytes image, std::uint32_t kind);

  // Records that the edit changed `page_index` of table `kind`; the first
  // call for a kind computes its stamp (largest page_sequence over the chain
  // + 1, wrapping). Fails with NoTable, or with Damaged when the page size is
  // below 40, the chain leaves the image or does not reach its last page
  // within as many steps as the image has pages, or when the page is not
  // inside the image.
  std::expected<void, PdbError> mark_table_touched(std::uint32_t kind, std::uint32_t page_index);

  // Links the table's empty_candidate page onto its chain as a fresh data
  // page and returns its index. The image grows when the page lies beyond
  // its end. Fails with NoTable, or with Damaged (image unchanged) when the
  // directory, the chain or the header counters would make the new page
  // overwrite page 0, a chain page or break the chain.
  std::expected<std::uint32_t, PdbError> allocate_page(std::uint32_t kind);

  // Appends `row` to the last page of table `kind` (or a new page when it
  // does not fit), reserving `alloc` heap bytes (>= row.size(), the rest
  // zero). With stamp_row_index the u16 at row offset 2 becomes slot × 32
  // (requires alloc >= 4). Fails, with the image unchanged, with RowTooLarge
  // (alloc > page_size - 46, decided before the directory is read), NoTable,
  // TooManySlots (the last page already has 511 slots and the row fits it)
  // or Damaged (unusable page size or unsound image). Returns the new row's
  // location (its absolute position in the image), which later appends
  // never move.
  std::expected<std::uint64_t, PdbError> append_row(std::uint32_t kind, Bytes row, std::uint64_t alloc,
                                                    bool stamp_row_index);

  // The id of the first genre (kind 1) or label (kind 4) row named exactly
  // `name`, or the id of a new row appended for it (largest id + 1, 1 in an
  // empty table). Other kinds fail with Misuse; a largest id of 0xFFFFFFFF fails
  // with ValueOutOfRange instead of wrapping to 0.
  std::expected<std::uint32_t, PdbError> get_or_create_named(std::uint32_t kind, std::string_view name);

  // Appends a row of `kind` (genres 1, artists 2, albums 3, labels 4, keys
  // 5) with id `id` and `name`, laid out as add_track lays out the rows it
  // creates (an album row carries `album_artist_id`); returns its location.
  // The id is the caller's: nothing is looked up. Fails with Misuse for
  // another kind, StringTooLong, or as append_row fails.
  std::expected<std::uint64_t, PdbError> append_named_row(std::uint32_t kind, std::uint32_t id, std::string_view name,
                                                          std::uint32_t album_artist_id = 0);

  // Inserts one track with its artist, album, genre, key and label rows,
  // under the id and with the file type that `track` gives; returns the
  // track row's location. The row is checked against the page capacity
  // (RowTooLarge) and its texts encoded (StringTooLong) before anything is
  // written. Ids are the caller's to choose: none is checked here.
  std::expected<std::uint64_t, PdbError> add_track(const NewTrack& track);

  // A track row encoded by encode_track: every field but the ids of its
  // named rows and its serial, which add_encoded_track writes (zero until
  // then), and the allocation the editor reserves for it.
  struct EncodedTrack {
    std::vector<std::uint8_t> row;
    std::uint64_t alloc = 0;
  };
  // add_track in two steps. encode_track reads no editor, so that a caller
  // may encode on another thread; it fails with StringTooLong.
  // add_encoded_track(track, encoded) with `encoded` from encode_track(track)
  // then does and fails as add_track(track) does from its check of the page
  // capacity on; `track` serves for its names, and the ids are written into
  // `encoded` on the way (its memory stays the caller's to free).
  static std::expected<EncodedTrack, PdbError> encode_track(const NewTrack& track);
  std::expected<std::uint64_t, PdbError> add_encoded_track(const NewTrack& track, EncodedTrack& encoded);

  // Appends a playlist tree node `id` under `parent_id` (the caller's ids,
  // not checked here). Its sort order is `sort_order` when given (an order
  // that a copy carries over; not checked against the siblings'), else one
  // more than the largest among the siblings in 32-bit wrapping arithmetic
  // (0xFFFFFFFF is followed by 0), 0 for the first child.
  std::expected<void, PdbError> create_playlist(std::uint32_t id, std::string_view name, std::uint32_t parent_id,
                                                bool is_folder, std::optional<std::uint32_t> sort_order = std::nullopt);

  // Appends an entry for `track_id` to the playlist `playlist_id`; without
  // an entry index the next one after the playlist's largest is used (1 for
  // an empty playlist; wrapping, so 0xFFFFFFFF is followed by 0). Fails with
  // PlaylistNotFound when the first node with that id is missing or a folder.
  std::expected<void, PdbError> add_to_playlist(std::uint32_t playlist_id, std::uint32_t track_id,
                                                std::optional<std::uint32_t> entry_index);

 private:
  friend PdbEditor editor_with_lookup(std::vector<std::uint8_t> image, std::unique_ptr<EditorLookup> lookup);
  PdbEditor() = default;

  // page_size - 46, or Damaged when the page size is outside what the editor can
  // lay out (76 to 65536 bytes: a header, a first_data_page field and one row
  // group must fit, and every in-page offset must fit a u16).
  std::expected<std::uint64_t, PdbError> max_alloc() const;
  // Start of page `p` in the image, or Damaged unless the whole page lies inside
  // the image and is not page 0.
  std::expected<std::uint64_t, PdbError> page_start(std::uint32_t p) const;
  // table_entry_offset(image_, kind), found once for each kind below
  // table_kind::kFormatBound: the editor never rewrites the directory's entry count
  // or kinds, and the image only grows, so an entry once found stays where
  // it is. Every appended row asks.
  std::expected<std::uint64_t, PdbError> entry_offset_of(std::uint32_t kind);
  // Computes the table's stamp, once per edit, by walking its chain.
  std::expected<void, PdbError> ensure_table_sequence(std::uint32_t kind);
  // Writes the stamps and the header sequence into the image.
  void stamp();
  // Fails with Damaged when page `p` already belongs to some table's chain. The
  // set of chain pages is walked once per edit and grows with each page
  // this edit opens.
  std::expected<void, PdbError> require_off_chain(std::uint32_t p);
  // The layout of a row that pairs an id with a name: `prefix` holds the
  // fixed bytes before the name (ids left zero), the new id is written at
  // each of `id_offsets`, and the allocation is round_up4(alloc_base + n)
  // for an encoded name of n bytes. `id_name` names the id in errors.
  struct NamedRowShape {
    std::vector<std::uint8_t> prefix;
    std::vector<std::uint64_t> id_offsets;
    std::uint64_t alloc_base = 0;
    bool stamp_row_index = false;
    const char* id_name = "";
  };
  // The shape of the named rows of `kind` (1 to 5), as add_track writes
  // them; an album's prefix carries `album_artist_id`. Misuse for another kind.
  static std::expected<NamedRowShape, PdbError> named_row_shape(std::uint32_t kind, std::uint32_t album_artist_id);
  // Appends the row of `shape` for `name` with id `id`.
  std::expected<std::uint64_t, PdbError> append_shaped_row(std::uint32_t kind, std::uint32_t id, std::string_view name,
                                                           const NamedRowShape& shape);
  // The id of the first row of `kind` named exactly `name`, or of a new row
  // of `shape` appended for it with the next id.
  std::expected<std::uint32_t, PdbError> find_or_create(std::uint32_t kind, std::string_view name,
                                                        const NamedRowShape& shape);

  std::vector<std::uint8_t> image_;
  std::uint32_t page_size_ = 0;
  // Directory entry offsets found by entry_offset_of; 0 where not yet found
  // (no entry starts there: the file header does).
  std::array<std::uint64_t, table_kind::kFormatBound> entry_offsets_{};
  std::optional<std::uint32_t> new_sequence_;
  IdHashMap<std::uint32_t> edit_first_slots_;
  IdHashMap<std::uint32_t> edit_row_counts_;
  IdHashMap<std::uint32_t> table_sequences_;
  // Bit k: table_sequences_ holds kind k (below table_kind::kFormatBound),
  // asked at every append.
  std::uint32_t sequenced_kinds_ = 0;
  static_assert(table_kind::kFormatBound <= 32, "a bit of sequenced_kinds_ for each kind below the bound");
  IdHashMap<IdHashSet> touched_pages_;
  bool dirty_ = false;
  // The page the last append_row wrote to and its edit counts (values of
  // the maps above, whose nodes stay where they are): appends come in runs
  // to one page, and these spare each a run's lookups and its marking.
  // `present` is the page's count of present rows that append wrote: within
  // an editor only its appends set or clear a present bit, so the next
  // append to the page adds one instead of counting them all again.
  struct AppendPage {
    std::uint32_t kind = 0;
    std::uint32_t page = 0;
    std::uint32_t* first_slot = nullptr;
    std::uint32_t* row_count = nullptr;
    std::uint32_t present = 0;
  };
  std::optional<AppendPage> last_append_;
  // Every page on some directory entry's chain; filled by the first allocation.
  std::optional<IdHashSet> chain_pages_;
  // Answers the id, name and position questions of the higher operations.
  std::unique_ptr<EditorLookup> lookup_;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_EDITOR_H_
