#include "read/row_shape.h"

#include "format/coding.h"
#include "format/format.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"

namespace vantrel_pdb::checker {

namespace k = table_kind;

std::uint64_t fixed_size(std::uint32_t kind, Bytes prefix) {
  switch (kind) {
    case k::tracks: return track_row::kFixedSize;
    case k::artists:
      if (prefix.size() >= 2 && decode_fixed16(prefix.data() + artist_row::kSubtypeOffset) == artist_row::kFarSubtype) {
        return artist_row::kFarNameOffset + 2;
      }
      return artist_row::kNearNameOffset + 1;
    case k::albums: return album_row::kNearNameOffset + 1;
    case k::genres:
    case k::labels:
    case k::artwork:
    case k::history_playlists: return id_name_row::kNameOffset;
    case k::keys: return key_row::kNameOffset;
    case k::colors: return color_row::kNameOffset;
    case k::kind16_rows: return kind16_row::kNameOffset;
    case k::playlist_tree: return playlist_tree_row::kNameOffset;
    case k::playlist_entries:
    case k::history_entries: return entry_row::kSize;
    default: return 1;
  }
}

RowStrings row_strings(std::uint32_t kind, Bytes fixed) {
  RowStrings out;
  auto one = [&out](std::uint64_t at) {
    out.at[0] = at;
    out.count = 1;
  };
  switch (kind) {
    case k::tracks:
      for (std::size_t i = 0; i < track_row::kStringCount; ++i) {
        out.at[i] = decode_fixed16(fixed.data() + track_row::kStringOffsetsOffset + 2 * i);
      }
      out.count = track_row::kStringCount;
      break;
    case k::artists:
      if (decode_fixed16(fixed.data() + artist_row::kSubtypeOffset) == artist_row::kFarSubtype) {
        one(decode_fixed16(fixed.data() + artist_row::kFarNameOffset));
      } else {
        one(fixed[artist_row::kNearNameOffset]);
      }
      break;
    case k::albums: one(fixed[album_row::kNearNameOffset]); break;
    case k::genres:
    case k::labels:
    case k::artwork:
    case k::history_playlists: one(id_name_row::kNameOffset); break;
    case k::keys: one(key_row::kNameOffset); break;
    case k::colors: one(color_row::kNameOffset); break;
    case k::kind16_rows: one(kind16_row::kNameOffset); break;
    case k::playlist_tree: one(playlist_tree_row::kNameOffset); break;
    default: break;
  }
  return out;
}

std::string_view string_name(std::uint32_t kind, std::size_t index) {
  static constexpr std::string_view kSlots[track_row::kStringCount] = {
      "string slot 0",  "string slot 1",  "string slot 2", "string slot 3",  "string slot 4",  "string slot 5",
      "string slot 6",  "string slot 7",  "string slot 8", "string slot 9",  "string slot 10", "string slot 11",
      "string slot 12", "string slot 13", "analysis path", "string slot 15", "comment",        "title",
      "string slot 18", "file name",      "audio path"};
  if (kind == k::tracks) return index < track_row::kStringCount ? kSlots[index] : "string";
  return kind == k::artwork ? "path" : "name";
}

}  // namespace vantrel_pdb::checker
