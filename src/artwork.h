// Artwork attachment, the last step of a build: every track that names an
// artwork file gets an artwork row (table kind 13) whose id is the track's
// own id, and its track row's artwork_id points at it.
#ifndef DOVREL_ARTWORK_H_
#define DOVREL_ARTWORK_H_

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// Changes `image` in place (it may grow by whole pages). Requires: a page
// image of 4096-byte pages whose directory entry 13 is the artwork table,
// which holds no data page yet. Tracks with an empty "artworkPath" are
// skipped; when none is left the image is not even decoded. Fails with
// "Track with artwork must not have ID 0" (before anything is read or
// written), "Missing artwork track" (a track's id is not in the image) or
// "Artwork path must be short ASCII" (a byte >= 0x80, or more than 126
// bytes); the image is then half-changed and must be dropped.
Result<void> add_artwork(std::vector<std::uint8_t>& image, const std::vector<Track>& tracks);

// As above for an image whose track rows the caller has already listed:
// `track_rows` are the row locations of table kind 0 in table order (as
// Database::row_locations gives them), and each row's id is read at its row
// offset 72 instead of decoding the image. The build, which made every row
// itself, uses this. Fails as above, and with "Missing artwork track" when a
// listed row lies outside the image.
Result<void> add_artwork(std::vector<std::uint8_t>& image, const std::vector<Track>& tracks,
                         std::span<const std::uint64_t> track_rows);

}  // namespace dovrel

#endif  // DOVREL_ARTWORK_H_
