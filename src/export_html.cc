#include "export_html.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <expected>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "export_html_page.h"
#include "export_tree.h"
#include "json_writer.h"

namespace dovrel {

namespace {

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// The position of the first byte of `text` at or after `from` that
// append_script_json_string looks at (what JSON escapes, "<", and 0xE2, the
// first byte of U+2028 and U+2029), or text.size(). Most texts hold no such
// byte at all, so they are looked at 16 bytes at a time where SSE2 is there
// (as on every x86-64): a text shorter than a block is padded with spaces,
// which are not special, and the last block of a longer one overlaps the
// block before it.
std::size_t next_special(std::string_view text, std::size_t from) {
  const std::size_t n = text.size();
#if defined(__SSE2__)
  if (from >= n) return n;
  // SSE2 compares bytes as signed only; a byte is below 0x20 exactly when its
  // unsigned minimum with 0x1F is the byte itself.
  const __m128i limit = _mm_set1_epi8(0x1F);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i less = _mm_set1_epi8('<');
  const __m128i separator_start = _mm_set1_epi8(static_cast<char>(0xE2));
  // Bit i set when byte i of the block at `p` is special.
  auto specials = [&](const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, limit), v);
    const __m128i quoting = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    const __m128i html = _mm_or_si128(_mm_cmpeq_epi8(v, less), _mm_cmpeq_epi8(v, separator_start));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quoting, html))));
  };
  // The first special byte at or after `from` in the block that starts at
  // `block` (block <= from < block + 16), or n.
  auto first_in = [&](unsigned bits, std::size_t block) {
    bits >>= from - block;
    return bits != 0 ? from + static_cast<std::size_t>(std::countr_zero(bits)) : n;
  };
  if (n < 16) {
    char padded[16];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, text.data(), n);
    return first_in(specials(padded), 0);
  }
  for (; from + 16 <= n; from += 16) {
    if (const unsigned bits = specials(text.data() + from); bits != 0) return first_in(bits, from);
  }
  return from < n ? first_in(specials(text.data() + n - 16), n - 16) : n;
#else
  // What JSON escapes, "<", and 0xE2, the first byte of U+2028 and U+2029.
  static constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> special{};
    for (int c = 0; c < 0x20; ++c) special[static_cast<std::size_t>(c)] = true;
    special['"'] = special['\\'] = special['<'] = special[0xE2] = true;
    return special;
  }();
  while (from < n && !kSpecial[static_cast<unsigned char>(text[from])]) ++from;
  return from;
#endif
}

struct ImageKind {
  std::string_view magic;
  std::size_t at;  // where the magic bytes stand
  std::string_view mime;
};
constexpr ImageKind kImageKinds[] = {
    {"\xFF\xD8\xFF", 0, "image/jpeg"}, {"\x89PNG\r\n\x1A\n", 0, "image/png"},
    {"GIF87a", 0, "image/gif"},        {"GIF89a", 0, "image/gif"},
    {"WEBP", 8, "image/webp"},         {"BM", 0, "image/bmp"},
};

void append_base64(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
}

void write_summary(std::string& out, const LibrarySummary& summary, std::size_t artwork_shown, bool artwork_looked_up) {
  out.append("{");
  if (artwork_looked_up) {
    out.append("\"artworkShown\":");
    append_number(out, artwork_shown);
    out.push_back(',');
  }
  out.append("\"duplicateAudioPaths\":[");
  bool first = true;
  for (const auto& [path, count] : summary.duplicate_audio_paths) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('[');
    append_script_json_string(out, path);
    out.push_back(',');
    append_number(out, count);
    out.push_back(']');
  }
  out.append("],\"folders\":");
  append_number(out, summary.folders);
  out.append(",\"playlists\":");
  append_number(out, summary.playlists);
  out.append(",\"totalDuration\":");
  append_number(out, summary.total_duration);
  out.append(",\"tracks\":");
  append_number(out, summary.tracks);
  out.append(",\"tracksWithoutArtwork\":");
  append_number(out, summary.tracks_without_artwork);
  out.append("}");
}

// One row of the data block's "tracks": `n` the track's fixed fields,
// text(field) each of its texts (a view that lasts until the next call).
template <class Numbers, class Text>
void write_track(std::string& out, const Numbers& n, Text&& text) {
  using vantrel_pdb::TrackText;
  out.push_back('[');
  append_number(out, n.id);
  for (TrackText field : {TrackText::kTitle, TrackText::kArtist, TrackText::kAlbum, TrackText::kGenre, TrackText::kKey,
                          TrackText::kLabel}) {
    out.push_back(',');
    append_script_json_string(out, text(field));
  }
  out.push_back(',');
  append_json_hundredths(out, n.tempo);
  for (std::uint64_t number :
       {std::uint64_t{n.duration}, std::uint64_t{n.rating}, std::uint64_t{n.bitrate}, std::uint64_t{n.sample_rate},
        std::uint64_t{n.sample_depth}, std::uint64_t{n.file_size}}) {
    out.push_back(',');
    append_number(out, number);
  }
  out.push_back(',');
  append_script_json_string(out, file_type_name(n.file_type));
  for (TrackText field :
       {TrackText::kComment, TrackText::kAudioPath, TrackText::kAnalysisPath, TrackText::kArtworkPath}) {
    out.push_back(',');
    append_script_json_string(out, text(field));
  }
  out.push_back(']');
}

