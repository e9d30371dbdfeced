// What every export reads from a library besides its tracks: the playlist
// tree in the order a person sees it, and the tracks a playlist names.
#ifndef DOVREL_EXPORT_TREE_H_
#define DOVREL_EXPORT_TREE_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel_pdb/id_hash.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// One node of the playlist tree in tree order.
struct TreeNode {
  std::size_t index = 0;   // into the playlists
  std::size_t parent = 0;  // position in the order of the node it sits in, or kTopLevel
  std::size_t depth = 0;   // 0 at the top level
};
inline constexpr std::size_t kTopLevel = static_cast<std::size_t>(-1);

// The nodes depth first, each followed by the nodes under it, siblings by
// sort order (ties in table order). A node's parent is the first node (in
// table order) with its "parentId"; a node whose parent is missing, or
// that sits in a cycle, counts as a top-level node, after the others, in
// table order. Every node appears exactly once.
std::vector<TreeNode> tree_order(std::span<const vantrel_pdb::PlaylistInfo> playlists);

// The tracks by id: the first track (in table order) with each id, as
// every lookup of the library does. Ids that lie close together (as a
// library's usually do, with gaps) are found by their place in a table of
// at most eight slots of four bytes per track, about what a map's entry
// takes; others through a hash map seeded per process, which no choice of
// ids can make slow.
class TrackIndex {
 public:
  explicit TrackIndex(std::span<const vantrel_pdb::TrackInfo> tracks);
  // The same over the tracks' ids, in table order.
  explicit TrackIndex(std::span<const std::uint32_t> ids);

  // The position in the tracks of the track with `id`, or kNoTrack.
  std::size_t find(std::uint32_t id) const {
    if (!dense_.empty() || by_id_.empty()) {
      return id < dense_.size() && dense_[id] != kNoSlot ? std::size_t{dense_[id]} : kNoTrack;
    }
    auto it = by_id_.find(id);
    return it == by_id_.end() ? kNoTrack : it->second;
  }
  static constexpr std::size_t kNoTrack = static_cast<std::size_t>(-1);

 private:
  template <class IdAt>
  void index(std::size_t count, IdAt&& id_at);

  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;
  std::vector<std::uint32_t> dense_;  // positions by id, when the ids are close enough together
  vantrel_pdb::IdHashMap<std::size_t> by_id_;
};

// The text `field` of a track record.
std::string_view text_of(const vantrel_pdb::TrackInfo& track, vantrel_pdb::TrackText field);

// The text `field` of the track whose row `track` reads, as text_of() gives
// it for its record: a name as a view of the library's copy, a text of the
// row decoded into `scratch` (so valid until `scratch` next changes). Once
// `status` holds a failure, or when the row's text fails to decode (which
// it then holds), the text is "".
std::string_view text_of(const vantrel_pdb::TrackView& track, vantrel_pdb::TrackText field, std::string& scratch,
                         std::expected<void, vantrel_pdb::PdbError>& status);

// The name of a file type code: "mp3", "m4a" (which aac shares), "flac",
// "alac", "wav", "aiff"; the code in decimal for any other.
std::string file_type_name(std::uint16_t file_type);

// `root` and `path` joined by one "/": "/media/stick" and "/music/a.mp3"
// give "/media/stick/music/a.mp3", as do "/media/stick/" and "music/a.mp3".
std::string join_root(std::string_view root, std::string_view path);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_TREE_H_
