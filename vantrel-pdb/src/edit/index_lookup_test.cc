// IndexedLookup against the literal decoding: targeted cases for what the
// reader can and cannot see of an append, then randomized edit sequences run
// through two editors, one per lookup, compared result by result and byte by
// byte, with every answer of the index also compared with the decoding
// lookup's after every operation.
#include "edit/index_lookup.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "edit/editor.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "read/database.h"
#include "read/track.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
using testing::get_u16;
using testing::get_u32;
using testing::put_u16;
using testing::put_u32;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kPage = 4096;

// ---------------------------------------------------------------------------
// Outcomes as comparable text.

std::string show(std::uint32_t v) { return std::to_string(v); }
std::string show(const std::optional<std::uint32_t>& v) { return v ? std::to_string(*v) : "none"; }
std::string show(const std::optional<TreeNodeInfo>& v) { return !v ? "none" : v->is_folder ? "folder" : "playlist"; }

// The outcome of an append without the row location it returns: both
// editors put rows in the same places, which the final bytes compare.
template <class T>
std::expected<void, PdbError> done(const std::expected<T, PdbError>& r) {
  if (!r) return std::unexpected(r.error());
  return {};
}

template <class T>
std::string outcome(const std::expected<T, PdbError>& r) {
  if (!r) return "error: " + r.error().message();
  if constexpr (std::is_void_v<T>) {
    return "ok";
  } else {
    return "ok " + show(*r);
  }
}

// The values that questions are asked about.
struct Probes {
  std::vector<std::string> names;
  std::vector<std::uint32_t> numbers;
};

template <class T>
bool same_result(const std::expected<T, PdbError>& a, const std::expected<T, PdbError>& b) {
  if (a.has_value() != b.has_value()) return false;
  return a ? *a == *b : a.error().message() == b.error().message();
}

// The first question on which `lookup` (given `image`) and `oracle` (given
// `oracle_image`, the same bytes in another editor) answer differently.
std::optional<std::string> first_difference(EditorLookup& lookup, Bytes image, EditorLookup& oracle, Bytes oracle_image,
                                            const Probes& probes) {
  // The decoding lookup keeps no failed decoding and would decode again for
  // every question: when the first one fails, its error is expected of all.
  auto probe = oracle.largest_track_serial(oracle_image);
  std::optional<PdbError> error;
  std::string error_message;
  if (!probe) {
    error = probe.error();
    error_message = error->message();
  }
  std::optional<std::string> diff;
  auto same = [&](auto got, auto ask, auto question) {
    if (diff) return;
    if (error && !got && got.error().message() == error_message) return;
    decltype(got) want = error ? decltype(got)(std::unexpected(*error)) : ask();
    if (!same_result(got, want)) {
      diff = question() + ": index says \"" + outcome(got) + "\", decoding says \"" + outcome(want) + "\"";
    }
  };
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    same(
        lookup.largest_id(image, kind), [&] { return oracle.largest_id(oracle_image, kind); },
        [&] { return "largest_id " + std::to_string(kind); });
  }
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u}) {
    for (const std::string& name : probes.names) {
      same(
          lookup.find_name(image, kind, name), [&] { return oracle.find_name(oracle_image, kind, name); },
          [&] { return "find_name " + std::to_string(kind) + " '" + name + "'"; });
    }
  }
  for (std::uint32_t n : probes.numbers) {
    same(
        lookup.largest_sort_order(image, n), [&] { return oracle.largest_sort_order(oracle_image, n); },
        [&] { return "largest_sort_order " + std::to_string(n); });
    same(
        lookup.largest_entry_index(image, n), [&] { return oracle.largest_entry_index(oracle_image, n); },
        [&] { return "largest_entry_index " + std::to_string(n); });
    same(
        lookup.find_node(image, n), [&] { return oracle.find_node(oracle_image, n); },
        [&] { return "find_node " + std::to_string(n); });
  }
  same(
      lookup.largest_track_serial(image), [&] { return oracle.largest_track_serial(oracle_image); },
      [] { return std::string("largest_track_serial"); });
  return diff;
}

// ---------------------------------------------------------------------------
// Images.

