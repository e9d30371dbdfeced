// Track insertion: the artist, album, genre, key and label rows a track
// names, then the track row itself with its 21 strings.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "edit/editor.h"
#include "edit/editor_lookup.h"
#include "edit/track_fit.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/string_codec.h"
#include "format/strings.h"
#include "read/named_rows.h"
#include "read/track.h"

namespace vantrel_pdb {

namespace {

namespace r = track_row;

// Values the editor writes into every track row.
constexpr std::uint16_t kTrackSubtype = 0x24;
constexpr std::uint32_t kAuxWord = 0x000C0700;
constexpr std::uint32_t kConstant24 = 0x03DDAE49;
constexpr std::uint16_t kConstant86 = 41;
constexpr std::uint16_t kConstant92 = 3;
constexpr std::uint32_t kFirstTrackSerial = 0x100001;
// The allocation: the fixed part, 4 spare bytes, and every string rounded
// up to 4, which covers the padding before aligned strings.
constexpr std::uint64_t kEstimateBase = r::kFixedSize + 4;

// Allocation bases of the named rows: they reserve a little more than the
// row for the artist and album rows.
constexpr std::uint64_t kArtistAllocBase = 16;
constexpr std::uint64_t kAlbumAllocBase = 28;

// The most bytes a text of `size` bytes encodes to: 4 header bytes and 2
// bytes a text byte (UTF-16 takes at most one unit a byte of UTF-8).
constexpr std::uint64_t longest_encoding(std::uint64_t size) { return kLongStringHeaderSize + 2 * size; }

// The last path component: after the last "/", the whole path without one.
std::string_view file_name_of(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The texts of the 21 string slots, in slot order.
std::array<std::string_view, r::kStringCount> slot_texts(const NewTrack& t, std::string_view file_name) {
  std::array<std::string_view, r::kStringCount> texts{};  // empty unless set below
  texts[2] = texts[3] = "2";
  texts[6] = texts[7] = "ON";
  texts[r::kAuxTextASlot] = texts[r::kAuxTextARepeatSlot] = t.aux_text_a;
  texts[r::kAuxTextBSlot] = t.aux_text_b;
  texts[r::kAuxTextCSlot] = t.aux_text_c;
  texts[r::kAnalysisPathSlot] = t.analysis_path;
  texts[r::kCommentSlot] = t.comment;
  texts[r::kTitleSlot] = t.title;
  texts[r::kFileNameSlot] = file_name;
  texts[r::kFilePathSlot] = t.file_path;
  return texts;
}

struct NamedIds {
  std::uint32_t artist = 0, album = 0, genre = 0, key = 0, label = 0;
};

// The row of `t`: the fixed part, then its 21 strings encoded in place, in
// slot order, with their offsets; long ASCII and UTF-16 strings (kind byte
// even) start 4-aligned, the padding zero, short ones follow at once. The
// allocation is the fixed part, 4 spare bytes and every string rounded up to
// 4, which covers all the padding. The ids of the named rows and the serial
// stay zero: the editor writes them as it adds the row. A text too long to
// encode gives StringTooLong.
std::expected<PdbEditor::EncodedTrack, PdbError> encode_row(const NewTrack& t) {
  const std::string_view file_name = t.file_name ? std::string_view(*t.file_name) : file_name_of(t.file_path);
  const auto texts = slot_texts(t, file_name);
  // Room for every string at its longest with its padding, zero.
  std::size_t bound = r::kFixedSize;
  for (std::string_view text : texts) bound += 3 + longest_encoding(text.size());
  std::vector<std::uint8_t> row(bound, 0);
  std::uint8_t* p = row.data();
  encode_fixed16(p + r::kSubtypeOffset, kTrackSubtype);
  encode_fixed32(p + r::kAuxWordOffset, kAuxWord);
  encode_fixed32(p + r::kSampleRateOffset, t.sample_rate);
  encode_fixed32(p + r::kFileSizeOffset, t.file_size);
  encode_fixed32(p + r::kConstant24Offset, kConstant24);
  encode_fixed32(p + r::kArtworkIdOffset, t.artwork_id);
  encode_fixed32(p + r::kBitrateOffset, t.bitrate);
  encode_fixed32(p + r::kAuxNumberOffset, t.aux_number);
  encode_fixed32(p + r::kTempoOffset, t.tempo);
  encode_fixed32(p + r::kIdOffset, t.id);
  encode_fixed16(p + r::kAuxShortAOffset, t.aux_short_a);
  encode_fixed16(p + r::kAuxShortBOffset, t.aux_short_b);
  encode_fixed16(p + r::kAuxShortCOffset, t.aux_short_c);
  encode_fixed16(p + r::kSampleDepthOffset, t.sample_depth);
  encode_fixed16(p + r::kDurationOffset, t.duration);
  encode_fixed16(p + r::kConstant86Offset, kConstant86);
  p[r::kAuxByteOffset] = t.aux_byte;
  p[r::kRatingOffset] = t.rating;
  encode_fixed16(p + r::kFileTypeOffset, t.file_type);
  encode_fixed16(p + r::kConstant92Offset, kConstant92);

  std::uint64_t alloc = kEstimateBase;
  std::size_t end = r::kFixedSize;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    auto plan = plan_encoding(texts[i]);
    if (!plan) return std::unexpected(plan.error());
    alloc += format::round_up4(plan->size);
    // A long string (kind byte even) starts aligned, after zero padding.
    if ((plan->kind & 1) == 0) end = format::round_up4(end);
    encode_fixed16(p + r::kStringOffsetsOffset + 2 * i, static_cast<std::uint16_t>(end));
    end = static_cast<std::size_t>(put_encoded_string(p + end, texts[i], *plan) - p);
  }
  row.resize(end);
  return PdbEditor::EncodedTrack{std::move(row), alloc};
}

}  // namespace

std::expected<void, PdbError> check_track_fits(const NewTrack& track, std::uint64_t page_size) {
  const std::uint64_t max = page_size < format::kRowOverhead ? 0 : page_size - format::kRowOverhead;
  auto fits = [max](std::uint64_t alloc) -> std::expected<void, PdbError> {
    if (alloc > max) return std::unexpected(PdbError(pdb_error::RowTooLarge{alloc, max}));
    return {};
  };
  // The named rows, each as find_or_create lays it out.
  const struct {
    const std::optional<std::string>& name;
    std::uint64_t alloc_base;
  } names[] = {{track.artist, kArtistAllocBase},
               {track.album, kAlbumAllocBase},
               {track.genre, id_name_row::kNameOffset},
               {track.key, key_row::kNameOffset},
               {track.label, id_name_row::kNameOffset}};
  // Most tracks fit by far: when every row fits even with each text at its
  // longest encoding, nothing needs encoding, and no text can then be too
  // long to encode.
  std::string_view file_name = track.file_name ? std::string_view(*track.file_name) : file_name_of(track.file_path);
  std::uint64_t row_bound = kEstimateBase;
  for (std::string_view text : slot_texts(track, file_name)) {
    row_bound += format::round_up4(longest_encoding(text.size()));
  }
  bool surely = row_bound <= max;
  for (const auto& named : names) {
    if (named.name) {
      surely = surely && format::round_up4(named.alloc_base + longest_encoding(named.name->size())) <= max;
    }
  }
  if (surely) return {};
  auto row = encode_row(track);
  if (!row) return std::unexpected(row.error());
  if (auto ok = fits(row->alloc); !ok) return ok;
  for (const auto& named : names) {
    if (!named.name) continue;
    auto encoded = encode_string(*named.name);
    if (!encoded) return std::unexpected(encoded.error());
    if (auto ok = fits(format::round_up4(named.alloc_base + encoded->size())); !ok) return ok;
  }
  return {};
}

std::expected<PdbEditor::EncodedTrack, PdbError> PdbEditor::encode_track(const NewTrack& track) {
  return encode_row(track);
}

std::expected<std::uint64_t, PdbError> PdbEditor::add_track(const NewTrack& track) {
  auto encoded = encode_track(track);
  if (!encoded) return std::unexpected(encoded.error());
  return add_encoded_track(track, *encoded);
}

std::expected<std::uint64_t, PdbError> PdbEditor::add_encoded_track(const NewTrack& track, EncodedTrack& encoded) {
  // Everything that can refuse the track row is settled before any named
  // row is written.
  if (encoded.row.size() < r::kFixedSize)
    return std::unexpected(errors::misuse("an encoded track row without its fixed part"));
  const std::uint64_t estimate = encoded.alloc;
  auto max = max_alloc();
  if (!max) return std::unexpected(max.error());
  if (estimate > *max) return std::unexpected(PdbError(pdb_error::RowTooLarge{estimate, *max}));

  // Artist, album, genre, key and label, in this order, each seeing the
  // rows the previous steps appended.
  NamedIds ids;
  if (track.artist) {
    static const NamedRowShape kArtistShape = *named_row_shape(table_kind::artists, 0);
    auto id = find_or_create(table_kind::artists, *track.artist, kArtistShape);
    if (!id) return std::unexpected(id.error());
    ids.artist = *id;
  }
  if (track.album) {
    // Found by name alone; a new album belongs to this track's artist, so its
    // shape is made only when the name is new.
    auto found = lookup_->find_name(image_, table_kind::albums, *track.album);
    if (!found) return std::unexpected(found.error());
    if (*found) {
      ids.album = **found;
    } else {
      auto shape = named_row_shape(table_kind::albums, ids.artist);
      if (!shape) return std::unexpected(shape.error());
      auto id = find_or_create(table_kind::albums, *track.album, *shape);
      if (!id) return std::unexpected(id.error());
      ids.album = *id;
    }
  }
  if (track.genre) {
    auto id = get_or_create_named(table_kind::genres, *track.genre);
    if (!id) return std::unexpected(id.error());
    ids.genre = *id;
  }
  if (track.key) {
    static const NamedRowShape kKeyShape = *named_row_shape(table_kind::keys, 0);
    auto id = find_or_create(table_kind::keys, *track.key, kKeyShape);
    if (!id) return std::unexpected(id.error());
    ids.key = *id;
  }
  if (track.label) {
    auto id = get_or_create_named(table_kind::labels, *track.label);
    if (!id) return std::unexpected(id.error());
    ids.label = *id;
  }

  auto largest_serial = lookup_->largest_track_serial(image_);
  if (!largest_serial) return std::unexpected(largest_serial.error());
  std::uint32_t serial = kFirstTrackSerial;
  if (*largest_serial) {
    auto next = next_number(*largest_serial, "track_serial");
    if (!next) return std::unexpected(next.error());
    serial = *next;
  }

  std::uint8_t* p = encoded.row.data();
  encode_fixed32(p + r::kTrackSerialOffset, serial);
  encode_fixed32(p + r::kKeyIdOffset, ids.key);
  encode_fixed32(p + r::kLabelIdOffset, ids.label);
  encode_fixed32(p + r::kGenreIdOffset, ids.genre);
  encode_fixed32(p + r::kAlbumIdOffset, ids.album);
  encode_fixed32(p + r::kArtistIdOffset, ids.artist);
  return append_row(table_kind::tracks, encoded.row, estimate, true);
}

std::expected<PdbEditor::NamedRowShape, PdbError> PdbEditor::named_row_shape(std::uint32_t kind,
                                                                             std::uint32_t album_artist_id) {
  NamedRowShape shape;
  switch (kind) {
    case table_kind::genres:
    case table_kind::labels:
      shape.prefix.assign(id_name_row::kNameOffset, 0);
      shape.id_offsets = {id_name_row::kIdOffset};
      shape.alloc_base = id_name_row::kNameOffset;
      shape.id_name = kind == table_kind::genres ? "genre id" : "label id";
      return shape;
    case table_kind::artists:
      shape.prefix.assign(artist_row::kNameStart, 0);
      encode_fixed16(shape.prefix.data() + artist_row::kSubtypeOffset, artist_row::kNearSubtype);
      shape.prefix[artist_row::kConstantOffset] = artist_row::kConstant;
      shape.prefix[artist_row::kNearNameOffset] = artist_row::kNameStart;
      shape.id_offsets = {artist_row::kIdOffset};
      shape.alloc_base = kArtistAllocBase;
      shape.stamp_row_index = true;
      shape.id_name = "artist id";
      return shape;
    case table_kind::albums:
      shape.prefix.assign(album_row::kNameStart, 0);
      encode_fixed16(shape.prefix.data() + album_row::kSubtypeOffset, album_row::kSubtype);
      encode_fixed32(shape.prefix.data() + album_row::kArtistIdOffset, album_artist_id);
      shape.prefix[album_row::kConstantOffset] = album_row::kConstant;
      shape.prefix[album_row::kNearNameOffset] = album_row::kNameStart;
      shape.id_offsets = {album_row::kIdOffset};
      shape.alloc_base = kAlbumAllocBase;
      shape.stamp_row_index = true;
      shape.id_name = "album id";
      return shape;
    case table_kind::keys:
      shape.prefix.assign(key_row::kNameOffset, 0);
      shape.id_offsets = {key_row::kIdOffset, key_row::kSecondIdOffset};
      shape.alloc_base = key_row::kNameOffset;
      shape.id_name = "key id";
      return shape;
    default:
      return std::unexpected(
          errors::misuse("table kind " + std::to_string(kind) + " does not hold rows found by name"));
  }
}

std::expected<std::uint64_t, PdbError> PdbEditor::append_named_row(std::uint32_t kind, std::uint32_t id,
                                                                   std::string_view name,
                                                                   std::uint32_t album_artist_id) {
  auto shape = named_row_shape(kind, album_artist_id);
  if (!shape) return std::unexpected(shape.error());
  return append_shaped_row(kind, id, name, *shape);
}

}  // namespace vantrel_pdb
