#include "export_csv.h"

#include <algorithm>
#include <charconv>

#include "export_tree.h"
#include "json_writer.h"

namespace dovrel {

namespace {

constexpr std::string_view kRecordEnd = "\r\n";

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Writes the fields of one record, a comma between them.
class Record {
 public:
  explicit Record(std::string& out) : out_(out) {}
  ~Record() { out_.append(kRecordEnd); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& text(std::string_view field) {
    separate();
    append_csv_field(out_, field);
    return *this;
  }
  Record& number(std::uint64_t value) {
    separate();
    append_number(out_, value);
    return *this;
  }
  Record& hundredths(std::uint32_t value) {
    separate();
    append_json_hundredths(out_, value);
    return *this;
  }

 private:
  void separate() {
    if (!first_) out_.push_back(',');
    first_ = false;
  }
  std::string& out_;
  bool first_ = true;
};

constexpr std::string_view kTrackColumns[] = {"id",      "title",      "artist",       "album",      "genre",
                                              "key",     "label",      "bpm",          "duration",   "rating",
                                              "bitrate", "sampleRate", "sampleDepth",  "fileSize",   "fileType",
                                              "comment", "audioPath",  "analysisPath", "artworkPath"};
constexpr std::string_view kPlaylistColumns[] = {"playlistId", "parentId",   "isFolder", "path",
                                                 "name",       "trackCount", "tracks"};

template <std::size_t N>
void header(std::string& out, const std::string_view (&columns)[N]) {
  Record record(out);
  for (std::string_view column : columns) record.text(column);
}

// One record of the tracks file: `n` the track's fixed fields, text(field)
// each of its texts (a view that lasts until the next call).
template <class Numbers, class Text>
void write_track(std::string& out, const Numbers& n, Text&& text) {
  using vantrel_pdb::TrackText;
  Record(out)
      .number(n.id)
      .text(text(TrackText::kTitle))
      .text(text(TrackText::kArtist))
      .text(text(TrackText::kAlbum))
      .text(text(TrackText::kGenre))
      .text(text(TrackText::kKey))
      .text(text(TrackText::kLabel))
      .hundredths(n.tempo)
      .number(n.duration)
      .number(n.rating)
      .number(n.bitrate)
      .number(n.sample_rate)
      .number(n.sample_depth)
      .number(n.file_size)
      .text(file_type_name(n.file_type))
      .text(text(TrackText::kComment))
      .text(text(TrackText::kAudioPath))
      .text(text(TrackText::kAnalysisPath))
      .text(text(TrackText::kArtworkPath));
}

}  // namespace

void append_csv_field(std::string& out, std::string_view field) {
  const auto quoted = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
  if (std::none_of(field.begin(), field.end(), quoted)) {
    out.append(field);
    return;
  }
  out.push_back('"');
  for (char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

std::string tracks_csv_header() {
  std::string out;
  header(out, kTrackColumns);
  return out;
}

void append_track_records(std::string& out, std::span<const vantrel_pdb::TrackInfo> tracks) {
  for (const auto& t : tracks) {
    write_track(out, t, [&](vantrel_pdb::TrackText field) { return text_of(t, field); });
  }
}

std::expected<void, vantrel_pdb::PdbError> append_track_record(std::string& out, const vantrel_pdb::TrackView& track,
                                                               std::string& scratch) {
  std::expected<void, vantrel_pdb::PdbError> result;
  write_track(out, track.numbers(),
              [&](vantrel_pdb::TrackText field) { return text_of(track, field, scratch, result); });
  return result;
}

std::string tracks_csv(std::span<const vantrel_pdb::TrackInfo> tracks) {
  std::string out = tracks_csv_header();
  append_track_records(out, tracks);
  return out;
}

std::string playlists_csv(std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  const std::vector<TreeNode> order = tree_order(playlists);
  std::vector<std::string> path_of(order.size());
  std::size_t guess = 128;
  for (std::size_t p = 0; p < order.size(); ++p) {
    const TreeNode& node = order[p];
    const vantrel_pdb::PlaylistInfo& playlist = playlists[node.index];
    path_of[p] = node.parent == kTopLevel ? playlist.name : path_of[node.parent] + " / " + playlist.name;
    // Quoting at most doubles a text; an id takes at most 11 bytes.
    guess += 48 + 2 * (path_of[p].size() + playlist.name.size()) + 11 * playlist.tracks.size();
  }
  std::string out;
  out.reserve(guess);
  header(out, kPlaylistColumns);
  std::string ids;
  for (std::size_t p = 0; p < order.size(); ++p) {
    const vantrel_pdb::PlaylistInfo& playlist = playlists[order[p].index];
    ids.clear();
    for (std::uint32_t id : playlist.tracks) {
      if (!ids.empty()) ids.push_back(' ');
      append_number(ids, id);
    }
    Record(out)
        .number(playlist.id)
        .number(playlist.parent_id)
        .text(playlist.is_folder ? "true" : "false")
        .text(path_of[p])
        .text(playlist.name)
        .number(playlist.tracks.size())
        .text(ids);
  }
  return out;
}

std::string playlists_csv_path(std::string_view output) {
  constexpr std::string_view kCsv = ".csv";
  std::string_view stem = output;
  if (output.size() >= kCsv.size()) {
    std::string_view tail = output.substr(output.size() - kCsv.size());
    bool is_csv = true;
    for (std::size_t i = 0; i < kCsv.size(); ++i) {
      char c = tail[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      is_csv = is_csv && c == kCsv[i];
    }
    if (is_csv) stem.remove_suffix(kCsv.size());
  }
  return std::string(stem).append("-playlists.csv");
}

}  // namespace dovrel
