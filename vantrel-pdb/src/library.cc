#include "vantrel_pdb/library.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <queue>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "edit/artwork.h"
#include "edit/editor.h"
#include "edit/history_rows.h"
#include "edit/keep_only.h"
#include "edit/playlist_update.h"
#include "edit/track_removal.h"
#include "edit/track_update.h"
#include "format/blank_image.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/validate.h"
#include "read/catalog.h"
#include "read/database.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "track_input_row.h"
#include "track_table_state.h"
#include "util/id_map.h"
#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb {

namespace {

namespace kind = table_kind;

std::unexpected<PdbError> refuse(std::string message) { return std::unexpected(errors::refused(std::move(message))); }

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
  return bytes + bytes / 3 + kSpareTables * format::kPageSize;
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
  // Ids of this edit's tracks, playlists and history playlists.
  IdSet added_tracks;
  IdSet added_playlists;
  IdSet added_history;
  // Ids of the committed image's rows, present ones only.
  IdSet known_tracks;
  IdSet known_playlists;
  IdSet known_history;
  // The number the tree's own numbering (largest id + 1, one after another)
  // gives the next playlist of this edit: the id that a folder's refusal of
  // tracks has always named.
  std::uint64_t next_node_number = 1;
};

// A decoding of the library's current image, and the catalog over it once
// a reader has asked for names. Held behind a pointer, so that the catalog's
// references into the records stay valid while the library moves.
struct Library::Decoded {
  Database db;
  Decoding level;
  std::optional<Catalog> catalog;

  const Catalog& names() {
    if (!catalog) catalog.emplace(db);
    return *catalog;
  }
};

namespace {

// How much of the image a decoding level holds.
int rank(Decoding level) {
  switch (level) {
    case Decoding::kRowLocations: return 0;
    case Decoding::kRecordsButTracks: return 1;
    case Decoding::kAllRecords: break;
  }
  return 2;
}

// The one way an image that the library did not just check becomes a
// decoding: the structure check, then every row checked and decoded as
// `level` says.
std::expected<Database, PdbError> check_and_decode(Bytes image, Decoding level) {
  if (auto ok = validate(image); !ok) return std::unexpected(ok.error());
  return Database::from_bytes(image, level);
}

}  // namespace

// A change's check put off by defer_check(): what undoes the change when the
// check fails, and the check itself once it runs on its own thread.
struct Library::PendingCheck {
  // A change in place is undone by its log; any other by the image and view
  // as they were (the view stays valid: moving a vector keeps its bytes).
  std::optional<UndoLog> undo;
  bool restore_image = false;
  std::vector<std::uint8_t> previous_owned;
  Bytes previous_image;
  std::unique_ptr<Decoded> previous_decoded;
  bool unreadable_change = false;

  // Set by the thread, read once it has been joined.
  std::optional<std::thread> thread;
  std::optional<std::expected<Database, PdbError>> result;
  std::exception_ptr failure;

  ~PendingCheck() {
    if (thread) thread->join();
  }

  // Ends the check of `image`: waits for its thread, or makes it here when
  // none ran; once only.
  void finish(Bytes image) {
    if (thread) {
      thread->join();
      thread.reset();
    } else if (!result && !failure) {
      try {
        result.emplace(check_and_decode(image, Decoding::kRecordsButTracks));
      } catch (...) {
        failure = std::current_exception();
      }
    }
  }
  bool passed() const { return !failure && *result; }
  // The error of a finished check that did not pass, as the change reports it.
  PdbError verdict() const {
    const PdbError& error = result->error();
    if (unreadable_change) return PdbError(pdb_error::UnreadableChange{error.message()});
    return error;
  }
};

Library::Library() = default;
Library::Library(Library&&) noexcept = default;
Library& Library::operator=(Library&&) noexcept = default;
Library::~Library() = default;

