// The salvage's writing side: the rows recover_rows found, built into a
// fresh library through its own additions, with the rules of salvage()
// (library.h) for what cannot be kept.
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "edit/new_track.h"
#include "edit/track_fit.h"
#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/strings.h"
#include "read/database.h"
#include "read/playlist_rows.h"
#include "read/recover.h"
#include "read/track.h"
#include "track_input_row.h"
#include "util/id_map.h"
#include "util/side_by_side.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

namespace {

namespace k = table_kind;
using recovery::Recovered;
using recovery::RecoveredRows;
using recovery::TrackRow;

constexpr std::uint64_t kPage = format::kPageSize;
constexpr std::uint64_t kMaxAlloc = kPage - format::kRowOverhead;

// Id -> name of the first row with the id, as the reader resolves it.
class Names {
 public:
  template <class Record>
  explicit Names(const std::vector<Recovered<Record>>& rows) {
    for (const auto& row : rows) names_.emplace(row.record.id, &row.record.name);
  }
  const std::string* find(std::uint32_t id) const {
    const std::string* const* name = names_.find(id);
    return name ? *name : nullptr;
  }
  std::string operator[](std::uint32_t id) const {
    const std::string* name = find(id);
    return name ? *name : std::string();
  }

 private:
  IdMap<const std::string*> names_;  // the first row of each id stays
};

bool is_short_ascii(const std::string& text) {
  return text.size() <= kMaxShortAsciiLength &&
         std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// True when a row of `fixed` bytes and the name fits a page.
bool name_fits(const std::string& name, std::uint64_t fixed) {
  auto encoded = encode_string(name);
  return encoded && format::round_up4(fixed + encoded->size()) <= kMaxAlloc;
}

std::unexpected<PdbError> internal(const std::string& what, const PdbError& error) {
  return std::unexpected(errors::internal("salvage could not " + what + ": " + error.message()));
}

// An entry of a playlist or history playlist, and where it stands.
struct Placed {
  std::uint32_t entry_index = 0;
  std::uint32_t track = 0;
};

// Track ids by entry index, equal indices in table order.
std::vector<std::uint32_t> in_order(std::vector<Placed>& entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Placed& a, const Placed& b) { return a.entry_index < b.entry_index; });
  std::vector<std::uint32_t> tracks;
  tracks.reserve(entries.size());
  for (const Placed& e : entries) tracks.push_back(e.track);
  return tracks;
}

class Rebuild {
 public:
  // With `check_beside_write`, the commit's check is put off for the
  // caller to settle (check_and_salvage).
  // `pages_read`, when set, is called whenever the image's bytes read so
  // far are not needed again soon (check_and_salvage).
  Rebuild(Bytes image, RecoveredRows rows, bool check_beside_write = false,
          const std::function<void()>* pages_read = nullptr)
      : image_(image), rows_(std::move(rows)), check_beside_write_(check_beside_write), pages_read_(pages_read) {}

  // Each table's recovered rows are let go once they are in the new
  // library, so that the steps after it (the commit above all, which makes
  // the new image's decoding) do not hold them too.
  std::expected<Salvage, PdbError> run() {
    if (check_beside_write_) library_.defer_check();
    library_.reserve(growth_hint());
    if (auto ok = add_tracks(); !ok) return std::unexpected(ok.error());
    release(rows_.tracks, rows_.genres, rows_.artists, rows_.albums, rows_.labels, rows_.keys, rows_.artwork);
    if (auto ok = add_playlists(); !ok) return std::unexpected(ok.error());
    release(rows_.playlist_tree, rows_.playlist_entries);
    if (auto ok = add_history(); !ok) return std::unexpected(ok.error());
    release(rows_.history_playlists, rows_.history_entries);
    if (auto ok = library_.commit(); !ok) return std::unexpected(salvage_check_failure(ok.error()));
    return finish();
  }

 private:
  template <class... Rows>
  static void release(Rows&... rows) {
    (std::vector<typename Rows::value_type>().swap(rows), ...);
  }

  GrowthHint growth_hint() const {
    GrowthHint hint;
    hint.tracks = rows_.tracks.size();
    for (const auto& t : rows_.tracks) hint.track_text_bytes += t.record.text_bytes;
    for (const auto& row : rows_.artists) hint.name_bytes += row.record.name.size();
    for (const auto& row : rows_.albums) hint.name_bytes += row.record.name.size();
    for (const auto& row : rows_.artwork) hint.artwork_path_bytes += row.record.name.size();
    hint.playlists = rows_.playlist_tree.size();
    for (const auto& row : rows_.playlist_tree) hint.playlist_name_bytes += row.record.name.size();
    hint.entries = rows_.playlist_entries.size() + rows_.history_entries.size();
    return hint;
  }

