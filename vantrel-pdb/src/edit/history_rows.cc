#include "edit/history_rows.h"

#include <array>
#include <vector>

#include "format/format.h"
#include "format/string_codec.h"
#include "read/named_rows.h"

namespace vantrel_pdb {

std::expected<void, PdbError> append_history_playlist(PdbEditor& editor, std::uint32_t id, std::string_view name) {
  std::vector<std::uint8_t> row(id_name_row::kNameOffset, 0);
  encode_fixed32(row.data() + id_name_row::kIdOffset, id);
  if (auto ok = append_encoded_string(row, name); !ok) return ok;
  if (auto ok = editor.append_row(table_kind::history_playlists, row, format::round_up4(row.size()), false); !ok) {
    return std::unexpected(ok.error());
  }
  return {};
}

std::expected<void, PdbError> append_history_entry(PdbEditor& editor, const HistoryEntry& entry) {
  std::array<std::uint8_t, entry_row::kSize> row{};
  encode_fixed32(row.data() + entry_row::kEntryIndexOffset, entry.entry_index);
  encode_fixed32(row.data() + entry_row::kTrackIdOffset, entry.track_id);
  encode_fixed32(row.data() + entry_row::kPlaylistIdOffset, entry.playlist_id);
  if (auto ok = editor.append_row(table_kind::history_entries, row, entry_row::kSize, false); !ok) {
    return std::unexpected(ok.error());
  }
  return {};
}

}  // namespace vantrel_pdb