// Clears the present bit of the row just added at `location`.
void delete_last_row(testing::ImageBuilder& b, std::uint64_t location) {
  auto page = static_cast<std::uint32_t>(location / kPage);
  std::uint32_t slots =
      get_u16(b.bytes(), std::uint64_t{page} * kPage + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
  b.set_present(page, slots - 1, false);
}

// Appends a copy of directory entry `index` at the end of the directory.
void duplicate_entry(ByteVec& image, std::uint32_t index) {
  std::uint32_t count = get_u32(image, f::kTableCountOffset);
  for (std::uint64_t k = 0; k < f::kTableEntrySize; ++k) {
    image.at(f::kDirectoryOffset + f::kTableEntrySize * count + k) =
        image.at(f::kDirectoryOffset + f::kTableEntrySize * index + k);
  }
  put_u32(image, f::kTableCountOffset, count + 1);
}

void set_track_serial(ByteVec& image, std::uint64_t location, std::uint32_t serial) {
  put_u32(image, location + track_row::kTrackSerialOffset, serial);
}

// Every table the editor writes, with rows of every awkward sort: gaps in
// ids, duplicate names and ids, deleted rows, tables of several pages; and a
// kind beyond the format's, which the index walks and leaves alone.
ByteVec populated_image() {
  testing::ImageBuilder b;
  auto tracks = b.add_table(0);
  auto genres = b.add_table(1);
  auto artists = b.add_table(2);
  auto albums = b.add_table(3);
  auto labels = b.add_table(4);
  auto keys = b.add_table(5);
  auto tree = b.add_table(7);
  auto entries = b.add_table(8);
  b.add_table(13);
  b.add_table(19);
  b.add_table(0x10000);
  testing::TrackRowFields fields;
  fields.id = 4;
  std::uint64_t t4 = b.add_row(tracks, testing::track_row(fields));
  fields.id = 17;
  std::uint64_t t17 = b.add_row(tracks, testing::track_row(fields));
  fields.id = 40;
  std::uint64_t t40 = b.add_row(tracks, testing::track_row(fields));
  delete_last_row(b, t40);
  b.add_row(genres, testing::id_name_row(5, "House"));
  b.add_row(genres, testing::id_name_row(2, "House"));
  b.add_row(genres, testing::id_name_row(9, "Techno"));
  b.add_row(genres, testing::id_name_row(3, "\xC3\x9Cn\xC3\xAF"));  // UTF-16 in the file
  delete_last_row(b, b.add_row(genres, testing::id_name_row(70, "Deleted")));
  // Three pages of genres; names from the pools turn up again on the last.
  for (std::uint32_t i = 0; i < 80; ++i) {
    std::string name = std::to_string(i);
    name.append(100, 'g');
    b.add_row(genres, testing::id_name_row(100 + i, name));
  }
  b.add_row(genres, testing::id_name_row(11, "Deep"));
  b.add_row(genres, testing::id_name_row(12, "Techno"));
  b.add_row(artists, testing::artist_row(3, "A"));
  b.add_row(artists, testing::artist_row(8, "Dup"));
  b.add_row(artists, testing::artist_row(1, "Dup"));
  b.add_row(albums, testing::album_row(2, 3, "Dup"));
  b.add_row(albums, testing::album_row(6, 8, "Deep"));
  b.add_row(labels, testing::id_name_row(0xFFFFFFFD, "L"));
  b.add_row(labels, testing::id_name_row(4, "house"));
  b.add_row(keys, testing::key_row(1, "Am"));
  delete_last_row(b, b.add_row(keys, testing::key_row(60, "Gone")));
  b.add_row(tree, testing::tree_row(0, 3, 5, true, "F"));
  b.add_row(tree, testing::tree_row(5, 0xFFFFFFFF, 6, false, "P"));
  b.add_row(tree, testing::tree_row(0, 1, 5, false, "again"));  // id 5 again: the folder counts
  b.add_row(tree, testing::tree_row(9, 2, 2, false, "orphan"));
  delete_last_row(b, b.add_row(tree, testing::tree_row(0, 50, 90, false, "gone")));
  b.add_row(entries, testing::entry_row(4, 1, 6));
  b.add_row(entries, testing::entry_row(0xFFFFFFFF, 1, 2));
  b.add_row(entries, testing::entry_row(2, 17, 6));
  ByteVec image = b.finish();
  set_track_serial(image, t4, 7);
  set_track_serial(image, t17, 3);
  set_track_serial(image, t40, 99);
  return image;
}

// Kinds listed more than once: the reader lists the last entry, the editor
// appends to the first.
ByteVec shadowed_image() {
  testing::ImageBuilder b;
  auto tracks_first = b.add_table(0);
  auto genres_first = b.add_table(1);
  b.add_table(2);
  auto genres_last = b.add_table(1);
  b.add_table(3);
  auto artists_middle = b.add_table(2);
  auto artists_last = b.add_table(2);
  b.add_table(4);
  b.add_table(5);
  auto tree = b.add_table(7);
  auto entries_first = b.add_table(8);
  auto tracks_last = b.add_table(0);
  auto entries_last = b.add_table(8);
  testing::TrackRowFields fields;
  fields.id = 3;
  b.add_row(tracks_first, testing::track_row(fields));
  fields.id = 10;
  std::uint64_t t10 = b.add_row(tracks_last, testing::track_row(fields));
  b.add_row(genres_first, testing::id_name_row(40, "House"));
  b.add_row(genres_last, testing::id_name_row(7, "Techno"));
  b.add_row(genres_last, testing::id_name_row(3, "House"));
  b.add_row(artists_middle, testing::artist_row(50, "A"));
  b.add_row(artists_last, testing::artist_row(2, "Dup"));
  b.add_row(tree, testing::tree_row(0, 0, 1, false, "P"));
  b.add_row(tree, testing::tree_row(0, 1, 2, true, "F"));
  b.add_row(entries_first, testing::entry_row(9, 1, 1));
  b.add_row(entries_last, testing::entry_row(2, 1, 1));
  ByteVec image = b.finish();
  set_track_serial(image, t10, 0x200000);
  return image;
}

// The playlist tree listed twice, the later entry empty: nothing the editor
// adds to the tree is ever seen.
ByteVec hidden_tree_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u}) b.add_table(kind);
  auto tree = b.add_table(7);
  b.add_table(8);
  b.add_table(7);
  b.add_row(tree, testing::tree_row(0, 0, 4, false, "P"));
  return b.finish();
}