std::expected<Library, PdbError> Library::open(std::vector<std::uint8_t> image, Decoding decoding) {
  auto db = check_and_decode(image, decoding);
  if (!db) return std::unexpected(db.error());
  Library library;
  library.owned_ = std::move(image);
  library.image_ = library.owned_;
  library.decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), decoding, std::nullopt});
  return library;
}

std::expected<Library, PdbError> Library::open_borrowed(Bytes image, Decoding decoding) {
  auto db = check_and_decode(image, decoding);
  if (!db) return std::unexpected(db.error());
  Library library;
  library.image_ = image;
  library.decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), decoding, std::nullopt});
  return library;
}

Library Library::create() {
  Library library;
  library.owned_ = make_blank_image();
  library.image_ = library.owned_;
  return library;
}

std::vector<std::uint8_t>& Library::own_image() {
  if (image_.data() != owned_.data() || image_.size() != owned_.size()) {
    owned_.reserve(image_.size());
    advise_huge_pages(owned_.data(), owned_.capacity());
    owned_.assign(image_.begin(), image_.end());
    image_ = owned_;
  }
  return owned_;
}

std::expected<void, PdbError> Library::adopt(std::vector<std::uint8_t> image) {
  if (std::exchange(defer_next_check_, false)) {
    put_off_check(std::move(image), false);
    return {};
  }
  // The check of a full decoding, without the track records: most callers
  // never read them, and a reader that wants them asks again.
  auto db = check_and_decode(image, Decoding::kRecordsButTracks);
  if (!db) return std::unexpected(db.error());
  owned_ = std::move(image);
  image_ = owned_;
  decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), Decoding::kRecordsButTracks, std::nullopt});
  return {};
}

std::expected<const Library::Decoded*, PdbError> Library::decoding(Decoding level) {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  if (!decoded_ || rank(decoded_->level) < rank(level)) {
    // A checked image decodes without the check; a new one is checked too.
    auto db = decoded_ ? Database::from_bytes(image_, level) : check_and_decode(image_, level);
    if (!db) return std::unexpected(db.error());
    decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), level, std::nullopt});
  }
  return decoded_.get();
}

std::expected<TrackRows, PdbError> Library::track_rows() {
  auto decoded = decoding(Decoding::kRecordsButTracks);
  if (!decoded) return std::unexpected(decoded.error());
  return TrackRows(image_, decoded_->db.row_locations(kind::tracks), &decoded_->names());
}

std::expected<std::vector<TrackInfo>, PdbError> Library::tracks() {
  // Read from the rows where they lie: no Track record is made on the way.
  auto rows = track_rows();
  if (!rows) return std::unexpected(rows.error());
  std::vector<TrackInfo> out;
  out.reserve(rows->size());
  advise_huge_pages(out.data(), out.capacity() * sizeof(TrackInfo));
  for (std::size_t i = 0; i < rows->size(); ++i) {
    auto track = rows->at(i);
    if (!track) return std::unexpected(track.error());
    auto info = track->info();
    if (!info) return std::unexpected(info.error());
    out.push_back(std::move(*info));
  }
  return out;
}

std::expected<std::shared_ptr<const TrackTable>, PdbError> Library::track_table() {
  auto decoded = decoding(Decoding::kRecordsButTracks);
  if (!decoded) return std::unexpected(decoded.error());
  auto state = std::make_unique<const TrackTableState>(image_, decoded_->db);
  return std::shared_ptr<const TrackTable>(new TrackTable(std::move(state)));
}

std::expected<LibraryCounts, PdbError> Library::counts() {
  auto decoded = decoding(Decoding::kRecordsButTracks);
  if (!decoded) return std::unexpected(decoded.error());
  const Database& d = decoded_->db;
  LibraryCounts counts;
  for (const PlaylistTreeNode& node : d.playlist_tree) ++(node.is_folder ? counts.folders : counts.playlists);
  counts.tracks = d.row_locations(table_kind::tracks).size();
  counts.entries = d.playlist_entries.size();
  counts.artwork = d.artwork.size();
  return counts;
}

