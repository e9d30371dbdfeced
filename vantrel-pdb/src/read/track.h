// The track row (table kind 0) and the Track record the reader makes of it.
//
// 94 bytes of fixed fields, a table of 21 u16 string offsets (relative to the
// row start) at 94 to 135, then the strings, wherever the offsets point.
#ifndef VANTREL_PDB_READ_TRACK_H_
#define VANTREL_PDB_READ_TRACK_H_

#include <array>
#include <cstdint>
#include <expected>
#include <string>

#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

namespace track_row {
inline constexpr std::uint64_t kSubtypeOffset = 0;
inline constexpr std::uint64_t kSlotStampOffset = 2;
inline constexpr std::uint64_t kAuxWordOffset = 4;
inline constexpr std::uint64_t kSampleRateOffset = 8;
inline constexpr std::uint64_t kAuxIdAOffset = 12;
inline constexpr std::uint64_t kFileSizeOffset = 16;
inline constexpr std::uint64_t kTrackSerialOffset = 20;
inline constexpr std::uint64_t kConstant24Offset = 24;
inline constexpr std::uint64_t kArtworkIdOffset = 28;
inline constexpr std::uint64_t kKeyIdOffset = 32;
inline constexpr std::uint64_t kAuxIdBOffset = 36;
inline constexpr std::uint64_t kLabelIdOffset = 40;
inline constexpr std::uint64_t kAuxIdCOffset = 44;
inline constexpr std::uint64_t kBitrateOffset = 48;
inline constexpr std::uint64_t kAuxNumberOffset = 52;
inline constexpr std::uint64_t kTempoOffset = 56;
inline constexpr std::uint64_t kGenreIdOffset = 60;
inline constexpr std::uint64_t kAlbumIdOffset = 64;
inline constexpr std::uint64_t kArtistIdOffset = 68;
inline constexpr std::uint64_t kIdOffset = 72;
inline constexpr std::uint64_t kAuxShortAOffset = 76;
inline constexpr std::uint64_t kAuxShortBOffset = 78;
inline constexpr std::uint64_t kAuxShortCOffset = 80;
inline constexpr std::uint64_t kSampleDepthOffset = 82;
inline constexpr std::uint64_t kDurationOffset = 84;
inline constexpr std::uint64_t kConstant86Offset = 86;
inline constexpr std::uint64_t kAuxByteOffset = 88;
inline constexpr std::uint64_t kRatingOffset = 89;
inline constexpr std::uint64_t kFileTypeOffset = 90;
inline constexpr std::uint64_t kConstant92Offset = 92;
inline constexpr std::uint64_t kStringOffsetsOffset = 94;
inline constexpr std::size_t kStringCount = 21;
inline constexpr std::uint64_t kFixedSize = kStringOffsetsOffset + 2 * kStringCount;  // 136
// The fixed part and the strings after it, as far as a typical row goes:
// what a reader fetches ahead of the rows it reads (util/prefetch.h).
inline constexpr std::uint64_t kTypicalRowBytes = 384;

// String slots that the tool gives a meaning.
inline constexpr std::size_t kAuxTextASlot = 10;
inline constexpr std::size_t kAuxTextBSlot = 11;
inline constexpr std::size_t kAuxTextCSlot = 12;
inline constexpr std::size_t kAnalysisPathSlot = 14;
inline constexpr std::size_t kAuxTextARepeatSlot = 15;
inline constexpr std::size_t kCommentSlot = 16;
inline constexpr std::size_t kTitleSlot = 17;
inline constexpr std::size_t kFileNameSlot = 19;
inline constexpr std::size_t kFilePathSlot = 20;
}  // namespace track_row

// The decoded record of one track row: every field of the row, its 21
// texts by slot number. Library readers see TrackInfo instead.
struct Track {
  // The 21 string slots by number, none given a meaning here: the tool reads
  // 17 as the title, 20 as the audio path, 19 as its file name, 14 as the
  // analysis path and 16 as the comment. Slots 10 and 15 (aux_text_a), 11
  // (aux_text_b) and 12 (aux_text_c) carry texts of unknown meaning that the
  // editor copies from NewTrack; it writes "2" to slots 2 and 3, "ON" to 6
  // and 7, and leaves the others empty.
  std::array<std::string, track_row::kStringCount> strings;
  std::uint16_t slot_stamp = 0;
  // The u32 at row offset 4; the editor writes 0x000C0700. Meaning unknown.
  std::uint32_t aux_word = 0;
  std::uint32_t sample_rate = 0;
  // The u32s at row offsets 12 (aux_id_a), 36 (aux_id_b) and 44 (aux_id_c):
  // they sit among the id fields, but nothing is known to name them; the
  // editor writes 0 to all three.
  std::uint32_t aux_id_a = 0;
  std::uint32_t file_size = 0;
  std::uint32_t artwork_id = 0;
  std::uint32_t key_id = 0;
  std::uint32_t aux_id_b = 0;
  std::uint32_t label_id = 0;
  std::uint32_t aux_id_c = 0;
  std::uint32_t bitrate = 0;
  // The u32 at row offset 52, from NewTrack::aux_number. Meaning unknown.
  std::uint32_t aux_number = 0;
  std::uint32_t tempo = 0;
  std::uint32_t genre_id = 0;
  std::uint32_t album_id = 0;
  std::uint32_t artist_id = 0;
  std::uint32_t id = 0;
  // The u16s at row offsets 76, 78 and 80, from the NewTrack fields of the
  // same names. Meaning unknown.
  std::uint16_t aux_short_a = 0;
  std::uint16_t aux_short_b = 0;
  std::uint16_t aux_short_c = 0;
  std::uint16_t sample_depth = 0;
  std::uint16_t duration = 0;
  // The byte at row offset 88, from NewTrack::aux_byte. Meaning unknown.
  std::uint8_t aux_byte = 0;
  std::uint8_t rating = 0;

  // Decodes the track row at absolute position `location` of `image`. The
  // 21 strings are decoded first, in slot order; the first string error is
  // the result. Fails with Damaged when the row or a string lies past the end.
  static std::expected<Track, PdbError> parse(Bytes image, std::uint64_t location);

  friend bool operator==(const Track&, const Track&) = default;
};

// Appends the text of string slot `slot` (below track_row::kStringCount) of
// the track row at `location` to `out`, decoded as Track::parse decodes it
// into strings[slot]. Fails as Track::parse fails on that string
// (UnknownString, or Damaged past the end of the image), `out` unchanged.
// Requires: the row's fixed part lies inside the image.
std::expected<void, PdbError> append_slot_text(Bytes image, std::uint64_t location, std::size_t slot, std::string& out);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_TRACK_H_
