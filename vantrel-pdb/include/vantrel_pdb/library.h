// Library: a whole database as a program sees it: tracks with their names,
// a playlist tree, and the changes a library tool makes (new tracks with
// artwork, new playlists, keeping only some tracks and playlists, tempos).
// It composes the reader, the editor and the structure check, and keeps the
// database as one page image in memory; files are another unit (files.h).
//
//   auto library = vantrel_pdb::Library::open(std::move(image));  // or open_borrowed(bytes)
//   for (const auto& track : *library->tracks()) ...
//   vantrel_pdb::TrackInput track;
//   track.id = 7;
//   track.title = "Night Ferry";
//   track.audio_path = "/music/ferry.flac";
//   library->add_track(std::move(track));
//   library->keep_only(std::vector<std::uint32_t>{7, 9}, std::nullopt);
//   auto bytes = library->bytes();
//
// docs/library.md walks through a whole program.
//
// New tracks and playlists are added in one edit, which commit() finishes:
// it writes the caller's ids over the editor's, sets each new track's file
// type from its audio path, adds the artwork rows and checks the result as
// "open" does. Reading, keep_only, set_tempo and bytes() commit first. An
// edit whose addition or commit fails is dropped whole: the library is then
// as it was before the edit's first addition.
//
// check() lists every fault of an image, and salvage() makes a new database
// of what of a damaged image still reads.
//
// Every operation returns a value or a PdbError; nothing prints, throws or
// touches a file. Decoding an image of a megabyte or more, and indexing its
// names and playlists, take a second thread for the time they run where the
// machine has two cores; nothing runs once the call has returned.
#ifndef VANTREL_PDB_LIBRARY_H_
#define VANTREL_PDB_LIBRARY_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel_pdb/api.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/id_hash.h"
#include "vantrel_pdb/reading.h"

namespace vantrel_pdb {

// The library's own, named here only: not exported.
class UndoLog;

VANTREL_PDB_API_BEGIN

// Messages of the changes a library refuses (pdb_error::Refused).
inline constexpr char kDuplicateTrackId[] = "Duplicate track ID";
inline constexpr char kDuplicatePlaylistId[] = "Duplicate playlist ID";
inline constexpr char kDuplicateHistoryId[] = "Duplicate history playlist ID";
inline constexpr char kPlaylistReferencesAbsentTrack[] = "Playlist references absent track";
inline constexpr char kPlaylistParentMissing[] = "Playlist parent cycle or missing parent";
inline constexpr char kUnsupportedAudioExtension[] = "Unsupported audio extension";

// The file type code of an audio path's extension (the text after its last
// ".", or the whole path without one; ASCII letters compared in lower
// case): mp3 1, m4a and aac 4, flac 5, alac 6, wav 11, aif and aiff 12;
// nullopt for any other.
std::optional<std::uint16_t> file_type_for_path(std::string_view audio_path);

// Beats per minute as the stored tempo (hundredths), rounded half away from
// zero and clamped to 0 … 2^32 - 1 (NaN gives 0).
std::uint32_t tempo_from_bpm(double bpm);

// A track to add (Library::add_track). Every name is stored, an empty one included (it then
// names an artist, album, genre or key row with an empty name); the label
// only when given.
struct TrackInput {
  std::uint32_t id = 0;
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string key;
  std::optional<std::string> label;
  std::string audio_path;  // its extension chooses the file type
  std::string analysis_path;
  std::string artwork_path;  // "" for none; else short ASCII (at most 126 bytes)
  std::string comment;
  std::uint32_t tempo = 0;  // beats per minute × 100 (tempo_from_bpm)
  std::uint32_t bitrate = 0;
  std::uint32_t sample_rate = 44100;
  std::uint32_t file_size = 0;
  std::uint16_t duration = 0;  // seconds
  std::uint16_t sample_depth = 16;
  std::uint8_t rating = 0;
  // The file type code as it stands (a copy keeps the original's); nullopt:
  // from the audio path's extension, which must then be in
  // file_type_for_path's table.
  std::optional<std::uint16_t> file_type = std::nullopt;
};

// A track made ready to add (Library::prepare_track): its row encoded but
// for the ids the library gives it as it is added. Making one reads no
// library, so a program may prepare tracks on one thread while another adds
// them. Movable, not copyable.
class PreparedTrack {
 public:
  PreparedTrack(PreparedTrack&&) noexcept;
  PreparedTrack& operator=(PreparedTrack&&) noexcept;
  ~PreparedTrack();