  // A recovered track made ready to add, or why it is not added.
  struct Ready {
    std::optional<PreparedTrack> track;  // nullopt: lost, or `failure`
    std::uint32_t id = 0;
    std::optional<PdbError> failure;  // the row did not decode
    std::uint64_t location = 0;
  };

  // The tracks, in table order, the first of each id that fits. The rows
  // are decoded and prepared a chunk at a time by two threads, while the
  // chunk before is added here: this thread joins the making once it has
  // added, in runs taken from a shared counter, so that the two share the
  // work as their pace allows. What is made is the same as one thread makes.
  std::expected<void, PdbError> add_tracks() {
    const Names artists(rows_.artists), albums(rows_.albums), genres(rows_.genres), keys(rows_.keys),
        labels(rows_.labels), artwork(rows_.artwork);
    const std::size_t count = rows_.tracks.size();
    // A chunk's tracks as made, and which thread made each run of them (0
    // this one, 1 the helper).
    struct Chunk {
      std::vector<Ready> ready;
      std::vector<std::uint8_t> maker;  // by run
    };
    // Makes the rows of the chunk from `begin` into `out`, a run at a time,
    // until `taken` says every run is taken; `who` is the thread.
    auto make = [&](std::size_t begin, Chunk& out, std::atomic<std::size_t>& taken, std::uint8_t who) {
      for (std::size_t run = taken.fetch_add(kRun); run < out.ready.size(); run = taken.fetch_add(kRun)) {
        out.maker[run / kRun] = who;
        for (std::size_t i = run; i < std::min(out.ready.size(), run + kRun); ++i) {
          out.ready[i] = ready(rows_.tracks[begin + i], artists, albums, genres, keys, labels, artwork);
        }
      }
    };
    // Frees the tracks of the runs of `spent` that thread `who` made. Each
    // thread frees its own: a prepared track is blocks of hundreds of bytes,
    // and a free of such a block made on the other thread waits for that
    // thread's allocator lock, which it takes at every allocation of its own.
    auto free_made = [](Chunk& spent, std::uint8_t who) {
      for (std::size_t run = 0; run < spent.maker.size(); ++run) {
        if (spent.maker[run] != who) continue;
        for (std::size_t i = run * kRun; i < std::min(spent.ready.size(), (run + 1) * kRun); ++i) spent.ready[i] = {};
      }
    };
    std::expected<void, PdbError> added;
    auto add = [&](std::vector<Ready>& chunk) {
      for (Ready& r : chunk) {
        if (!added) return;
        if (r.failure) {
          added = internal("decode track at " + std::to_string(r.location), *r.failure);
        } else if (!r.track || !tracks_.emplace(r.id)) {
          ++lost_[k::tracks];
        } else if (auto ok = library_.add_prepared(std::move(*r.track)); !ok) {
          added = internal("add track " + std::to_string(r.id), ok.error());
        }
      }
    };
    Chunk chunks[3];
    const std::size_t steps = (count + kChunk - 1) / kChunk;
    // Only the track rows are read from the image from here on, in table
    // order: those made so far are done with at every chunk. (At every
    // fourth, the image's pages read in between were 2 MB of the peak,
    // which comes in this loop.)
    pages_read();
    // Step c makes chunk c, adds chunk c - 1 and frees chunk c - 2, added by
    // now (the chunk c + 1 will be made into).
    for (std::size_t c = 0; c <= steps && added; ++c) {
      if (c > 0) pages_read();
      Chunk& next = chunks[c % 3];
      Chunk& spent = chunks[(c + 1) % 3];
      const std::size_t size = c < steps ? std::min(kChunk, count - c * kChunk) : 0;
      next.ready.resize(size);
      next.maker.assign((size + kRun - 1) / kRun, 0);
      std::atomic<std::size_t> taken{0};
      auto here = [&] {
        free_made(spent, 0);
        if (c > 0) add(chunks[(c + 2) % 3].ready);
        if (added) make(c * kChunk, next, taken, 0);
      };
      if (count >= kTwoThreadTracks && c < steps) {
        side_by_side(here, [&] {
          free_made(spent, 1);
          make(c * kChunk, next, taken, 1);
        });
      } else {
        here();
      }
      // What is left (the helper's runs when it did not run this step).
      spent.ready.clear();
      spent.maker.clear();
    }
    return added;
  }

  // Tracks of one chunk of add_tracks, and of one run of its making; the
  // fewest tracks worth a second thread.
  static constexpr std::size_t kChunk = 2048;
  static constexpr std::size_t kRun = 128;
  static constexpr std::size_t kTwoThreadTracks = 2 * kChunk;