void write_track(std::string& out, const vantrel_pdb::TrackInfo& t) {
  write_track(out, t, [&](vantrel_pdb::TrackText field) { return text_of(t, field); });
}

}  // namespace

std::expected<void, vantrel_pdb::PdbError> append_track_row(std::string& out, const vantrel_pdb::TrackView& track,
                                                            std::string& scratch) {
  std::expected<void, vantrel_pdb::PdbError> result;
  write_track(out, track.numbers(),
              [&](vantrel_pdb::TrackText field) { return text_of(track, field, scratch, result); });
  return result;
}

std::expected<void, vantrel_pdb::PdbError> read_track_facts(const vantrel_pdb::TrackView& track, TrackFacts& facts,
                                                            TextStore& store, std::string& scratch) {
  std::expected<void, vantrel_pdb::PdbError> result;
  const auto numbers = track.numbers();
  facts.id = numbers.id;
  facts.duration = numbers.duration;
  facts.audio_path = store.keep(text_of(track, vantrel_pdb::TrackText::kAudioPath, scratch, result));
  facts.artwork_path = track.name(vantrel_pdb::TrackText::kArtworkPath);
  return result;
}

TrackFacts facts_of(const vantrel_pdb::TrackInfo& track) {
  return {track.id, track.duration, track.audio_path, track.artwork_path};
}

namespace {

std::vector<TrackFacts> facts_of_all(std::span<const vantrel_pdb::TrackInfo> tracks) {
  std::vector<TrackFacts> facts;
  facts.reserve(tracks.size());
  for (const auto& t : tracks) facts.push_back(facts_of(t));
  return facts;
}

}  // namespace

LibrarySummary summarize(std::span<const TrackFacts> tracks, std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  constexpr std::uint32_t kNoTrack = 0xFFFFFFFF;
  LibrarySummary summary;
  summary.tracks = tracks.size();
  for (const auto& playlist : playlists) ++(playlist.is_folder ? summary.folders : summary.playlists);
  // Each path's count, kept by the track where it first stands, and the
  // paths in the order they come a second time. The first appearances are
  // found in an open-addressing table of the hash's high half beside the
  // track, so that a probe reads another track's path only when the hashes
  // agree: at 100,000 tracks a map of nodes missed the caches on every path.
  // A track's place fits 32 bits: a table of 2^32 rows would need an image
  // of terabytes.
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t first = kNoTrack;  // the track where the path first stands
  };
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * tracks.size()));
  std::vector<Slot> slots(capacity);
  std::vector<std::uint32_t> count(tracks.size(), 0);
  std::vector<std::uint32_t> repeated;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const TrackFacts& track = tracks[i];
    summary.total_duration += track.duration;
    if (track.artwork_path.empty()) ++summary.tracks_without_artwork;
    const std::uint64_t hash = std::hash<std::string_view>{}(track.audio_path);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t at = hash & (capacity - 1);
    while (slots[at].first != kNoTrack &&
           (slots[at].tag != tag || tracks[slots[at].first].audio_path != track.audio_path)) {
      at = (at + 1) & (capacity - 1);
    }
    if (slots[at].first == kNoTrack) slots[at] = {tag, static_cast<std::uint32_t>(i)};
    if (++count[slots[at].first] == 2) repeated.push_back(slots[at].first);
  }
  for (std::uint32_t first : repeated)
    summary.duplicate_audio_paths.emplace_back(tracks[first].audio_path, count[first]);
  return summary;
}

LibrarySummary summarize(std::span<const vantrel_pdb::TrackInfo> tracks,
                         std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  return summarize(facts_of_all(tracks), playlists);
}

void append_track_rows(std::string& out, std::span<const vantrel_pdb::TrackInfo> tracks, bool after_others) {
  for (const auto& track : tracks) {
    if (after_others) out.push_back(',');
    after_others = true;
    write_track(out, track);
  }
}

std::string image_data_uri(std::span<const std::uint8_t> bytes) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (const ImageKind& kind : kImageKinds) {
    if (view.size() < kind.at + kind.magic.size() || view.substr(kind.at, kind.magic.size()) != kind.magic) continue;
    if (kind.mime == "image/webp" && !view.starts_with("RIFF")) continue;
    std::string uri = "data:";
    uri.append(kind.mime).append(";base64,");
    uri.reserve(uri.size() + (bytes.size() + 2) / 3 * 4);
    append_base64(uri, bytes);
    return uri;
  }
  return {};
}

void append_script_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t done = 0;
  for (std::size_t i = next_special(text, 0); i < text.size(); i = next_special(text, i)) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char* escape = nullptr;
    std::size_t skip = 1;
    if (c == 0xE2) {
      // U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
      if (i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
          (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8) {
        escape = static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
        skip = 3;
      } else {
        ++i;
        continue;
      }
    } else if (c == '<') {
      escape = "\\u003c";
    }
    out.append(text.substr(done, i - done));
    if (escape) {
      out.append(escape);
    } else {
      append_json_escaped(out, text.substr(i, 1));
    }
    done = i + skip;
    i += skip;
  }
  out.append(text.substr(done));
  out.push_back('"');
}

