#include "report_summary.h"

#include <utility>

#include "json_writer.h"

namespace dovrel {

std::string render_summary(const vantrel_pdb::LibraryCounts& counts, std::size_t output_bytes) {
  JsonWriter out;
  out.begin_object();
  out.key("artwork");
  out.uint_value(counts.artwork);
  out.key("entries");
  out.uint_value(counts.entries);
  out.key("folders");
  out.uint_value(counts.folders);
  out.key("outputBytes");
  out.uint_value(output_bytes);
  out.key("playlists");
  out.uint_value(counts.playlists);
  out.key("tracks");
  out.uint_value(counts.tracks);
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

}  // namespace dovrel
