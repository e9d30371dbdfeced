#include "scan_action.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "actions.h"
#include "json_writer.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

namespace {

// Bytes of the folder shown on the progress line, its end kept.
constexpr std::size_t kProgressFolderBytes = 48;

void write_track(JsonWriter& out, const Track& t) {
  out.begin_object();
  out.key("album");
  out.string_value(t.album);
  out.key("analysisPath");
  out.string_value(t.analysis_path);
  out.key("artist");
  out.string_value(t.artist);
  out.key("artworkPath");
  out.string_value(t.artwork_path);
  out.key("audioPath");
  out.string_value(t.audio_path);
  out.key("bitrate");
  out.uint_value(t.bitrate);
  out.key("bpm");
  // As the database stores it, so that the report of the build shows it alike.
  out.hundredths_value(vantrel_pdb::tempo_from_bpm(t.bpm));
  out.key("comment");
  out.string_value(t.comment);
  out.key("duration");
  out.uint_value(t.duration);
  out.key("fileSize");
  out.uint_value(t.file_size);
  out.key("genre");
  out.string_value(t.genre);
  out.key("id");
  out.uint_value(t.id);
  out.key("key");
  out.string_value(t.key);
  if (t.label) {
    out.key("label");
    out.string_value(*t.label);
  }
  out.key("rating");
  out.uint_value(t.rating);
  out.key("sampleDepth");
  out.uint_value(t.sample_depth);
  out.key("sampleRate");
  out.uint_value(t.sample_rate);
  out.key("title");
  out.string_value(t.title);
  out.end_object();
}

void write_tracks(JsonWriter& out, const std::vector<Track>& tracks) {
  out.begin_array();
  for (const Track& t : tracks) write_track(out, t);
  out.end_array();
}

void write_playlists(JsonWriter& out, const std::vector<Playlist>& playlists) {
  out.begin_array();
  for (const Playlist& p : playlists) {
    out.begin_object();
    out.key("id");
    out.uint_value(p.id);
    out.key("isFolder");
    out.bool_value(p.is_folder);
    out.key("name");
    out.string_value(p.name);
    out.key("parentId");
    out.uint_value(p.parent_id);
    out.key("tracks");
    out.begin_array();
    for (std::uint32_t id : p.tracks) out.uint_value(id);
    out.end_array();
    out.end_object();
  }
  out.end_array();
}

void write_skipped(JsonWriter& out, const std::vector<scan::Skipped>& skipped) {
  out.key("skipped");
  out.begin_array();
  for (const scan::Skipped& s : skipped) {
    out.begin_object();
    out.key("path");
    out.string_value(s.path);
    out.key("reason");
    out.string_value(s.reason);
    out.end_object();
  }
  out.end_array();
}

// The one-line display on a terminal: "\r", the line, and "erase to the
// end of the line", so that each update overwrites the last; cleared when
// the reading is done, before anything else is printed.
void show_progress(const scan::Progress& p) {
  std::string line = "\r\x1b[K";
  if (p.done < p.total) {
    std::string_view folder = p.folder;
    std::string shown;
    if (folder.size() > kProgressFolderBytes) {
      std::size_t start = folder.size() - kProgressFolderBytes;
      while (start < folder.size() && (static_cast<unsigned char>(folder[start]) & 0xC0) == 0x80) ++start;
      shown = "..." + std::string(folder.substr(start));
    } else {
      shown = std::string(folder);
    }
    line += "dovrel: scanning " + std::to_string(p.done) + "/" + std::to_string(p.total) + " files  " + shown;
  }
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

// A track of the database is gone when nothing is at its place under the
// root any more; a file that is there but unreadable stays.
bool file_is_gone(const std::string& root, const std::string& audio_path) {
  struct stat st {};
  const std::string path = audio_path.starts_with('/') ? root + audio_path : root + "/" + audio_path;
  return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

ScannedLibrary to_request_records(const scan::ScanResult& result) {
  ScannedLibrary library;
  library.tracks.reserve(result.tracks.size());
  for (const scan::ScannedTrack& s : result.tracks) {
    Track t;
    t.title = s.file.title;
    t.artist = s.file.artist;
    t.album = s.file.album;
    t.genre = s.file.genre;
    t.key = s.file.key;
    t.audio_path = s.audio_path;
    t.artwork_path = s.artwork_path;
    t.bpm = s.file.bpm;
    t.duration = s.file.duration;
    t.sample_rate = s.file.sample_rate;
    // A file of 4 GiB or more shows the field's largest value.
    t.file_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(s.file.file_size, UINT32_MAX));
    t.bitrate = s.file.bitrate;
    t.sample_depth = s.file.sample_depth;
    t.rating = s.file.rating;
    t.comment = s.file.comment;
    t.label = s.file.label;
    library.tracks.push_back(std::move(t));
  }
  for (const scan::ScannedPlaylist& s : result.playlists) {
    Playlist p{s.id, s.name, s.parent_id, s.is_folder, {}};
    for (std::size_t index : s.tracks) p.tracks.push_back(static_cast<std::uint32_t>(index));
    library.playlists.push_back(std::move(p));
  }
  return library;
}

std::string build_request_line(const std::string& output, const ScannedLibrary& library,
                               const std::vector<scan::Skipped>& skipped) {
  JsonWriter out;
  out.begin_object();
  out.key("action");
  out.string_value("build");
  out.key("output");
  out.string_value(output);
  out.key("playlists");
  write_playlists(out, library.playlists);
  write_skipped(out, skipped);
  out.key("tracks");
  write_tracks(out, library.tracks);
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

std::string edit_request_line(const std::string& input, const std::string& output, const SyncChanges& changes,
                              const std::vector<scan::Skipped>& skipped) {
  JsonWriter out;
  out.begin_object();
  out.key("action");
  out.string_value("edit");
  out.key("changes");
  out.begin_array();
  if (!changes.add_tracks.empty()) {
    out.begin_object();
    out.key("op");
    out.string_value("addTracks");
    out.key("tracks");
    write_tracks(out, changes.add_tracks);
    out.end_object();
  }
  if (!changes.remove_tracks.empty()) {
    out.begin_object();
    out.key("ids");
    out.begin_array();
    for (std::uint32_t id : changes.remove_tracks) out.uint_value(id);
    out.end_array();
    out.key("op");
    out.string_value("removeTracks");
    out.end_object();
  }
  if (!changes.add_playlists.empty()) {
    out.begin_object();
    out.key("op");
    out.string_value("addPlaylists");
    out.key("playlists");
    write_playlists(out, changes.add_playlists);
    out.end_object();
  }
  out.end_array();
  out.key("input");
  out.string_value(input);
  out.key("output");
  out.string_value(output);
  write_skipped(out, skipped);
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

Result<std::string> run_scan(const Request& request) {
  if (!request.output) return fail(kMissingOutput);
  // The database is read before the scan, so that a bad input fails at once.
  std::optional<ExistingLibrary> existing;
  if (request.input) {
    auto read = read_existing_library(*request.input);
    if (!read) return std::unexpected(std::move(read.error()));
    existing = std::move(*read);
  }
  scan::ScanOptions options;
  options.root = request.scan.root;
  if (request.scan.folders) options.folders = *request.scan.folders;
  options.artwork_folder = request.scan.artwork_folder;
  if (::isatty(STDERR_FILENO) == 1) options.progress = show_progress;
  auto result = scan::scan_folders(options);
  if (!result) return fail(std::move(result.error()));
  ScannedLibrary library = to_request_records(*result);
  if (!existing) {
    number_for_build(library);
    return build_request_line(*request.output, library, result->skipped);
  }
  const std::string& root = request.scan.root;
  const SyncChanges changes =
      plan_sync(*existing, library, [&](const std::string& audio_path) { return file_is_gone(root, audio_path); });
  return edit_request_line(*request.input, *request.output, changes, result->skipped);
}

}  // namespace dovrel