// Two directory entries with the very same chain: rows the editor appends
// are seen until it opens a page, which only the first entry links.
ByteVec shared_chain_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u}) b.add_table(kind);
  b.add_row(1, testing::id_name_row(2, "House"));
  b.add_row(6, testing::tree_row(0, 0, 1, false, "P"));
  b.add_row(7, testing::entry_row(1, 1, 1));
  ByteVec image = b.finish();
  duplicate_entry(image, 1);  // genres
  duplicate_entry(image, 7);  // playlist entries
  duplicate_entry(image, 2);  // artists (still without data page)
  return image;
}

// used_size of the genre and tree pages says less than the rows occupy, so
// the editor's next rows overwrite the last ones.
ByteVec loose_heap_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u}) b.add_table(kind);
  b.add_row(1, testing::id_name_row(2, "House"));
  std::uint64_t last_genre = b.add_row(1, testing::id_name_row(6, "Techno Techno"));
  std::uint64_t last_node = b.add_row(6, testing::tree_row(0, 4, 3, false, "Playlist"));
  ByteVec image = b.finish();
  const std::uint64_t genre_page = last_genre / kPage * kPage, tree_page = last_node / kPage * kPage;
  put_u16(image, genre_page + f::kUsedSizeOffset,
          static_cast<std::uint16_t>(get_u16(image, genre_page + f::kUsedSizeOffset) - 12));
  put_u16(image, tree_page + f::kUsedSizeOffset,
          static_cast<std::uint16_t>(get_u16(image, tree_page + f::kUsedSizeOffset) - 8));
  return image;
}

// Numbering at the top of the 32-bit range.
ByteVec near_max_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u}) b.add_table(kind);
  testing::TrackRowFields fields;
  fields.id = 0xFFFFFFFC;
  std::uint64_t t = b.add_row(0, testing::track_row(fields));
  b.add_row(1, testing::id_name_row(0xFFFFFFFF, "House"));
  b.add_row(2, testing::artist_row(0xFFFFFFFE, "A"));
  b.add_row(6, testing::tree_row(0, 0xFFFFFFFF, 0xFFFFFFFD, false, "P"));
  b.add_row(7, testing::entry_row(0xFFFFFFFF, 1, 0xFFFFFFFD));
  ByteVec image = b.finish();
  set_track_serial(image, t, 0xFFFFFFFE);
  return image;
}

// No key, label or artwork table: creating one of those fails with NoTable.
ByteVec sparse_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 7u, 8u}) b.add_table(kind);
  b.add_row(2, testing::artist_row(5, "A"));
  return b.finish();
}

// A history playlist row whose name has an unknown string kind: every
// question fails, with the reader's message.
ByteVec undecodable_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 7u, 8u, 11u, 19u}) b.add_table(kind);
  b.add_row(1, testing::id_name_row(2, "House"));
  b.add_row(5, ByteVec{1, 0, 0, 0, 0x02, 8, 0, 0});
  return b.finish();
}

// ---------------------------------------------------------------------------
// Randomized edit sequences.

struct Rng {
  std::mt19937 gen;
  explicit Rng(std::uint32_t seed) : gen(seed) {}
  std::uint32_t below(std::size_t n) { return static_cast<std::uint32_t>(gen() % n); }
  bool percent(std::uint32_t p) { return below(100) < p; }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }
};

const std::vector<std::string>& name_pool() {
  static const std::vector<std::string> pool = {"House",
                                                "house",
                                                "Techno",
                                                "",
                                                "Deep",
                                                "A",
                                                "Dup",
                                                "Am",
                                                "L",
                                                "\xC3\x9Cn\xC3\xAF",
                                                "\xE6\x97\xA5\xE6\x9C\xAC",
                                                std::string(150, 'n'),
                                                "\xFF\xFEx"};
  return pool;
}

struct Op {
  std::string label;
  std::function<std::string(PdbEditor&)> run;
  bool makes_node = false;
  std::uint32_t node_id = 0;  // the node it makes
};

