#include "read/track.h"

#include <numeric>

#include "format/errors.h"
#include "format/string_codec.h"
#include "read/track_check.h"

namespace vantrel_pdb {

namespace {

namespace r = track_row;

// Locates the 21 strings of the row at `location` in slot order and hands
// each to take(slot, span); the first that cannot be located is the result.
// Requires: the row's fixed part lies inside the image.
template <class Take>
std::expected<void, PdbError> for_each_string(Bytes image, std::uint64_t location, Take&& take) {
  const std::uint8_t* row = image.data() + location;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    std::uint16_t offset = decode_fixed16(row + r::kStringOffsetsOffset + 2 * i);
    auto span = locate_string(image, location + offset);
    if (!span) return std::unexpected(std::move(span.error()));
    take(i, *span);
  }
  return {};
}

}  // namespace

std::expected<void, PdbError> check_track_row(Bytes image, std::uint64_t location) {
  if (auto ok = require_bytes(image, location, r::kFixedSize); !ok) return ok;
  return for_each_string(image, location, [](std::size_t, const StringSpan&) {});
}

std::expected<std::array<std::uint64_t, r::kStringCount>, PdbError> check_track_row_text_sizes(Bytes image,
                                                                                               std::uint64_t location) {
  if (auto ok = require_bytes(image, location, r::kFixedSize); !ok) return std::unexpected(std::move(ok.error()));
  std::array<std::uint64_t, r::kStringCount> sizes{};
  auto checked = for_each_string(
      image, location, [&sizes](std::size_t slot, const StringSpan& span) { sizes[slot] = decoded_text_size(span); });
  if (!checked) return std::unexpected(std::move(checked.error()));
  return sizes;
}

std::expected<std::uint64_t, PdbError> check_track_row_text(Bytes image, std::uint64_t location) {
  auto sizes = check_track_row_text_sizes(image, location);
  if (!sizes) return std::unexpected(std::move(sizes.error()));
  return std::accumulate(sizes->begin(), sizes->end(), std::uint64_t{0});
}

std::expected<void, PdbError> append_slot_text(Bytes image, std::uint64_t location, std::size_t slot,
                                               std::string& out) {
  if (slot >= r::kStringCount) {
    return std::unexpected(errors::misuse("track string slot " + std::to_string(slot) + " does not exist"));
  }
  const std::uint16_t offset = decode_fixed16(image.data() + location + r::kStringOffsetsOffset + 2 * slot);
  auto span = locate_string(image, location + offset);
  if (!span) return std::unexpected(std::move(span.error()));
  append_decoded_text(out, *span);
  return {};
}

std::expected<Track, PdbError> Track::parse(Bytes image, std::uint64_t location) {
  // Every path returns this one object, so that the record is built in the
  // caller's place instead of being moved there.
  std::expected<Track, PdbError> result;
  if (auto ok = require_bytes(image, location, r::kFixedSize); !ok) {
    result = std::unexpected(std::move(ok.error()));
    return result;
  }
  const std::uint8_t* row = image.data() + location;
  Track& t = *result;
  // Each text is decoded straight into its slot.
  auto decoded = for_each_string(
      image, location, [&t](std::size_t i, const StringSpan& span) { append_decoded_text(t.strings[i], span); });
  if (!decoded) {
    result = std::unexpected(std::move(decoded.error()));
    return result;
  }
  t.slot_stamp = decode_fixed16(row + r::kSlotStampOffset);
  t.aux_word = decode_fixed32(row + r::kAuxWordOffset);
  t.sample_rate = decode_fixed32(row + r::kSampleRateOffset);
  t.aux_id_a = decode_fixed32(row + r::kAuxIdAOffset);
  t.file_size = decode_fixed32(row + r::kFileSizeOffset);
  t.artwork_id = decode_fixed32(row + r::kArtworkIdOffset);
  t.key_id = decode_fixed32(row + r::kKeyIdOffset);
  t.aux_id_b = decode_fixed32(row + r::kAuxIdBOffset);
  t.label_id = decode_fixed32(row + r::kLabelIdOffset);
  t.aux_id_c = decode_fixed32(row + r::kAuxIdCOffset);
  t.bitrate = decode_fixed32(row + r::kBitrateOffset);
  t.aux_number = decode_fixed32(row + r::kAuxNumberOffset);
  t.tempo = decode_fixed32(row + r::kTempoOffset);
  t.genre_id = decode_fixed32(row + r::kGenreIdOffset);
  t.album_id = decode_fixed32(row + r::kAlbumIdOffset);
  t.artist_id = decode_fixed32(row + r::kArtistIdOffset);
  t.id = decode_fixed32(row + r::kIdOffset);
  t.aux_short_a = decode_fixed16(row + r::kAuxShortAOffset);
  t.aux_short_b = decode_fixed16(row + r::kAuxShortBOffset);
  t.aux_short_c = decode_fixed16(row + r::kAuxShortCOffset);
  t.sample_depth = decode_fixed16(row + r::kSampleDepthOffset);
  t.duration = decode_fixed16(row + r::kDurationOffset);
  t.aux_byte = row[r::kAuxByteOffset];
  t.rating = row[r::kRatingOffset];
  return result;
}

}  // namespace vantrel_pdb
