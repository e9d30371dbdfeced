// EditorLookup: the questions that the editor's higher operations ask about
// the rows already in its image (largest ids, names, sibling positions,
// entry indices), behind one narrow interface so that the way they are
// answered can be chosen.
//
// Every question receives the editor's current image. An implementation must
// answer exactly as a full decoding of that image with Database::from_bytes
// would: lists in table order, the first match winning, rows of a kind that
// occurs twice in the directory taken from the later entry, deleted rows not
// counted. Decoding errors are returned as the reader reports them.
//
// A lookup serves one editor and may keep what it learnt between questions:
// the image it is given is always that editor's, and it changes only through
// the appends the lookup is told of (on_row_appended, called after every row
// with the image as it is afterwards) or in ways the reader does not see
// (opening an empty page, writing stamps).
#ifndef VANTREL_PDB_EDIT_EDITOR_LOOKUP_H_
#define VANTREL_PDB_EDIT_EDITOR_LOOKUP_H_

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "edit/editor.h"
#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// What the editor needs to know of a playlist tree node.
struct TreeNodeInfo {
  bool is_folder = false;
  friend bool operator==(const TreeNodeInfo&, const TreeNodeInfo&) = default;
};

class EditorLookup {
 public:
  using MaybeU32 = std::expected<std::optional<std::uint32_t>, PdbError>;

  virtual ~EditorLookup() = default;

  // Largest id (unsigned) among the rows of table `kind`: tracks 0, genres 1,
  // artists 2, albums 3, labels 4, keys 5, playlist tree 7. nullopt when the
  // table has no row. Other kinds fail with Misuse.
  virtual MaybeU32 largest_id(Bytes image, std::uint32_t kind) = 0;

  // Id of the first row of `kind` (1 to 5) whose decoded name equals `name`
  // byte for byte; nullopt when there is none. Other kinds fail with Misuse.
  virtual MaybeU32 find_name(Bytes image, std::uint32_t kind, std::string_view name) = 0;

  // Largest sort_order among the tree nodes whose parent_id is `parent_id`.
  virtual MaybeU32 largest_sort_order(Bytes image, std::uint32_t parent_id) = 0;

  // Largest entry_index among the playlist entries of `playlist_id`.
  virtual MaybeU32 largest_entry_index(Bytes image, std::uint32_t playlist_id) = 0;

  // The first tree node (in table order) whose id is `id`; nullopt if none.
  virtual std::expected<std::optional<TreeNodeInfo>, PdbError> find_node(Bytes image, std::uint32_t id) = 0;

  // Largest u32 at row offset 20 (track_serial) over the row locations of
  // table kind 0; nullopt when there is none.
  virtual MaybeU32 largest_track_serial(Bytes image) = 0;

  // The row at absolute position `location` of `image` was just appended to
  // table `kind` (to the first directory entry of that kind).
  virtual void on_row_appended(Bytes image, std::uint32_t kind, std::uint64_t location) = 0;
};

// The literal lookup: decodes the whole image with Database::from_bytes to
// answer, keeping one decoding until the next append.
std::unique_ptr<EditorLookup> make_decoding_lookup();

// An editor of `image` whose higher operations ask `lookup` (not null);
// PdbEditor::from_bytes gives it make_default_lookup().
PdbEditor editor_with_lookup(std::vector<std::uint8_t> image, std::unique_ptr<EditorLookup> lookup);

// The lookup that PdbEditor::from_bytes uses when none is given: the
// incremental index of index_lookup.h.
std::unique_ptr<EditorLookup> make_default_lookup();

// The error of a question about a table kind that no lookup answers.
PdbError unsupported_lookup_kind(std::uint32_t kind);

// The number after `largest`: largest + 1, or 1 when there is none. Fails
// with ValueOutOfRange naming `what` when largest is 0xFFFFFFFF, where 32-bit
// arithmetic would wrap to 0 and collide with "none" or the top level. For
// ids and track_serial; positions (sort_order, entry_index) wrap instead.
std::expected<std::uint32_t, PdbError> next_number(std::optional<std::uint32_t> largest, std::string_view what);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_EDITOR_LOOKUP_H_