// Raw rows appended through append_row, as another writer might leave them.
Op raw_row_op(Rng& rng) {
  struct Raw {
    const char* label;
    std::uint32_t kind;
    ByteVec row;
    std::uint64_t alloc;
  };
  const std::uint32_t id = rng.percent(50) ? rng.below(20) : 0xFFFFFFFF - rng.below(3);
  const std::string& name = rng.pick(name_pool());
  std::vector<Raw> raws = {
      {"genre row", 1, testing::id_name_row(id, name), 0},
      {"genre row with an unknown string kind", 1, ByteVec{1, 0, 0, 0, 0x02, 8, 0, 0}, 8},
      {"genre row whose name reads past its allocation", 1, ByteVec{7, 0, 0, 0, 0x40, 24, 0, 0}, 8},
      {"tree row", 7, testing::tree_row(rng.below(4), rng.below(5), id, rng.percent(50), name), 0},
      {"entry row", 8, testing::entry_row(rng.below(5), 1, rng.below(6)), 12},
      {"artwork row", 13, testing::id_name_row(id, name), 0},
      {"undecoded row", 19, ByteVec{1, 2, 3, 4}, 4},
  };
  Raw raw = raws[rng.below(raws.size())];
  if (raw.alloc == 0) raw.alloc = f::round_up4(raw.row.size());
  std::string label = std::string("append_row ") + raw.label + " to kind " + std::to_string(raw.kind);
  return {label, [raw](PdbEditor& e) { return outcome(done(e.append_row(raw.kind, raw.row, raw.alloc, false))); }};
}

Op next_op(Rng& rng, const std::vector<std::uint32_t>& nodes, bool raw_rows) {
  auto some_name = [&]() -> std::optional<std::string> {
    if (rng.percent(30)) return std::nullopt;
    return rng.pick(name_pool());
  };
  auto some_node = [&]() -> std::uint32_t {
    if (!nodes.empty() && rng.percent(70)) return rng.pick(nodes);
    return rng.percent(80) ? rng.below(8) : 0xFFFFFFFF - rng.below(3);
  };
  std::uint32_t roll = rng.below(100);
  if (raw_rows && roll < 4) return raw_row_op(rng);
  if (roll < 40) {
    std::string title = "t" + std::to_string(rng.below(1000));
    if (rng.percent(10)) title = std::string(200, 'T');
    if (rng.percent(5)) title = "\xE6\x9B\xB2" + title;
    if (rng.percent(2)) title = std::string(4000, 'X');  // too large for a page
    static const std::vector<std::string> paths = {"/m/a.mp3", "/m/B.WAV", "plain", "/m/dir/", "/m/c.aiff"};
    NewTrack t(title, rng.pick(paths));
    t.id = rng.below(50);
    t.artist = some_name();
    t.album = some_name();
    t.genre = some_name();
    t.key = some_name();
    t.label = some_name();
    std::string label = "add_track '" + title.substr(0, 20) + "' artist " + t.artist.value_or("-") + " album " +
                        t.album.value_or("-") + " genre " + t.genre.value_or("-") + " key " + t.key.value_or("-") +
                        " label " + t.label.value_or("-");
    return {label, [t](PdbEditor& e) { return outcome(done(e.add_track(t))); }};
  }
  if (roll < 52) {
    std::uint32_t kind = rng.percent(90) ? (rng.percent(50) ? 1u : 4u) : 2u;
    std::string name = rng.pick(name_pool());
    return {"get_or_create_named " + std::to_string(kind) + " '" + name + "'",
            [kind, name](PdbEditor& e) { return outcome(e.get_or_create_named(kind, name)); }};
  }
  if (roll < 67) {
    std::uint32_t parent = rng.percent(40) ? 0 : some_node();
    bool folder = rng.percent(40);
    std::string name = rng.pick(name_pool());
    const std::uint32_t id = rng.percent(90) ? rng.below(12) : 0xFFFFFFFF - rng.below(3);
    return {"create_playlist " + std::to_string(id) + " '" + name + "' under " + std::to_string(parent) +
                (folder ? " folder" : ""),
            [=](PdbEditor& e) { return outcome(e.create_playlist(id, name, parent, folder)); }, true, id};
  }
  std::uint32_t playlist = some_node();
  std::uint32_t track = rng.below(50);
  std::optional<std::uint32_t> index;
  if (rng.percent(15)) index = rng.below(10);
  if (rng.percent(10)) index = 0xFFFFFFFF - rng.below(2);
  return {"add_to_playlist " + std::to_string(playlist) + " track " + std::to_string(track) + " index " + show(index),
          [=](PdbEditor& e) { return outcome(e.add_to_playlist(playlist, track, index)); }};
}

struct SequenceResult {
  std::optional<std::string> mismatch;
  bool always_incremental = true;  // the index followed every append without decoding again
};