std::expected<std::vector<PlaylistInfo>, PdbError> Library::playlists() {
  auto decoded = decoding(Decoding::kRecordsButTracks);
  if (!decoded) return std::unexpected(decoded.error());
  const Database& d = decoded_->db;
  const Catalog& catalog = decoded_->names();
  std::vector<PlaylistInfo> out;
  out.reserve(d.playlist_tree.size());
  IdMap<std::uint32_t> first_node;  // id -> index of the first node with it
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
    const std::uint32_t* parent = first_node.find(out[i].parent_id);
    if (parent && *parent != i) children[*parent].push_back(i);
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
  if (auto ok = settle_check(); !ok) return ok;
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
    auto track_ids = row_ids(image_, decoded_->db, kind::tracks);
    if (!track_ids) return std::unexpected(track_ids.error());
    edit->known_tracks = id_set_of(*track_ids);
    auto node_ids = row_ids(image_, decoded_->db, kind::playlist_tree);
    if (!node_ids) return std::unexpected(node_ids.error());
    edit->known_playlists = id_set_of(*node_ids);
    for (std::uint32_t id : *node_ids) edit->next_node_number = std::max(edit->next_node_number, std::uint64_t{id} + 1);
    auto history_ids = row_ids(image_, decoded_->db, kind::history_playlists);
    if (!history_ids) return std::unexpected(history_ids.error());
    edit->known_history = id_set_of(*history_ids);
  } else if (!std::ranges::equal(image_, make_blank_image())) {
    return std::unexpected(errors::internal("an undecoded image that is not blank"));
  }
  edit_ = std::move(edit);
  return {};
}

// What a prepared track carries to add_prepared: the row as the editor
// encoded it (or why it could not), and what the adding itself needs.
struct PreparedTrack::Parts {
  std::uint32_t id = 0;
  bool known_file_type = false;
  std::string artwork_path;
  NewTrack row;  // its names serve the adding
  std::expected<PdbEditor::EncodedTrack, PdbError> encoded;
  bool spent = false;  // add_prepared has taken it
};

