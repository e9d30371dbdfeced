// PdbEditor: one edit of one page image. Rows are only ever appended, at the
// end of a table's page chain; every changed page is recorded so that
// to_bytes can stamp it with its table's new page_sequence.
#ifndef VANTREL_PDB_EDITOR_H_
#define VANTREL_PDB_EDITOR_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/new_track.h"

namespace vantrel_pdb {

class EditorLookup;

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
  // often this runs); returns a copy of the image.
  std::vector<std::uint8_t> to_bytes();

  // As to_bytes, but hands the image over instead of copying it. The editor
  // must not be used afterwards.
  std::vector<std::uint8_t> into_bytes() &&;

  // The current image, without stamps.
  Bytes image() const { return image_; }
  std::uint32_t page_size() const { return page_size_; }

  // Byte offset of the first directory entry of `kind`, or NoTable.
  static std::expected<std::uint64_t, PdbError> table_entry_offset(Bytes image, std::uint32_t kind);

  // Records that the edit changed `page_index` of table `kind`; the first
  // call for a kind computes its stamp (largest page_sequence over the chain
  // + 1, wrapping).
  std::expected<void, PdbError> mark_table_touched(std::uint32_t kind, std::uint32_t page_index);

  // Links the table's empty_candidate page onto its chain as a fresh data
  // page and returns its index.
  std::expected<std::uint32_t, PdbError> allocate_page(std::uint32_t kind);

  // Appends `row` to the last page of table `kind` (or a new page when it
  // does not fit), reserving `alloc` heap bytes (>= row.size(), the rest
  // zero). With stamp_row_index the u16 at row offset 2 becomes slot × 32.
  // Fails with RowTooLarge (before any change), NoTable or TooManySlots
  // (after which the image must be abandoned).
  std::expected<void, PdbError> append_row(std::uint32_t kind, Bytes row, std::uint64_t alloc,
                                           bool stamp_row_index);

  // The id of the first genre (kind 1) or label (kind 4) row named exactly
  // `name`, or the id of a new row appended for it (largest id + 1).
  std::expected<std::uint32_t, PdbError> get_or_create_named(std::uint32_t kind, std::string_view name);

  // Inserts one track with its artist, album, genre, key and label rows;
  // returns the new track id (largest + 1).
  std::expected<std::uint32_t, PdbError> add_track(const NewTrack& track);

  // Appends a playlist tree node under `parent_id`; returns its new id.
  std::expected<std::uint32_t, PdbError> create_playlist(std::string_view name, std::uint32_t parent_id,
                                                         bool is_folder);

  // Appends an entry for `track_id` to the playlist `playlist_id`; without
  // an entry index the next one after the playlist's largest is used. Fails
  // with PlaylistNotFound when the first node with that id is missing or a
  // folder.
  std::expected<void, PdbError> add_to_playlist(std::uint32_t playlist_id, std::uint32_t track_id,
                                                std::optional<std::uint32_t> entry_index);

 private:
  PdbEditor() = default;

  std::vector<std::uint8_t> image_;
  std::uint32_t page_size_ = 0;
  std::optional<std::uint32_t> new_sequence_;
  std::unordered_map<std::uint32_t, std::uint32_t> edit_first_slots_;
  std::unordered_map<std::uint32_t, std::uint32_t> edit_row_counts_;
  std::unordered_map<std::uint32_t, std::uint32_t> table_sequences_;
  std::unordered_map<std::uint32_t, std::unordered_set<std::uint32_t>> touched_pages_;
  bool dirty_ = false;
  // Answers the id, name and position questions of the higher operations.
  std::unique_ptr<EditorLookup> lookup_;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDITOR_H_
