#include "patch.h"

#include <utility>

namespace dovrel {

Error patch_error(const vantrel_pdb::PdbError& error) {
  if (error.is<vantrel_pdb::pdb_error::UnreadableChange>()) {
    return Error(kPatchWouldNotReadBack + error.as<vantrel_pdb::pdb_error::UnreadableChange>().reason);
  }
  return Error(error);
}

Result<vantrel_pdb::Library> patch_library(std::vector<std::uint8_t> image, const Request& request,
                                           bool check_beside_write) {
  // The decisions need only ids and row locations, so the rows are checked
  // as a full decoding checks them but no record is kept.
  auto library = vantrel_pdb::Library::open(std::move(image), vantrel_pdb::Decoding::kRowLocations);
  if (!library) return std::unexpected(Error(library.error()));
  if (check_beside_write) library->defer_check();
  if (auto ok = library->keep_only(request.keep_tracks, request.keep_playlists, request.tempos); !ok) {
    return std::unexpected(patch_error(ok.error()));
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