// Runs `ops` random operations on `image` through an editor with the
// decoding lookup and one with the index.
// Deliberate faults of an index, planted around the real one, so that tests
// can show that the equivalence checks catch a wrong index.
enum class Fault {
  kNone,
  kMissesAnAppend,    // every third append goes unheard
  kSortOrderOffByOne  // largest sort orders are answered one too high
};

class FaultyLookup final : public EditorLookup {
 public:
  FaultyLookup(IndexedLookup* index, std::unique_ptr<EditorLookup> owned, Fault fault)
      : index_(index), owned_(std::move(owned)), fault_(fault) {}
  MaybeU32 largest_id(Bytes image, std::uint32_t kind) override { return index_->largest_id(image, kind); }
  MaybeU32 find_name(Bytes image, std::uint32_t kind, std::string_view name) override {
    return index_->find_name(image, kind, name);
  }
  MaybeU32 largest_sort_order(Bytes image, std::uint32_t parent_id) override {
    auto r = index_->largest_sort_order(image, parent_id);
    if (fault_ == Fault::kSortOrderOffByOne && r && *r) return **r + 1;
    return r;
  }
  MaybeU32 largest_entry_index(Bytes image, std::uint32_t playlist_id) override {
    return index_->largest_entry_index(image, playlist_id);
  }
  std::expected<std::optional<TreeNodeInfo>, PdbError> find_node(Bytes image, std::uint32_t id) override {
    return index_->find_node(image, id);
  }
  MaybeU32 largest_track_serial(Bytes image) override { return index_->largest_track_serial(image); }
  void on_row_appended(Bytes image, std::uint32_t kind, std::uint64_t location) override {
    if (fault_ == Fault::kMissesAnAppend && ++appends_ % 3 == 0) return;
    index_->on_row_appended(image, kind, location);
  }

 private:
  IndexedLookup* index_;
  std::unique_ptr<EditorLookup> owned_;
  Fault fault_;
  int appends_ = 0;
};

SequenceResult run_sequence(const ByteVec& image, std::uint32_t seed, int ops, bool raw_rows,
                            Fault fault = Fault::kNone) {
  Rng rng(seed);
  auto real = std::make_unique<IndexedLookup>();
  IndexedLookup* index_lookup = real.get();
  auto owned = std::make_unique<FaultyLookup>(index_lookup, std::move(real), fault);
  EditorLookup* index = owned.get();
  auto owned_oracle = make_decoding_lookup();
  EditorLookup* oracle = owned_oracle.get();
  auto decoding = editor_with_lookup(image, std::move(owned_oracle));
  auto indexed = editor_with_lookup(image, std::move(owned));
  std::vector<std::uint32_t> nodes;
  Probes probes{name_pool(), {0, 1, 2, 3, 4, 5, 6, 9, 0xFFFFFFFD, 0xFFFFFFFF}};
  SequenceResult result;
  for (int i = 0; i < ops; ++i) {
    Op op = next_op(rng, nodes, raw_rows);
    std::string want = op.run(decoding);
    std::string got = op.run(indexed);
    std::string where = "op " + std::to_string(i) + " (" + op.label + ")";
    if (got != want) {
      result.mismatch = where + ": index editor \"" + got + "\", decoding editor \"" + want + "\"";
      return result;
    }
    if (op.makes_node && want == "ok") {
      nodes.push_back(op.node_id);
      if (probes.numbers.size() < 24) probes.numbers.push_back(nodes.back());
    }
    // Asked of the decoding editor's own lookup, so that its decoding serves
    // the editor's next question too.
    if (auto diff = first_difference(*index, indexed.image(), *oracle, decoding.image(), probes)) {
      result.mismatch = "after " + where + ": " + *diff;
      return result;
    }
    result.always_incremental = result.always_incremental && index_lookup->incremental();
    if (rng.percent(3) && decoding.to_bytes() != indexed.to_bytes()) {
      result.mismatch = "bytes differ after " + where;
      return result;
    }
  }
  if (decoding.to_bytes() != indexed.to_bytes()) result.mismatch = "final bytes differ";
  return result;
}

struct Variant {
  const char* name;
  std::function<ByteVec()> image;
  bool sound;  // the index never needs to decode again
};

std::vector<Variant> variants() {
  return {{"blank", make_blank_image, true},           {"populated", populated_image, true},
          {"shadowed", shadowed_image, true},          {"hidden_tree", hidden_tree_image, true},
          {"near_max", near_max_image, true},          {"sparse", sparse_image, true},
          {"shared_chain", shared_chain_image, false}, {"loose_heap", loose_heap_image, false},
          {"undecodable", undecodable_image, false}};
}

constexpr int kSequencesPerVariant = 20;
constexpr int kOpsPerSequence = 30;

