// TrackView: a track row read where it lies in the image. Nothing is copied
// or decoded until asked for: the fixed fields are read from the row on each
// call, and a text is decoded into the caller's buffer. A program that walks
// every track once (a report, a listing) needs no Track records this way,
// and so no memory beyond the image and its own output.
#ifndef VANTREL_PDB_TRACK_VIEW_H_
#define VANTREL_PDB_TRACK_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "vantrel_pdb/api.h"
#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/track.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

class TrackView {
 public:
  // The track row at absolute position `location` of `image`, which must
  // outlive the view. Fails with Io, as Track::parse does, when the row's
  // fixed part (136 bytes) runs past the end of the image; the strings are
  // checked only when read.
  static std::expected<TrackView, PdbError> at(Bytes image, std::uint64_t location);

  std::uint64_t location() const { return location_; }
  std::uint32_t id() const { return u32(track_row::kIdOffset); }
  std::uint32_t sample_rate() const { return u32(track_row::kSampleRateOffset); }
  std::uint32_t file_size() const { return u32(track_row::kFileSizeOffset); }
  std::uint32_t artwork_id() const { return u32(track_row::kArtworkIdOffset); }
  std::uint32_t key_id() const { return u32(track_row::kKeyIdOffset); }
  std::uint32_t label_id() const { return u32(track_row::kLabelIdOffset); }
  std::uint32_t bitrate() const { return u32(track_row::kBitrateOffset); }
  std::uint32_t tempo() const { return u32(track_row::kTempoOffset); }
  std::uint32_t genre_id() const { return u32(track_row::kGenreIdOffset); }
  std::uint32_t album_id() const { return u32(track_row::kAlbumIdOffset); }
  std::uint32_t artist_id() const { return u32(track_row::kArtistIdOffset); }
  std::uint16_t sample_depth() const { return u16(track_row::kSampleDepthOffset); }
  std::uint16_t duration() const { return u16(track_row::kDurationOffset); }
  std::uint16_t file_type() const { return u16(track_row::kFileTypeOffset); }
  std::uint8_t rating() const { return row()[track_row::kRatingOffset]; }

  // Appends the text of string slot `slot` (below track_row::kStringCount)
  // to `out`, decoded as Track::parse decodes it into strings[slot]. Fails
  // as Track::parse fails on that string (UnknownString, or Io past the end
  // of the image), `out` unchanged.
  std::expected<void, PdbError> append_text(std::size_t slot, std::string& out) const;

 private:
  TrackView(Bytes image, std::uint64_t location) : image_(image), location_(location) {}
  const std::uint8_t* row() const { return image_.data() + location_; }
  std::uint32_t u32(std::uint64_t offset) const { return decode_fixed32(row() + offset); }
  std::uint16_t u16(std::uint64_t offset) const { return decode_fixed16(row() + offset); }

  Bytes image_;
  std::uint64_t location_ = 0;
};

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_TRACK_VIEW_H_
