#include "vantrel_pdb/library.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>

#include "edit/artwork.h"
#include "edit/id_map.h"
#include "edit/keep_only.h"
#include "track_table_state.h"
#include "vantrel_pdb/blank_image.h"
#include "vantrel_pdb/catalog.h"
#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/editor.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/memory_hints.h"
#include "vantrel_pdb/playlist_rows.h"
#include "vantrel_pdb/track.h"
#include "vantrel_pdb/validate.h"

namespace vantrel_pdb {

namespace {

namespace kind = table_kind;

std::unexpected<PdbError> invalid(std::string message) {
  return std::unexpected(PdbError(pdb_error::Invalid{std::move(message)}));
}
std::unexpected<PdbError> internal(std::string what) {
  return std::unexpected(PdbError(pdb_error::Io{"internal error: " + std::move(what)}));
}

// Bytes by which an edit can grow the image, as a bound that holds in
// practice: every text encoded as UTF-16 (2 bytes per UTF-8 byte at most)
// and padded, every name new, rows spread over pages that each leave up to
// a quarter unused, and a page per table to spare.
std::size_t growth_bound(const GrowthHint& hint) {
  constexpr std::size_t kTrackRowFixed = 308;  // 136 fixed bytes, 21 string headers and paddings, spare
  constexpr std::size_t kNamedRowFixed = 36;   // the largest named-row prefix and allocation slack
  constexpr std::size_t kRowIndexPerRow = 3;   // 2 bytes of slot offset, a share of the group flags
  constexpr std::size_t kEntryRow = entry_row::kSize + kRowIndexPerRow;
  constexpr std::size_t kArtworkRowFixed = 8 + kRowIndexPerRow;
  constexpr std::size_t kSpareTables = 20;
  const std::size_t bytes = hint.tracks * (kTrackRowFixed + 4 * (kNamedRowFixed + kRowIndexPerRow) + kArtworkRowFixed) +
                            2 * hint.track_text_bytes + 2 * hint.name_bytes + hint.artwork_path_bytes +
                            hint.playlists * kNamedRowFixed + 2 * hint.playlist_name_bytes + kEntryRow * hint.entries;
  return bytes + bytes / 3 + kSpareTables * format::kToolPageSize;
}

}  // namespace

std::optional<std::uint16_t> file_type_for_path(std::string_view audio_path) {
  auto dot = audio_path.rfind('.');
  std::string ext(dot == std::string_view::npos ? audio_path : audio_path.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  struct Type {
    std::string_view extension;
    std::uint16_t code;
  };
  static constexpr Type kFileTypes[] = {{"mp3", 1},  {"m4a", 4},  {"aac", 4},  {"flac", 5},
                                        {"alac", 6}, {"wav", 11}, {"aif", 12}, {"aiff", 12}};
  for (const Type& type : kFileTypes) {
    if (ext == type.extension) return type.code;
  }
  return std::nullopt;
}

std::uint32_t tempo_from_bpm(double bpm) {
  double hundredths = std::round(bpm * 100.0);  // halves away from zero
  if (!(hundredths > 0)) return 0;              // negative, zero and NaN
  if (hundredths >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(hundredths);
}

// One pending edit: the editor over a copy of the committed image, and what
// commit still has to check and add: file types and artwork.
struct Library::Edit {
  explicit Edit(std::vector<std::uint8_t> image) : editor(PdbEditor::from_bytes(std::move(image))) {}

  struct AddedTrack {
    std::uint32_t id;
    bool known_file_type;
    std::string artwork_path;
    std::uint64_t row;  // where the editor put the track row
  };

  PdbEditor editor;
  std::vector<AddedTrack> tracks;
  // Ids of this edit's tracks and playlists.
  IdMap added_tracks;
  IdMap added_playlists;
  // Ids of the committed image's rows, present ones only.
  IdMap known_tracks;
  IdMap known_playlists;
};

Library::Library() = default;
Library::Library(Library&&) noexcept = default;
Library& Library::operator=(Library&&) noexcept = default;
Library::~Library() = default;

std::expected<Library, PdbError> Library::open(std::vector<std::uint8_t> image, Decoding decoding) {
  if (auto ok = validate(image); !ok) return std::unexpected(ok.error());
  // The track records are left out either way: tracks() reads the rows in
  // place, and database() makes the records when it is first called. Their
  // rows are checked here all the same.
  const auto level =
      decoding == Decoding::kRecords ? Database::Records::kExceptTracks : Database::Records::kCheckedOnly;
  auto db = Database::from_bytes(image, level);
  if (!db) return std::unexpected(db.error());
  Library library;
  library.image_ = std::move(image);
  library.decoded_ = std::move(*db);
  library.level_ = level;
  return library;
}

Library Library::create() {
  Library library;
  library.image_ = make_blank_image();
  return library;
}

namespace {

// How much of the image a decoding level holds: row locations only, every
// record but the tracks', every record.
int rank(Database::Records records) {
  switch (records) {
    case Database::Records::kCheckedOnly: return 0;
    case Database::Records::kExceptTracks: return 1;
    case Database::Records::kDecoded: break;
  }
  return 2;
}

}  // namespace

std::expected<void, PdbError> Library::adopt(std::vector<std::uint8_t> image) {
  // The check of a full decoding, without the track records: most callers
  // never read them, and database() makes them when one does.
  if (auto ok = validate(image); !ok) return std::unexpected(ok.error());
  auto db = Database::from_bytes(image, Database::Records::kExceptTracks);
  if (!db) return std::unexpected(db.error());
  image_ = std::move(image);
  decoded_ = std::move(*db);
  level_ = Database::Records::kExceptTracks;
  return {};
}

std::expected<const Database*, PdbError> Library::decoding(Database::Records records) {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  if (!decoded_ || rank(level_) < rank(records)) {
    // A checked image decodes without the check; a new one is checked too.
    if (!decoded_) {
      if (auto ok = validate(image_); !ok) return std::unexpected(ok.error());
    }
    auto db = Database::from_bytes(image_, records);
    if (!db) return std::unexpected(db.error());
    decoded_ = std::move(*db);
    level_ = records;
  }
  return &*decoded_;
}

std::expected<const Database*, PdbError> Library::database() { return decoding(Database::Records::kDecoded); }

std::expected<std::vector<TrackInfo>, PdbError> Library::tracks() {
  // Read from the rows where they lie: no Track record is made on the way.
  auto db = decoding(Database::Records::kExceptTracks);
  if (!db) return std::unexpected(db.error());
  const Database& d = **db;
  const Catalog catalog(d);
  const auto rows = d.row_locations(kind::tracks);
  std::vector<TrackInfo> out;
  out.reserve(rows.size());
  advise_huge_pages(out.data(), out.capacity() * sizeof(TrackInfo));
  for (std::uint64_t location : rows) {
    auto info = read_track_info(image_, location, catalog, TrackFields::kAll);
    if (!info) return std::unexpected(info.error());
    out.push_back(std::move(*info));
  }
  return out;
}

std::expected<std::shared_ptr<const TrackTable>, PdbError> Library::track_table() {
  auto db = decoding(Database::Records::kExceptTracks);
  if (!db) return std::unexpected(db.error());
  auto state = std::make_unique<const TrackTable::State>(image_, **db);
  return std::shared_ptr<const TrackTable>(new TrackTable(std::move(state)));
}

std::expected<std::vector<PlaylistInfo>, PdbError> Library::playlists() {
  auto db = decoding(Database::Records::kExceptTracks);
  if (!db) return std::unexpected(db.error());
  const Database& d = **db;
  const Catalog catalog(d);
  std::vector<PlaylistInfo> out;
  out.reserve(d.playlist_tree.size());
  IdMap first_node;  // id -> index of the first node with it
  for (const PlaylistTreeNode& node : d.playlist_tree) {
    first_node.emplace(node.id, static_cast<std::uint32_t>(out.size()));
    const auto tracks = catalog.playlist_tracks(node.id);
    out.push_back({node.id,
                   node.parent_id,
                   node.sort_order,
                   node.name,
                   node.is_folder,
                   std::vector<std::uint32_t>(tracks.begin(), tracks.end()),
                   {}});
  }
  // Children by sort order, ties in table order.
  std::vector<std::vector<std::uint32_t>> children(out.size());
  for (std::uint32_t i = 0; i < out.size(); ++i) {
    if (out[i].parent_id == 0) continue;
    if (auto parent = first_node.find(out[i].parent_id); parent && *parent != i) children[*parent].push_back(i);
  }
  for (std::size_t p = 0; p < out.size(); ++p) {
    std::stable_sort(children[p].begin(), children[p].end(),
                     [&](std::uint32_t a, std::uint32_t b) { return out[a].sort_order < out[b].sort_order; });
    for (std::uint32_t c : children[p]) out[p].children.push_back(out[c].id);
  }
  return out;
}

void Library::reserve(const GrowthHint& hint) { reserve_bytes_ = growth_bound(hint); }

std::expected<void, PdbError> Library::begin_edit() {
  if (edit_) return {};
  // The editor works on a copy: the committed image stays as it was until
  // the edit is committed, so that a failed edit leaves nothing behind.
  std::vector<std::uint8_t> work;
  work.reserve(image_.size() + reserve_bytes_);
  advise_huge_pages(work.data(), work.capacity());
  work.insert(work.end(), image_.begin(), image_.end());
  reserve_bytes_ = 0;
  auto edit = std::make_unique<Edit>(std::move(work));
  if (decoded_) {
    auto track_ids = u32_fields(image_, decoded_->row_locations(kind::tracks), track_row::kIdOffset);
    if (!track_ids) return std::unexpected(track_ids.error());
    for (std::uint32_t id : *track_ids) edit->known_tracks.emplace(id, id);
    auto node_ids = u32_fields(image_, decoded_->row_locations(kind::playlist_tree), playlist_tree_row::kIdOffset);
    if (!node_ids) return std::unexpected(node_ids.error());
    for (std::uint32_t id : *node_ids) edit->known_playlists.emplace(id, id);
  } else if (image_ != make_blank_image()) {
    return internal("an undecoded image that is not blank");
  }
  edit_ = std::move(edit);
  return {};
}

std::expected<void, PdbError> Library::add_track(TrackInput track) {
  if (auto ok = begin_edit(); !ok) return ok;
  Edit& edit = *edit_;
  auto drop = [this](PdbError error) {
    edit_.reset();
    return std::unexpected(std::move(error));
  };
  if (edit.known_tracks.contains(track.id) || edit.added_tracks.contains(track.id)) {
    return drop(PdbError(pdb_error::Invalid{kDuplicateTrackId}));
  }
  const std::optional<std::uint16_t> file_type = file_type_for_path(track.audio_path);
  NewTrack row(std::move(track.title), track.audio_path);
  row.id = track.id;
  // An extension outside the table fails the commit; until then the row
  // holds 0.
  row.file_type = file_type.value_or(0);
  row.comment = std::move(track.comment);
  row.analysis_path = std::move(track.analysis_path);
  row.artist = std::move(track.artist);
  row.album = std::move(track.album);
  row.genre = std::move(track.genre);
  row.key = std::move(track.key);
  row.label = std::move(track.label);
  row.tempo = track.tempo;
  row.bitrate = track.bitrate;
  row.sample_rate = track.sample_rate;
  row.file_size = track.file_size;
  row.duration = track.duration;
  row.sample_depth = track.sample_depth;
  row.rating = track.rating;
  auto location = edit.editor.add_track(row);
  if (!location) return drop(location.error());
  edit.added_tracks.emplace(track.id, track.id);
  edit.tracks.push_back({track.id, file_type.has_value(), std::move(track.artwork_path), *location});
  return {};
}

std::expected<void, PdbError> Library::add_playlist_now(const PlaylistInput& p) {
  Edit& edit = *edit_;
  if (p.parent_id != 0 && !edit.added_playlists.contains(p.parent_id) && !edit.known_playlists.contains(p.parent_id)) {
    return invalid(kPlaylistParentMissing);
  }
  // Id 0 stands for the top level, so no playlist may take it.
  if (p.id == 0 || edit.added_playlists.contains(p.id) || edit.known_playlists.contains(p.id)) {
    return invalid(kDuplicatePlaylistId);
  }
  if (auto ok = edit.editor.create_playlist(p.id, p.name, p.parent_id, p.is_folder); !ok) return ok;
  std::uint32_t entry_index = 1;
  for (std::uint32_t track : p.tracks) {
    if (!edit.added_tracks.contains(track) && !edit.known_tracks.contains(track)) {
      return invalid(kPlaylistReferencesAbsentTrack);
    }
    if (auto ok = edit.editor.add_to_playlist(p.id, track, entry_index++); !ok) return ok;
  }
  edit.added_playlists.emplace(p.id, p.id);
  return {};
}

std::expected<void, PdbError> Library::add_playlist(const PlaylistInput& playlist) {
  if (auto ok = begin_edit(); !ok) return ok;
  if (auto ok = add_playlist_now(playlist); !ok) {
    edit_.reset();
    return ok;
  }
  return {};
}

std::expected<void, PdbError> Library::add_playlists(std::span<const PlaylistInput> playlists) {
  if (auto ok = begin_edit(); !ok) return ok;
  // The passes, without rescanning the list: each pass adds, in list order,
  // the playlists whose parent exists by then, so a playlist is added in
  // its parent's pass when it stands after the parent in the list and in
  // the next pass when before. That gives each playlist a (pass, position)
  // key once its parent id is first added; adding in key order is adding
  // pass by pass. Keys are handed out smallest first, so an id is first
  // added by the input with the smallest key of that id.
  using PassKey = std::pair<std::size_t, std::size_t>;  // (pass, position in the list)
  const auto parent_exists = [this](std::uint32_t parent) {
    return parent == 0 || edit_->added_playlists.contains(parent) || edit_->known_playlists.contains(parent);
  };
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> waiting;  // parent id -> positions
  std::priority_queue<PassKey, std::vector<PassKey>, std::greater<>> ready;
  for (std::size_t i = 0; i < playlists.size(); ++i) {
    if (parent_exists(playlists[i].parent_id)) {
      ready.emplace(1, i);
    } else {
      waiting[playlists[i].parent_id].push_back(i);
    }
  }
  std::vector<std::size_t> order;
  order.reserve(playlists.size());
  while (!ready.empty()) {
    const auto [pass, position] = ready.top();
    ready.pop();
    order.push_back(position);
    auto children = waiting.find(playlists[position].id);
    if (children == waiting.end()) continue;
    for (std::size_t child : children->second) ready.emplace(child > position ? pass : pass + 1, child);
    waiting.erase(children);
  }
  for (std::size_t position : order) {
    if (auto ok = add_playlist_now(playlists[position]); !ok) {
      edit_.reset();
      return ok;
    }
  }
  // The rest wait for a parent that never comes: a pass would add none.
  if (order.size() != playlists.size()) {
    edit_.reset();
    return invalid(kPlaylistParentMissing);
  }
  return {};
}

std::expected<void, PdbError> Library::commit() {
  if (!edit_) return {};
  auto ok = finish_edit();
  edit_.reset();  // finished or failed, the edit is over
  return ok;
}

std::expected<void, PdbError> Library::finish_edit() {
  Edit& edit = *edit_;
  for (const Edit::AddedTrack& t : edit.tracks) {
    if (!t.known_file_type) return invalid(kUnsupportedAudioExtension);
  }
  std::vector<std::uint8_t> image = std::move(edit.editor).into_bytes();

  // The artwork rows take the track's id, unless an artwork row that was
  // there before has it (the track it showed may have been removed): then
  // the next id past every artwork row's.
  std::vector<ArtworkRow> artwork;
  for (const Edit::AddedTrack& t : edit.tracks) {
    if (t.artwork_path.empty()) continue;
    if (t.id == 0) return invalid(kArtworkNeedsTrackId);
    artwork.push_back({t.row, t.id, t.artwork_path});
  }
  if (!artwork.empty() && decoded_ && !decoded_->row_locations(kind::artwork).empty()) {
    auto taken_ids = u32_fields(image_, decoded_->row_locations(kind::artwork), id_name_row::kIdOffset);
    if (!taken_ids) return std::unexpected(taken_ids.error());
    IdMap taken;
    std::uint64_t next = 1;
    for (std::uint32_t id : *taken_ids) {
      taken.emplace(id, id);
      next = std::max<std::uint64_t>(next, std::uint64_t{id} + 1);
    }
    for (const ArtworkRow& row : artwork) next = std::max<std::uint64_t>(next, std::uint64_t{row.id} + 1);
    for (ArtworkRow& row : artwork) {
      if (!taken.contains(row.id)) continue;
      if (next > UINT32_MAX) return std::unexpected(PdbError(pdb_error::ValueOutOfRange{"artwork id", next, 4}));
      row.id = static_cast<std::uint32_t>(next++);
    }
  }
  if (auto ok = attach_artwork(image, artwork); !ok) return ok;
  // What the edit recorded is spent; its memory serves the decoding.
  artwork = {};
  edit_.reset();
  return adopt(std::move(image));
}

std::expected<void, PdbError> Library::keep_only(const std::optional<std::vector<std::uint32_t>>& tracks,
                                                 const std::optional<std::vector<std::uint32_t>>& playlists,
                                                 const std::unordered_map<std::uint32_t, std::uint32_t>& tempos) {
  if (auto ok = commit(); !ok) return ok;
  if (auto db = decoding(Database::Records::kCheckedOnly); !db) return std::unexpected(db.error());
  UndoLog undo;
  if (auto ok = vantrel_pdb::keep_only(image_, *decoded_, tracks, playlists, tempos, &undo); !ok) {
    undo.undo(image_);
    return ok;
  }
  return check_change(undo);
}

std::expected<void, PdbError> Library::check_change(UndoLog& undo) {
  // The image passed the same check before; only rows that overlap the
  // bytes the change rewrote can make it fail now.
  auto fail = [&](const PdbError& error) {
    undo.undo(image_);
    return invalid(std::string(kPatchWouldNotReadBack).append(error.message()));
  };
  if (auto ok = validate(image_); !ok) return fail(ok.error());
  auto db = Database::from_bytes(image_, Database::Records::kExceptTracks);
  if (!db) return fail(db.error());
  decoded_ = std::move(*db);
  level_ = Database::Records::kExceptTracks;
  return {};
}

std::expected<void, PdbError> Library::set_tempo(std::uint32_t track_id, std::uint32_t tempo) {
  if (auto ok = commit(); !ok) return ok;
  if (auto db = decoding(Database::Records::kCheckedOnly); !db) return std::unexpected(db.error());
  const auto rows = decoded_->row_locations(kind::tracks);
  auto ids = u32_fields(image_, rows, track_row::kIdOffset);
  if (!ids) return std::unexpected(ids.error());
  UndoLog undo;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if ((*ids)[i] != track_id) continue;
    undo.save(image_, rows[i] + track_row::kTempoOffset, 4);
    encode_fixed32(image_.data() + rows[i] + track_row::kTempoOffset, tempo);
  }
  if (undo.empty()) return std::unexpected(PdbError(pdb_error::TrackNotFound{track_id}));
  return check_change(undo);
}

std::expected<Bytes, PdbError> Library::bytes() {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  return Bytes(image_);
}

std::expected<std::vector<std::uint8_t>, PdbError> Library::take_bytes() && {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  decoded_.reset();
  return std::move(image_);
}

}  // namespace vantrel_pdb