TEST(IndexedLookupEquivalence, RandomEditSequencesAnswerAsTheDecoding) {
  std::uint32_t first_seed = 1;
  for (const Variant& v : variants()) {
    const ByteVec image = v.image();
    for (std::uint32_t seed = first_seed; seed < first_seed + kSequencesPerVariant; ++seed) {
      const bool raw_rows = seed % 2 == 0;
      SequenceResult r = run_sequence(image, seed, kOpsPerSequence, raw_rows);
      ASSERT_FALSE(r.mismatch) << v.name << " seed " << seed << ": " << *r.mismatch;
      // Without foreign rows a sound image never makes the index fall back
      // to decoding; an unsound one always does.
      if (!raw_rows) {
        EXPECT_EQ(r.always_incremental, v.sound) << v.name << " seed " << seed;
      }
    }
    first_seed += kSequencesPerVariant;
  }
}

// The checks must be able to fail: an index with a planted fault is caught.
TEST(IndexedLookupEquivalence, CatchesAPlantedFault) {
  struct Planted {
    const char* name;
    Fault fault;
  };
  for (const Planted& p : {Planted{"misses an append", Fault::kMissesAnAppend},
                           Planted{"sort order off by one", Fault::kSortOrderOffByOne}}) {
    const ByteVec image = populated_image();
    int caught = 0;
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
      if (run_sequence(image, seed, kOpsPerSequence, false, p.fault).mismatch) ++caught;
    }
    EXPECT_GT(caught, 0) << p.name;
  }
}

// ---------------------------------------------------------------------------
// Targeted cases.

// The same image in an editor with the decoding lookup and one with the index.
PdbEditor editor_with_index(const ByteVec& image, IndexedLookup*& index) {
  auto owned = std::make_unique<IndexedLookup>();
  index = owned.get();
  return editor_with_lookup(image, std::move(owned));
}

struct Editors {
  explicit Editors(const ByteVec& image)
      : decoding(editor_with_lookup(image, make_decoding_lookup())), indexed(editor_with_index(image, index)) {}
  // Runs `fn` on both editors; expects the same outcome and returns it.
  template <class Fn>
  std::string both(Fn fn) {
    std::string want = outcome(fn(decoding));
    std::string got = outcome(fn(indexed));
    EXPECT_EQ(got, want);
    return want;
  }
  void expect_same_state(std::vector<std::string> names = name_pool()) {
    Probes probes{std::move(names), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
    auto oracle = make_decoding_lookup();
    auto diff = first_difference(*index, indexed.image(), *oracle, indexed.image(), probes);
    EXPECT_FALSE(diff) << *diff;
    EXPECT_EQ(decoding.to_bytes(), indexed.to_bytes());
  }
  IndexedLookup* index = nullptr;
  PdbEditor decoding;
  PdbEditor indexed;
};

std::uint32_t entry_last_page(Bytes image, std::uint32_t entry) {
  return decode_fixed32(image.data() + f::kDirectoryOffset + f::kTableEntrySize * entry + f::kEntryLastPageOffset);
}
std::uint32_t slot_count(Bytes image, std::uint32_t page) {
  return decode_fixed24(image.data() + page * kPage + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
}

TEST(IndexedLookup, FollowsAppendsToASoundImage) {
  Editors e(populated_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); }), "ok 5");  // first of two
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Deep"); }), "ok 11");  // third page
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Deleted"); }), "ok 180");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Deleted"); }), "ok 180");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(4, "L2"); }), "ok 4294967294");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(4, "L3"); }), "ok 4294967295");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(4, "L4"); }),
            "error: label id=4294967296 does not fit in 4 byte(s)");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(7, "x", 0, false); }), "ok");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(8, "y", 5, false); }), "ok");  // sort order wraps
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.add_to_playlist(5, 1, std::nullopt); }), "error: no playlist with id 5");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.add_to_playlist(6, 1, std::nullopt); }), "ok");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.add_to_playlist(2, 1, std::nullopt); }), "ok");  // wraps to 0
  NewTrack t("t", "/a.mp3");
  t.id = 18;
  t.artist = "Dup";
  t.album = "Dup";
  t.key = "Gone";
  EXPECT_EQ(e.both([&](PdbEditor& x) { return done(x.add_track(t)); }), "ok");
  EXPECT_EQ(outcome(e.index->largest_track_serial(e.indexed.image())), "ok 8");
  EXPECT_EQ(outcome(e.index->find_name(e.indexed.image(), 5, "Gone")), "ok 2");  // the deleted key is not seen
  // The wrapped 0s do not displace the largest values.
  EXPECT_EQ(outcome(e.index->largest_sort_order(e.indexed.image(), 5)), "ok 4294967295");
  EXPECT_EQ(outcome(e.index->largest_entry_index(e.indexed.image(), 2)), "ok 4294967295");
  EXPECT_TRUE(e.index->incremental());
  e.expect_same_state({"House", "Deep", "Deleted", "L2", "Dup", "Gone", "Techno", "house"});
}

