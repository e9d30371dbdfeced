// IndexedLookup: the editor's questions answered from hash maps that are
// built from one full decoding and then kept up to date row by row, so that
// every question and every append costs O(1) amortised (plus the size of the
// appended row) instead of a decoding of the whole image.
//
// It answers exactly as DecodingLookup does. The incremental updates rest on
// one argument: in a "sound" image an append changes what the reader sees by
// at most the one new row, placed at the end of its table's list. The image
// is sound when
//   - it decodes without error;
//   - the table directory lies inside page 0 and no page chain passes page 0;
//   - no page belongs to two chains (every directory entry is walked);
//   - every row the reader decodes reads only bytes of its own page that lie
//     in the used heap, [40, 40 + used_size) (checked by decoding the row
//     again from an image cut off at that point).
// The editor writes only beyond the used heap of a table's last page, into
// that page's row index and header, into a page that it opens (which must
// then not belong to any chain) and into page 0; none of that is read for any
// other row. A new row is seen by the reader only when its kind has a single
// directory entry: with two or more, the editor appends to the first entry
// while the reader lists the rows of the last one.
//
// When the image is not sound, or an append breaks one of these conditions
// (a row that fails to decode, a row reading past its allocation, a page
// opened inside another chain), the index is dropped and rebuilt from a full
// decoding at the next question, as DecodingLookup would do, and from then
// on after every append for the rest of the edit. The editor's own rows
// never cause this; only images made elsewhere and rows given to append_row
// directly can.
#ifndef VANTREL_PDB_EDIT_INDEX_LOOKUP_H_
#define VANTREL_PDB_EDIT_INDEX_LOOKUP_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "edit/editor_lookup.h"
#include "edit/name_table.h"
#include "read/database.h"
#include "vantrel_pdb/id_hash.h"

namespace vantrel_pdb {

class IndexedLookup final : public EditorLookup {
 public:
  MaybeU32 largest_id(Bytes image, std::uint32_t kind) override;
  MaybeU32 find_name(Bytes image, std::uint32_t kind, std::string_view name) override;
  MaybeU32 largest_sort_order(Bytes image, std::uint32_t parent_id) override;
  MaybeU32 largest_entry_index(Bytes image, std::uint32_t playlist_id) override;
  std::expected<std::optional<TreeNodeInfo>, PdbError> find_node(Bytes image, std::uint32_t id) override;
  MaybeU32 largest_track_serial(Bytes image) override;
  void on_row_appended(Bytes image, std::uint32_t kind, std::uint64_t location) override;

  // True while appends are applied to the index one by one; false when the
  // next question after an append decodes the whole image. For tests.
  bool incremental() const { return !stale_ && incremental_; }

 private:
  // Where the editor puts rows of one kind, and whether the reader sees them.
  struct Placement {
    std::size_t first_entry = 0;  // the directory entry the editor appends to
    bool seen = false;            // it is also the last entry of the kind
  };

  // Rebuilds the index from a full decoding when an append made it stale;
  // returns the decoding's error.
  std::expected<void, PdbError> ensure_loaded(Bytes image);
  void load(Bytes image);
  // Walks every chain and checks every decoded row; fills the placements,
  // the chain pages and the entries' last pages on the way.
  bool check_sound(Bytes image, const Database& db);
  // Applies one append; false when the index can no longer follow.
  bool apply_append(Bytes image, std::uint32_t kind, std::uint64_t location);
  // Decodes the new row from `view` (the image cut off at the end of its
  // page's used heap) and indexes it; false when it does not decode there.
  bool take_row(Bytes view, std::uint32_t kind, std::uint64_t location);

  bool is_chain_page(std::uint64_t page) const { return page < chain_pages_.size() && chain_pages_[page]; }
  void add_chain_page(std::uint64_t page);

  void note_name(std::uint32_t kind, std::string_view name, std::uint32_t id);
  void note_id(std::uint32_t kind, std::uint32_t id);
  void note_node(std::uint32_t id, std::uint32_t parent_id, std::uint32_t sort_order, bool is_folder);
  void note_entry(std::uint32_t playlist_id, std::uint32_t entry_index);
  void note_track_serial(std::uint32_t serial);

  bool stale_ = true;                     // the next question decodes the whole image
  bool incremental_ = false;              // appends are applied one by one
  bool fell_back_ = false;                // the image was found unsound once: decode after every append
  std::optional<PdbError> error_;         // the decoding's error, answering every question
  std::optional<PdbError> serial_error_;  // a track_serial that could not be read
  std::uint32_t page_size_ = 0;

  // The placements by kind, asked at every append. The editor appends only
  // to the format's kinds, all below table_kind::kFormatBound; an append of
  // another kind would find none, and the index would go stale (decoding
  // answers).
  std::array<std::optional<Placement>, table_kind::kFormatBound> placements_{};
  std::vector<std::uint32_t> last_pages_;  // per directory entry, as the index last saw it
  std::vector<bool> chain_pages_;

  // Indexed by table kind 0 to 7 (6 is unused).
  std::array<std::optional<std::uint32_t>, table_kind::playlist_tree + 1> largest_ids_{};
  // Indexed by table kind 1 to 5 (0 is unused).
  std::array<NameTable, table_kind::keys + 1> names_{};
  // Keyed by ids of the request or the file: seeded (IdHash).
  IdHashMap<std::uint32_t> largest_sort_orders_;
  IdHashMap<std::uint32_t> largest_entry_indices_;
  IdHashMap<TreeNodeInfo> first_nodes_;
  std::optional<std::uint32_t> largest_track_serial_;
};

std::unique_ptr<EditorLookup> make_indexed_lookup();

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_INDEX_LOOKUP_H_
