#include "report_summary.h"

#include <cstddef>

#include "json_writer.h"
#include "vantrel_pdb/format.h"

namespace dovrel {

std::string render_summary(vantrel_pdb::Bytes image, const vantrel_pdb::Database& database) {
  std::size_t folders = 0;
  for (const auto& node : database.playlist_tree) folders += node.is_folder;
  JsonWriter out;
  out.begin_object();
  out.key("artwork");
  out.uint_value(database.artwork.size());
  out.key("entries");
  out.uint_value(database.playlist_entries.size());
  out.key("folders");
  out.uint_value(folders);
  out.key("outputBytes");
  out.uint_value(image.size());
  out.key("playlists");
  out.uint_value(database.playlist_tree.size() - folders);
  out.key("tracks");
  out.uint_value(database.row_locations(vantrel_pdb::table_kind::tracks).size());
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

}  // namespace dovrel
