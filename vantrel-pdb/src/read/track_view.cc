#include "vantrel_pdb/track_view.h"

#include <string>

#include "format/string_codec.h"

namespace vantrel_pdb {

std::expected<TrackView, PdbError> TrackView::at(Bytes image, std::uint64_t location) {
  if (auto ok = require_bytes(image, location, track_row::kFixedSize); !ok) return std::unexpected(ok.error());
  return TrackView(image, location);
}

std::expected<void, PdbError> TrackView::append_text(std::size_t slot, std::string& out) const {
  if (slot >= track_row::kStringCount) {
    return std::unexpected(PdbError(pdb_error::Io{"track string slot " + std::to_string(slot) + " does not exist"}));
  }
  const std::uint16_t offset = u16(track_row::kStringOffsetsOffset + 2 * slot);
  auto span = locate_string(image_, location_ + offset);
  if (!span) return std::unexpected(std::move(span.error()));
  append_decoded_text(out, *span);
  return {};
}

}  // namespace vantrel_pdb
