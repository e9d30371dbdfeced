#include "vantrel_pdb/track.h"

#include "vantrel_pdb/strings.h"

namespace vantrel_pdb {

std::expected<Track, PdbError> Track::parse(Bytes image, std::uint64_t location) {
  namespace r = track_row;
  if (auto ok = require_bytes(image, location, r::kFixedSize); !ok) return std::unexpected(ok.error());
  const std::uint8_t* row = image.data() + location;
  Track t;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    std::uint16_t offset = decode_fixed16(row + r::kStringOffsetsOffset + 2 * i);
    auto text = decode_string(image, location + offset);
    if (!text) return std::unexpected(text.error());
    t.strings[i] = std::move(*text);
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
  return t;
}

}  // namespace vantrel_pdb