// With a kind listed more than once the editor's rows land in the first
// entry and stay unseen; the numbering repeats.
TEST(IndexedLookup, RowsOfAShadowedEntryStayUnseen) {
  Editors e(shadowed_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); }), "ok 3");  // the later entry's
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "New"); }), "ok 8");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "New"); }), "ok 8");
  EXPECT_EQ(slot_count(e.indexed.image(), entry_last_page(e.indexed.image(), 1)), 3u);  // both written
  NewTrack t("t", "/a.mp3");
  t.artist = "A";  // only in the middle entry of three
  t.id = 11;
  EXPECT_EQ(e.both([&](PdbEditor& x) { return done(x.add_track(t)); }), "ok");
  EXPECT_EQ(e.both([&](PdbEditor& x) { return done(x.add_track(t)); }), "ok");
  EXPECT_EQ(outcome(e.index->find_name(e.indexed.image(), 2, "A")), "ok none");
  EXPECT_EQ(outcome(e.index->largest_id(e.indexed.image(), 2)), "ok 2");
  EXPECT_EQ(outcome(e.index->largest_track_serial(e.indexed.image())), "ok 2097152");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(3, "x", 0, false); }), "ok");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(4, "y", 0, false); }), "ok");  // a single entry
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.add_to_playlist(1, 5, std::nullopt); }), "ok");
  EXPECT_EQ(outcome(e.index->largest_entry_index(e.indexed.image(), 1)), "ok 2");
  EXPECT_TRUE(e.index->incremental());
  e.expect_same_state();
}

// Two entries share one chain: appended rows are seen until the editor
// opens a page, which only the first entry links.
TEST(IndexedLookup, AChainSharedByTwoEntriesFallsBackToDecoding) {
  Editors e(shared_chain_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "N"); }), "ok 3");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "N"); }), "ok 3");
  std::vector<std::string> names = {"N"};
  for (int i = 0; i < 25; ++i) {
    names.push_back(std::to_string(i));
    names.back().append(200, 'x');
    e.both([&](PdbEditor& x) { return x.get_or_create_named(1, names.back()); });
  }
  // The last name went to a page the reader does not reach: it is new again.
  std::string again = e.both([&](PdbEditor& x) { return x.get_or_create_named(1, names.back()); });
  EXPECT_NE(again, e.both([&](PdbEditor& x) { return x.get_or_create_named(1, names[5]); }));
  EXPECT_FALSE(e.index->incremental());
  e.expect_same_state(names);
}

// Rows that lie past used_size are overwritten by the next append; the
// reader then sees the changed row, and so does the index.
TEST(IndexedLookup, RowsBeyondTheUsedHeapFallBackToDecoding) {
  Editors e(loose_heap_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Techno Techno"); }), "ok 6");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Deep"); }), "ok 7");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Techno Techno"); }), "ok 8");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(4, "x", 0, false); }), "ok");
  EXPECT_FALSE(e.index->incremental());
  e.expect_same_state({"Techno Techno", "Deep", "House"});
}

// Images whose layout the index cannot follow append by append.
ByteVec chain_through_page0_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 19u}) b.add_table(kind);
  b.add_row(1, testing::id_name_row(2, "House"));
  ByteVec image = b.finish();
  // Table 19's chain is page 0 alone; it lists no rows.
  put_u32(image, f::kDirectoryOffset + f::kTableEntrySize * 8 + f::kEntryFirstPageOffset, 0);
  put_u32(image, f::kDirectoryOffset + f::kTableEntrySize * 8 + f::kEntryLastPageOffset, 0);
  return image;
}

// A genre row whose slot points past its own page, into the unused heap of
// the playlist tree's page: the next playlist overwrites it.
ByteVec row_in_another_page_image() {
  testing::ImageBuilder b;
  for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u}) b.add_table(kind);
  std::uint64_t genre = b.add_row(1, testing::id_name_row(2, "House"));
  std::uint64_t node = b.add_row(6, testing::tree_row(0, 0, 1, false, "P"));
  ByteVec image = b.finish();
  const std::uint64_t genre_page = genre / kPage * kPage, tree_page = node / kPage * kPage;
  const std::uint64_t target = tree_page + f::kPageHeaderSize + get_u16(image, tree_page + f::kUsedSizeOffset);
  ByteVec row = testing::id_name_row(3, "Moved");
  std::copy(row.begin(), row.end(), image.begin() + static_cast<std::ptrdiff_t>(target));
  put_u16(image, genre_page + kPage - f::kSlotOffsetsFromGroupEnd,
          static_cast<std::uint16_t>(target - genre_page - f::kPageHeaderSize));
  return image;
}

struct FallbackCase {
  const char* name;
  std::function<ByteVec()> image;
};

class UnsoundImage : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(UnsoundImage, IsAnsweredByDecodingAfterEveryAppend) {
  Editors e(GetParam().image());
  e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Moved"); });
  e.both([](PdbEditor& x) { return x.create_playlist(2, "a longer playlist name", 0, false); });
  e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Moved"); });
  e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); });
  EXPECT_FALSE(e.index->incremental());
  e.expect_same_state({"Moved", "House", "P"});
}