PreparedTrack::PreparedTrack(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
PreparedTrack::PreparedTrack(PreparedTrack&&) noexcept = default;
PreparedTrack& PreparedTrack::operator=(PreparedTrack&&) noexcept = default;
PreparedTrack::~PreparedTrack() = default;

PreparedTrack Library::prepare_track(TrackInput track) {
  // A given file type is kept as it stands (a copy keeps the original's).
  const std::optional<std::uint16_t> file_type =
      track.file_type ? track.file_type : file_type_for_path(track.audio_path);
  NewTrack row = row_with_texts_of(track);
  row.id = track.id;
  // An extension outside the table fails the commit; until then the row
  // holds 0.
  row.file_type = file_type.value_or(0);
  row.tempo = track.tempo;
  row.bitrate = track.bitrate;
  row.sample_rate = track.sample_rate;
  row.file_size = track.file_size;
  row.duration = track.duration;
  row.sample_depth = track.sample_depth;
  row.rating = track.rating;
  auto encoded = PdbEditor::encode_track(row);
  return PreparedTrack(std::make_unique<PreparedTrack::Parts>(PreparedTrack::Parts{
      track.id, file_type.has_value(), std::move(track.artwork_path), std::move(row), std::move(encoded), false}));
}

std::expected<void, PdbError> Library::add_track(TrackInput track) {
  return add_prepared(prepare_track(std::move(track)));
}

std::expected<void, PdbError> Library::add_prepared(PreparedTrack&& prepared) {
  if (!prepared.parts_ || prepared.parts_->spent)
    return std::unexpected(errors::misuse("a prepared track that was added or moved from"));
  if (auto ok = begin_edit(); !ok) return ok;
  Edit& edit = *edit_;
  PreparedTrack::Parts& track = *prepared.parts_;
  track.spent = true;
  auto drop = [this](PdbError error) {
    edit_.reset();
    return std::unexpected(std::move(error));
  };
  if (edit.known_tracks.contains(track.id) || edit.added_tracks.contains(track.id)) {
    return drop(errors::refused(kDuplicateTrackId));
  }
  if (!track.encoded) return drop(std::move(track.encoded.error()));
  auto location = edit.editor.add_encoded_track(track.row, *track.encoded);
  if (!location) return drop(location.error());
  edit.added_tracks.emplace(track.id);
  edit.tracks.push_back({track.id, track.known_file_type, std::move(track.artwork_path), *location});
  return {};
}

std::expected<void, PdbError> Library::add_playlist_now(const PlaylistInput& p) {
  Edit& edit = *edit_;
  if (p.parent_id != 0 && !edit.added_playlists.contains(p.parent_id) && !edit.known_playlists.contains(p.parent_id)) {
    return refuse(kPlaylistParentMissing);
  }
  // Id 0 stands for the top level, so no playlist may take it.
  if (p.id == 0 || edit.added_playlists.contains(p.id) || edit.known_playlists.contains(p.id)) {
    return refuse(kDuplicatePlaylistId);
  }
  if (auto ok = edit.editor.create_playlist(p.id, p.name, p.parent_id, p.is_folder, p.sort_order); !ok) return ok;
  const std::uint64_t number = edit.next_node_number++;
  std::uint32_t entry_index = 1;
  for (std::uint32_t track : p.tracks) {
    if (!edit.added_tracks.contains(track) && !edit.known_tracks.contains(track)) {
      return refuse(kPlaylistReferencesAbsentTrack);
    }
    if (auto ok = edit.editor.add_to_playlist(p.id, track, entry_index++); !ok) {
      // A folder holds no tracks; the refusal names it by its number.
      if (!ok.error().is<pdb_error::PlaylistNotFound>()) return ok;
      if (number > UINT32_MAX) return std::unexpected(PdbError(pdb_error::ValueOutOfRange{"playlist id", number, 4}));
      return std::unexpected(PdbError(pdb_error::PlaylistNotFound{static_cast<std::uint32_t>(number)}));
    }
  }
  edit.added_playlists.emplace(p.id);
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
  IdHashMap<std::vector<std::size_t>> waiting;  // parent id -> positions
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
    return refuse(kPlaylistParentMissing);
  }
  return {};
}

std::expected<void, PdbError> Library::add_history(const HistoryInput& history) {
  if (auto ok = begin_edit(); !ok) return ok;
  Edit& edit = *edit_;
  auto drop = [this](PdbError error) {
    edit_.reset();
    return std::unexpected(std::move(error));
  };
  if (edit.known_history.contains(history.id) || edit.added_history.contains(history.id)) {
    return drop(errors::refused(kDuplicateHistoryId));
  }
  for (std::uint32_t track : history.tracks) {
    if (!edit.added_tracks.contains(track) && !edit.known_tracks.contains(track)) {
      return drop(errors::refused(kPlaylistReferencesAbsentTrack));
    }
  }
  if (auto ok = append_history_playlist(edit.editor, history.id, history.name); !ok) return drop(ok.error());
  std::uint32_t entry_index = 1;
  for (std::uint32_t track : history.tracks) {
    if (auto ok = append_history_entry(edit.editor, {entry_index++, track, history.id}); !ok) return drop(ok.error());
  }
  edit.added_history.emplace(history.id);
  return {};
}

std::expected<void, PdbError> Library::commit() {
  if (auto ok = settle_check(); !ok) return ok;
  if (!edit_) return {};
  auto ok = finish_edit();
  edit_.reset();  // finished or failed, the edit is over
  return ok;
}

