#include "read/named_rows.h"

#include "format/strings.h"

namespace vantrel_pdb {

namespace {

// Reads a name at `location + name_offset` into `name`.
std::expected<void, PdbError> read_name(Bytes image, std::uint64_t location, std::uint64_t name_offset,
                                        std::string& name) {
  auto text = decode_string(image, location + name_offset);
  if (!text) return std::unexpected(text.error());
  name = std::move(*text);
  return {};
}

}  // namespace

std::expected<Artist, PdbError> Artist::parse(Bytes image, std::uint64_t location) {
  namespace r = artist_row;
  // The far name offset is read only for subtype 0x64, but the fixed part
  // of every artist row reaches to byte 9.
  if (auto ok = require_bytes(image, location, r::kNearNameOffset + 1); !ok) return std::unexpected(ok.error());
  const std::uint8_t* row = image.data() + location;
  Artist a;
  std::uint16_t subtype = decode_fixed16(row + r::kSubtypeOffset);
  a.slot_stamp = decode_fixed16(row + r::kSlotStampOffset);
  a.id = decode_fixed32(row + r::kIdOffset);
  std::uint64_t name_offset;
  if (subtype == r::kFarSubtype) {
    auto far = load_u16(image, location + r::kFarNameOffset);
    if (!far) return std::unexpected(far.error());
    name_offset = *far;
  } else {
    name_offset = row[r::kNearNameOffset];
  }
  if (auto ok = read_name(image, location, name_offset, a.name); !ok) return std::unexpected(ok.error());
  return a;
}

std::expected<Album, PdbError> Album::parse(Bytes image, std::uint64_t location) {
  namespace r = album_row;
  if (auto ok = require_bytes(image, location, r::kNearNameOffset + 1); !ok) return std::unexpected(ok.error());
  const std::uint8_t* row = image.data() + location;
  Album a;
  a.slot_stamp = decode_fixed16(row + r::kSlotStampOffset);
  a.artist_id = decode_fixed32(row + r::kArtistIdOffset);
  a.id = decode_fixed32(row + r::kIdOffset);
  if (auto ok = read_name(image, location, row[r::kNearNameOffset], a.name); !ok) return std::unexpected(ok.error());
  return a;
}

template <class Tag>
std::expected<IdNameRecord<Tag>, PdbError> IdNameRecord<Tag>::parse(Bytes image, std::uint64_t location) {
  auto id = load_u32(image, location + id_name_row::kIdOffset);
  if (!id) return std::unexpected(id.error());
  IdNameRecord<Tag> r;
  r.id = *id;
  if (auto ok = read_name(image, location, id_name_row::kNameOffset, r.name); !ok) return std::unexpected(ok.error());
  return r;
}

template struct IdNameRecord<GenreTag>;
template struct IdNameRecord<LabelTag>;
template struct IdNameRecord<ArtworkTag>;
template struct IdNameRecord<HistoryPlaylistTag>;

std::expected<Key, PdbError> Key::parse(Bytes image, std::uint64_t location) {
  auto id = load_u32(image, location + key_row::kIdOffset);
  if (!id) return std::unexpected(id.error());
  Key k;
  k.id = *id;
  if (auto ok = read_name(image, location, key_row::kNameOffset, k.name); !ok) return std::unexpected(ok.error());
  return k;
}

std::expected<Color, PdbError> Color::parse(Bytes image, std::uint64_t location) {
  auto id = load_u16(image, location + color_row::kIdOffset);
  if (!id) return std::unexpected(id.error());
  Color c;
  c.id = *id;
  if (auto ok = read_name(image, location, color_row::kNameOffset, c.name); !ok) return std::unexpected(ok.error());
  return c;
}

std::expected<Kind16Row, PdbError> Kind16Row::parse(Bytes image, std::uint64_t location) {
  auto id = load_u16(image, location + kind16_row::kIdOffset);
  if (!id) return std::unexpected(id.error());
  Kind16Row k;
  k.id = *id;
  if (auto ok = read_name(image, location, kind16_row::kNameOffset, k.name); !ok) return std::unexpected(ok.error());
  return k;
}

}  // namespace vantrel_pdb
