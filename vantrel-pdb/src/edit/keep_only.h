// Changes in place: keeping only chosen tracks and playlists of an existing
// image (the rows of the others are marked absent, the history goes when
// tracks go) and rewriting tempos.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_KEEP_ONLY_H_
#define VANTREL_PDB_EDIT_KEEP_ONLY_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "read/database.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/id_hash.h"

namespace vantrel_pdb {

inline constexpr char kInvalidRowDirectory[] = "Invalid row directory";

// The bytes that an in-place change overwrites, kept so that a change whose
// result fails its check can be undone exactly.
class UndoLog {
 public:
  // Records the `n` (at most 4) bytes at `pos` of `image` before they change.
  // Requires: they lie inside the image.
  void save(Bytes image, std::uint64_t pos, std::size_t n) {
    Saved s{pos, static_cast<std::uint8_t>(n), {}};
    for (std::size_t i = 0; i < n; ++i) s.bytes[i] = image[pos + i];
    saved_.push_back(s);
  }
  bool empty() const { return saved_.empty(); }
  // Makes room for `n` more records at once.
  void reserve(std::size_t n) { saved_.reserve(saved_.size() + n); }
  // Puts every recorded byte back, latest first, and forgets them.
  void undo(MutableBytes image) {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      for (std::size_t i = 0; i < it->n; ++i) image[it->pos + i] = it->bytes[i];
    }
    saved_.clear();
  }

 private:
  struct Saved {
    std::uint64_t pos;
    std::uint8_t n;
    std::uint8_t bytes[4];
  };
  std::vector<Saved> saved_;
};

// Changes `image` in place. `db` is a decoding of `image` (its records are
// not needed, only its row locations). A track row stays when its id is in
// `keep_tracks` (every one when absent), a tree row when its id is in
// `keep_playlists` (likewise), an entry row when both its playlist and its
// track stay. When the kept track ids are not exactly as many as the track
// rows, every history playlist and history entry goes too. Kept track rows
// whose id is in `tempos` get that tempo. Only present flags, packed counts
// and tempo fields change: the image keeps its length, chains, header and
// sequence numbers; every data page's present_row_count is recounted from
// its flags.
//
// With `undo`, every byte it overwrites is recorded there first.
//
// Fails, before anything is written, with Damaged when a row's id lies outside
// the image, and with Invalid(kInvalidRowDirectory) for a data page whose
// 13-bit slot count puts a slot's offset word inside the page header (the
// pages before it are then already recounted: drop the image).
std::expected<void, PdbError> keep_only(std::vector<std::uint8_t>& image, const Database& db,
                                        const std::optional<std::vector<std::uint32_t>>& keep_tracks,
                                        const std::optional<std::vector<std::uint32_t>>& keep_playlists,
                                        const TempoMap& tempos, UndoLog* undo = nullptr);

// The u32 at `offset` of each row of `rows` (absolute positions in
// `image`), in order. Fails with Damaged when one lies outside the image.
std::expected<std::vector<std::uint32_t>, PdbError> u32_fields(Bytes image, std::span<const std::uint64_t> rows,
                                                               std::uint64_t offset);

// The id of each row of table `kind` (tracks, playlist tree, artwork or
// history playlists; no other kind) in table order, read where `db`, a decoding of `image`, says
// the rows are. Fails with Damaged when one lies outside the image (a row that
// passed its decoder never does).
std::expected<std::vector<std::uint32_t>, PdbError> row_ids(Bytes image, const Database& db, std::uint32_t kind);

// Sets the tempo of every track row whose id is `track_id` (`db` a decoding
// of `image`), recording each overwritten byte in `undo`; returns how many
// rows it changed. Fails as row_ids fails.
std::expected<std::size_t, PdbError> set_tempo(std::vector<std::uint8_t>& image, const Database& db,
                                               std::uint32_t track_id, std::uint32_t tempo, UndoLog& undo);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_KEEP_ONLY_H_