 private:
  friend class Library;
  struct Parts;
  explicit PreparedTrack(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// Changes to one track (Library::set_track): each field that holds a value
// replaces the track's, the others stay as they are. Names are found or
// created as add_track finds or creates them; an audio path sets the file
// name and the file type from its extension too; an artwork path of ""
// removes the track's artwork.
struct TrackChange {
  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> album;
  std::optional<std::string> genre;
  std::optional<std::string> key;
  std::optional<std::string> label;
  std::optional<std::string> audio_path;
  std::optional<std::string> analysis_path;
  std::optional<std::string> artwork_path;  // short ASCII (at most 126 bytes), or "" for none
  std::optional<std::string> comment;
  std::optional<std::uint32_t> tempo;  // beats per minute × 100
  std::optional<std::uint32_t> bitrate;
  std::optional<std::uint32_t> sample_rate;
  std::optional<std::uint32_t> file_size;
  std::optional<std::uint16_t> duration;
  std::optional<std::uint16_t> sample_depth;
  std::optional<std::uint8_t> rating;
};

// A playlist or folder to add (Library::add_playlist).
struct PlaylistInput {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t parent_id = 0;  // 0 for the top level
  bool is_folder = false;
  std::vector<std::uint32_t> tracks;  // track ids in playing order
  // Its place among its siblings, as stored; nullopt: after them.
  std::optional<std::uint32_t> sort_order = std::nullopt;
};

// A history playlist to add: the play history's record of one session.
struct HistoryInput {
  std::uint32_t id = 0;
  std::string name;
  std::vector<std::uint32_t> tracks;  // track ids in playing order
};

// What an edit is about to add, so that the image can be reserved once.
struct GrowthHint {
  std::size_t tracks = 0;
  std::size_t track_text_bytes = 0;  // title, comment, analysis path and twice the audio path
  std::size_t name_bytes = 0;        // artist, album, genre and key
  std::size_t artwork_path_bytes = 0;
  std::size_t playlists = 0;
  std::size_t playlist_name_bytes = 0;
  std::size_t entries = 0;
};

class Library {
 public:
  // Takes over `image`, runs the structure check and decodes it as
  // `decoding` says (the records a level leaves out are made when first
  // read; kRecordsButTracks suits reading, kRowLocations a change in
  // place). Fails with the check's message or the reader's error.
  static std::expected<Library, PdbError> open(std::vector<std::uint8_t> image,
                                               Decoding decoding = Decoding::kRecordsButTracks);

  // As open, reading `image` where it lies (a mapped file, a buffer the
  // program keeps) instead of taking it over: the library copies it only at
  // its first change (an addition, keep_only, set_tempo) or take_bytes.
  // Requires: `image` outlives the library and does not change while the
  // library reads it.
  static std::expected<Library, PdbError> open_borrowed(Bytes image, Decoding decoding = Decoding::kRecordsButTracks);

  // A new, empty database: the blank 41-page image.
  static Library create();

  Library(Library&&) noexcept;
  Library& operator=(Library&&) noexcept;
  ~Library();

  // --- Reading (each commits a pending edit first) ---

  // The tracks in table order, names resolved.
  std::expected<std::vector<TrackInfo>, PdbError> tracks();
  // The tracks as a TrackTable, which later changes leave as it is. Costs a
  // copy of the image and of the name tables, not a record per track.
  std::expected<std::shared_ptr<const TrackTable>, PdbError> track_table();
  // The tracks read where their rows lie, without a copy: valid until the
  // next change, the names and the image the library's own.
  std::expected<TrackRows, PdbError> track_rows();
  // The playlist tree's nodes in table order.
  std::expected<std::vector<PlaylistInfo>, PdbError> playlists();
  // The numbers of rows of each kind, without a record per row.
  std::expected<LibraryCounts, PdbError> counts();
  // The first track with `id` in table order, as tracks() gives it; fails
  // with TrackNotFound when there is none.
  std::expected<TrackInfo, PdbError> track(std::uint32_t id);
  // The first playlist or folder with `id` in table order, as playlists()
  // gives it; fails with PlaylistNotFound when there is none.
  std::expected<PlaylistInfo, PdbError> playlist(std::uint32_t id);

  // --- Adding (one edit, finished by commit) ---

  // Makes room for what an edit will add (a hint; never needed).
  void reserve(const GrowthHint& hint);

  // Adds a track with the caller's id. Fails with Refused(kDuplicateTrackId)
  // when a track of the database or of this edit has the id, or with the
  // editor's error (RowTooLarge, StringTooLong, ...). The audio path's
  // extension and the artwork are checked by commit.
  std::expected<void, PdbError> add_track(TrackInput track);

  // add_track in two steps: add_prepared(prepare_track(t)) adds, and fails,
  // exactly as add_track(t) does, in the same order (the duplicate id first,
  // then a text that does not encode). prepare_track reads no library and
  // may run on any thread. add_prepared takes what the library keeps and
  // leaves the rest in `track`, which is spent, for its owner to free: a
  // program that prepares on one thread and adds on another frees where it
  // allocated. A spent track fails with Misuse.
  static PreparedTrack prepare_track(TrackInput track);
  std::expected<void, PdbError> add_prepared(PreparedTrack&& track);

  // Adds a playlist or folder under `parent_id`, which must be 0 or a
  // playlist of the database or of this edit, else it fails with
  // Refused(kPlaylistParentMissing). Fails with Refused(kDuplicatePlaylistId)
  // when the id is taken, with Refused(kPlaylistReferencesAbsentTrack) when
  // a track id is neither in the database nor in this edit, or with the
  // editor's error. Its entries get indices 1, 2, ...; it takes its
  // sort_order when given, else the place after its siblings.
  std::expected<void, PdbError> add_playlist(const PlaylistInput& playlist);

  // Adds playlists in any order, parents first: each pass adds, in list
  // order, those whose parent exists and defers the rest; when a pass adds
  // none, it fails with Refused(kPlaylistParentMissing).
  std::expected<void, PdbError> add_playlists(std::span<const PlaylistInput> playlists);

  // Adds a history playlist with its entries (indices 1, 2, ...). Fails
  // with Refused(kDuplicateHistoryId) when a history playlist of the
  // database or of this edit has the id, with
  // Refused(kPlaylistReferencesAbsentTrack) when a track id is neither in
  // the database nor in this edit, or with the editor's error.
  std::expected<void, PdbError> add_history(const HistoryInput& history);

  // Finishes the edit: fails with Refused(kUnsupportedAudioExtension) for
  // the first new track without a file type whose extension is outside
  // file_type_for_path's table, with Refused("Track with artwork must not
  // have ID 0"), or with Refused("Artwork path must be short ASCII"); then
  // writes the ids, file
  // types and artwork and checks the image as open() does. Without a
  // pending edit it does nothing.
  std::expected<void, PdbError> commit();

  // --- Changing in place (each commits a pending edit first) ---

  // Keeps only the listed tracks and playlists (all of a kind when its list
  // is absent): the rows of the others are marked absent, the entries of
  // removed playlists or tracks too, and the play history when the kept
  // track ids are not exactly as many as the track rows. Kept tracks whose
  // id is in `tempos` get that tempo. The result is checked as open()
  // checks; a damaged image whose rows overlap what this rewrites fails
  // with UnreadableChange carrying the check's message, unchanged.
  std::expected<void, PdbError> keep_only(const std::optional<std::vector<std::uint32_t>>& tracks,
                                          const std::optional<std::vector<std::uint32_t>>& playlists,
                                          const TempoMap& tempos = {});

  // Sets the tempo of every track row with `track_id`; fails with
  // TrackNotFound when there is none. Nothing else changes.
  std::expected<void, PdbError> set_tempo(std::uint32_t track_id, std::uint32_t tempo);

  // The edits below change the image where it lies: a field is rewritten
  // in place, a row whose new bytes fit its old room is rewritten there,
  // and a row that outgrows its room is marked absent and appended again
  // with the same id (a track then moves to the end of the table order).
  // Ids never change, and entries keep their order. Each is checked as
  // open() checks and undone exactly when it fails, the image then as it
  // was before the call (a damaged image that would not read back gives
  // UnreadableChange). Rows appended by one call stamp the pages they
  // touched and raise the header's sequence once.

  // Changes the fields of every track row with `track_id` that `change`
  // holds. Fails with TrackNotFound, Refused(kUnsupportedAudioExtension),
  // Refused("Track with artwork must not have ID 0"), Refused("Artwork
  // path must be short ASCII"), StringTooLong or RowTooLarge. The artwork
  // row the track showed alone is marked absent when its path changes.
  std::expected<void, PdbError> set_track(std::uint32_t track_id, const TrackChange& change);

  // Removes the tracks, the playlist and history entries that name them,
  // and the artwork rows only they showed. Fails with TrackNotFound for the
  // first id that no track has.
  std::expected<void, PdbError> remove_tracks(std::span<const std::uint32_t> track_ids);

  // Renames a playlist or folder; fails with PlaylistNotFound or
  // StringTooLong.
  std::expected<void, PdbError> rename_playlist(std::uint32_t playlist_id, std::string_view name);

  // Moves a playlist or folder under folder `parent_id` (0: the top level)
  // at `position` among its other children (0-based; nullopt: after them),
  // renumbering their sort orders as needed. Fails with PlaylistNotFound
  // for the node or the parent, or with Refused for a parent that is not a
  // folder, one that lies under the node (or is it), or a position past the
  // last child.
  std::expected<void, PdbError> move_playlist(std::uint32_t playlist_id, std::uint32_t parent_id,
                                              std::optional<std::uint32_t> position = std::nullopt);

  // Replaces the entries of a playlist with `track_ids` in order
  // (duplicates allowed). Fails with PlaylistNotFound, Refused for a
  // folder, or TrackNotFound for a track that is not in the library.
  std::expected<void, PdbError> set_playlist_tracks(std::uint32_t playlist_id,
                                                    std::span<const std::uint32_t> track_ids);

  // Removes playlists and folders with everything under them, and their
  // entries. Fails with PlaylistNotFound for the first id that no node has.
  std::expected<void, PdbError> remove_playlists(std::span<const std::uint32_t> playlist_ids);

  // --- Saving ---

  // The image, after committing a pending edit. The view stays valid until
  // the next change.
  std::expected<Bytes, PdbError> bytes();
  // Hands the image over, after committing; the library is then empty and
  // must not be used again.
  std::expected<std::vector<std::uint8_t>, PdbError> take_bytes() &&;

  // --- Saving while the last change is checked ---
  //
  // A change's check reads the whole image, as long as writing it out
  // takes; these let the two run at once. defer_check(), then the change,
  // then bytes_while_checking(); write the bytes, and call settle_check()
  // before the written file takes the old one's place. The library is
  // never seen unchecked: any other call between them waits for the check
  // and fails as the change would have.

  // Puts off the check that the next change (or the commit of an edit)
  // makes of its result: the change succeeds once the image is changed,
  // and its check is made by settle_check(). A check that fails then undoes
  // the change, as it does when made at once.
  void defer_check();
  // The image, after committing a pending edit, with the check put off by
  // defer_check() (when one is due) running meanwhile on a second thread.
  // The view stays valid until the next change, and the bytes are the
  // library's only once settle_check() has passed.
  std::expected<Bytes, PdbError> bytes_while_checking();
  // Waits for the check put off by defer_check() (or makes it, when
  // bytes_while_checking() did not start it) and returns its verdict: the
  // error the change would have returned, the library then as before the
  // change, or success, also when no check was due.
  std::expected<void, PdbError> settle_check();
  // Waits for that check and gives the verdict settle_check() gives, but
  // leaves a failed change in place until settle_check() undoes it (and
  // fails alike): the bytes from bytes_while_checking() do not change under
  // a write that is still reading them. A check that passes is settled: the
  // library reads as the new image then, from any one thread while the
  // bytes are written, so that what is made of it (a report) is ready when
  // the write is.
  std::expected<void, PdbError> await_check();

 private:
  struct Edit;
  struct Decoded;
  struct Changes;  // the steps every change in place shares
  struct PendingCheck;
  Library();

  // A decoding of the current image that keeps at least what `level` says,
  // made once per state unless a fuller one is asked for.
  std::expected<const Decoded*, PdbError> decoding(Decoding level);
  // The image, made the library's own first when it is borrowed.
  std::vector<std::uint8_t>& own_image();

  // The ids of the committed image's tracks and playlists (folder or not).
  std::expected<void, PdbError> begin_edit();
  std::expected<void, PdbError> finish_edit();
  std::expected<void, PdbError> add_playlist_now(const PlaylistInput& playlist);
  // Checks the image after an in-place change as open() does; on failure
  // undoes the change.
  std::expected<void, PdbError> check_change(UndoLog& undo);

  // Validates and decodes `image` in full; on success it becomes the state.
  std::expected<void, PdbError> adopt(std::vector<std::uint8_t> image);
  // Makes `image` the library's image with its check put off, keeping the
  // state before to come back to; `unreadable_change`: a failed check gives
  // UnreadableChange, as a change in place does.
  void put_off_check(std::vector<std::uint8_t> image, bool unreadable_change);

  // The image: owned_, or bytes the caller lends (open_borrowed).
  std::vector<std::uint8_t> owned_;
  Bytes image_;
  // A decoding of image_, or null before the first one.
  std::unique_ptr<Decoded> decoded_;
  std::unique_ptr<Edit> edit_;
  std::size_t reserve_bytes_ = 0;
  // defer_check() was called and no check has been put off since.
  bool defer_next_check_ = false;
  // The check put off, until settle_check().
  std::unique_ptr<PendingCheck> pending_;
};

// --- Checking and salvaging an image ---

// Checks the whole of `image`, whatever it holds, and lists at most `limit`
// findings (counting the rest). Where Library::open stops at the first
// fault, check goes on past each one: the file header and directory, every
// table's page chain, every page's header and row index, every row and
// string, the ids and what refers to them. Never fails and never reads
// outside `image`: a damaged or hostile image gives findings. The pages are
// the library's 4096 bytes, whatever the header says. Time and memory are
// linear in the image: every page is examined at most once, every byte of a
// page's heap at most once as part of a row or string, and a page that two
// chains share, or a row that overlaps another, is examined no further. An
// image that passes (ok()) also opens with Library::open.
Findings check(Bytes image, std::size_t limit = kDefaultFindingLimit);

// A new, clean database made of every row of an image that can still be
// read (salvage()), and what of the image it could not keep.
struct Salvage {
  Library library;  // committed and checked as Library::open checks (see check_and_salvage)
  Loss loss;
};

// Salvages `image` (any bytes; the library's 4096-byte pages). The rows are
// read page by page, each on its own (a broken page or row costs itself
// only), and built into a fresh blank image through Library, with their
// ids: the tracks with their names, label, artwork and file type; the
// playlist tree with each node's place among its siblings and each
// playlist's entries in order; the play history. Rows that cannot be kept
// are left out: a row that does not decode, a row whose id an earlier row
// of its table has, an entry whose track or playlist is gone, an entry of a
// folder. A playlist whose parent is gone goes to the top level, as does
// one node of each cycle of parents. Names and artwork are made anew from
// what the kept tracks name, as a build makes them: rows that no track
// names are left out (and not counted as lost), which together with the
// new image's packed pages compacts a file that many edits have grown.
//
// On an image that check() passes without findings, the new database reads
// as the old one does: the same tracks with the same fields and names, the
// same playlists, labels, sort orders and history. Fails only when the new
// database cannot be made, which no image of rows that the reader decodes
// should cause (Internal, with the reason). Time is linear in the image.
std::expected<Salvage, PdbError> salvage(Bytes image);

// What a salvage of an image reports: its check and what it rescued.
struct CheckedSalvage {
  Findings findings;                         // check(image, limit)
  std::expected<Salvage, PdbError> rescued;  // salvage(image)
};

// check(image, limit) and salvage(image), the same results as the two calls
// in turn; an image of 1 MiB or more is checked on a second thread while it
// is salvaged (both only read it) on a machine of more than one core.
// With `check_beside_write`, the check of the new library's commit is put
// off as Library::defer_check puts it off, for a caller that writes the
// image: write bytes_while_checking(), and call settle_check() before the
// written file replaces another. A failed check (which no image the reader
// decodes should cause) is then the salvage's failure, whose message
// salvage_check_failure gives; the counts do not depend on it.
CheckedSalvage check_and_salvage(Bytes image, std::size_t limit = kDefaultFindingLimit,
                                 bool check_beside_write = false);

// As check_and_salvage above, with the same results, calling `pages_read`
// (when set) on the salvage's thread whenever the bytes of `image` it has
// read so far are not needed again soon: once the rows are recovered, then
// every few thousand tracks added. A caller whose image is a read-only
// mapping of a file can let go of the mapping's resident pages there (they
// are mapped again from the file when read), so that the image does not stay
// in memory beside the new library that is made of it.
CheckedSalvage check_and_salvage(Bytes image, std::size_t limit, bool check_beside_write,
                                 const std::function<void()>& pages_read);

// The failure a salvage reports when the check of its new library fails.
PdbError salvage_check_failure(const PdbError& error);

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_LIBRARY_H_