std::expected<void, PdbError> Library::finish_edit() {
  Edit& edit = *edit_;
  for (const Edit::AddedTrack& t : edit.tracks) {
    if (!t.known_file_type) return refuse(kUnsupportedAudioExtension);
  }
  std::vector<std::uint8_t> image = std::move(edit.editor).into_bytes();

  // The artwork rows take the track's id, unless an artwork row that was
  // there before has it (the track it showed may have been removed): then
  // the next id past every artwork row's.
  std::vector<ArtworkRow> artwork;
  for (const Edit::AddedTrack& t : edit.tracks) {
    if (t.artwork_path.empty()) continue;
    if (t.id == 0) return refuse(kArtworkNeedsTrackId);
    artwork.push_back({t.row, t.id, t.artwork_path});
  }
  if (!artwork.empty() && decoded_ && !decoded_->db.row_locations(kind::artwork).empty()) {
    auto taken_ids = row_ids(image_, decoded_->db, kind::artwork);
    if (!taken_ids) return std::unexpected(taken_ids.error());
    const IdSet taken = id_set_of(*taken_ids);
    std::uint64_t next = 1;
    for (std::uint32_t id : *taken_ids) next = std::max<std::uint64_t>(next, std::uint64_t{id} + 1);
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
                                                 const TempoMap& tempos) {
  if (auto decoded = decoding(Decoding::kRowLocations); !decoded) return std::unexpected(decoded.error());
  std::vector<std::uint8_t>& image = own_image();
  UndoLog undo;
  if (auto ok = vantrel_pdb::keep_only(image, decoded_->db, tracks, playlists, tempos, &undo); !ok) {
    undo.undo(image);
    return ok;
  }
  return check_change(undo);
}

std::expected<void, PdbError> Library::check_change(UndoLog& undo) {
  if (std::exchange(defer_next_check_, false)) {
    pending_ = std::make_unique<PendingCheck>();
    pending_->undo = std::move(undo);
    pending_->previous_decoded = std::move(decoded_);
    pending_->unreadable_change = true;
    return {};
  }
  // The image passed the same check before; only rows that overlap the
  // bytes the change rewrote can make it fail now.
  auto db = check_and_decode(image_, Decoding::kRecordsButTracks);
  if (!db) {
    undo.undo(owned_);
    return std::unexpected(PdbError(pdb_error::UnreadableChange{db.error().message()}));
  }
  decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), Decoding::kRecordsButTracks, std::nullopt});
  return {};
}

std::expected<void, PdbError> Library::set_tempo(std::uint32_t track_id, std::uint32_t tempo) {
  if (auto decoded = decoding(Decoding::kRowLocations); !decoded) return std::unexpected(decoded.error());
  UndoLog undo;
  auto set = vantrel_pdb::set_tempo(own_image(), decoded_->db, track_id, tempo, undo);
  if (!set) return std::unexpected(set.error());
  if (*set == 0) return std::unexpected(PdbError(pdb_error::TrackNotFound{track_id}));
  return check_change(undo);
}

// The steps every change in place shares: commit, decode as the change
// needs, change, check the result, and undo the change when any step fails.
struct Library::Changes {
  // A change that writes only within the image, undone by its log.
  template <class Change>
  static std::expected<void, PdbError> logged(Library& library, Decoding level, Change&& change) {
    if (auto decoded = library.decoding(level); !decoded) return std::unexpected(decoded.error());
    std::vector<std::uint8_t>& image = library.own_image();
    UndoLog undo;
    if (auto ok = change(image, library.decoded_->db, undo); !ok) {
      undo.undo(image);
      return ok;
    }
    return library.check_change(undo);
  }