  void pages_read() const {
    if (pages_read_ != nullptr && *pages_read_) (*pages_read_)();
  }

  // The track of `row` prepared, unless its texts do not fit a row. Reads
  // only the recovered rows, so that two threads may make tracks at once.
  Ready ready(const Recovered<TrackRow>& row, const Names& artists, const Names& albums, const Names& genres,
              const Names& keys, const Names& labels, const Names& artwork) const {
    Ready result;
    result.location = row.location;
    // Decoded one at a time, its texts moved into the new library.
    auto decoded = row.record.decode();
    if (!decoded) {
      result.failure = decoded.error();
      return result;
    }
    Track& t = *decoded;
    result.id = t.id;
    TrackInput in;
    in.id = t.id;
    in.title = std::move(t.strings[track_row::kTitleSlot]);
    in.artist = artists[t.artist_id];
    in.album = albums[t.album_id];
    in.genre = genres[t.genre_id];
    in.key = keys[t.key_id];
    if (const std::string* label = labels.find(t.label_id); label && t.label_id != 0) in.label = *label;
    in.audio_path = std::move(t.strings[track_row::kFilePathSlot]);
    in.analysis_path = std::move(t.strings[track_row::kAnalysisPathSlot]);
    // Artwork goes where the library cannot attach it: a path that is not
    // short ASCII, a track of id 0.
    if (const std::string* path = artwork.find(t.artwork_id); path && is_short_ascii(*path) && t.id != 0) {
      in.artwork_path = *path;
    }
    in.comment = std::move(t.strings[track_row::kCommentSlot]);
    in.tempo = t.tempo;
    in.bitrate = t.bitrate;
    in.sample_rate = t.sample_rate;
    in.file_size = t.file_size;
    in.duration = t.duration;
    in.sample_depth = t.sample_depth;
    in.rating = t.rating;
    in.file_type = decode_fixed16(image_.data() + row.location + track_row::kFileTypeOffset);
    if (fits(in)) result.track = Library::prepare_track(std::move(in));
    return result;
  }

  // Whether the library takes the track: add_track would otherwise drop the
  // whole edit on a text too long for a row. The texts are lent to the row
  // that is checked and given back, not copied (copies were about 10 ms of
  // a 100,000-track salvage).
  static bool fits(TrackInput& in) {
    NewTrack row = row_with_texts_of(in);
    const bool fit = check_track_fits(row, kPage).has_value();
    give_texts_back(row, in);
    return fit;
  }

