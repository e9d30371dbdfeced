#include "patch.h"

#include <utility>

namespace dovrel {

Result<vantrel_pdb::Library> patch_library(std::vector<std::uint8_t> image, const Request& request) {
  // The decisions need only ids and row locations, so the rows are checked
  // as a full decoding checks them but no record is kept.
  auto library = vantrel_pdb::Library::open(std::move(image), vantrel_pdb::Decoding::kRowLocations);
  if (!library) return std::unexpected(Error(library.error()));
  if (auto ok = library->keep_only(request.keep_tracks, request.keep_playlists, request.tempos); !ok) {
    if (ok.error().is<vantrel_pdb::pdb_error::UnreadableChange>()) {
      return fail(kPatchWouldNotReadBack + ok.error().as<vantrel_pdb::pdb_error::UnreadableChange>().reason);
    }
    return std::unexpected(Error(ok.error()));
  }
  return std::move(*library);
}

Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request) {
  auto library = patch_library(std::move(image), request);
  if (!library) return std::unexpected(std::move(library.error()));
  auto bytes = std::move(*library).take_bytes();
  if (!bytes) return std::unexpected(Error(bytes.error()));
  return std::move(*bytes);
}

}  // namespace dovrel