  // A change that may append rows (and so grow the image), undone by a
  // copy of the image as it was.
  template <class Change>
  static std::expected<void, PdbError> copied(Library& library, Decoding level, Change&& change) {
    if (auto decoded = library.decoding(level); !decoded) return std::unexpected(decoded.error());
    // The change works on a copy with room for a few new pages; the image
    // stays as it was until the copy has passed its check.
    constexpr std::size_t kSparePages = 16;
    std::vector<std::uint8_t> work;
    work.reserve(library.image_.size() + kSparePages * format::kPageSize);
    advise_huge_pages(work.data(), work.capacity());
    work.assign(library.image_.begin(), library.image_.end());
    if (auto ok = change(work, library.decoded_->db); !ok) return ok;
    if (std::exchange(library.defer_next_check_, false)) {
      library.put_off_check(std::move(work), true);
      return {};
    }
    auto db = check_and_decode(work, Decoding::kRecordsButTracks);
    if (!db) return std::unexpected(PdbError(pdb_error::UnreadableChange{db.error().message()}));
    library.owned_ = std::move(work);
    library.image_ = library.owned_;
    library.decoded_ = std::make_unique<Decoded>(Decoded{std::move(*db), Decoding::kRecordsButTracks, std::nullopt});
    return {};
  }
};

std::expected<TrackInfo, PdbError> Library::track(std::uint32_t id) {
  auto decoded = decoding(Decoding::kRecordsButTracks);
  if (!decoded) return std::unexpected(decoded.error());
  const auto rows = decoded_->db.row_locations(kind::tracks);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    auto row_id = load_u32(image_, rows[i] + track_row::kIdOffset);
    if (!row_id) return std::unexpected(row_id.error());
    if (*row_id != id) continue;
    auto view = TrackRows(image_, rows.subspan(i, 1), &decoded_->names()).at(0);
    if (!view) return std::unexpected(view.error());
    return view->info();
  }
  return std::unexpected(PdbError(pdb_error::TrackNotFound{id}));
}

std::expected<PlaylistInfo, PdbError> Library::playlist(std::uint32_t id) {
  auto all = playlists();
  if (!all) return std::unexpected(all.error());
  for (PlaylistInfo& info : *all) {
    if (info.id == id) return std::move(info);
  }
  return std::unexpected(PdbError(pdb_error::PlaylistNotFound{id}));
}

std::expected<void, PdbError> Library::set_track(std::uint32_t track_id, const TrackChange& change) {
  if (auto decoded = decoding(Decoding::kRowLocations); !decoded) return std::unexpected(decoded.error());
  auto plan = plan_track_update(image_, decoded_->db, track_id, change);
  if (!plan) return std::unexpected(plan.error());
  const auto apply = [&](std::vector<std::uint8_t>& image, UndoLog& undo) -> std::expected<void, PdbError> {
    auto ok = apply_track_update(image, *plan, undo);
    if (!ok) return std::unexpected(ok.error());
    return {};
  };
  // A change that appends may grow the image: a copy undoes it. One that
  // fits where the rows lie is undone by its log, without a copy.
  if (plan->appends()) {
    return Changes::copied(*this, Decoding::kRowLocations, [&](std::vector<std::uint8_t>& image, const Database&) {
      UndoLog unused;
      return apply(image, unused);
    });
  }
  return Changes::logged(
      *this, Decoding::kRowLocations,
      [&](std::vector<std::uint8_t>& image, const Database&, UndoLog& undo) { return apply(image, undo); });
}

std::expected<void, PdbError> Library::remove_tracks(std::span<const std::uint32_t> track_ids) {
  return Changes::logged(*this, Decoding::kRowLocations,
                         [&](std::vector<std::uint8_t>& image, const Database& db, UndoLog& undo) {
                           return vantrel_pdb::remove_tracks(image, db, track_ids, undo);
                         });
}

std::expected<void, PdbError> Library::rename_playlist(std::uint32_t playlist_id, std::string_view name) {
  return Changes::copied(*this, Decoding::kRowLocations, [&](std::vector<std::uint8_t>& image, const Database& db) {
    return vantrel_pdb::rename_playlist(image, db, playlist_id, name);
  });
}