  std::expected<void, PdbError> add_playlists() {
    // The first node of each id, unless it is 0 (the top level) or its name
    // does not fit a row.
    std::vector<const PlaylistTreeNode*> nodes;
    IdMap<std::size_t> index;  // id -> position in nodes
    for (const auto& row : rows_.playlist_tree) {
      const PlaylistTreeNode& n = row.record;
      if (n.id == 0 || index.contains(n.id) || !name_fits(n.name, playlist_tree_row::kNameOffset)) {
        ++lost_[k::playlist_tree];
        continue;
      }
      index.emplace(n.id, nodes.size());
      nodes.push_back(&n);
    }
    // Parents: a missing one is the top level; a cycle of parents is broken
    // at the node where a walk up the tree enters it, which goes to the top.
    std::vector<std::optional<std::size_t>> parent(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i]->parent_id == 0) continue;
      if (const std::size_t* at = index.find(nodes[i]->parent_id)) parent[i] = *at;
    }
    enum State : std::uint8_t { kNew, kOnPath, kDone };
    std::vector<State> state(nodes.size(), kNew);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      path.clear();
      std::size_t j = i;
      bool top = false;
      while (state[j] == kNew) {
        state[j] = kOnPath;
        path.push_back(j);
        if (!parent[j]) {
          top = true;
          break;
        }
        j = *parent[j];
      }
      // Back at a node of this walk: j is where the walk entered a cycle.
      if (!top && state[j] == kOnPath) parent[j].reset();
      for (std::size_t node : path) state[node] = kDone;
    }
    // Entries, by playlist.
    std::vector<std::vector<Placed>> entries(nodes.size());
    for (const auto& row : rows_.playlist_entries) {
      const PlaylistEntry& e = row.record;
      const std::size_t* at = index.find(e.playlist_id);
      if (!at || nodes[*at]->is_folder || !tracks_.contains(e.track_id)) {
        ++lost_[k::playlist_entries];
        continue;
      }
      entries[*at].push_back({e.entry_index, e.track_id});
    }
    std::vector<PlaylistInput> playlists;
    playlists.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const PlaylistTreeNode& n = *nodes[i];
      kept_[k::playlist_entries] += entries[i].size();
      playlists.push_back(
          {n.id, n.name, parent[i] ? n.parent_id : 0u, n.is_folder, in_order(entries[i]), n.sort_order});
    }
    kept_[k::playlist_tree] = playlists.size();
    if (auto ok = library_.add_playlists(playlists); !ok) return internal("add the playlists", ok.error());
    return {};
  }

  std::expected<void, PdbError> add_history() {
    std::vector<const HistoryPlaylist*> lists;
    IdMap<std::size_t> index;  // id -> position in lists
    for (const auto& row : rows_.history_playlists) {
      const HistoryPlaylist& h = row.record;
      if (index.contains(h.id) || !name_fits(h.name, id_name_row::kNameOffset)) {
        ++lost_[k::history_playlists];
        continue;
      }
      index.emplace(h.id, lists.size());
      lists.push_back(&h);
    }
    std::vector<std::vector<Placed>> entries(lists.size());
    for (const auto& row : rows_.history_entries) {
      const HistoryEntry& e = row.record;
      const std::size_t* at = index.find(e.playlist_id);
      if (!at || !tracks_.contains(e.track_id)) {
        ++lost_[k::history_entries];
        continue;
      }
      entries[*at].push_back({e.entry_index, e.track_id});
    }
    for (std::size_t i = 0; i < lists.size(); ++i) {
      kept_[k::history_entries] += entries[i].size();
      if (auto ok = library_.add_history({lists[i]->id, lists[i]->name, in_order(entries[i])}); !ok) {
        return internal("add history playlist " + std::to_string(lists[i]->id), ok.error());
      }
    }
    kept_[k::history_playlists] = lists.size();
    return {};
  }

  std::expected<Salvage, PdbError> finish() {
    // A check put off runs from here on, beside the counting and the
    // caller's write.
    auto image = check_beside_write_ ? library_.bytes_while_checking() : library_.bytes();
    if (!image) return internal("read the new database", image.error());
    kept_[k::tracks] = tracks_.size();
    // Names and artwork are as the tracks made them: counted where the
    // committed (and so checked) image has their rows.
    for (std::uint32_t kind : {k::genres, k::artists, k::albums, k::labels, k::keys, k::artwork}) {
      auto rows = row_locations_of_kind(*image, kind);
      if (!rows) return internal("read the new database", rows.error());
      kept_[kind] = rows->size();
    }
    // Colours and the rows of kind 16 have no place in the library's edits.
    lost_[k::colors] += rows_.colors.size();
    lost_[k::kind16_rows] += rows_.kind16_rows.size();
    Loss loss;
    for (std::uint32_t kind :
         {k::tracks, k::genres, k::artists, k::albums, k::labels, k::keys, k::colors, k::playlist_tree,
          k::playlist_entries, k::history_playlists, k::history_entries, k::artwork, k::kind16_rows}) {
      auto unreadable = rows_.unreadable.find(kind);
      const std::uint64_t lost = lost_[kind] + (unreadable == rows_.unreadable.end() ? 0 : unreadable->second);
      loss.tables.push_back({kind, kept_[kind], lost});
    }
    return Salvage{std::move(library_), std::move(loss)};
  }

  Bytes image_;
  RecoveredRows rows_;
  bool check_beside_write_ = false;
  const std::function<void()>* pages_read_ = nullptr;
  Library library_ = Library::create();
  IdSet tracks_;  // ids of the kept tracks
  std::map<std::uint32_t, std::uint64_t> kept_;
  std::map<std::uint32_t, std::uint64_t> lost_;
};

}  // namespace

std::uint64_t Loss::lost() const {
  std::uint64_t n = 0;
  for (const TableLoss& table : tables) n += table.lost;
  return n;
}

std::expected<Salvage, PdbError> salvage(Bytes image) { return Rebuild(image, recovery::recover_rows(image)).run(); }

PdbError salvage_check_failure(const PdbError& error) {
  return errors::internal("salvage could not commit the new database: " + error.message());
}

CheckedSalvage check_and_salvage(Bytes image, std::size_t limit, bool check_beside_write) {
  return check_and_salvage(image, limit, check_beside_write, {});
}

CheckedSalvage check_and_salvage(Bytes image, std::size_t limit, bool check_beside_write,
                                 const std::function<void()>& pages_read) {
  Findings findings;
  std::optional<std::expected<Salvage, PdbError>> rescued;
  auto checking = [&] { findings = check(image, limit); };
  auto salvaging = [&] {
    rescued.emplace(Rebuild(image, recovery::recover_rows(image), check_beside_write, &pages_read).run());
  };
  if (image.size() >= kSideBySideImageBytes) {
    side_by_side(salvaging, checking);
  } else {
    checking();
    salvaging();
  }
  return {std::move(findings), std::move(*rescued)};
}

}  // namespace vantrel_pdb