namespace {

// Room for the data block: its rows, its images, and its playlists (a
// name and a few numbers each, at most eight bytes per track position), so
// that a large block is made without being copied as it grows. Room that
// is never written costs no memory.
std::size_t data_size_guess(std::size_t track_rows, const ArtworkUris& artwork,
                            std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  std::size_t guess = 1024 + track_rows;
  for (const auto& [path, uri] : artwork) guess += path.size() + uri.size() + 8;
  for (const auto& playlist : playlists) guess += 2 * playlist.name.size() + 32 + 8 * playlist.tracks.size();
  return guess;
}

// The data block up to its track rows: what stands before them.
void append_data_head(std::string& out, std::span<const TrackFacts> facts,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up) {
  // The summary's table of paths is gone before the block grows.
  const LibrarySummary summary = summarize(facts, playlists);
  // Images in track order, each once, so that the same library gives the
  // same bytes whatever the map's order.
  out.append("{\"art\":{");
  std::size_t shown = 0;
  {
    std::unordered_map<std::string_view, bool> written;
    bool first = true;
    for (const auto& track : facts) {
      if (track.artwork_path.empty()) continue;
      auto uri = artwork.find(track.artwork_path);
      if (uri == artwork.end()) continue;
      ++shown;
      if (!written.emplace(track.artwork_path, true).second) continue;
      if (!first) out.push_back(',');
      first = false;
      append_script_json_string(out, track.artwork_path);
      out.push_back(':');
      append_script_json_string(out, uri->second);
    }
  }
  out.append("},\"playlists\":[");
  std::vector<std::uint32_t> ids;
  ids.reserve(facts.size());
  for (const auto& track : facts) ids.push_back(track.id);
  const TrackIndex index(ids);
  bool first = true;
  for (const TreeNode& node : tree_order(playlists)) {
    const auto& playlist = playlists[node.index];
    if (!first) out.push_back(',');
    first = false;
    out.push_back('[');
    append_number(out, playlist.id);
    out.push_back(',');
    append_script_json_string(out, playlist.name);
    out.append(playlist.is_folder ? ",1," : ",0,");
    append_number(out, node.depth);
    out.append(",[");
    bool first_track = true;
    for (std::uint32_t id : playlist.tracks) {
      const std::size_t at = index.find(id);
      if (at == TrackIndex::kNoTrack) continue;
      if (!first_track) out.push_back(',');
      first_track = false;
      append_number(out, at);
    }
    out.append("]]");
  }
  out.append("],\"summary\":");
  write_summary(out, summary, shown, artwork_looked_up);
  out.append(",\"tracks\":[");
}

// What follows the track rows in the data block.
constexpr std::string_view kDataTail = "]}";

void append_data(std::string& out, std::string_view track_rows, std::span<const TrackFacts> facts,
                 std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                 bool artwork_looked_up) {
  append_data_head(out, facts, playlists, artwork, artwork_looked_up);
  out.append(track_rows);
  out.append(kDataTail);
}

std::string rows_of(std::span<const vantrel_pdb::TrackInfo> tracks) {
  std::string rows;
  append_track_rows(rows, tracks, false);
  return rows;
}

}  // namespace

std::string html_data(std::span<const vantrel_pdb::TrackInfo> tracks,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up) {
  const std::string rows = rows_of(tracks);
  std::string out;
  out.reserve(data_size_guess(rows.size(), artwork, playlists));
  append_data(out, rows, facts_of_all(tracks), playlists, artwork, artwork_looked_up);
  return out;
}

std::string html_page_head(std::string_view first_rows, std::span<const TrackFacts> facts,
                           std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                           bool artwork_looked_up) {
  std::string head;
  head.reserve(kPageHead.size() + first_rows.size() + kPageMiddle.size() + data_size_guess(0, artwork, playlists));
  head.append(kPageHead).append("[").append(first_rows).append("]").append(kPageMiddle);
  append_data_head(head, facts, playlists, artwork, artwork_looked_up);
  return head;
}

std::string html_page_tail() { return std::string(kDataTail).append(kPageTail); }

std::string html_page(std::string_view track_rows, std::string_view first_rows, std::span<const TrackFacts> facts,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up) {
  std::string page = html_page_head(first_rows, facts, playlists, artwork, artwork_looked_up);
  page.reserve(page.size() + track_rows.size() + kDataTail.size() + kPageTail.size());
  page.append(track_rows).append(html_page_tail());
  return page;
}

std::string html_page(std::span<const vantrel_pdb::TrackInfo> tracks,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up) {
  return html_page(rows_of(tracks), rows_of(tracks.first(std::min(kFirstRows, tracks.size()))), facts_of_all(tracks),
                   playlists, artwork, artwork_looked_up);
}

}  // namespace dovrel