INSTANTIATE_TEST_SUITE_P(Cases, UnsoundImage,
                         ::testing::Values(FallbackCase{"chain_through_page_0", chain_through_page0_image},
                                           FallbackCase{"row_in_another_page", row_in_another_page_image},
                                           FallbackCase{"undecodable", undecodable_image}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The moved row is found until the playlist is written over it.
TEST(IndexedLookup, ARowInAnotherPagesHeapChangesWithThatPage) {
  Editors e(row_in_another_page_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Moved"); }), "ok 3");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(2, "a longer playlist name", 0, false); }), "ok");
  const std::string after = e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Moved"); });
  EXPECT_NE(after, "ok 3");
}

struct ForeignRowCase {
  const char* name;
  ByteVec row;
  std::uint64_t alloc;
  std::string then;  // the outcome of get_or_create_named(1, "House") afterwards
};

class ForeignRow : public ::testing::TestWithParam<ForeignRowCase> {};

// A row appended through append_row that the index did not build: it must
// decode, and read nothing a later append can change.
TEST_P(ForeignRow, IsJudgedAsTheReaderJudgesIt) {
  const ForeignRowCase& c = GetParam();
  Editors e(make_blank_image());
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "Techno"); }), "ok 1");
  EXPECT_EQ(e.both([&](PdbEditor& x) { return done(x.append_row(1, c.row, c.alloc, false)); }), "ok");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); }), c.then);
  e.expect_same_state({"House", "Techno", std::string(20, '\0'), std::string("\x0d\0\0\0\x0dHouse", 10)});
}

INSTANTIATE_TEST_SUITE_P(Cases, ForeignRow,
                         ::testing::Values(ForeignRowCase{"plain", testing::id_name_row(9, "House"), 12, "ok 9"},
                                           ForeignRowCase{"unknown_string_kind", ByteVec{1, 0, 0, 0, 0x02, 8, 0, 0}, 8,
                                                          "error: unknown PDB string kind 0x02 at offset 0x4038"},
                                           // A long string claiming 20 more bytes than its row: the
                                           // next row becomes part of its name.
                                           ForeignRowCase{"name_past_its_allocation",
                                                          ByteVec{7, 0, 0, 0, 0x40, 24, 0, 0}, 8, "ok 8"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(IndexedLookup, DecodingErrorsAreTheReaders) {
  Editors e(undecodable_image());
  const std::string error = e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); });
  EXPECT_TRUE(error.starts_with("error: unknown PDB string kind 0x02")) << error;
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.create_playlist(1, "p", 0, false); }), error);
  EXPECT_EQ(e.both([](PdbEditor& x) { return done(x.add_track(NewTrack("t", "/t.mp3"))); }), error);
  EXPECT_EQ(e.both([](PdbEditor& x) { return done(x.append_row(19, ByteVec(8, 1), 8, false)); }), "ok");
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.add_to_playlist(1, 1, 3); }), error);
  EXPECT_FALSE(e.index->incremental());
  e.expect_same_state();
}

// The empty_candidate of one table is a middle page of another chain: the
// editor refuses to open it (that would cut the other chain), leaving the
// image and the index as they were.
TEST(IndexedLookup, APageInsideAnotherChainIsNotOpened) {
  testing::ImageBuilder b;
  auto genres = b.add_table(1);
  auto artists = b.add_table(2);
  b.add_table(7);
  b.add_table(8);
  std::uint32_t middle = b.add_data_page(genres);
  b.add_row(genres, testing::id_name_row(4, "House"));
  b.add_data_page(genres);
  b.add_row(genres, testing::id_name_row(5, "Techno"));
  ByteVec image = b.finish();
  // Point the artists table's empty_candidate (and its last page's link) at
  // the genre table's middle page.
  put_u32(image, f::kDirectoryOffset + f::kTableEntrySize * artists + f::kEntryEmptyCandidateOffset, middle);
  put_u32(image,
          std::uint64_t{entry_last_page(image, static_cast<std::uint32_t>(artists))} * kPage + f::kNextPageOffset,
          middle);
  Editors e(image);
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); }), "ok 4");
  NewTrack t("t", "/t.mp3");
  t.artist = "A";
  t.genre = "House";
  const ByteVec before(e.decoding.image().begin(), e.decoding.image().end());
  const std::string r = e.both([&](PdbEditor& x) { return done(x.add_track(t)); });
  EXPECT_EQ(r, "error: io error: empty_candidate page " + std::to_string(middle) +
                   " of table kind 2 already belongs to a page chain");
  EXPECT_EQ(ByteVec(e.decoding.image().begin(), e.decoding.image().end()), before);
  EXPECT_EQ(e.both([](PdbEditor& x) { return x.get_or_create_named(1, "House"); }), "ok 4");
  e.expect_same_state();
}

}  // namespace
}  // namespace vantrel_pdb