std::expected<void, PdbError> Library::move_playlist(std::uint32_t playlist_id, std::uint32_t parent_id,
                                                     std::optional<std::uint32_t> position) {
  return Changes::logged(*this, Decoding::kRowLocations,
                         [&](std::vector<std::uint8_t>& image, const Database& db, UndoLog& undo) {
                           return vantrel_pdb::move_playlist(image, db, playlist_id, parent_id, position, undo);
                         });
}

std::expected<void, PdbError> Library::set_playlist_tracks(std::uint32_t playlist_id,
                                                           std::span<const std::uint32_t> track_ids) {
  return Changes::copied(*this, Decoding::kRowLocations, [&](std::vector<std::uint8_t>& image, const Database& db) {
    return vantrel_pdb::set_playlist_tracks(image, db, playlist_id, track_ids);
  });
}

std::expected<void, PdbError> Library::remove_playlists(std::span<const std::uint32_t> playlist_ids) {
  return Changes::logged(*this, Decoding::kRowLocations,
                         [&](std::vector<std::uint8_t>& image, const Database& db, UndoLog& undo) {
                           return vantrel_pdb::remove_playlists(image, db, playlist_ids, undo);
                         });
}

std::expected<Bytes, PdbError> Library::bytes() {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  return image_;
}

std::expected<std::vector<std::uint8_t>, PdbError> Library::take_bytes() && {
  if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  own_image();
  decoded_.reset();
  image_ = {};
  return std::move(owned_);
}

void Library::put_off_check(std::vector<std::uint8_t> image, bool unreadable_change) {
  auto pending = std::make_unique<PendingCheck>();
  pending->restore_image = true;
  pending->previous_owned = std::move(owned_);
  pending->previous_image = image_;
  pending->previous_decoded = std::move(decoded_);
  pending->unreadable_change = unreadable_change;
  owned_ = std::move(image);
  image_ = owned_;
  pending_ = std::move(pending);
}

void Library::defer_check() { defer_next_check_ = true; }

std::expected<Bytes, PdbError> Library::bytes_while_checking() {
  // A check put off already is the one to run; else a commit may put one off.
  if (!pending_) {
    if (auto ok = commit(); !ok) return std::unexpected(ok.error());
  }
  if (pending_ && !pending_->thread && !pending_->result && std::thread::hardware_concurrency() > 1) {
    PendingCheck* pending = pending_.get();
    const Bytes image = image_;
    try {
      pending->thread.emplace([pending, image] {
        try {
          pending->result.emplace(check_and_decode(image, Decoding::kRecordsButTracks));
        } catch (...) {
          pending->failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: settle_check() makes the check.
    }
  }
  return image_;
}

std::expected<void, PdbError> Library::await_check() {
  if (!pending_) return {};
  pending_->finish(image_);
  if (pending_->passed()) return settle_check();
  // Nothing changes until settle_check(), which fails alike.
  if (pending_->failure) std::rethrow_exception(pending_->failure);
  return std::unexpected(pending_->verdict());
}

std::expected<void, PdbError> Library::settle_check() {
  if (!pending_) return {};
  const std::unique_ptr<PendingCheck> pending = std::move(pending_);
  pending->finish(image_);
  if (pending->passed()) {
    decoded_ =
        std::make_unique<Decoded>(Decoded{std::move(**pending->result), Decoding::kRecordsButTracks, std::nullopt});
    return {};
  }
  // The check failed (or ran out of memory): the change goes.
  if (pending->undo) pending->undo->undo(owned_);
  if (pending->restore_image) {
    owned_ = std::move(pending->previous_owned);
    image_ = pending->previous_image;
  }
  decoded_ = std::move(pending->previous_decoded);
  if (pending->failure) std::rethrow_exception(pending->failure);
  return std::unexpected(pending->verdict());
}

}  // namespace vantrel_pdb
