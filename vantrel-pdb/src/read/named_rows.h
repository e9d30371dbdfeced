// Rows that pair an id with one name: artists, albums, genres, labels, keys,
// colours, artwork, history playlists and the rows of table kind 16.
#ifndef VANTREL_PDB_READ_NAMED_ROWS_H_
#define VANTREL_PDB_READ_NAMED_ROWS_H_

#include <cstdint>
#include <expected>
#include <string>

#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

namespace artist_row {
inline constexpr std::uint64_t kSubtypeOffset = 0;
inline constexpr std::uint64_t kSlotStampOffset = 2;
inline constexpr std::uint64_t kIdOffset = 4;
inline constexpr std::uint64_t kConstantOffset = 8;
inline constexpr std::uint64_t kNearNameOffset = 9;
inline constexpr std::uint64_t kFarNameOffset = 10;
inline constexpr std::uint16_t kNearSubtype = 0x60;
inline constexpr std::uint16_t kFarSubtype = 0x64;
inline constexpr std::uint8_t kConstant = 3;
inline constexpr std::uint8_t kNameStart = 10;  // where the editor puts the name
}  // namespace artist_row

namespace album_row {
inline constexpr std::uint64_t kSubtypeOffset = 0;
inline constexpr std::uint64_t kSlotStampOffset = 2;
inline constexpr std::uint64_t kArtistIdOffset = 8;
inline constexpr std::uint64_t kIdOffset = 12;
inline constexpr std::uint64_t kConstantOffset = 20;
inline constexpr std::uint64_t kNearNameOffset = 21;
inline constexpr std::uint16_t kSubtype = 0x80;
inline constexpr std::uint8_t kConstant = 3;
inline constexpr std::uint8_t kNameStart = 22;
}  // namespace album_row

// Genre, label, artwork and history playlist rows: u32 id, then the name.
namespace id_name_row {
inline constexpr std::uint64_t kIdOffset = 0;
inline constexpr std::uint64_t kNameOffset = 4;
}  // namespace id_name_row

namespace key_row {
inline constexpr std::uint64_t kIdOffset = 0;
inline constexpr std::uint64_t kSecondIdOffset = 4;
inline constexpr std::uint64_t kNameOffset = 8;
}  // namespace key_row

namespace color_row {
inline constexpr std::uint64_t kIdOffset = 5;  // u16
inline constexpr std::uint64_t kNameOffset = 8;
}  // namespace color_row

namespace kind16_row {
inline constexpr std::uint64_t kIdOffset = 0;  // u16
inline constexpr std::uint64_t kNameOffset = 4;
}  // namespace kind16_row

struct Artist {
  std::string name;
  std::uint32_t id = 0;
  std::uint16_t slot_stamp = 0;
  // Subtype 0x64 takes the name through the u16 at 10, any other through the u8 at 9.
  static std::expected<Artist, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const Artist&, const Artist&) = default;
};

struct Album {
  std::string name;
  std::uint32_t id = 0;
  std::uint32_t artist_id = 0;
  std::uint16_t slot_stamp = 0;
  static std::expected<Album, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const Album&, const Album&) = default;
};

// One decoding shared by four record types that stay distinct types.
template <class Tag>
struct IdNameRecord {
  std::string name;
  std::uint32_t id = 0;
  static std::expected<IdNameRecord, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const IdNameRecord&, const IdNameRecord&) = default;
};
using Genre = IdNameRecord<struct GenreTag>;
using Label = IdNameRecord<struct LabelTag>;
using Artwork = IdNameRecord<struct ArtworkTag>;
using HistoryPlaylist = IdNameRecord<struct HistoryPlaylistTag>;

struct Key {
  std::string name;
  std::uint32_t id = 0;
  static std::expected<Key, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const Key&, const Key&) = default;
};

struct Color {
  std::string name;
  std::uint16_t id = 0;
  static std::expected<Color, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const Color&, const Color&) = default;
};

struct Kind16Row {
  std::string name;
  std::uint16_t id = 0;
  static std::expected<Kind16Row, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const Kind16Row&, const Kind16Row&) = default;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_NAMED_ROWS_H_
